#include "runtime/ForkGuard.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "runtime/LoopbackService.h"

namespace mirelo {
namespace loopback {
namespace {

// Locks of several ranks, registered with the fork guard as they are made, like the service's own.
struct SomeLocks {
    Mutex rooms{LockRank::kRooms};
    Mutex queue{LockRank::kQueue};
    Mutex journal{LockRank::kJournal};
};

// Takes and releases the test's locks and some of the service's: each is taken across a fork.
void TakeEveryLock(LoopbackService& service, SomeLocks& locks) {
    for (Mutex* mutex : {&locks.rooms, &locks.queue, &locks.journal}) {
        MutexLock lock(*mutex);
    }
    service.journal().Clear();
    service.failures().Clear();
}

// Threads of one process that fork at the same moment each run the fork handlers; every lock must
// be free again afterwards in the parent and in each child.
TEST(ForkGuard, ForksOnSeveralThreadsAtOnceLeaveEveryLockFree) {
    LoopbackService& service = LoopbackService::Instance();  // installs the fork handlers
    SomeLocks locks;
    constexpr int kThreads = 4;
    constexpr int kForks = 30;
    std::atomic<int> ready{0};
    std::atomic<int> failed_children{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            ++ready;
            while (ready.load() < kThreads) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kForks; ++i) {
                const pid_t child = fork();
                if (child == 0) {
                    alarm(20);  // a lock left held would hang the child: the alarm ends it instead
                    TakeEveryLock(service, locks);
                    _exit(0);
                }
                int status = 0;
                if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
                    WEXITSTATUS(status) != 0) {
                    ++failed_children;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failed_children.load(), 0);
    std::future<void> parent = std::async(std::launch::async, [&] { TakeEveryLock(service, locks); });
    if (parent.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fprintf(stderr, "a lock stayed held after the forks\n");
        std::abort();
    }
}

}  // namespace
}  // namespace loopback
}  // namespace mirelo
