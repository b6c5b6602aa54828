// Placeholder cloud: every operation is refused until the loopback clouds land.
#include <memory>

#include "qolt/mirelo_qolt_cloud.h"

namespace mirelo {
namespace qolt {
namespace {

class UnsupportedCloud final : public QOLTCloud {
public:
    ~UnsupportedCloud() override = default;
    int EnterRoom(const EnterRoomParams&) override { return ERR_NOT_SUPPORTED; }
    int ExitRoom() override { return ERR_NOT_SUPPORTED; }
    int Subscribe(const char*, StreamType) override { return ERR_NOT_SUPPORTED; }
    int Unsubscribe(const char*, StreamType) override { return ERR_NOT_SUPPORTED; }
    int GetAudioFrame(AudioFrame*) override { return ERR_NOT_SUPPORTED; }
    int CreateLocalAudioChannel(const AudioEncodeParams&) override { return ERR_NOT_SUPPORTED; }
    int SendAudioFrame(const AudioFrame&) override { return ERR_NOT_SUPPORTED; }
    int SendContinuousAudioFrame(const AudioFrame&, bool) override { return ERR_NOT_SUPPORTED; }
    int DestroyLocalAudioChannel() override { return ERR_NOT_SUPPORTED; }
    int CreateLocalVideoChannel(StreamType) override { return ERR_NOT_SUPPORTED; }
    int SendVideoFrame(StreamType, const VideoFrame&) override { return ERR_NOT_SUPPORTED; }
    int SendVideoFrame(StreamType, const PixelFrame&) override { return ERR_NOT_SUPPORTED; }
    void SetVideoEncodeParam(StreamType, const VideoEncodeParams&) override {}
    int SendSeiMessage(int, const char*, size_t) override { return ERR_NOT_SUPPORTED; }
    bool SendCustomCmdMsg(uint32_t, const char*, size_t, bool, bool) override { return false; }
    int DestroyLocalVideoChannel(StreamType) override { return ERR_NOT_SUPPORTED; }
    void EnableVoiceActivityDetection(const VADParams&) override {}
    void EnableAudioVolumeEvaluation(bool, const AudioVolumeEvaluateParams&) override {}
    void startAsrService(const AsrParams&) override {}
    void stopAsrService() override {}
    QoltString CallExperimentalAPI(const char*) override { return QoltString(""); }
};

}  // namespace

QOLTCloud* QOLTCloud::Create(QOLTCloudDelegate*) { return std::make_unique<UnsupportedCloud>().release(); }

void QOLTCloud::Destroy(QOLTCloud* cloud) {
    std::unique_ptr<UnsupportedCloud> owned(static_cast<UnsupportedCloud*>(cloud));
}

}  // namespace qolt
}  // namespace mirelo
