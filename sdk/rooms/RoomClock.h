#ifndef MIRELO_SDK_ROOM_CLOCK_H
#define MIRELO_SDK_ROOM_CLOCK_H

#include <chrono>
#include <functional>

#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

// The thread that keeps time for the rooms: it runs what is due (RoomService routes sent audio,
// paces SendContinuousAudioFrame and raises the periodic network-quality reports) and sleeps until the
// next deadline or until woken because a deadline moved. It starts with the first room entry or
// paced frame and never ends by itself: it is detached, like the service that is never freed. In
// a child made by fork() the parent's clock does not exist: the child starts its own on demand
// (ForgetInChild).
//
// Its lock guards only whether it runs and whether it was woken; the work runs without it, so the
// room service may call it under its own lock.
class RoomClock {
public:
    using Clock = std::chrono::steady_clock;
    // Runs what is due, on the clock's thread; returns when to run next.
    using Tick = std::function<Clock::time_point()>;

    explicit RoomClock(Tick tick);

    // Starts the thread unless it runs or was ended; false when it was ended. Throws when no thread
    // can be started.
    bool EnsureRunning() EXCLUDES(mutex_);
    // A deadline moved earlier: the thread runs what is due now rather than at its old deadline.
    void Wake() EXCLUDES(mutex_);
    // A test aid: the next start fails as when the system has no thread to give. False, with
    // nothing armed, when the thread already runs.
    bool FailNextStart() EXCLUDES(mutex_);
    // In a child made by fork(): the thread stayed in the parent, so the next EnsureRunning starts one.
    void ForgetInChild() EXCLUDES(mutex_);
    // Ends the thread, if one runs, and starts none again in this process.
    void End() EXCLUDES(mutex_);

private:
    void Run() EXCLUDES(mutex_);

    const Tick tick_;
    Mutex mutex_{LockRank::kClock};
    // Signalled on mutex_ when a deadline moves or the clock must end. Built anew in place, the old
    // one not destroyed, in a child made by fork(): the parent's clock may have been waiting on it,
    // and a condition variable counting a waiter that does not exist can block whoever signals it
    // once another thread waits there too.
    CondVar wake_;
    bool woken_ GUARDED_BY(mutex_) = false;    // Wake was called since the last run
    bool running_ GUARDED_BY(mutex_) = false;  // the thread is detached, like the service never freed
    bool ended_ GUARDED_BY(mutex_) = false;    // End was called: no thread starts again
    bool fail_next_start_ GUARDED_BY(mutex_) = false;
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_ROOM_CLOCK_H
