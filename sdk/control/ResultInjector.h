#ifndef MIRELO_SDK_RESULT_INJECTOR_H
#define MIRELO_SDK_RESULT_INJECTOR_H

#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

// Results that the next calls of a cloud's operations return instead of doing their work.
class ResultInjector {
public:
    // Queued after what is already injected for that operation.
    void Inject(const std::string& operation, int64_t result, uint32_t count);
    bool Take(const char* operation, int64_t& result);

private:
    struct Injection {
        int64_t result;
        uint32_t remaining;
    };

    mutable Mutex mutex_{LockRank::kInjections};
    std::map<std::string, std::deque<Injection>> injections_ GUARDED_BY(mutex_);
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_RESULT_INJECTOR_H
