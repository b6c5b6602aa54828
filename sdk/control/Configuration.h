#ifndef MIRELO_SDK_CONFIGURATION_H
#define MIRELO_SDK_CONFIGURATION_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "control/Journal.h"
#include "control/Value.h"
#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

// The loopback's tunables, set through the control API. Each one's range is defined once, in
// Configuration.cpp, and published by Ranges() for callers to check against and to document.
class Configuration {
public:
    struct Values {
        int64_t network_quality_interval_ms = 2000;
        double custom_message_loss = 0.0;  // probability that an unreliable custom message is lost
        uint64_t custom_message_seed = 1;  // seeds the loss decisions, so runs repeat
        uint64_t media_queue_bound = 256;  // media events queued per cloud before the oldest drop
        uint64_t audio_buffer_ms = 1000;   // audio buffered per source for GetAudioFrame and the mix
        uint64_t journal_entries = Journal::kDefaultMaxEntries;
        uint64_t journal_payload_bytes = Journal::kDefaultMaxPayloadBytes;
        uint64_t journal_frame_payloads = 0;  // 1: frames are journaled with their payloads, 0: their sizes only
        // Threads that deliver every cloud's events; 0: a thread per cloud (for clouds made after).
        uint64_t event_threads = DefaultEventThreads();
        uint64_t event_stall_ms = 20;  // a handler's turn this long lets another thread take the others'
    };

    static uint64_t DefaultEventThreads();  // the machine's cores, within event_threads' range

    Values values() const;
    // Applies the fields present in `settings` (a dict); false, with nothing changed, when a field
    // is unknown, of the wrong type or out of range. `error` then names it.
    bool Apply(const Value& settings, std::string& error);
    Value Snapshot() const;
    static Value Defaults();  // a dict of every field's default, as Apply takes it

    // A dict: for each field (by its name in Apply and Snapshot) a dict of min, max and default.
    static Value Ranges();

private:
    mutable Mutex mutex_{LockRank::kConfiguration};
    Values values_ GUARDED_BY(mutex_);
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_CONFIGURATION_H
