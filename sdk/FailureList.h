#ifndef MIRELO_SDK_FAILURE_LIST_H
#define MIRELO_SDK_FAILURE_LIST_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "Value.h"

namespace mirelo {
namespace qolt {

// The exceptions that left delegate operations, oldest first, bounded to the newest ones.
class FailureList {
public:
    static constexpr size_t kMaxFailures = 10000;

    void Add(uint64_t cloud, std::string operation, std::string text);
    Value Snapshot() const;  // a list of [cloud, operation, text]
    void Clear();

    // Held by ForkGuard across fork(), so that a child inherits this state consistent and unlocked.
    std::unique_lock<std::mutex> LockForFork() const { return std::unique_lock<std::mutex>(mutex_); }

private:
    struct Failure {
        uint64_t cloud;
        std::string operation;
        std::string text;
    };

    mutable std::mutex mutex_;
    std::deque<Failure> failures_;  // guarded by mutex_
};

}  // namespace qolt
}  // namespace mirelo

#endif  // MIRELO_SDK_FAILURE_LIST_H
