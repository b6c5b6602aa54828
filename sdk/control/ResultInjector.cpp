#include "control/ResultInjector.h"

#include <string>

namespace mirelo {
namespace loopback {
namespace {

// The failure that the next cloud made takes on, if armed. Made on first use and never destroyed,
// so that neither static construction nor destruction order matters to its lock.
struct PendingFailure {
    Mutex mutex{LockRank::kInjections};
    std::optional<int64_t> result GUARDED_BY(mutex);
};

PendingFailure& Pending() {
    static PendingFailure* const pending = new PendingFailure();
    return *pending;
}

}  // namespace

ResultInjector::ResultInjector() {
    PendingFailure& pending = Pending();
    MutexLock lock(pending.mutex);
    failing_.swap(pending.result);
}

void ResultInjector::FailNextCreated(std::optional<int64_t> result) {
    PendingFailure& pending = Pending();
    MutexLock lock(pending.mutex);
    pending.result = result;
}

void ResultInjector::Inject(const std::string& operation, int64_t result, uint32_t count) {
    if (count == 0) {
        return;
    }
    MutexLock lock(mutex_);
    injections_[operation].push_back(Injection{result, count});
}

bool ResultInjector::Take(const char* operation, int64_t& result) {
    MutexLock lock(mutex_);
    auto found = injections_.find(operation);
    if (found == injections_.end()) {
        if (failing_) {
            result = std::string(operation) == "SendCustomCmdMsg" ? 0 : *failing_;
        }
        return failing_.has_value();
    }
    Injection& next = found->second.front();
    result = next.result;
    if (--next.remaining == 0) {
        found->second.pop_front();
        if (found->second.empty()) {
            injections_.erase(found);
        }
    }
    return true;
}

}  // namespace loopback
}  // namespace mirelo
