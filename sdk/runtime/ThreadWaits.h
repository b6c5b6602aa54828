#ifndef MIRELO_SDK_THREAD_WAITS_H
#define MIRELO_SDK_THREAD_WAITS_H

#include <map>
#include <thread>

#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

// Which thread is waiting for which event thread to end, so that a wait that would close a cycle
// is never started. Destroying a cloud from a handler waits for another cloud's event thread; if
// that thread is itself destroying, directly or through others, the cloud whose event the caller
// is running, each would wait for the other for good.
//
// Each thread waits for at most one thread at a time, so the waits form chains; a wait is recorded
// only when it closes no cycle, so the chains never loop. The lock is held only to read and change
// the record, never while a delegate runs or a thread is waited for.
class ThreadWaits {
public:
    // Records that the calling thread is about to wait for `target` to end and returns true; or,
    // when `target` is the caller or already waits (through a chain of waits) for the caller,
    // records nothing and returns false: the caller must not wait.
    bool Begin(std::thread::id target);
    // Ends the calling thread's recorded wait.
    void End();

    // In a child made by fork() the waiting threads are the parent's: their record goes.
    void ForgetInChild();

private:
    mutable Mutex mutex_{LockRank::kWaits};
    std::map<std::thread::id, std::thread::id> waiting_for_ GUARDED_BY(mutex_);  // waiter to target
};

// Ends the calling thread's recorded wait when it goes, however the wait ends.
class WaitEnds {
public:
    explicit WaitEnds(ThreadWaits& waits) : waits_(waits) {}
    ~WaitEnds() { waits_.End(); }
    WaitEnds(const WaitEnds&) = delete;
    WaitEnds& operator=(const WaitEnds&) = delete;

private:
    ThreadWaits& waits_;
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_THREAD_WAITS_H
