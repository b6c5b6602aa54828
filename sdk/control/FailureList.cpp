#include "control/FailureList.h"

#include <utility>
#include <vector>

namespace mirelo {
namespace loopback {

std::string FailureList::Bounded(const std::string& text) {
    if (text.size() <= kMaxTextBytes) {
        return text;
    }
    // The marker is sized for the largest count it can hold, so the result never exceeds the bound.
    const std::string widest = "\n[... cut: " + std::to_string(text.size()) + " more bytes]";
    size_t kept = kMaxTextBytes - widest.size();
    // Never split a UTF-8 character: step back over at most three continuation bytes (text that is
    // not UTF-8 at all is cut where it is).
    for (int step = 0; step < 3 && kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xC0) == 0x80; ++step) {
        --kept;
    }
    return text.substr(0, kept) + "\n[... cut: " + std::to_string(text.size() - kept) + " more bytes]";
}

void FailureList::Add(uint64_t cloud, const std::string& operation, const std::string& text) noexcept {
    try {
        const bool cut = text.size() > kMaxTextBytes;
        Failure failure{cloud, operation, Bounded(text)};
        const size_t bytes = failure.operation.size() + failure.text.size();
        MutexLock lock(mutex_);
        try {
            failures_.push_back(std::move(failure));
            counts_.bytes += bytes;
            counts_.cut += cut ? 1 : 0;
            // The newest entry alone always fits: its text is bounded far below kMaxBytes.
            while (failures_.size() > kMaxFailures || counts_.bytes > kMaxBytes) {
                const Failure& oldest = failures_.front();
                counts_.bytes -= oldest.operation.size() + oldest.text.size();
                failures_.pop_front();
                ++counts_.dropped;
            }
        } catch (...) {
            // Memory exhausted: the failure is not stored (push_back changes nothing when it throws),
            // but it is counted.
            ++counts_.dropped;
        }
    } catch (...) {
        // Memory exhausted before the lock: not stored either, and counted the same way.
        try {
            MutexLock lock(mutex_);
            ++counts_.dropped;
        } catch (...) {
        }
    }
}

Value FailureList::Snapshot() const {
    MutexLock lock(mutex_);
    std::vector<Value> failures;
    failures.reserve(failures_.size());
    for (const Failure& failure : failures_) {
        failures.push_back(
            Value::List({Value::UInt(failure.cloud), Value::Text(failure.operation), Value::Text(failure.text)}));
    }
    return Value::List(std::move(failures));
}

FailureList::Counts FailureList::counts() const {
    MutexLock lock(mutex_);
    Counts counts = counts_;
    counts.entries = failures_.size();
    return counts;
}

void FailureList::Clear() {
    MutexLock lock(mutex_);
    failures_.clear();
    counts_ = Counts{};
}

}  // namespace loopback
}  // namespace mirelo
