#include "control/ResultInjector.h"

#include <string>

namespace mirelo {
namespace loopback {
namespace {

std::mutex pending_mutex;
std::optional<int64_t> pending_failure;  // guarded by pending_mutex

}  // namespace

ResultInjector::ResultInjector() {
    std::lock_guard<std::mutex> lock(pending_mutex);
    failing_.swap(pending_failure);
}

void ResultInjector::FailNextCreated(std::optional<int64_t> result) {
    std::lock_guard<std::mutex> lock(pending_mutex);
    pending_failure = result;
}

void ResultInjector::Inject(const std::string& operation, int64_t result, uint32_t count) {
    if (count == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    injections_[operation].push_back(Injection{result, count});
}

bool ResultInjector::Take(const char* operation, int64_t& result) {
    std::lock_guard<std::mutex> lock(mutex_);
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
