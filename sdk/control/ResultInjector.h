#ifndef MIRELO_SDK_RESULT_INJECTOR_H
#define MIRELO_SDK_RESULT_INJECTOR_H

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

// Results that the next calls of a cloud's operations return instead of doing their work.
class ResultInjector {
public:
    // Takes the failure armed by FailNextCreated, if any: the first injector made after it fails
    // every call for good.
    ResultInjector();

    // Arms a failure for the next cloud created: each of its operations returns `result`
    // (SendCustomCmdMsg, whose result is a bool, returns false).
    static void FailNextCreated(std::optional<int64_t> result);  // nullopt disarms it

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
    std::optional<int64_t> failing_;  // set at construction only
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_RESULT_INJECTOR_H
