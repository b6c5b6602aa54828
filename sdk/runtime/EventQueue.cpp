#include "runtime/EventQueue.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "runtime/EventPool.h"

namespace mirelo {
namespace loopback {
namespace {

thread_local EventQueue* current_queue = nullptr;

}  // namespace

EventQueue::EventQueue(bool discarding, size_t media_bound)
    : media_bound_(std::max<size_t>(media_bound, 1)), discarding_(discarding) {}

void EventQueue::ServeFrom(EventPool* pool, QOLTCloudDelegate* delegate, uint64_t cloud) {
    pool_ = pool;
    delegate_ = delegate;
    cloud_ = cloud;
}

uint64_t EventQueue::Post(const char* operation, bool droppable, Delivery deliver, Subject subject) {
    bool schedule = false;
    uint64_t sequence = 0;
    {
        MutexLock lock(mutex_);
        sequence = PostLocked(operation, droppable, std::move(deliver), std::move(subject));
        // Scheduled here, queued on the pool's list below, once this lock is released.
        if (pool_ != nullptr && !scheduled_ && !events_.empty()) {
            scheduled_ = schedule = true;
        }
    }
    if (schedule) {
        pool_->Schedule(shared_from_this());
    }
    return sequence;
}

uint64_t EventQueue::PostLocked(const char* operation, bool droppable, Delivery deliver, Subject subject) {
    if (stopped_) {
        return 0;
    }
    ++counters_.raised;
    if (discarding_) {
        ++counters_.discarded;
        return 0;
    }
    const uint64_t sequence = next_sequence_++;
    // Only a handler that is behind loses sight of pairs: one that keeps up sees every event.
    if (events_.size() >= media_bound_ && CoalesceLocked(operation, subject)) {
        WakeDoneWaitersLocked();
        return sequence;
    }
    if (droppable) {
        if (queued_media_ >= media_bound_) {
            DropOldestMediaLocked();
        }
        ++queued_media_;
    }
    switch (subject.role) {
        case Subject::Role::kOpens:
            waiting_opens_[KeyOf(subject)] = sequence;
            break;
        case Subject::Role::kRepeat:
            waiting_repeats_[KeyOf(subject)] = sequence;
            break;
        case Subject::Role::kCloses:
            // What waits before it is closed already: nothing after can cancel against it.
            waiting_opens_.erase(KeyOf(subject));
            waiting_repeats_.erase(KeyOf(subject));
            break;
        default:
            break;
    }
    events_.push_back(Event{sequence, operation, droppable, std::move(deliver), std::move(subject)});
    work_available_.NotifyOne();
    return sequence;
}

void EventQueue::DropOldestMediaLocked() {
    auto oldest = std::find_if(events_.begin(), events_.end(), [](const Event& event) { return event.droppable; });
    if (oldest != events_.end()) {
        ++counters_.dropped_by_event[oldest->operation];
        events_.erase(oldest);
        --queued_media_;
        ++counters_.dropped;
        work_done_.NotifyAll();
    }
}

bool EventQueue::Concerns(const Subject& event, const Subject& pair) {
    using Topic = Subject::Topic;
    if (event.topic == Topic::kNone) {
        return false;
    }
    if (pair.topic == Topic::kRemoteUser) {
        // A user's presence covers everything about that user, and the reports that list them.
        return event.topic == Topic::kRoomReport ||
               (event.user == pair.user && (event.topic == Topic::kRemoteUser || event.topic == Topic::kRemoteAudio ||
                                            event.topic == Topic::kRemoteVideo));
    }
    return event.topic == pair.topic && event.stream == pair.stream && event.user == pair.user;
}

bool EventQueue::CoalesceLocked(const char* operation, const Subject& subject) {
    switch (subject.role) {
        case Subject::Role::kCloses:
            return CancelPairLocked(operation, subject);
        case Subject::Role::kRepeat: {
            // The waiting request still comes after the topic's newest opening: this one adds nothing.
            const Key key = KeyOf(subject);
            const auto repeat = waiting_repeats_.find(key);
            const auto opens = waiting_opens_.find(key);
            if (repeat == waiting_repeats_.end() || (opens != waiting_opens_.end() && opens->second > repeat->second)) {
                return false;
            }
            ++counters_.coalesced;
            ++counters_.coalesced_by_event[operation];
            return true;
        }
        default:
            return false;
    }
}

bool EventQueue::CancelPairLocked(const char* operation, const Subject& closing) {
    const auto opens = waiting_opens_.find(KeyOf(closing));
    if (opens == waiting_opens_.end()) {
        return false;  // the handler has seen the opening event, or is seeing it: it must see this one
    }
    const auto first =
        std::lower_bound(events_.begin(), events_.end(), opens->second,
                         [](const Event& event, uint64_t sequence) { return event.sequence < sequence; });
    if (first == events_.end() || first->sequence != opens->second) {
        return false;  // not expected: the index names only waiting events
    }
    // Whatever waits between the two and concerns them must be removable with them: media, or what
    // means something only while the pair is open. Anything else (a custom message from a user who
    // entered and left) keeps the pair, so that it never names a user the handler did not see enter.
    for (auto event = std::next(first); event != events_.end(); ++event) {
        if (Concerns(event->subject, closing) && !event->droppable &&
            !(KeyOf(event->subject) == KeyOf(closing) &&
              (event->subject.role == Subject::Role::kWithin || event->subject.role == Subject::Role::kRepeat))) {
            return false;
        }
    }
    auto kept = first;
    for (auto event = first; event != events_.end(); ++event) {
        if (event == first || Concerns(event->subject, closing)) {
            ForgetWaitingLocked(*event);
            if (event->droppable) {
                --queued_media_;
            }
            ++counters_.coalesced;
            ++counters_.coalesced_by_event[event->operation];
        } else {
            if (kept != event) {
                *kept = std::move(*event);
            }
            ++kept;
        }
    }
    events_.erase(kept, events_.end());
    ++counters_.coalesced;
    ++counters_.coalesced_by_event[operation];
    return true;
}

void EventQueue::ForgetWaitingLocked(const Event& event) {
    std::map<Key, uint64_t>* index = nullptr;
    if (event.subject.role == Subject::Role::kOpens) {
        index = &waiting_opens_;
    } else if (event.subject.role == Subject::Role::kRepeat) {
        index = &waiting_repeats_;
    } else {
        return;
    }
    const auto found = index->find(KeyOf(event.subject));
    if (found != index->end() && found->second == event.sequence) {
        index->erase(found);
    }
}

EventQueue::Event EventQueue::Next() {
    MutexLock lock(mutex_);
    while (events_.empty()) {
        work_available_.Wait(mutex_);
    }
    Event event = std::move(events_.front());
    events_.pop_front();
    if (event.droppable) {
        --queued_media_;
    }
    ForgetWaitingLocked(event);
    in_flight_ = event.sequence;
    return event;
}

bool EventQueue::TakeNext(Event& event) {
    MutexLock lock(mutex_);
    if (events_.empty() || !events_.front().deliver) {
        scheduled_ = false;
        return false;
    }
    event = std::move(events_.front());
    events_.pop_front();
    if (event.droppable) {
        --queued_media_;
    }
    ForgetWaitingLocked(event);
    in_flight_ = event.sequence;
    deliverer_ = std::this_thread::get_id();
    return true;
}

bool EventQueue::EndTurn() {
    MutexLock lock(mutex_);
    if (events_.empty()) {
        scheduled_ = false;
    }
    return scheduled_;
}

bool EventQueue::Delivering(std::thread::id& thread) const {
    MutexLock lock(mutex_);
    thread = deliverer_;
    return in_flight_ != 0;
}

void EventQueue::WaitDelivered() {
    MutexLock lock(mutex_);
    while (in_flight_ != 0) {
        work_done_.Wait(mutex_);
    }
}

void EventQueue::Finish(uint64_t sequence) {
    MutexLock lock(mutex_);
    if (in_flight_ == sequence && sequence != 0) {
        in_flight_ = 0;
        deliverer_ = std::thread::id();
        ++counters_.delivered;
        if (stopped_) {
            work_done_.NotifyAll();  // a Destroy may wait for this very event (WaitDelivered)
        }
    }
    // The earliest waiter may be done although its event was not this one: Stop cancelled it, or
    // load dropped or coalesced it, while this one was in flight.
    WakeDoneWaitersLocked();
}

void EventQueue::WakeDoneWaitersLocked() {
    if (!awaited_.empty() && IsDoneLocked(*awaited_.begin())) {
        work_done_.NotifyAll();
    }
}

void EventQueue::Stop() {
    MutexLock lock(mutex_);
    if (stopped_) {
        return;
    }
    stopped_ = true;
    events_.clear();
    queued_media_ = 0;
    waiting_opens_.clear();
    waiting_repeats_.clear();
    if (!discarding_ && pool_ == nullptr) {
        events_.push_back(Event{});
        work_available_.NotifyOne();
    }
    work_done_.NotifyAll();
}

void EventQueue::Abandon() {
    MutexLock lock(mutex_);
    stopped_ = true;
    events_.clear();
    queued_media_ = 0;
    waiting_opens_.clear();
    waiting_repeats_.clear();
    in_flight_ = 0;
    deliverer_ = std::thread::id();
}

bool EventQueue::IsDoneLocked(uint64_t sequence) const {
    if (sequence == 0) {
        return true;
    }
    if (in_flight_ != 0) {
        return sequence < in_flight_;
    }
    for (const Event& event : events_) {
        if (event.deliver) {
            return sequence < event.sequence;  // numbers grow along the queue
        }
    }
    return true;
}

bool EventQueue::WaitDone(uint64_t sequence, std::chrono::steady_clock::time_point deadline) {
    {
        MutexLock lock(mutex_);
        if (IsDoneLocked(sequence)) {
            return true;
        }
    }
    // A handler that waits here holds its pool thread: the pool lets another take the ready work.
    EventPool::Blocking blocking;
    MutexLock lock(mutex_);
    const auto awaiting = awaited_.insert(sequence);
    bool done = IsDoneLocked(sequence);
    while (!done) {
        const bool woken = work_done_.WaitUntil(mutex_, deadline);
        done = IsDoneLocked(sequence);
        if (!woken) {
            break;
        }
    }
    awaited_.erase(awaiting);
    return done;
}

uint64_t EventQueue::last_raised() const {
    MutexLock lock(mutex_);
    return next_sequence_ - 1;
}

EventQueue::Counters EventQueue::counters() const {
    MutexLock lock(mutex_);
    Counters snapshot = counters_;
    snapshot.queued = 0;
    for (const Event& event : events_) {
        snapshot.queued += event.deliver ? 1 : 0;
    }
    return snapshot;
}

void EventQueue::set_media_bound(size_t media_bound) {
    MutexLock lock(mutex_);
    media_bound_ = std::max<size_t>(media_bound, 1);
    while (queued_media_ > media_bound_) {
        DropOldestMediaLocked();
    }
}

EventQueue* EventQueue::Current() { return current_queue; }

void EventQueue::SetCurrent(EventQueue* queue) { current_queue = queue; }

}  // namespace loopback
}  // namespace mirelo
