#ifndef MIRELO_SDK_MESSAGE_ROUTER_H
#define MIRELO_SDK_MESSAGE_ROUTER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "api/Vendor.h"
#include "control/Configuration.h"
#include "rooms/CloudState.h"
#include "rooms/MessageRateLimiter.h"
#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

// SEI and custom command messages from a sender to the other members of its room. SEI goes to the
// subscribers of the sender's video; custom messages go to every member, numbered per sender and
// cmd_id, within the sender's rate limit, and unreliable ones may be lost as configured (the
// receiver then learns how many it missed).
//
// The room service calls it under its own lock, which keeps the members and their queues in place;
// this lock guards the sequence numbers, misses, budgets and the loss decisions, which every
// sender's thread shares. Events are only queued.
class MessageRouter {
public:
    static constexpr size_t kMaxSeiBytes = 1000;
    static constexpr size_t kMaxCustomMessageBytes = 1024;
    static constexpr uint32_t kMissedMessageErrorCode = 0;

    // Whether a custom message may be sent at all, before anything is looked up.
    static bool IsSendableCustom(uint32_t cmd_id, const char* message, size_t length);

    // The sender publishes video; the message is checked, then queued for each subscriber.
    int SendSei(const CloudState& sender, const std::vector<CloudState*>& members, int message_type,
                const char* message, size_t length) const;
    // The sender is in a room and the message is sendable (IsSendableCustom); false when the
    // sender's budget is spent.
    bool SendCustom(const CloudState& sender, const std::vector<CloudState*>& members, uint32_t cmd_id,
                    const char* message, size_t length, bool reliable, const Configuration::Values& settings)
        EXCLUDES(mutex_);

    // The cloud left its room: its numbering starts over, and nobody misses its messages any more.
    void Leave(uint64_t handle) noexcept EXCLUDES(mutex_);
    // The cloud is gone: its budget too.
    void Remove(uint64_t handle) noexcept EXCLUDES(mutex_);

private:
    Mutex mutex_{LockRank::kMessages};
    std::map<uint64_t, std::map<int32_t, uint32_t>> sequences_ GUARDED_BY(mutex_);  // sender, then cmd_id
    // Receiver, then (sender, cmd_id): unreliable messages lost since the last one that arrived.
    std::map<uint64_t, std::map<std::pair<uint64_t, int32_t>, uint32_t>> missed_ GUARDED_BY(mutex_);
    std::map<uint64_t, MessageRateLimiter> budgets_ GUARDED_BY(mutex_);  // by sender, for the cloud's life
    std::mt19937_64 loss_random_ GUARDED_BY(mutex_);
    uint64_t loss_seed_ GUARDED_BY(mutex_) = 0;
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_MESSAGE_ROUTER_H
