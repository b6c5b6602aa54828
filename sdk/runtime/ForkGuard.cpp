#include "runtime/ForkGuard.h"

#include <pthread.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <vector>

#include "runtime/EventQueue.h"
#include "runtime/LoopbackService.h"

namespace mirelo {
namespace loopback {
namespace {

// The locks held from Prepare until the fork returns. Never destroyed, so that a fork during
// the process's exit still finds it.
std::vector<std::unique_lock<std::mutex>>& Held() {
    static auto& held = *std::make_unique<std::vector<std::unique_lock<std::mutex>>>().release();
    return held;
}

// Held by the forking thread from Prepare until its fork returns, on both sides. Two threads may
// fork at once (the interpreter starts subprocesses without holding its own lock), and each runs
// the handlers: this keeps the second out of Held() until the first is done with it. Never
// destroyed, like Held().
std::mutex& ForkInProgress() {
    static auto& mutex = *std::make_unique<std::mutex>().release();
    return mutex;
}

// Whether the calling thread runs the program's main function, whose return ends the process with
// exit(). A process's first thread has the process's id; so has the only thread of a child made by
// fork(), whichever thread forked it, so the answer is taken in the parent and kept per thread:
// the child's copy of the forking thread's storage carries it over.
enum class Main : unsigned char { kUnknown, kYes, kNo };
thread_local Main runs_main = Main::kUnknown;

void NoteWhetherThisThreadRunsMain() {
    if (runs_main == Main::kUnknown) {
        runs_main = gettid() == getpid() ? Main::kYes : Main::kNo;
    }
}

// Armed on the thread that forked a child, when that thread does not run main: its end would not
// end the child while other threads exist, so the loopback ends its own threads then.
class ForkingThreadWatch {
public:
    ~ForkingThreadWatch() {
        if (armed_) {
            LoopbackService::Instance().EndThreads();
        }
    }
    void Arm() { armed_ = true; }

private:
    bool armed_ = false;
};

thread_local ForkingThreadWatch forking_thread_watch;

}  // namespace

void ForkGuard::Install() { pthread_atfork(&ForkGuard::Prepare, &ForkGuard::InParent, &ForkGuard::InChild); }

void ForkGuard::Prepare() {
    NoteWhetherThisThreadRunsMain();
    ForkInProgress().lock();
    LoopbackService& service = LoopbackService::Instance();
    // Listed before the registry is locked: no cloud can be created meanwhile, since creating one
    // takes the interpreter lock that the forking thread holds, and a cloud destroyed meanwhile
    // keeps its queue alive through the list.
    const auto queues = service.clouds().Queues();
    auto& held = Held();
    held.reserve(8 + queues.size());
    // The order in which the service nests its locks: registry, rooms and configuration before
    // any queue; the journal, failures, log, network settings and waits never hold another lock.
    held.push_back(service.clouds().LockForFork());
    held.push_back(service.rooms().LockForFork());
    held.push_back(service.configuration().LockForFork());
    for (const auto& entry : queues) {
        held.push_back(entry.second->LockForFork());
    }
    held.push_back(service.journal().LockForFork());
    held.push_back(service.failures().LockForFork());
    held.push_back(service.logger().LockForFork());
    held.push_back(service.network().LockForFork());
    held.push_back(service.waits().LockForFork());
}

void ForkGuard::InParent() {
    Held().clear();
    ForkInProgress().unlock();
}

void ForkGuard::InChild() {
    Held().clear();
    ForkInProgress().unlock();
    LoopbackService& service = LoopbackService::Instance();
    service.waits().ForgetInChild();
    service.rooms().ForgetClockInChild();
    for (const auto& entry : service.clouds().Queues()) {
        if (entry.second.get() == EventQueue::Current()) {
            entry.second->Stop();  // forked inside a handler: this thread's loop ends after it
        } else {
            entry.second->Abandon();
        }
    }
    if (runs_main == Main::kNo) {
        forking_thread_watch.Arm();
    }
}

}  // namespace loopback
}  // namespace mirelo
