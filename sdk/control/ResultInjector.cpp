#include "control/ResultInjector.h"

namespace mirelo {
namespace loopback {

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
        return false;
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
