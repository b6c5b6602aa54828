#ifndef MIRELO_SDK_ROOM_SERVICE_H
#define MIRELO_SDK_ROOM_SERVICE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api/Vendor.h"
#include "control/Configuration.h"
#include "control/Value.h"
#include "rooms/AudioRouter.h"
#include "rooms/CloudState.h"
#include "rooms/MessageRouter.h"
#include "rooms/RoomClock.h"
#include "runtime/EventQueue.h"
#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

// The in-process rooms: presence, channels, subscriptions and video between the clouds of this
// process; audio goes through the AudioRouter, SEI and custom messages through the MessageRouter,
// and the RoomClock paces SendContinuousAudioFrame and raises the periodic network-quality reports.
//
// A room is sdk_app_id with str_room_id when that text is not empty, else with room_id. Every
// cloud's state is guarded by this service's lock, which every operation holds from its first
// look-up to its last event, so that each operation is one step for every other; the routers' and
// the clock's locks nest inside it. Events are only queued (each cloud's EventThread delivers them
// later, without any lock of ours).
//
// No exception leaves an operation: one that cannot complete (memory exhausted, a clock thread
// that cannot start) returns ERR_FAILED (SendCustomCmdMsg false) and logs why. EnterRoom prepares
// all that can fail before it changes anything, so a failed entry leaves no trace.
class RoomService {
public:
    explicit RoomService(const Configuration& configuration);

    void AddCloud(uint64_t handle, std::shared_ptr<EventQueue> events);
    // Leaves the cloud's room as the others see it (its own queue is already stopped) and forgets it.
    void RemoveCloud(uint64_t handle) noexcept;

    int EnterRoom(uint64_t handle, const EnterRoomParams& params);
    int ExitRoom(uint64_t handle);
    int Subscribe(uint64_t handle, const char* user_id, StreamType type);
    int Unsubscribe(uint64_t handle, const char* user_id, StreamType type);
    int GetAudioFrame(uint64_t handle, AudioFrame* frame);
    int CreateLocalAudioChannel(uint64_t handle, const AudioEncodeParams& params);
    int DestroyLocalAudioChannel(uint64_t handle);
    int SendAudioFrame(uint64_t handle, const AudioFrame& frame);
    int SendContinuousAudioFrame(uint64_t handle, const AudioFrame& frame, bool clear_send_queue);
    int CreateLocalVideoChannel(uint64_t handle, StreamType type);
    int DestroyLocalVideoChannel(uint64_t handle, StreamType type);
    int SendVideoFrame(uint64_t handle, StreamType type, const VideoFrame& frame);
    int SendVideoFrame(uint64_t handle, StreamType type, const PixelFrame& frame);
    void SetVideoEncodeParam(uint64_t handle, StreamType type, const VideoEncodeParams& params);
    int SendSeiMessage(uint64_t handle, int message_type, const char* message, size_t length);
    bool SendCustomCmdMsg(uint64_t handle, uint32_t cmd_id, const char* message, size_t length, bool reliable,
                          bool ordered);
    void EnableVoiceActivityDetection(uint64_t handle, const VADParams& params);

    // A list of dicts, one per cloud: its connection, room, channels, subscriptions and settings.
    Value Snapshot() const;
    // What each cloud lost of its audio, by handle.
    std::map<uint64_t, AudioLosses> AudioLossesByCloud() const;

    // A test aid: the next start of the clock thread fails as when the system has no thread to
    // give. False, with nothing armed, when the clock already runs (it starts once per process).
    bool FailNextClockStart();

    static constexpr size_t kMaxSeiBytes = MessageRouter::kMaxSeiBytes;
    static constexpr size_t kMaxCustomMessageBytes = MessageRouter::kMaxCustomMessageBytes;
    // SendContinuousAudioFrame's queue: a frame beyond it is refused with ERR_READ_TRY_AGAIN.
    static constexpr size_t kMaxPacedFrames = 500;
    static constexpr size_t kMaxMixLagFrames = AudioRouter::kMaxMixLagFrames;
    static constexpr auto kMaxAudioGap = AudioRouter::kMaxAudioGap;
    // The frame lengths a receiver may ask for (output_frame_length_ms): a frame neither empty nor huge.
    static constexpr int kMinOutputFrameMs = 10;
    static constexpr int kMaxOutputFrameMs = 1000;

    // In a child made by fork(): the clock thread stayed in the parent, so the next room entry or
    // paced frame starts the child's own.
    void ForgetClockInChild();
    // Ends the clock thread, if one runs, and starts none again in this process.
    void EndClock();

private:
    using Clock = CloudState::Clock;

    CloudState* FindLocked(uint64_t handle) const REQUIRES(mutex_);
    template <typename Frame>
    int SendVideo(uint64_t handle, StreamType type, const Frame& frame, bool payload_fits, bool pixels)
        EXCLUDES(mutex_);
    // A subscription change needs a room, a stream type that can be subscribed and a user id.
    int CheckSubscriptionLocked(uint64_t handle, const char* user_id, StreamType type, CloudState*& self) const
        REQUIRES(mutex_);
    std::vector<CloudState*> RoomMembersLocked(const std::string& room_key) const
        REQUIRES(mutex_);  // in order of entry
    CloudState* FindUserLocked(const std::string& room_key, const std::string& user_id) const REQUIRES(mutex_);

    void LeaveLocked(CloudState& leaver) REQUIRES(mutex_);
    void ForgetMemberLocked(const CloudState& member) noexcept REQUIRES(mutex_);  // out of its room's list, no events
    void CloseAudioChannelLocked(CloudState& owner) REQUIRES(mutex_);
    void CloseVideoChannelLocked(CloudState& owner, StreamType type) REQUIRES(mutex_);
    void ReportQualityLocked(CloudState& cloud) REQUIRES(mutex_);

    // The clock's work: the reports and paced frames that are due. Returns when it is next due.
    Clock::time_point RunDue() EXCLUDES(mutex_);

    const Configuration& configuration_;
    mutable Mutex mutex_{LockRank::kRooms};
    std::map<uint64_t, std::unique_ptr<CloudState>> clouds_ GUARDED_BY(mutex_);
    std::map<std::string, std::vector<uint64_t>> rooms_ GUARDED_BY(mutex_);  // members in order of entry
    AudioRouter audio_;
    MessageRouter messages_;
    RoomClock clock_{[this] { return RunDue(); }};
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_ROOM_SERVICE_H
