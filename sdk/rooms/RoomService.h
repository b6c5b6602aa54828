#ifndef MIRELO_SDK_ROOM_SERVICE_H
#define MIRELO_SDK_ROOM_SERVICE_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
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
// the clock's locks nest inside it. Events are only queued (an event thread or the event pool
// delivers them later, without any lock of ours).
//
// SendAudioFrame checks the frame and leaves it in the sender's outbox without taking this lock;
// the clock thread routes it (converting, mixing, cutting into each receiver's frames), so that a
// sender's thread, often one that holds an interpreter's lock, neither does that work nor waits for
// it. Every other operation first routes what the members of its room sent and the room has not
// heard yet, and so does the control interface before it waits for events or reads statistics: the
// order of each cloud's events, and everything an operation returns, stay as if each frame had been
// routed as it was sent. A sender that runs kMaxSentAudioBacklog frames ahead of the clock routes
// its own, so nothing waits without bound.
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

    // Routes the audio that every cloud sent and its room has not heard yet: for readers of the whole
    // state (statistics, a flush of every queue).
    void RouteSentAudio() EXCLUDES(mutex_);

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
    // How late the clock may send a paced frame: it sleeps until this long after the next frame is
    // due and then sends every frame due by then, since hundreds of senders' frames, each due at its
    // own moment, would otherwise cost a wake-up each. Never early.
    static constexpr auto kPacingSlack = std::chrono::milliseconds(1);
    // SendAudioFrame's frames a sender may have waiting for the clock before it routes them itself.
    static constexpr size_t kMaxSentAudioBacklog = 8;
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
    // The cloud, after its room has heard what its members sent (see the class): how operations
    // find their cloud.
    CloudState* FindSettledLocked(uint64_t handle) REQUIRES(mutex_);
    void RouteSentAudioLocked(const std::string& room_key) REQUIRES(mutex_);
    // With `close`, the sender's channel closes in the same step: nothing sent after is accepted.
    void RouteSentAudioLocked(CloudState& sender, bool close = false) REQUIRES(mutex_);
    std::shared_ptr<AudioOutbox> FindOutbox(uint64_t handle) const EXCLUDES(outboxes_mutex_);
    // Has the clock route what waits in the outboxes; false when no clock thread can run.
    bool WakeClockForAudio();
    template <typename Frame>
    int SendVideo(uint64_t handle, StreamType type, const Frame& frame, bool payload_fits, bool pixels)
        EXCLUDES(mutex_);
    // A subscription change needs a room, a stream type that can be subscribed and a user id.
    int CheckSubscriptionLocked(uint64_t handle, const char* user_id, StreamType type, CloudState*& self)
        REQUIRES(mutex_);
    std::vector<CloudState*> RoomMembersLocked(const std::string& room_key) const
        REQUIRES(mutex_);  // in order of entry
    CloudState* FindUserLocked(const std::string& room_key, const std::string& user_id) const REQUIRES(mutex_);

    void LeaveLocked(CloudState& leaver) REQUIRES(mutex_);
    void ForgetMemberLocked(const CloudState& member) noexcept REQUIRES(mutex_);  // out of its room's list, no events
    void CloseAudioChannelLocked(CloudState& owner) REQUIRES(mutex_);
    void CloseVideoChannelLocked(CloudState& owner, StreamType type) REQUIRES(mutex_);
    void ReportQualityLocked(CloudState& cloud) REQUIRES(mutex_);
    // Puts the cloud in the clock's schedule of paced frames at its next frame's time, or takes it
    // out when nothing of it is paced: after every change to its paced queue or that time.
    void SchedulePacedLocked(CloudState& cloud) REQUIRES(mutex_);
    void UnschedulePacedLocked(CloudState& cloud) noexcept REQUIRES(mutex_);
    // Sends the cloud's paced frames that are due.
    void SendPacedLocked(CloudState& cloud, Clock::time_point now) REQUIRES(mutex_);

    // The clock's work: the sent audio that waits, and the reports and paced frames that are due.
    // Returns when it is next due.
    Clock::time_point RunDue() EXCLUDES(mutex_);

    const Configuration& configuration_;
    mutable Mutex mutex_{LockRank::kRooms};
    std::map<uint64_t, std::unique_ptr<CloudState>> clouds_ GUARDED_BY(mutex_);
    std::map<std::string, std::vector<uint64_t>> rooms_ GUARDED_BY(mutex_);  // members in order of entry
    // Every cloud's outbox, for SendAudioFrame (CloudState::outbox for the rest).
    mutable Mutex outboxes_mutex_{LockRank::kOutbox};
    std::map<uint64_t, std::shared_ptr<AudioOutbox>> outboxes_ GUARDED_BY(outboxes_mutex_);
    // What the clock has to do: the paced senders by the time of their next frame, and when the
    // first network-quality report is due, so that a pass visits only the clouds with work.
    std::set<std::pair<Clock::time_point, uint64_t>> paced_due_ GUARDED_BY(mutex_);
    Clock::time_point next_reports_ GUARDED_BY(mutex_) = Clock::time_point::max();
    std::atomic<size_t> sent_audio_waiting_{0};       // frames in every outbox
    std::atomic<bool> clock_woken_for_audio_{false};  // a sent frame woke the clock since its last pass
    AudioRouter audio_;
    MessageRouter messages_;
    RoomClock clock_{[this] { return RunDue(); }};
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_ROOM_SERVICE_H
