#ifndef MIRELO_SDK_MUTEX_H
#define MIRELO_SDK_MUTEX_H

#include <chrono>
#include <condition_variable>
#include <mutex>

// Thread-safety annotations: clang checks them (make thread-safety builds with -Wthread-safety),
// other compilers see nothing. GUARDED_BY names the lock a member needs, REQUIRES the lock a
// function expects its caller to hold, EXCLUDES one it takes itself, ACQUIRED_BEFORE/AFTER the
// order in which two locks nest.
#if defined(__clang__)
#define MIRELO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define MIRELO_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) MIRELO_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY MIRELO_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) MIRELO_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) MIRELO_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) MIRELO_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) MIRELO_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) MIRELO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) MIRELO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) MIRELO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) MIRELO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) MIRELO_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS MIRELO_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace mirelo {
namespace loopback {

// Where a lock stands in the one order in which the loopback nests its locks, outermost first: a
// thread that holds a lock takes only locks ranked after it. The fork guard takes every lock in
// this order before fork() (locks of one rank in the order they were made), so it never waits for
// a lock whose holder waits for one that the fork guard already has.
enum class LockRank : int {
    kForkGuard,      // the fork guard's list of locks itself: taken first, and never listed
    kClouds,         // CloudRegistry: callbacks under it queue events
    kRooms,          // RoomService: presence and subscriptions; routing and the clock nest inside
    kOutbox,         // RoomService: the outboxes by cloud, and each outbox; never two at once
    kAudio,          // AudioRouter: each receiver's converters, reframers and mix
    kMessages,       // MessageRouter: custom-message sequences, misses, budgets, simulated loss
    kClock,          // RoomClock: whether the clock runs, and its wake-up
    kConfiguration,  // Configuration: read under the rooms' lock
    kQueue,          // EventQueue: one per cloud; never two at once
    kPool,           // EventPool: its ready list and threads; a queue schedules itself after its lock
    kInjections,     // ResultInjector: one per cloud
    kJournal,        // the rest are leaves: they take no lock while they hold theirs
    kFailures,
    kLogger,
    kNetwork,
    kWaits,
    kParkedThreads,  // EventThread's parked threads
};

// A lock that the fork guard knows: made with its rank, it is taken before fork() and released on
// both sides after it for as long as it exists, so that a child never inherits it locked by a
// thread that the child does not have. What it guards says so with GUARDED_BY.
class CAPABILITY("mutex") Mutex {
public:
    explicit Mutex(LockRank rank);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() ACQUIRE() { mutex_.lock(); }
    void Unlock() RELEASE() { mutex_.unlock(); }

    LockRank rank() const { return rank_; }

private:
    friend class CondVar;
    std::mutex mutex_;
    const LockRank rank_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
    ~MutexLock() RELEASE() { mutex_.Unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
};

// A condition variable waited on with a Mutex held. A wait may wake spuriously: callers loop on
// their condition, which the analysis then sees read under the lock.
class CondVar {
public:
    void Wait(Mutex& mutex) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        condition_.wait(lock);
        lock.release();
    }
    // False when the deadline passed.
    template <typename Clock, typename Duration>
    bool WaitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        const bool woken = condition_.wait_until(lock, deadline) == std::cv_status::no_timeout;
        lock.release();
        return woken;
    }
    void NotifyOne() { condition_.notify_one(); }
    void NotifyAll() { condition_.notify_all(); }

private:
    std::condition_variable condition_;
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_MUTEX_H
