#ifndef MIRELO_SDK_LOOPBACK_CLOUD_H
#define MIRELO_SDK_LOOPBACK_CLOUD_H

#include <cstdint>
#include <memory>
#include <vector>

#include "api/Vendor.h"
#include "control/ResultInjector.h"
#include "control/Value.h"
#include "runtime/EventQueue.h"
#include "runtime/EventThread.h"

namespace mirelo {
namespace loopback {

// One SDK cloud. Every operation is journaled; an injected result replaces the operation's work.
// Events reach the delegate only through events(), one at a time and in order: on the service's
// EventPool, or on the cloud's own EventThread when the configuration asked for no pool
// (event_threads = 0) when the cloud was made.
class LoopbackCloud final : public QOLTCloud {
public:
    LoopbackCloud(uint64_t handle, QOLTCloudDelegate* delegate, size_t media_bound);
    // Stops the events, leaves the service and waits for the event in flight (the pool's, or its
    // thread's join): no delegate call follows, except the one in flight when it is the destroying
    // one itself or one that waits for it (see EventPool::AwaitDelivery and EventThread).
    ~LoopbackCloud() override;

    LoopbackCloud(const LoopbackCloud&) = delete;
    LoopbackCloud& operator=(const LoopbackCloud&) = delete;

    uint64_t handle() const { return handle_; }
    const QOLTCloudDelegate* delegate() const { return delegate_; }
    const std::shared_ptr<EventQueue>& events() const { return events_; }
    ResultInjector& injections() { return injections_; }

    int EnterRoom(const EnterRoomParams& params) override;
    int ExitRoom() override;
    int Subscribe(const char* user_id, StreamType type) override;
    int Unsubscribe(const char* user_id, StreamType type) override;
    int GetAudioFrame(AudioFrame* frame) override;
    int CreateLocalAudioChannel(const AudioEncodeParams& params) override;
    int SendAudioFrame(const AudioFrame& frame) override;
    int SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) override;
    int DestroyLocalAudioChannel() override;
    int CreateLocalVideoChannel(StreamType type) override;
    int SendVideoFrame(StreamType type, const VideoFrame& frame) override;
    int SendVideoFrame(StreamType type, const PixelFrame& frame) override;
    void SetVideoEncodeParam(StreamType type, const VideoEncodeParams& params) override;
    int SendSeiMessage(int message_type, const char* message, size_t length) override;
    bool SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable, bool ordered) override;
    int DestroyLocalVideoChannel(StreamType type) override;
    void EnableVoiceActivityDetection(const VADParams& params) override;
    void EnableAudioVolumeEvaluation(bool enable, const AudioVolumeEvaluateParams& params) override;
    void startAsrService(const AsrParams& params) override;
    void stopAsrService() override;
    QoltString CallExperimentalAPI(const char* json) override;

private:
    void Record(const char* operation, std::vector<Value> arguments);
    bool Injected(const char* operation, int& result);

    const uint64_t handle_;
    const QOLTCloudDelegate* const delegate_;  // only compared, to find the cloud a delegate serves
    std::shared_ptr<EventQueue> events_;
    ResultInjector injections_;
    std::unique_ptr<EventThread> thread_;  // a cloud's own thread; declared last: joined before the rest goes
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_LOOPBACK_CLOUD_H
