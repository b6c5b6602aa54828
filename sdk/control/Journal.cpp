#include "control/Journal.h"

#include <utility>

namespace mirelo {
namespace loopback {

void Journal::Record(uint64_t cloud, const char* operation, std::vector<Value> arguments) noexcept {
    try {
        Value list = Value::List(std::move(arguments));
        const size_t payload = list.payload_bytes();
        MutexLock lock(mutex_);
        try {
            entries_.push_back(Entry{cloud, operation, std::move(list), payload});
            payload_bytes_ += payload;
            TrimLocked();
        } catch (...) {
            // Memory exhausted: the entry is not stored (push_back changes nothing when it throws), but
            // it is counted.
            ++dropped_;
        }
    } catch (...) {
        // Memory exhausted before the lock: not stored either, and counted the same way.
        try {
            MutexLock lock(mutex_);
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
    MutexLock lock(mutex_);
    std::vector<Value> entries;
    entries.reserve(entries_.size());
    for (const Entry& entry : entries_) {
        entries.push_back(Value::List({Value::UInt(entry.cloud), Value::Text(entry.operation), entry.arguments}));
    }
    return Value::List(std::move(entries));
}

Journal::Counts Journal::counts() const {
    MutexLock lock(mutex_);
    return Counts{entries_.size(), payload_bytes_, dropped_};
}

void Journal::Clear() {
    MutexLock lock(mutex_);
    entries_.clear();
    payload_bytes_ = 0;
    dropped_ = 0;
}

void Journal::SetLimits(size_t max_entries, size_t max_payload_bytes) {
    MutexLock lock(mutex_);
    max_entries_ = max_entries;
    max_payload_bytes_ = max_payload_bytes;
    TrimLocked();
}

size_t Journal::max_entries() const {
    MutexLock lock(mutex_);
    return max_entries_;
}

size_t Journal::max_payload_bytes() const {
    MutexLock lock(mutex_);
    return max_payload_bytes_;
}

}  // namespace loopback
}  // namespace mirelo
