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

#include "api/Vendor.h"
#include "runtime/EventQueue.h"
#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

// Audio a cloud lost, for the statistics: nothing is dropped without being counted here.
struct AudioLosses {
    uint64_t paced_refused = 0;    // frames SendContinuousAudioFrame refused, its queue being full
    uint64_t paced_cleared = 0;    // queued frames discarded: clear_send_queue, channel closed, room left
    uint64_t samples_dropped = 0;  // received samples (per channel) never handed out, see AudioRouter
};

// What SendAudioFrame needs, reached without the room service's lock so that a sender never waits
// for routing: the channel it may send on, and the frames it sent that its room has not heard yet.
// The clock thread routes them; every other operation on the room routes them first (see
// RoomService), so that nothing can tell them from frames routed as they were sent.
struct AudioOutbox {
    Mutex mutex{LockRank::kOutbox};
    // The cloud's audio channel while it is in a room: set and cleared under the room service's lock
    // too, with the cloud's own state.
    std::optional<AudioEncodeParams> channel GUARDED_BY(mutex);
    std::deque<AudioFrame> frames GUARDED_BY(mutex);
};

// What the room service knows of one cloud. Owned by the room service and guarded by its lock; the
// routers keep what they need per cloud themselves (AudioRouter, MessageRouter).
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
    std::shared_ptr<AudioOutbox> outbox = std::make_shared<AudioOutbox>();
    std::vector<StreamType> video_channels;               // in creation order
    std::set<std::pair<std::string, int>> subscriptions;  // (user id, stream type)

    // SendContinuousAudioFrame's queue and when its head is due.
    std::deque<AudioFrame> paced_audio;
    Clock::time_point next_paced_send;
    std::optional<Clock::time_point> paced_due;  // its entry in the room service's schedule, if any

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
