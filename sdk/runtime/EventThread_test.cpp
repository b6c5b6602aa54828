#include "runtime/EventThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/LoopbackService.h"
#include "runtime/SilentDelegate_test.h"

namespace mirelo {
namespace loopback {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPatience = std::chrono::seconds(20);

// A thread stuck for good cannot be failed and cleaned up after: the whole run stops, loudly.
template <typename T>
void AwaitOrAbort(std::future<T>& future, const char* what) {
    if (future.wait_for(kPatience) != std::future_status::ready) {
        std::fprintf(stderr, "stuck for good: %s\n", what);
        std::abort();
    }
}

struct Cloud {
    explicit Cloud(size_t handle)
        : queue(std::make_shared<EventQueue>(false, 64)),
          thread(std::make_unique<EventThread>(queue, &delegate, handle)) {}
    SilentDelegate delegate;
    std::shared_ptr<EventQueue> queue;
    std::unique_ptr<EventThread> thread;
};

TEST(EventThread, DeliversEveryEventInOrderOnOneThreadOfItsOwn) {
    Cloud cloud(1);
    std::vector<int> order;  // written by the event thread only
    std::vector<std::thread::id> threads;
    for (int i = 0; i < 200; ++i) {
        cloud.queue->Post("Event", false, [&, i](QOLTCloudDelegate& delegate) {
            EXPECT_EQ(&delegate, &cloud.delegate);
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
            EXPECT_EQ(EventQueue::Current(), cloud.queue.get());
        });
    }
    ASSERT_TRUE(cloud.queue->WaitDone(cloud.queue->last_raised(), Clock::now() + kPatience));
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(order[static_cast<size_t>(i)], i);
    }
    EXPECT_NE(threads.front(), std::this_thread::get_id());
    EXPECT_EQ(std::count(threads.begin(), threads.end(), threads.front()), 200);
}

TEST(EventThread, DestroyingWaitsForTheEventInFlightAndCancelsTheRest) {
    Cloud cloud(2);
    std::promise<void> started;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> finished{false};
    std::atomic<bool> later_ran{false};
    cloud.queue->Post("Blocking", false, [&](QOLTCloudDelegate&) {
        started.set_value();
        released.wait();
        finished = true;
    });
    cloud.queue->Post("Later", false, [&](QOLTCloudDelegate&) { later_ran = true; });
    started.get_future().wait();
    std::future<void> destroyed = std::async(std::launch::async, [&] { cloud.thread.reset(); });
    // Not a speed check: the destructor may not return while the event runs, however long it waits.
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    release.set_value();
    AwaitOrAbort(destroyed, "destroying an event thread");
    EXPECT_TRUE(finished);
    EXPECT_FALSE(later_ran);
    EXPECT_EQ(cloud.queue->counters().delivered, 1u);
}

TEST(EventThread, AnEventMayDestroyItsOwnThread) {
    Cloud cloud(3);
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    const uint64_t sequence = cloud.queue->Post("DestroysItself", false, [&](QOLTCloudDelegate&) {
        cloud.thread.reset();
        done.set_value();
    });
    cloud.queue->Post("Cancelled", false, [](QOLTCloudDelegate&) { ADD_FAILURE() << "delivered after destruction"; });
    AwaitOrAbort(finished, "an event destroying its own thread");
    EXPECT_TRUE(cloud.queue->WaitDone(sequence + 1, Clock::now() + kPatience));
    EXPECT_EQ(cloud.queue->Post("Late", false, [](QOLTCloudDelegate&) {}), 0u);
}

// Rings of clouds whose events each destroy the next cloud's thread while that one's event is in
// flight: one of the waits would close a cycle, so that thread detaches instead of joining.
class EventThreadDestroyRing : public ::testing::TestWithParam<int> {};

TEST_P(EventThreadDestroyRing, NeverWaitsForGood) {
    const size_t n = static_cast<size_t>(GetParam());
    std::vector<std::unique_ptr<Cloud>> clouds;
    for (size_t i = 0; i < n; ++i) {
        clouds.push_back(std::make_unique<Cloud>(100 + i));
    }
    std::atomic<size_t> in_flight{0};
    std::vector<std::promise<void>> done(n);
    std::vector<std::future<void>> finished;
    for (size_t i = 0; i < n; ++i) {
        finished.push_back(done[i].get_future());
        std::unique_ptr<EventThread>& next = clouds[(i + 1) % n]->thread;
        clouds[i]->queue->Post("DestroysNext", false, [&, i](QOLTCloudDelegate&) {
            ++in_flight;
            while (in_flight.load() < n) {
                std::this_thread::yield();
            }
            next.reset();
            done[i].set_value();
        });
    }
    for (size_t i = 0; i < n; ++i) {
        AwaitOrAbort(finished[i], "a ring of events destroying each other's threads");
    }
    for (size_t i = 0; i < n; ++i) {
        EXPECT_TRUE(clouds[i]->queue->WaitDone(1, Clock::now() + kPatience));
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, EventThreadDestroyRing, ::testing::Values(2, 3, 4));

TEST(EventThread, AFailingDeliveryIsRecordedAndTheNextEventStillRuns) {
    Cloud cloud(4);
    FailureList& failures = LoopbackService::Instance().failures();
    const uint64_t before = failures.counts().entries + failures.counts().dropped;
    std::atomic<bool> next_ran{false};
    cloud.queue->Post("Throws", false, [](QOLTCloudDelegate&) { throw std::runtime_error("handler failed"); });
    cloud.queue->Post("ThrowsAnything", false, [](QOLTCloudDelegate&) { throw 7; });
    cloud.queue->Post("Next", false, [&](QOLTCloudDelegate&) { next_ran = true; });
    ASSERT_TRUE(cloud.queue->WaitDone(3, Clock::now() + kPatience));
    EXPECT_TRUE(next_ran);
    EXPECT_EQ(failures.counts().entries + failures.counts().dropped, before + 2);
    EXPECT_EQ(cloud.queue->counters().delivered, 3u);
}

TEST(EventThread, WithoutADelegateNoThreadRunsAndNothingIsQueued) {
    auto queue = std::make_shared<EventQueue>(true, 8);
    {
        EventThread thread(queue, nullptr, 5);
        EXPECT_EQ(queue->Post("Discarded", false, [](QOLTCloudDelegate&) { ADD_FAILURE(); }), 0u);
    }
    EXPECT_EQ(queue->counters().discarded, 1u);
}

}  // namespace
}  // namespace loopback
}  // namespace mirelo
