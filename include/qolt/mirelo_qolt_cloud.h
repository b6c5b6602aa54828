// The QOLT room client and the delegate through which it reports events.
#ifndef MIRELO_QOLT_CLOUD_H
#define MIRELO_QOLT_CLOUD_H

#include "mirelo_qolt_defines.h"

namespace mirelo {
namespace qolt {

// Called on the SDK's own threads. An implementation may throw; the SDK contains the exception.
class QOLTCloudDelegate {
public:
    virtual void OnError(Error error) = 0;
    virtual void OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) = 0;
    virtual void OnEnterRoom() = 0;
    virtual void OnExitRoom() = 0;
    virtual void OnLocalAudioChannelCreated() = 0;
    virtual void OnLocalAudioChannelDestroyed() = 0;
    virtual void OnLocalVideoChannelCreated(StreamType stream_type) = 0;
    virtual void OnLocalVideoChannelDestroyed(StreamType stream_type) = 0;
    virtual void OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) = 0;
    virtual void OnRequestKeyFrame(StreamType stream_type) = 0;
    virtual void OnRemoteUserEnterRoom(const UserInfo& info) = 0;
    virtual void OnRemoteUserExitRoom(const UserInfo& info, int reason) = 0;
    virtual void OnRemoteAudioAvailable(const char* user_id, bool available) = 0;
    virtual void OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) = 0;
    virtual void OnRemoteVideoReceived(const char* user_id, StreamType type, const VideoFrame& frame) = 0;
    virtual void OnRemoteVideoReceived(const char* user_id, StreamType type, const PixelFrame& frame) = 0;
    virtual void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) = 0;
    virtual void OnRemoteMixedAudioReceived(const AudioFrame& frame) = 0;
    virtual void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type,
                                      const char* message, size_t length) = 0;
    virtual void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq, const char* message,
                                       size_t length) = 0;
    virtual void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code, uint32_t missed) = 0;
    virtual void OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                                  size_t remote_quality_count) = 0;
    virtual void OnUserVoiceVolume(QOLTVolumeInfo* /*user_volumes*/, uint32_t /*user_volumes_count*/,
                                   uint32_t /*total_volume*/) {}
    virtual void OnReceiveAsrMessage(const AsrMessage& /*message*/) {}
    virtual void OnAsrServiceError(int /*error_code*/, const char* /*error_message*/) {}
    virtual ~QOLTCloudDelegate() {}
};

class MIRELO_API QOLTCloud {
public:
    // No delegate call of the cloud follows Destroy: the delegate may be freed right after it.
    static QOLTCloud* Create(QOLTCloudDelegate* delegate);
    static void Destroy(QOLTCloud* cloud);

    virtual int EnterRoom(const EnterRoomParams& params) = 0;
    virtual int ExitRoom() = 0;
    virtual int Subscribe(const char* user_id, StreamType type) = 0;
    virtual int Unsubscribe(const char* user_id, StreamType type) = 0;
    virtual int GetAudioFrame(AudioFrame* frame) = 0;
    virtual int CreateLocalAudioChannel(const AudioEncodeParams& params) = 0;
    virtual int SendAudioFrame(const AudioFrame& frame) = 0;
    virtual int SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) = 0;
    virtual int DestroyLocalAudioChannel() = 0;
    virtual int CreateLocalVideoChannel(StreamType type) = 0;
    virtual int SendVideoFrame(StreamType type, const VideoFrame& frame) = 0;
    virtual int SendVideoFrame(StreamType type, const PixelFrame& frame) = 0;
    virtual void SetVideoEncodeParam(StreamType type, const VideoEncodeParams& params) = 0;
    virtual int SendSeiMessage(int message_type, const char* message, size_t length) = 0;
    virtual bool SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable, bool ordered) = 0;
    virtual int DestroyLocalVideoChannel(StreamType type) = 0;
    virtual void EnableVoiceActivityDetection(const VADParams& params) = 0;
    virtual void EnableAudioVolumeEvaluation(bool enable, const AudioVolumeEvaluateParams& params) = 0;
    virtual void startAsrService(const AsrParams& params) = 0;
    virtual void stopAsrService() = 0;
    virtual QoltString CallExperimentalAPI(const char* json) = 0;

protected:
    virtual ~QOLTCloud() {}
};

}  // namespace qolt
}  // namespace mirelo

#endif  // MIRELO_QOLT_CLOUD_H
