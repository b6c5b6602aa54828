#include "rooms/MessageRouter.h"

#include <climits>
#include <string>

#include "rooms/RoomEvents.h"

namespace mirelo {
namespace loopback {

using namespace room_events;

bool MessageRouter::IsSendableCustom(uint32_t cmd_id, const char* message, size_t length) {
    return cmd_id >= 1 && cmd_id <= 10 && length <= kMaxCustomMessageBytes && (message != nullptr || length == 0);
}

int MessageRouter::SendSei(const CloudState& sender, const std::vector<CloudState*>& members, int message_type,
                           const char* message, size_t length) const {
    if (message == nullptr || length == 0 || length > kMaxSeiBytes) {
        return ERR_INVALID_PARAMETER;
    }
    const StreamType stream =
        sender.HasVideo(STREAM_TYPE_VIDEO_HIGH) ? STREAM_TYPE_VIDEO_HIGH : sender.video_channels.front();
    const std::string user_id = sender.user_id;
    const std::string payload(message, length);
    for (CloudState* receiver : members) {
        if (receiver != &sender && receiver->Subscribed(user_id, stream)) {
            // SEI rides on the video stream, and goes as its frames go: a receiver that falls behind
            // loses the oldest, counted, rather than holding every message however far behind it
            // is. A rate limit at the sender would not do: a sender that tags every frame at a
            // high frame rate is well behaved, and the receiver's handler, not the sender, sets
            // how much can wait.
            Raise(
                *receiver, "OnSeiMessageReceived", kMedia,
                [user_id, stream, message_type, payload](QOLTCloudDelegate& delegate) {
                    delegate.OnSeiMessageReceived(user_id.c_str(), stream, message_type, payload.data(),
                                                  payload.size());
                },
                About(Topic::kRemoteVideo, Role::kWithin, user_id, stream));
        }
    }
    return ERR_OK;
}

bool MessageRouter::SendCustom(const CloudState& sender, const std::vector<CloudState*>& members, uint32_t cmd_id,
                               const char* message, size_t length, bool reliable,
                               const Configuration::Values& settings) {
    MutexLock lock(mutex_);
    if (!budgets_[sender.handle].Admit(length, CloudState::Clock::now())) {
        return false;
    }
    if (settings.custom_message_seed != loss_seed_) {
        loss_seed_ = settings.custom_message_seed;
        loss_random_.seed(loss_seed_);
    }
    const int32_t command = static_cast<int32_t>(cmd_id);
    const uint32_t sequence = ++sequences_[sender.handle][command];
    const std::string user_id = sender.user_id;
    const std::string payload = length == 0 ? std::string() : std::string(message, length);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    for (CloudState* receiver : members) {
        if (receiver == &sender) {
            continue;
        }
        uint32_t& missed = missed_[receiver->handle][{sender.handle, command}];
        if (!reliable && settings.custom_message_loss > 0.0 && chance(loss_random_) < settings.custom_message_loss) {
            ++missed;
            continue;
        }
        if (missed != 0) {
            const uint32_t count = missed;
            Raise(
                *receiver, "OnMissCustomCmdMsg", kKept,
                [user_id, command, count](QOLTCloudDelegate& delegate) {
                    delegate.OnMissCustomCmdMsg(user_id.c_str(), command, kMissedMessageErrorCode, count);
                },
                About(Topic::kRemoteUser, Role::kMentions, user_id));
            missed = 0;
        }
        // Never dropped nor coalesced: the sender's rate limit bounds them.
        Raise(
            *receiver, "OnReceiveCustomCmdMsg", kKept,
            [user_id, command, sequence, payload](QOLTCloudDelegate& delegate) {
                delegate.OnReceiveCustomCmdMsg(user_id.c_str(), command, sequence, payload.data(), payload.size());
            },
            About(Topic::kRemoteUser, Role::kMentions, user_id));
    }
    return true;
}

void MessageRouter::Leave(uint64_t handle) noexcept {
    MutexLock lock(mutex_);
    sequences_.erase(handle);
    missed_.erase(handle);
    for (auto& receiver : missed_) {
        auto& misses = receiver.second;
        misses.erase(misses.lower_bound({handle, INT32_MIN}), misses.upper_bound({handle, INT32_MAX}));
    }
}

void MessageRouter::Remove(uint64_t handle) noexcept {
    Leave(handle);
    MutexLock lock(mutex_);
    budgets_.erase(handle);
}

}  // namespace loopback
}  // namespace mirelo
