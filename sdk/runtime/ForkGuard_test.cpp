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

// Takes and releases every lock that the fork handlers hold across a fork.
void TakeEveryLock(LoopbackService& service) {
    service.clouds().LockForFork();
    service.rooms().LockForFork();
    service.configuration().LockForFork();
    service.journal().LockForFork();
    service.failures().LockForFork();
    service.logger().LockForFork();
    service.network().LockForFork();
    service.waits().LockForFork();
}

// Threads of one process that fork at the same moment each run the fork handlers; every lock must
// be free again afterwards in the parent and in each child.
TEST(ForkGuard, ForksOnSeveralThreadsAtOnceLeaveEveryLockFree) {
    LoopbackService& service = LoopbackService::Instance();  // installs the fork handlers
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
                    TakeEveryLock(service);
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
    std::future<void> parent = std::async(std::launch::async, [&] { TakeEveryLock(service); });
    if (parent.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fprintf(stderr, "a lock stayed held after the forks\n");
        std::abort();
    }
}

}  // namespace
}  // namespace loopback
}  // namespace mirelo
