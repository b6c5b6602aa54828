#include "LoopbackCloud.h"

#include <limits>
#include <utility>

#include "LoopbackService.h"
#include "RecordValues.h"

namespace mirelo {
namespace qolt {
namespace {

Value Type(StreamType type) { return Value::Int(type); }

}  // namespace

LoopbackCloud::LoopbackCloud(uint64_t handle, QOLTCloudDelegate* delegate, size_t media_bound)
    : handle_(handle),
      events_(std::make_shared<EventQueue>(delegate == nullptr, media_bound)),
      thread_(events_, delegate, handle) {}

LoopbackCloud::~LoopbackCloud() {
    // Own events stop first, so that leaving raises events for the others only.
    events_->Stop();
    LoopbackService::Instance().clouds().Remove(handle_);
}

void LoopbackCloud::Record(const char* operation, std::vector<Value> arguments) {
    LoopbackService::Instance().Record(handle_, operation, std::move(arguments));
}

bool LoopbackCloud::Injected(const char* operation, int& result) {
    int64_t injected = 0;
    if (!injections_.Take(operation, injected)) {
        return false;
    }
    result = static_cast<int>(injected);
    return true;
}

int LoopbackCloud::EnterRoom(const EnterRoomParams& params) {
    Record("EnterRoom", {RecordValues::Of(params)});
    int result = ERR_OK;
    Injected("EnterRoom", result);
    return result;
}

int LoopbackCloud::ExitRoom() {
    Record("ExitRoom", {});
    int result = ERR_OK;
    Injected("ExitRoom", result);
    return result;
}

int LoopbackCloud::Subscribe(const char* user_id, StreamType type) {
    Record("Subscribe", {Value::Text(user_id), Type(type)});
    int result = ERR_OK;
    Injected("Subscribe", result);
    return result;
}

int LoopbackCloud::Unsubscribe(const char* user_id, StreamType type) {
    Record("Unsubscribe", {Value::Text(user_id), Type(type)});
    int result = ERR_OK;
    Injected("Unsubscribe", result);
    return result;
}

int LoopbackCloud::GetAudioFrame(AudioFrame* frame) {
    Record("GetAudioFrame", {RecordValues::Of(frame)});
    int result = ERR_OK;
    Injected("GetAudioFrame", result);
    return result;
}

int LoopbackCloud::CreateLocalAudioChannel(const AudioEncodeParams& params) {
    Record("CreateLocalAudioChannel", {RecordValues::Of(params)});
    int result = ERR_OK;
    Injected("CreateLocalAudioChannel", result);
    return result;
}

int LoopbackCloud::SendAudioFrame(const AudioFrame& frame) {
    Record("SendAudioFrame", {RecordValues::Of(frame)});
    int result = ERR_OK;
    Injected("SendAudioFrame", result);
    return result;
}

int LoopbackCloud::SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) {
    Record("SendContinuousAudioFrame", {RecordValues::Of(frame), Value::Bool(clear_send_queue)});
    int result = ERR_OK;
    Injected("SendContinuousAudioFrame", result);
    return result;
}

int LoopbackCloud::DestroyLocalAudioChannel() {
    Record("DestroyLocalAudioChannel", {});
    int result = ERR_OK;
    Injected("DestroyLocalAudioChannel", result);
    return result;
}

int LoopbackCloud::CreateLocalVideoChannel(StreamType type) {
    Record("CreateLocalVideoChannel", {Type(type)});
    int result = ERR_OK;
    Injected("CreateLocalVideoChannel", result);
    return result;
}

int LoopbackCloud::SendVideoFrame(StreamType type, const VideoFrame& frame) {
    Record("SendVideoFrame", {Type(type), RecordValues::Of(frame)});
    int result = ERR_OK;
    Injected("SendVideoFrame", result);
    return result;
}

int LoopbackCloud::SendVideoFrame(StreamType type, const PixelFrame& frame) {
    Record("SendVideoFrame", {Type(type), RecordValues::Of(frame)});
    int result = ERR_OK;
    Injected("SendVideoFrame", result);
    return result;
}

void LoopbackCloud::SetVideoEncodeParam(StreamType type, const VideoEncodeParams& params) {
    Record("SetVideoEncodeParam", {Type(type), RecordValues::Of(params)});
}

int LoopbackCloud::SendSeiMessage(int message_type, const char* message, size_t length) {
    Record("SendSeiMessage", {Value::Int(message_type), Value::Bytes(message, length)});
    int result = ERR_OK;
    Injected("SendSeiMessage", result);
    return result;
}

bool LoopbackCloud::SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable,
                                     bool ordered) {
    Record("SendCustomCmdMsg", {Value::UInt(cmd_id), Value::Bytes(message, length), Value::Bool(reliable),
                                Value::Bool(ordered)});
    int result = 1;
    Injected("SendCustomCmdMsg", result);
    return result != 0;
}

int LoopbackCloud::DestroyLocalVideoChannel(StreamType type) {
    Record("DestroyLocalVideoChannel", {Type(type)});
    int result = ERR_OK;
    Injected("DestroyLocalVideoChannel", result);
    return result;
}

void LoopbackCloud::EnableVoiceActivityDetection(const VADParams& params) {
    Record("EnableVoiceActivityDetection", {RecordValues::Of(params)});
}

// The three operations below take records that the SDK's headers only declare; they are
// journaled with an empty record and do nothing else in the loopback.
void LoopbackCloud::EnableAudioVolumeEvaluation(bool enable, const AudioVolumeEvaluateParams&) {
    Record("EnableAudioVolumeEvaluation", {Value::Bool(enable), Value::Dict()});
}

void LoopbackCloud::startAsrService(const AsrParams&) { Record("startAsrService", {Value::Dict()}); }

void LoopbackCloud::stopAsrService() { Record("stopAsrService", {}); }

QoltString LoopbackCloud::CallExperimentalAPI(const char* json) {
    Record("CallExperimentalAPI", {Value::Text(json)});
    return QoltString("");
}

}  // namespace qolt
}  // namespace mirelo
