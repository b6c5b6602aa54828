#include "control/Journal.h"

#include <utility>

namespace mirelo {
namespace loopback {

void Journal::Record(uint64_t cloud, const char* operation, std::vector<Value> arguments) noexcept {
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    try {
        Value list = Value::List(std::move(arguments));
        const size_t payload = list.payload_bytes();
        lock.lock();
        entries_.push_back(Entry{cloud, operation, std::move(list), payload});
        payload_bytes_ += payload;
        TrimLocked();
    } catch (...) {
        // Memory exhausted: the entry is not stored (push_back changes nothing when it throws), but
        // it is counted.
        try {
            if (!lock.owns_lock()) {
                lock.lock();
            }
            ++dropped_;
        } catch (...) {
        }
    }
}

void Journal::TrimLocked() {
    // The newest entry stays even when its payload alone is over the bound.
    while (entries_.size() > max_entries_ || (payload_bytes_ > max_payload_bytes_ && entries_.size() > 1)) {
        payload_bytes_ -= entries_.front().payload_bytes;
        entries_.pop_front();
        ++dropped_;
    }
}

Value Journal::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Value> entries;
    entries.reserve(entries_.size());
    for (const Entry& entry : entries_) {
        entries.push_back(Value::List({Value::UInt(entry.cloud), Value::Text(entry.operation), entry.arguments}));
    }
    return Value::List(std::move(entries));
}

Journal::Counts Journal::counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Counts{entries_.size(), payload_bytes_, dropped_};
}

void Journal::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
    payload_bytes_ = 0;
    dropped_ = 0;
}

void Journal::SetLimits(size_t max_entries, size_t max_payload_bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    max_entries_ = max_entries;
    max_payload_bytes_ = max_payload_bytes;
    TrimLocked();
}

size_t Journal::max_entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return max_entries_;
}

size_t Journal::max_payload_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return max_payload_bytes_;
}

}  // namespace loopback
}  // namespace mirelo
