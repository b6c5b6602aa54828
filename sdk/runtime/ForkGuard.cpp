#include "runtime/ForkGuard.h"

#include <pthread.h>
#include <unistd.h>

#include <map>
#include <memory>

#include "runtime/EventQueue.h"
#include "runtime/LoopbackService.h"

namespace mirelo {
namespace loopback {
namespace {

// Every registered lock, in the order the fork takes them: by rank, then in the order they were
// made. Never destroyed, so that a fork or a lock's destruction during the process's exit still
// finds them.
struct Registry {
    Mutex mutex{LockRank::kForkGuard};  // held from Prepare until the fork returns on each side
    std::multimap<LockRank, Mutex*> locks GUARDED_BY(mutex);
};

Registry& Locks() {
    static Registry& registry = *std::make_unique<Registry>().release();
    return registry;
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

void ForkGuard::Register(Mutex& mutex) {
    Registry& registry = Locks();
    MutexLock lock(registry.mutex);
    registry.locks.emplace(mutex.rank(), &mutex);  // after the others of its rank
}

void ForkGuard::Unregister(Mutex& mutex) noexcept {
    Registry& registry = Locks();
    MutexLock lock(registry.mutex);
    const auto range = registry.locks.equal_range(mutex.rank());
    for (auto entry = range.first; entry != range.second; ++entry) {
        if (entry->second == &mutex) {
            registry.locks.erase(entry);
            return;
        }
    }
}

// The locks are taken here and released in InParent or InChild, a pairing that the analysis cannot
// follow across functions.
void ForkGuard::Prepare() NO_THREAD_SAFETY_ANALYSIS {
    NoteWhetherThisThreadRunsMain();
    // While the list is held no lock is made or destroyed, so it holds still: a cloud or queue
    // that goes meanwhile waits in its destructor until the fork has returned. Two threads may fork
    // at once (the interpreter starts subprocesses without holding its own lock), and each runs
    // these handlers: the second waits here until the first one's fork has returned.
    Registry& registry = Locks();
    registry.mutex.Lock();
    for (const auto& entry : registry.locks) {
        entry.second->Lock();
    }
}

void ForkGuard::ReleaseAll() NO_THREAD_SAFETY_ANALYSIS {
    Registry& registry = Locks();
    for (auto entry = registry.locks.rbegin(); entry != registry.locks.rend(); ++entry) {
        entry->second->Unlock();
    }
    registry.mutex.Unlock();
}

void ForkGuard::InParent() { ReleaseAll(); }

void ForkGuard::InChild() {
    ReleaseAll();
    LoopbackService& service = LoopbackService::Instance();
    service.waits().ForgetInChild();
    service.rooms().ForgetClockInChild();
    service.pool().ForgetInChild();
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
