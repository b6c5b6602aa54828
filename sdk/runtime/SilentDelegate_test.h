#ifndef MIRELO_SDK_SILENT_DELEGATE_TEST_H
#define MIRELO_SDK_SILENT_DELEGATE_TEST_H

#include "api/Vendor.h"

namespace mirelo {
namespace loopback {

// A delegate for native tests: every event does nothing; tests override the ones they watch.
class SilentDelegate : public QOLTCloudDelegate {
public:
    void OnError(Error) override {}
    void OnConnectionStateChanged(ConnectionState, ConnectionState) override {}
    void OnEnterRoom() override {}
    void OnExitRoom() override {}
    void OnLocalAudioChannelCreated() override {}
    void OnLocalAudioChannelDestroyed() override {}
    void OnLocalVideoChannelCreated(StreamType) override {}
    void OnLocalVideoChannelDestroyed(StreamType) override {}
    void OnRequestChangeVideoEncodeBitrate(StreamType, int) override {}
    void OnRequestKeyFrame(StreamType) override {}
    void OnRemoteUserEnterRoom(const UserInfo&) override {}
    void OnRemoteUserExitRoom(const UserInfo&, int) override {}
    void OnRemoteAudioAvailable(const char*, bool) override {}
    void OnRemoteVideoAvailable(const char*, bool, StreamType) override {}
    void OnRemoteVideoReceived(const char*, StreamType, const VideoFrame&) override {}
    void OnRemoteVideoReceived(const char*, StreamType, const PixelFrame&) override {}
    void OnRemoteAudioReceived(const char*, const AudioFrame&) override {}
    void OnRemoteMixedAudioReceived(const AudioFrame&) override {}
    void OnSeiMessageReceived(const char*, StreamType, int, const char*, size_t) override {}
    void OnReceiveCustomCmdMsg(const char*, int32_t, uint32_t, const char*, size_t) override {}
    void OnMissCustomCmdMsg(const char*, int32_t, uint32_t, uint32_t) override {}
    void OnNetworkQuality(NetworkQualityInfo*, NetworkQualityInfo*, size_t) override {}
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_SILENT_DELEGATE_TEST_H
