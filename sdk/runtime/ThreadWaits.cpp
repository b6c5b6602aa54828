#include "runtime/ThreadWaits.h"

namespace mirelo {
namespace loopback {

bool ThreadWaits::Begin(std::thread::id target) {
    const std::thread::id self = std::this_thread::get_id();
    MutexLock lock(mutex_);
    // The chains hold no cycle, so this walk ends: at a thread that waits for nobody, or at us.
    for (std::thread::id next = target;;) {
        if (next == self) {
            return false;
        }
        auto found = waiting_for_.find(next);
        if (found == waiting_for_.end()) {
            break;
        }
        next = found->second;
    }
    waiting_for_[self] = target;
    return true;
}

void ThreadWaits::End() {
    MutexLock lock(mutex_);
    waiting_for_.erase(std::this_thread::get_id());
}

void ThreadWaits::ForgetInChild() {
    MutexLock lock(mutex_);
    waiting_for_.clear();
}

}  // namespace loopback
}  // namespace mirelo
