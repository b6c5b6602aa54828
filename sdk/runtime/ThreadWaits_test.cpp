#include "runtime/ThreadWaits.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace mirelo {
namespace loopback {
namespace {

// A thread that runs what it is given, in order, so that a test can act as several threads.
class Actor {
public:
    Actor() : thread_([this] { Loop(); }) {}
    ~Actor() {
        Run([this] { done_ = true; }).get();
        thread_.join();
    }

    std::thread::id id() const { return thread_.get_id(); }

    std::future<void> Run(std::function<void()> task) {
        std::packaged_task<void()> packaged(std::move(task));
        std::future<void> result = packaged.get_future();
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(packaged));
        ready_.notify_one();
        return result;
    }

    bool Begin(ThreadWaits& waits, const Actor& target) {
        bool began = false;
        Run([&] { began = waits.Begin(target.id()); }).get();
        return began;
    }
    void End(ThreadWaits& waits) {
        Run([&] { waits.End(); }).get();
    }

private:
    void Loop() {
        while (!done_) {
            std::packaged_task<void()> task;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return !tasks_.empty(); });
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::packaged_task<void()>> tasks_;
    bool done_ = false;  // only the actor's thread touches it
    std::thread thread_;
};

TEST(ThreadWaits, AThreadNeverWaitsForItself) {
    ThreadWaits waits;
    EXPECT_FALSE(waits.Begin(std::this_thread::get_id()));
}

// A ring of n threads, each about to wait for the next: the last wait would close the cycle.
class ThreadWaitsRing : public ::testing::TestWithParam<int> {};

TEST_P(ThreadWaitsRing, RefusesOnlyTheWaitThatClosesTheCycle) {
    const int n = GetParam();
    ThreadWaits waits;
    std::vector<Actor> actors(static_cast<size_t>(n + 1));  // the extra one waits for nobody
    for (int i = 0; i + 1 < n; ++i) {
        ASSERT_TRUE(actors[i].Begin(waits, actors[i + 1])) << i;
    }
    EXPECT_FALSE(actors[n - 1].Begin(waits, actors[0]));
    EXPECT_TRUE(actors[n - 1].Begin(waits, actors[n]));  // outside the ring
    actors[n - 1].End(waits);
    // Once a link of the chain ends its wait, the wait that closed the cycle is safe.
    actors[0].End(waits);
    EXPECT_TRUE(actors[n - 1].Begin(waits, actors[0]));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ThreadWaitsRing, ::testing::Values(2, 3, 5));

TEST(ThreadWaits, AfterForgettingInAChildNobodyWaits) {
    ThreadWaits waits;
    std::vector<Actor> actors(2);
    ASSERT_TRUE(actors[0].Begin(waits, actors[1]));
    waits.ForgetInChild();
    EXPECT_TRUE(actors[1].Begin(waits, actors[0]));
}

// Two threads that start waiting for each other at the same moment: exactly one may wait.
TEST(ThreadWaits, OfTwoThreadsWaitingForEachOtherAtOnceExactlyOneWaits) {
    ThreadWaits waits;
    std::vector<Actor> actors(2);
    for (int round = 0; round < 500; ++round) {
        std::atomic<int> arrived{0};
        auto attempt = [&](int self) {
            return actors[self].Run([&, self] {
                ++arrived;
                while (arrived.load() < 2) {
                    std::this_thread::yield();
                }
                const bool began = waits.Begin(actors[1 - self].id());
                if (began) {
                    arrived += 10;
                }
            });
        };
        std::future<void> first = attempt(0);
        std::future<void> second = attempt(1);
        first.get();
        second.get();
        ASSERT_EQ(arrived.load(), 12) << "round " << round;
        actors[0].End(waits);
        actors[1].End(waits);
    }
}

}  // namespace
}  // namespace loopback
}  // namespace mirelo
