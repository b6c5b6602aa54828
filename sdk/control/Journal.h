#ifndef MIRELO_SDK_JOURNAL_H
#define MIRELO_SDK_JOURNAL_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "control/Value.h"
#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

// Every SDK entry point called, with its arguments as plain values, newest last. It keeps a bounded
// number of the newest entries and a bounded amount of payload (frames are journaled by sharing
// their payload, which would otherwise keep every frame of a long run alive; texts count as
// payload too). The oldest entries make room for new ones, and each one removed is counted.
class Journal {
public:
    static constexpr size_t kDefaultMaxEntries = 10000;
    static constexpr size_t kDefaultMaxPayloadBytes = 64u << 20;

    struct Counts {
        uint64_t entries = 0;
        uint64_t payload_bytes = 0;
        uint64_t dropped = 0;  // oldest entries removed for the bounds, or not stored (memory exhausted)
    };

    struct Entry {
        uint64_t cloud;         // 0 for the process-wide functions
        const char* operation;  // static text
        Value arguments;        // a list
        size_t payload_bytes;
    };

    // Never throws: an entry that cannot be stored (memory exhausted) is left out, so that the
    // journal never turns the operation it records into a failure.
    void Record(uint64_t cloud, const char* operation, std::vector<Value> arguments) noexcept;
    Value Snapshot() const;  // a list of [cloud, operation, arguments]
    Counts counts() const;
    void Clear();  // the counts too
    void SetLimits(size_t max_entries, size_t max_payload_bytes);
    size_t max_entries() const;
    size_t max_payload_bytes() const;

private:
    void TrimLocked() REQUIRES(mutex_);

    mutable Mutex mutex_{LockRank::kJournal};
    std::deque<Entry> entries_ GUARDED_BY(mutex_);
    size_t payload_bytes_ GUARDED_BY(mutex_) = 0;
    uint64_t dropped_ GUARDED_BY(mutex_) = 0;
    size_t max_entries_ GUARDED_BY(mutex_) = kDefaultMaxEntries;
    size_t max_payload_bytes_ GUARDED_BY(mutex_) = kDefaultMaxPayloadBytes;
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_JOURNAL_H
