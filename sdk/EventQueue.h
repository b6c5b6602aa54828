#ifndef MIRELO_SDK_EVENT_QUEUE_H
#define MIRELO_SDK_EVENT_QUEUE_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>

#include "qolt/mirelo_qolt_cloud.h"

namespace mirelo {
namespace qolt {

// The queue between the producers of a cloud's events (room service, pacing threads, the control
// interface) and the cloud's event thread. Shared by the cloud and its thread, so that a thread
// whose cloud was destroyed from inside an event can still finish that event and see the sentinel.
//
// Events are numbered from 1 in the order they are raised. Media events beyond the media bound are
// dropped oldest first; every other event is always kept, however far the handler falls behind.
class EventQueue {
public:
    using Delivery = std::function<void(QOLTCloudDelegate&)>;

    struct Event {
        uint64_t sequence = 0;
        const char* operation = nullptr;  // static text: the delegate operation's name
        bool droppable = false;
        Delivery deliver;  // empty: the shutdown sentinel
    };

    struct Counters {
        uint64_t raised = 0;
        uint64_t delivered = 0;
        uint64_t dropped = 0;
        uint64_t discarded = 0;  // raised on a cloud without a delegate
        uint64_t queued = 0;
    };

    // A queue that discards serves a cloud created without a delegate: it has no thread.
    EventQueue(bool discarding, size_t media_bound);

    // Returns the event's number, or 0 when the event was not queued (stopped or discarding);
    // an event numbered 0 counts as delivered for every waiter.
    uint64_t Post(const char* operation, bool droppable, Delivery deliver);

    // The event thread's side: Next blocks until an event (or the sentinel) is at the front and
    // marks it in flight; Finish reports it done.
    Event Next();
    void Finish(uint64_t sequence);

    // Cancels what is queued and queues the sentinel; later posts are refused.
    void Stop();

    // In a child made by fork(), for a queue whose event thread stayed in the parent: drops what is
    // queued or was in flight and refuses later posts, so that nothing waits for it. Nobody is woken:
    // whoever waited on this queue at the fork is a thread of the parent too, and waking waiters that
    // do not exist can block forever.
    void Abandon();

    // True once every event numbered up to `sequence` has been delivered, dropped or cancelled.
    bool WaitDone(uint64_t sequence, std::chrono::steady_clock::time_point deadline);
    uint64_t last_raised() const;

    Counters counters() const;
    void set_media_bound(size_t media_bound);

    // The queue whose event thread is the calling thread, or null.
    static EventQueue* Current();
    static void SetCurrent(EventQueue* queue);

    // Held by ForkGuard across fork(), so that a child inherits this state consistent and unlocked.
    std::unique_lock<std::mutex> LockForFork() const { return std::unique_lock<std::mutex>(mutex_); }

private:
    bool IsDoneLocked(uint64_t sequence) const;
    void DropOldestMediaLocked();

    mutable std::mutex mutex_;
    std::condition_variable work_available_;  // signalled on mutex_ when an event or the sentinel is queued
    std::condition_variable work_done_;       // signalled on mutex_ when awaited events finish, drop or are cancelled
    // Sequences that WaitDone callers wait for, guarded by mutex_: a finished event wakes them only
    // when it reaches the earliest, instead of waking every waiter on every event.
    std::multiset<uint64_t> awaited_;
    std::deque<Event> events_;                // guarded by mutex_
    uint64_t next_sequence_ = 1;              // guarded by mutex_
    uint64_t in_flight_ = 0;                  // guarded by mutex_; 0 when no event is being delivered
    size_t queued_media_ = 0;                 // guarded by mutex_
    size_t media_bound_;                      // guarded by mutex_
    bool stopped_ = false;                    // guarded by mutex_
    const bool discarding_;
    Counters counters_;  // guarded by mutex_ (queued is computed on reading)
};

}  // namespace qolt
}  // namespace mirelo

#endif  // MIRELO_SDK_EVENT_QUEUE_H
