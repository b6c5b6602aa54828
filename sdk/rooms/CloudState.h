#ifndef MIRELO_SDK_CLOUD_STATE_H
#define MIRELO_SDK_CLOUD_STATE_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "media/AudioFormatConverter.h"
#include "media/AudioMixer.h"
#include "media/AudioReframer.h"
#include "runtime/EventQueue.h"
#include "rooms/MessageRateLimiter.h"
#include "api/Vendor.h"

namespace mirelo {
namespace loopback {

// Audio a cloud lost, for the statistics: nothing is dropped without being counted here.
struct AudioLosses {
    uint64_t paced_refused = 0;    // frames SendContinuousAudioFrame refused, its queue being full
    uint64_t paced_cleared = 0;    // queued frames discarded: clear_send_queue, channel closed, room left
    uint64_t samples_dropped = 0;  // received samples (per channel) never handed out, see RoomService
};

// What the room service knows of one cloud. Owned by the room service and guarded by its lock.
struct CloudState {
    using Clock = std::chrono::steady_clock;

    uint64_t handle = 0;
    std::shared_ptr<EventQueue> events;
    ConnectionState connection = CONNECTION_STATE_INIT;
    bool voice_detection = false;
    std::map<int, VideoEncodeParams> video_encode_params;  // by stream type

    // While in a room.
    bool in_room = false;
    std::string room_key;
    std::string user_id;
    QOLTRole role = QOLT_ROLE_ANCHOR;
    AudioObtainParams obtain;
    bool pixel_output = false;
    std::optional<AudioEncodeParams> audio_channel;
    std::vector<StreamType> video_channels;                    // in creation order
    std::set<std::pair<std::string, int>> subscriptions;      // (user id, stream type)

    // Receiving audio: a converter per sender into this cloud's output format, then either a
    // reframer per sender (each sender's frames apart) or the mix.
    std::map<uint64_t, std::unique_ptr<AudioFormatConverter>> converters;
    std::map<uint64_t, AudioReframer> reframers;
    std::unique_ptr<AudioMixer> mixer;
    uint32_t mixed_pts = 0;  // milliseconds of mixed audio handed out

    // Custom messages: sequence numbers as a sender (by cmd_id), misses as a receiver.
    std::map<int, uint32_t> message_sequence;
    std::map<std::pair<uint64_t, int>, uint32_t> missed_messages;  // (sender, cmd_id)
    MessageRateLimiter message_budget;

    // SendContinuousAudioFrame's queue and when its head is due.
    std::deque<AudioFrame> paced_audio;
    Clock::time_point next_paced_send;

    Clock::time_point next_quality_report;

    AudioLosses audio_losses;  // over the cloud's whole life

    bool IsAnchor() const { return in_room && role == QOLT_ROLE_ANCHOR; }
    bool HasVideo(StreamType type) const {
        for (StreamType channel : video_channels) {
            if (channel == type) {
                return true;
            }
        }
        return false;
    }
    bool Subscribed(const std::string& user, int type) const { return subscriptions.count({user, type}) != 0; }
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_CLOUD_STATE_H
