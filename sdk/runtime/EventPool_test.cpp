#include "runtime/EventPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/SilentDelegate_test.h"

namespace mirelo {
namespace loopback {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kPatience = std::chrono::seconds(20);
constexpr milliseconds kNoStall{60000};  // so long that only blocking waits add threads

// A thread stuck for good cannot be failed and cleaned up after: the whole run stops, loudly.
template <typename T>
void AwaitOrAbort(std::future<T>& future, const char* what) {
    if (future.wait_for(kPatience) != std::future_status::ready) {
        std::fprintf(stderr, "stuck for good: %s\n", what);
        std::abort();
    }
}

// Pools are never destroyed (their threads are never joined): each test's stays reachable.
EventPool& NewPool(size_t size, milliseconds stall_bound) {
    static std::vector<std::unique_ptr<EventPool>>& pools = *new std::vector<std::unique_ptr<EventPool>>();
    pools.push_back(std::make_unique<EventPool>(size, stall_bound));
    return *pools.back();
}

struct Cloud {
    Cloud(EventPool& pool, uint64_t handle) : queue(std::make_shared<EventQueue>(false, 1 << 20)) {
        queue->ServeFrom(&pool, &delegate, handle);
        pool.Attach();  // never detached: the pool's threads stay for the test's checks
    }
    SilentDelegate delegate;
    std::shared_ptr<EventQueue> queue;
};

bool AwaitThreads(EventPool& pool, size_t threads) {
    for (const auto deadline = Clock::now() + kPatience; Clock::now() < deadline;) {
        if (pool.census().threads == threads) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
}

class EventPoolSizes : public ::testing::TestWithParam<int> {};

TEST_P(EventPoolSizes, EachQueueGetsItsEventsInOrderAndOneAtATime) {
    EventPool& pool = NewPool(static_cast<size_t>(GetParam()), kNoStall);
    constexpr int kClouds = 16;
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 500;
    std::vector<std::unique_ptr<Cloud>> clouds;
    // Per cloud: events in flight, and the last number seen from each producer (written by the
    // cloud's deliveries only, which never overlap when the pool keeps its promise).
    std::vector<std::atomic<int>> in_flight(kClouds);
    std::vector<std::vector<int>> last(kClouds, std::vector<int>(kProducers, -1));
    std::atomic<int> overlaps{0};
    std::atomic<int> disorders{0};
    for (int c = 0; c < kClouds; ++c) {
        clouds.push_back(std::make_unique<Cloud>(pool, static_cast<uint64_t>(c + 1)));
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                const int c = (i * 7 + p) % kClouds;
                clouds[static_cast<size_t>(c)]->queue->Post("Event", false, [&, c, p, i](QOLTCloudDelegate&) {
                    if (in_flight[static_cast<size_t>(c)].fetch_add(1) != 0) {
                        ++overlaps;
                    }
                    EXPECT_EQ(EventQueue::Current(), clouds[static_cast<size_t>(c)]->queue.get());
                    int& seen = last[static_cast<size_t>(c)][static_cast<size_t>(p)];
                    if (seen >= i) {
                        ++disorders;
                    }
                    seen = i;
                    in_flight[static_cast<size_t>(c)].fetch_sub(1);
                });
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    uint64_t delivered = 0;
    for (const auto& cloud : clouds) {
        ASSERT_TRUE(cloud->queue->WaitDone(cloud->queue->last_raised(), Clock::now() + kPatience));
        delivered += cloud->queue->counters().delivered;
    }
    EXPECT_EQ(delivered, static_cast<uint64_t>(kProducers * kPerProducer));
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(disorders.load(), 0);
    EXPECT_LE(pool.census().threads, static_cast<size_t>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Threads, EventPoolSizes, ::testing::Values(1, 2, 4));

TEST(EventPool, ABusyQueueTakesTurnsWithTheOthers) {
    EventPool& pool = NewPool(1, kNoStall);
    Cloud busy(pool, 1);
    Cloud other(pool, 2);
    std::atomic<int> busy_delivered{0};
    std::atomic<int> busy_before_other{-1};
    constexpr int kBusyEvents = 20000;
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    busy.queue->Post("Gate", false, [open](QOLTCloudDelegate&) { open.wait(); });
    for (int i = 0; i < kBusyEvents; ++i) {
        busy.queue->Post("Busy", false, [&](QOLTCloudDelegate&) { ++busy_delivered; });
    }
    other.queue->Post("Other", false, [&](QOLTCloudDelegate&) { busy_before_other = busy_delivered.load(); });
    gate.set_value();
    ASSERT_TRUE(other.queue->WaitDone(1, Clock::now() + kPatience));
    ASSERT_TRUE(busy.queue->WaitDone(busy.queue->last_raised(), Clock::now() + kPatience));
    // The other cloud waited one turn of the busy one's, not all of its events.
    EXPECT_LE(busy_before_other.load(), static_cast<int>(EventPool::kTurnEvents));
}

TEST(EventPool, AHandlerWaitingForAnotherQueueLetsAnotherThreadDeliverIt) {
    EventPool& pool = NewPool(1, kNoStall);
    Cloud waiting(pool, 1);
    Cloud awaited(pool, 2);
    std::atomic<bool> waited_in_time{false};
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    waiting.queue->Post("Waits", false, [&](QOLTCloudDelegate&) {
        const uint64_t sequence = awaited.queue->Post("Awaited", false, [](QOLTCloudDelegate&) {});
        waited_in_time = awaited.queue->WaitDone(sequence, Clock::now() + kPatience);
        done.set_value();
    });
    AwaitOrAbort(finished, "a handler waiting for another cloud's event on a one-thread pool");
    EXPECT_TRUE(waited_in_time);
    EXPECT_TRUE(AwaitThreads(pool, 1));  // the stand-in retires once idle
}

TEST(EventPool, AStalledHandlerGetsAStandInAfterTheStallBound) {
    EventPool& pool = NewPool(1, milliseconds(20));
    Cloud stalled(pool, 1);
    Cloud other(pool, 2);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> started;
    stalled.queue->Post("Stalls", false, [&, released](QOLTCloudDelegate&) {
        started.set_value();
        released.wait();  // not a loopback wait: only the supervisor can tell
    });
    stalled.queue->Post("AfterTheStall", false, [](QOLTCloudDelegate&) {});
    std::future<void> running = started.get_future();
    AwaitOrAbort(running, "the stalling handler to start");
    other.queue->Post("Other", false, [](QOLTCloudDelegate&) {});
    EXPECT_TRUE(other.queue->WaitDone(1, Clock::now() + kPatience));
    EXPECT_EQ(stalled.queue->counters().delivered, 0u);  // its own events wait behind it
    EXPECT_EQ(pool.census().threads, 2u);
    release.set_value();
    EXPECT_TRUE(stalled.queue->WaitDone(2, Clock::now() + kPatience));
    EXPECT_TRUE(AwaitThreads(pool, 1));
}

TEST(EventPool, StoppingThenAwaitingWaitsForTheEventInFlightOnly) {
    EventPool& pool = NewPool(2, kNoStall);
    ThreadWaits waits;
    Cloud cloud(pool, 1);
    std::promise<void> started;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> finished{false};
    std::atomic<bool> later_ran{false};
    cloud.queue->Post("Blocking", false, [&, released](QOLTCloudDelegate&) {
        started.set_value();
        released.wait();
        finished = true;
    });
    cloud.queue->Post("Later", false, [&](QOLTCloudDelegate&) { later_ran = true; });
    std::future<void> running = started.get_future();
    AwaitOrAbort(running, "the blocking handler to start");
    std::future<void> awaited = std::async(std::launch::async, [&] {
        cloud.queue->Stop();
        EventPool::AwaitDelivery(*cloud.queue, waits);
    });
    // Not a speed check: the wait may not return while the event runs, however long it waits.
    EXPECT_EQ(awaited.wait_for(milliseconds(50)), std::future_status::timeout);
    release.set_value();
    AwaitOrAbort(awaited, "awaiting the event in flight");
    EXPECT_TRUE(finished);
    EXPECT_FALSE(later_ran);
    EXPECT_EQ(cloud.queue->Post("Late", false, [](QOLTCloudDelegate&) {}), 0u);
}

// Handlers that stop and await each other's queues (a cloud destroying its own, two destroying
// each other's) never wait for good, however few threads.
class EventPoolAwaitRing : public ::testing::TestWithParam<int> {};

TEST_P(EventPoolAwaitRing, NeverWaitsForGood) {
    const size_t n = static_cast<size_t>(GetParam());
    EventPool& pool = NewPool(1, kNoStall);
    ThreadWaits waits;
    std::vector<std::unique_ptr<Cloud>> clouds;
    for (size_t i = 0; i < n; ++i) {
        clouds.push_back(std::make_unique<Cloud>(pool, 100 + i));
    }
    std::atomic<size_t> in_flight{0};
    std::vector<std::promise<void>> done(n);
    std::vector<std::future<void>> finished;
    for (size_t i = 0; i < n; ++i) {
        finished.push_back(done[i].get_future());
        EventQueue& next = *clouds[(i + 1) % n]->queue;
        clouds[i]->queue->Post("AwaitsNext", false, [&, i](QOLTCloudDelegate&) {
            ++in_flight;
            {
                EventPool::Blocking blocking;  // as a loopback wait would: the next one may start
                while (in_flight.load() < n) {
                    std::this_thread::yield();
                }
            }
            next.Stop();
            EventPool::AwaitDelivery(next, waits);
            done[i].set_value();
        });
    }
    for (size_t i = 0; i < n; ++i) {
        AwaitOrAbort(finished[i], "handlers awaiting each other's queues");
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, EventPoolAwaitRing, ::testing::Values(1, 2, 3));

TEST(EventPool, ItsThreadsEndOnceItServesNoCloud) {
    EventPool& pool = NewPool(2, kNoStall);
    auto queue = std::make_shared<EventQueue>(false, 64);
    SilentDelegate delegate;
    queue->ServeFrom(&pool, &delegate, 1);
    pool.Attach();
    for (int i = 0; i < 100; ++i) {
        queue->Post("Event", false, [](QOLTCloudDelegate&) {});
    }
    ASSERT_TRUE(queue->WaitDone(queue->last_raised(), Clock::now() + kPatience));
    EXPECT_GE(pool.census().threads, 1u);
    queue->Stop();
    pool.Detach();
    EXPECT_TRUE(AwaitThreads(pool, 0));
}

}  // namespace
}  // namespace loopback
}  // namespace mirelo
