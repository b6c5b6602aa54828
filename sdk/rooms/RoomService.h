#ifndef MIRELO_SDK_ROOM_SERVICE_H
#define MIRELO_SDK_ROOM_SERVICE_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rooms/CloudState.h"
#include "control/Configuration.h"
#include "runtime/EventQueue.h"
#include "control/Value.h"
#include "api/Vendor.h"

namespace mirelo {
namespace loopback {

// The in-process rooms: presence, channels, subscriptions and the routing of media and messages
// between the clouds of this process.
//
// A room is sdk_app_id with str_room_id when that text is not empty, else with room_id. All state
// is guarded by one lock; events are only queued under it (each cloud's EventThread delivers
// them later, without any lock of ours). One clock thread, started with the first room entry,
// paces SendContinuousAudioFrame and raises the periodic network-quality reports. In a child made
// by fork() the parent's clock does not exist: the child starts its own on demand (ForgetClockInChild).
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

    static constexpr size_t kMaxSeiBytes = 1000;
    static constexpr size_t kMaxCustomMessageBytes = 1024;
    static constexpr uint32_t kMissedMessageErrorCode = 0;
    // SendContinuousAudioFrame's queue: a frame beyond it is refused with ERR_READ_TRY_AGAIN.
    static constexpr size_t kMaxPacedFrames = 500;
    // A mixed frame waits for every sender's share, but never longer than this many frames.
    static constexpr size_t kMaxMixLagFrames = 3;
    // A sender's audio that pauses this long ends a stretch: per-user frames never span the pause.
    static constexpr auto kMaxAudioGap = std::chrono::milliseconds(200);
    // The frame lengths a receiver may ask for (output_frame_length_ms): a frame neither empty nor huge.
    static constexpr int kMinOutputFrameMs = 10;
    static constexpr int kMaxOutputFrameMs = 1000;

    // Held by ForkGuard across fork(), so that a child inherits this state consistent and unlocked.
    std::unique_lock<std::mutex> LockForFork() const { return std::unique_lock<std::mutex>(mutex_); }

    // In a child made by fork(): the clock thread stayed in the parent, so the next room entry or
    // paced frame starts the child's own.
    void ForgetClockInChild();
    // Ends the clock thread, if one runs, and starts none again in this process.
    void EndClock();

private:
    using Clock = CloudState::Clock;

    CloudState* FindLocked(uint64_t handle) const;
    template <typename Frame>
    int SendVideo(uint64_t handle, StreamType type, const Frame& frame, bool payload_fits, bool pixels);
    // A subscription change needs a room, a stream type that can be subscribed and a user id.
    int CheckSubscriptionLocked(uint64_t handle, const char* user_id, StreamType type, CloudState*& self) const;
    std::vector<CloudState*> RoomMembersLocked(const std::string& room_key) const;  // in order of entry
    CloudState* FindUserLocked(const std::string& room_key, const std::string& user_id) const;

    void LeaveLocked(CloudState& leaver);
    void ForgetMemberLocked(const CloudState& member) noexcept;  // out of its room's list, no events
    void CloseAudioChannelLocked(CloudState& owner);
    void CloseVideoChannelLocked(CloudState& owner, StreamType type);
    void ForgetSenderLocked(CloudState& sender);
    void EndSenderAudioLocked(CloudState& receiver, uint64_t sender, const std::string& user_id);

    void RouteAudioLocked(CloudState& sender, const AudioFrame& frame);
    void DrainMixLocked(CloudState& receiver);
    void ReportQualityLocked(CloudState& cloud);

    void EnsureClockLocked();
    void RunClock();

    const Configuration& configuration_;
    mutable std::mutex mutex_;
    std::map<uint64_t, std::unique_ptr<CloudState>> clouds_;  // guarded by mutex_
    std::map<std::string, std::vector<uint64_t>> rooms_;      // guarded by mutex_; members in order of entry
    std::mt19937_64 loss_random_;                              // guarded by mutex_
    uint64_t loss_seed_ = 0;                                   // guarded by mutex_
    // Signalled on mutex_ when a deadline moves or the clock must end. Built anew in place, the old
    // one not destroyed, in a child made by fork(): the parent's clock may have been waiting on it,
    // and a condition variable counting a waiter that does not exist can block whoever signals it
    // once another thread waits there too.
    std::condition_variable clock_wake_;
    bool clock_running_ = false;  // guarded by mutex_; the thread is detached, like the service never freed
    bool clock_ended_ = false;    // guarded by mutex_; EndClock was called: no clock starts again
    bool fail_next_clock_start_ = false;  // guarded by mutex_
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_ROOM_SERVICE_H
