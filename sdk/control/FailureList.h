#ifndef MIRELO_SDK_FAILURE_LIST_H
#define MIRELO_SDK_FAILURE_LIST_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "control/Value.h"
#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

// The exceptions that left delegate operations, oldest first. Bounded in entries and in bytes, so
// that a handler failing on every event (a recursive bug with a long traceback) cannot make the
// list grow without end: a long text keeps its head (the exception and its innermost frames) and is
// marked as cut, and the oldest entries make room for new ones. Both are counted.
class FailureList {
public:
    static constexpr size_t kMaxFailures = 10000;
    static constexpr size_t kMaxTextBytes = 4096;         // per text, the cut marker included
    static constexpr size_t kMaxBytes = size_t{4} << 20;  // texts and operation names together

    struct Counts {
        uint64_t entries = 0;
        uint64_t bytes = 0;
        uint64_t dropped = 0;  // oldest entries removed for the bounds, or not stored (memory exhausted)
        uint64_t cut = 0;      // texts cut to kMaxTextBytes
    };

    // Never throws: a failure that cannot be stored (memory exhausted) is counted as dropped.
    void Add(uint64_t cloud, const std::string& operation, const std::string& text) noexcept;
    Value Snapshot() const;  // a list of [cloud, operation, text]
    Counts counts() const;
    void Clear();  // the counts too

    // The text as stored: at most kMaxTextBytes, cut at a UTF-8 character boundary and marked.
    static std::string Bounded(const std::string& text);

private:
    struct Failure {
        uint64_t cloud;
        std::string operation;
        std::string text;
    };

    mutable Mutex mutex_{LockRank::kFailures};
    std::deque<Failure> failures_ GUARDED_BY(mutex_);
    Counts counts_ GUARDED_BY(mutex_);  // entries is failures_.size()
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_FAILURE_LIST_H
