#ifndef MIRELO_SDK_EVENT_QUEUE_H
#define MIRELO_SDK_EVENT_QUEUE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include "api/Vendor.h"
#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

class EventPool;

// What an event says about the room, so that the queue can tell which waiting events cancel out.
// Events raised with no subject (the control interface's) are never coalesced.
struct EventSubject {
    enum class Topic : uint8_t {
        kNone,
        kRemoteUser,   // a remote user's presence
        kRemoteAudio,  // a remote user's audio stream
        kRemoteVideo,  // a remote user's video stream of type `stream`
        kLocalAudio,   // the cloud's own audio channel
        kLocalVideo,   // the cloud's own video channel of type `stream`
        kRoomReport,   // every remote user present (a network-quality report)
    };
    enum class Role : uint8_t {
        kWithin,    // means something only while its topic is open: a frame, SEI, a report
        kOpens,     // available, created, entered
        kCloses,    // unavailable, destroyed, exited
        kRepeat,    // kWithin, and a second one while the first waits says nothing more
        kMentions,  // names the topic's user and is never removed: a custom message
    };

    Topic topic = Topic::kNone;
    Role role = Role::kWithin;
    int stream = 0;
    std::string user;  // the remote user; empty for the cloud's own topics
};

// The queue between the producers of a cloud's events (room service, pacing threads, the control
// interface) and whoever delivers them: the cloud's own event thread, or the shared EventPool. Shared
// by the cloud and its deliverer, so that a thread whose cloud was destroyed from inside an event
// can still finish that event and see the sentinel (or, on a pool, the stopped queue).
//
// Events are numbered from 1 in the order they are raised. Media events beyond the media bound are
// dropped oldest first. Once the handler is behind, that is once as many events wait as the media
// bound allows, state events that cancel out are coalesced: an event that closes what a waiting
// event opened (unavailable after available, destroyed after created, exited after entered, all for
// the same user and stream) is not queued, and the waiting one is removed with it, together with
// the media of that stream between them; a key-frame request while the same one waits is not queued
// either. The handler then ends in the state it would have reached by seeing every event, and never
// sees an event close what it did not see open. A pair is kept when an event between them that
// concerns it is never removed (a custom message from the user who entered and left). Every other
// event is always kept, however far the handler falls behind.
class EventQueue : public std::enable_shared_from_this<EventQueue> {
public:
    using Delivery = std::function<void(QOLTCloudDelegate&)>;

    using Subject = EventSubject;

    struct Event {
        uint64_t sequence = 0;
        const char* operation = nullptr;  // static text: the delegate operation's name
        bool droppable = false;
        Delivery deliver;  // empty: the shutdown sentinel
        Subject subject;
    };

    // Counts by operation name (static text, compared by content).
    struct NameLess {
        bool operator()(const char* left, const char* right) const { return std::strcmp(left, right) < 0; }
    };
    using CountsByEvent = std::map<const char*, uint64_t, NameLess>;

    struct Counters {
        uint64_t raised = 0;
        uint64_t delivered = 0;
        uint64_t dropped = 0;    // media dropped for the media bound, oldest first
        uint64_t coalesced = 0;  // state events that cancelled out, and the media removed with them
        uint64_t discarded = 0;  // raised on a cloud without a delegate
        uint64_t queued = 0;
        CountsByEvent dropped_by_event;
        CountsByEvent coalesced_by_event;
    };

    // A queue that discards serves a cloud created without a delegate: it has no thread.
    EventQueue(bool discarding, size_t media_bound);

    // Returns the event's number, or 0 when the event was not queued (stopped or discarding);
    // an event numbered 0 counts as delivered for every waiter. An event coalesced on arrival is
    // numbered but not queued: it is done once every event raised before it is.
    uint64_t Post(const char* operation, bool droppable, Delivery deliver, Subject subject = {});

    // The event thread's side: Next blocks until an event (or the sentinel) is at the front and
    // marks it in flight; Finish reports it done.
    Event Next();
    void Finish(uint64_t sequence);

    // Makes the queue one that `pool` serves: an event that arrives while the queue is not
    // scheduled schedules it, and the pool's threads deliver to `delegate`. Called once, before the
    // first Post; a pooled queue has no sentinel.
    void ServeFrom(EventPool* pool, QOLTCloudDelegate* delegate, uint64_t cloud);
    QOLTCloudDelegate* delegate() const { return delegate_; }
    uint64_t cloud() const { return cloud_; }

    // A pool thread's side. TakeNext marks the front event in flight on the calling thread; when
    // none waits (or the queue stopped) it returns false and the queue is no longer scheduled.
    // EndTurn returns true when events still wait (the queue stays scheduled: the pool puts it back
    // on its ready list), and otherwise unschedules it.
    bool TakeNext(Event& event);
    bool EndTurn();

    // The thread delivering this queue's event now: false when none is in flight.
    bool Delivering(std::thread::id& thread) const;
    // Blocks until no event of this stopped queue is in flight.
    void WaitDelivered();

    // Cancels what is queued and queues the sentinel (for an event thread); later posts are refused.
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

    // The queue whose event the calling thread is delivering (on an event thread: for the thread's
    // whole life), or null.
    static EventQueue* Current();
    static void SetCurrent(EventQueue* queue);

private:
    using Key = std::tuple<Subject::Topic, int, std::string>;  // topic, stream, user
    static Key KeyOf(const Subject& subject) { return Key(subject.topic, subject.stream, subject.user); }
    static bool Concerns(const Subject& event, const Subject& pair);

    uint64_t PostLocked(const char* operation, bool droppable, Delivery deliver, Subject subject) REQUIRES(mutex_);
    bool IsDoneLocked(uint64_t sequence) const REQUIRES(mutex_);
    void WakeDoneWaitersLocked() REQUIRES(mutex_);
    void DropOldestMediaLocked() REQUIRES(mutex_);
    // True when the arriving event cancels out against waiting ones (which it then removes).
    bool CoalesceLocked(const char* operation, const Subject& subject) REQUIRES(mutex_);
    bool CancelPairLocked(const char* operation, const Subject& closing) REQUIRES(mutex_);
    void ForgetWaitingLocked(const Event& event) REQUIRES(mutex_);  // out of the indexes below, leaving the queue

    mutable Mutex mutex_{LockRank::kQueue};
    CondVar work_available_;  // signalled on mutex_ when an event or the sentinel is queued
    CondVar work_done_;       // signalled on mutex_ when awaited events finish, drop or are cancelled
    // Sequences that WaitDone callers wait for: a finished event wakes them only when it reaches
    // the earliest, instead of waking every waiter on every event.
    std::multiset<uint64_t> awaited_ GUARDED_BY(mutex_);
    std::deque<Event> events_ GUARDED_BY(mutex_);
    uint64_t next_sequence_ GUARDED_BY(mutex_) = 1;
    uint64_t in_flight_ GUARDED_BY(mutex_) = 0;  // 0 when no event is being delivered
    size_t queued_media_ GUARDED_BY(mutex_) = 0;
    size_t media_bound_ GUARDED_BY(mutex_);
    std::thread::id deliverer_ GUARDED_BY(mutex_);  // the thread delivering in_flight_
    bool scheduled_ GUARDED_BY(mutex_) = false;     // on the pool's ready list or in a pool thread's turn
    // The newest waiting kOpens and kRepeat event of each topic, by number.
    std::map<Key, uint64_t> waiting_opens_ GUARDED_BY(mutex_);
    std::map<Key, uint64_t> waiting_repeats_ GUARDED_BY(mutex_);
    bool stopped_ GUARDED_BY(mutex_) = false;
    const bool discarding_;
    // Set by ServeFrom before the queue is shared, then only read.
    EventPool* pool_ = nullptr;
    QOLTCloudDelegate* delegate_ = nullptr;
    uint64_t cloud_ = 0;
    Counters counters_ GUARDED_BY(mutex_);  // (queued is computed on reading)
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_EVENT_QUEUE_H
