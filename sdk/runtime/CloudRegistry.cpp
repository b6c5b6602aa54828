#include "runtime/CloudRegistry.h"

#include "runtime/LoopbackCloud.h"

namespace mirelo {
namespace loopback {

uint64_t CloudRegistry::ReserveHandle() {
    MutexLock lock(mutex_);
    return next_handle_++;
}

void CloudRegistry::Add(uint64_t handle, LoopbackCloud* cloud) {
    MutexLock lock(mutex_);
    clouds_[handle] = cloud;
}

void CloudRegistry::Remove(uint64_t handle) {
    MutexLock lock(mutex_);
    clouds_.erase(handle);
}

std::vector<uint64_t> CloudRegistry::Handles() const {
    MutexLock lock(mutex_);
    std::vector<uint64_t> handles;
    handles.reserve(clouds_.size());
    for (const auto& entry : clouds_) {
        handles.push_back(entry.first);
    }
    return handles;
}

std::vector<std::pair<uint64_t, std::shared_ptr<EventQueue>>> CloudRegistry::Queues() const {
    MutexLock lock(mutex_);
    std::vector<std::pair<uint64_t, std::shared_ptr<EventQueue>>> queues;
    queues.reserve(clouds_.size());
    for (const auto& entry : clouds_) {
        queues.emplace_back(entry.first, entry.second->events());
    }
    return queues;
}

}  // namespace loopback
}  // namespace mirelo
