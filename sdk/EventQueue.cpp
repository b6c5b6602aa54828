#include "EventQueue.h"

#include <algorithm>
#include <utility>

namespace mirelo {
namespace qolt {
namespace {

thread_local EventQueue* current_queue = nullptr;

}  // namespace

EventQueue::EventQueue(bool discarding, size_t media_bound)
    : media_bound_(std::max<size_t>(media_bound, 1)), discarding_(discarding) {}

uint64_t EventQueue::Post(const char* operation, bool droppable, Delivery deliver) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) {
        return 0;
    }
    ++counters_.raised;
    if (discarding_) {
        ++counters_.discarded;
        return 0;
    }
    if (droppable) {
        if (queued_media_ >= media_bound_) {
            DropOldestMediaLocked();
        }
        ++queued_media_;
    }
    const uint64_t sequence = next_sequence_++;
    events_.push_back(Event{sequence, operation, droppable, std::move(deliver)});
    work_available_.notify_one();
    return sequence;
}

void EventQueue::DropOldestMediaLocked() {
    auto oldest = std::find_if(events_.begin(), events_.end(), [](const Event& event) { return event.droppable; });
    if (oldest != events_.end()) {
        events_.erase(oldest);
        --queued_media_;
        ++counters_.dropped;
        work_done_.notify_all();
    }
}

EventQueue::Event EventQueue::Next() {
    std::unique_lock<std::mutex> lock(mutex_);
    work_available_.wait(lock, [this] { return !events_.empty(); });
    Event event = std::move(events_.front());
    events_.pop_front();
    if (event.droppable) {
        --queued_media_;
    }
    in_flight_ = event.sequence;
    return event;
}

void EventQueue::Finish(uint64_t sequence) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (in_flight_ == sequence && sequence != 0) {
        in_flight_ = 0;
        ++counters_.delivered;
    }
    // The earliest waiter may be done although its event was not this one: Stop cancelled it, or
    // load dropped it, while this one was in flight.
    if (!awaited_.empty() && IsDoneLocked(*awaited_.begin())) {
        work_done_.notify_all();
    }
}

void EventQueue::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) {
        return;
    }
    stopped_ = true;
    events_.clear();
    queued_media_ = 0;
    if (!discarding_) {
        events_.push_back(Event{});
        work_available_.notify_one();
    }
    work_done_.notify_all();
}

void EventQueue::Abandon() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    events_.clear();
    queued_media_ = 0;
    in_flight_ = 0;
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
    std::unique_lock<std::mutex> lock(mutex_);
    const auto awaiting = awaited_.insert(sequence);
    const bool done = work_done_.wait_until(lock, deadline, [&] { return IsDoneLocked(sequence); });
    awaited_.erase(awaiting);
    return done;
}

uint64_t EventQueue::last_raised() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_sequence_ - 1;
}

EventQueue::Counters EventQueue::counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Counters snapshot = counters_;
    snapshot.queued = 0;
    for (const Event& event : events_) {
        snapshot.queued += event.deliver ? 1 : 0;
    }
    return snapshot;
}

void EventQueue::set_media_bound(size_t media_bound) {
    std::lock_guard<std::mutex> lock(mutex_);
    media_bound_ = std::max<size_t>(media_bound, 1);
    while (queued_media_ > media_bound_) {
        DropOldestMediaLocked();
    }
}

EventQueue* EventQueue::Current() { return current_queue; }

void EventQueue::SetCurrent(EventQueue* queue) { current_queue = queue; }

}  // namespace qolt
}  // namespace mirelo
