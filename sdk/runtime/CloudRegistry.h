#ifndef MIRELO_SDK_CLOUD_REGISTRY_H
#define MIRELO_SDK_CLOUD_REGISTRY_H

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "runtime/EventQueue.h"
#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

class LoopbackCloud;

// The live clouds by handle. Handles count from 1 in creation order and are never reused, so the
// map's order is the creation order. A cloud leaves the registry at the start of its destruction;
// a caller that reaches a cloud through With does so under the registry's lock, so the cloud
// cannot be freed meanwhile (the callback must only queue events, never deliver them).
class CloudRegistry {
public:
    uint64_t ReserveHandle();
    void Add(uint64_t handle, LoopbackCloud* cloud);
    void Remove(uint64_t handle);

    std::vector<uint64_t> Handles() const;
    std::vector<std::pair<uint64_t, std::shared_ptr<EventQueue>>> Queues() const;

    template <typename Callback>
    bool With(uint64_t handle, Callback&& callback) const {
        MutexLock lock(mutex_);
        auto found = clouds_.find(handle);
        if (found == clouds_.end()) {
            return false;
        }
        callback(*found->second);
        return true;
    }

private:
    mutable Mutex mutex_{LockRank::kClouds};
    uint64_t next_handle_ GUARDED_BY(mutex_) = 1;
    std::map<uint64_t, LoopbackCloud*> clouds_ GUARDED_BY(mutex_);  // not owned: the binding owns clouds
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_CLOUD_REGISTRY_H
