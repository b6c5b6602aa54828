#include "runtime/LoopbackCloud.h"

#include <limits>
#include <string>
#include <utility>

#include "control/RecordValues.h"
#include "runtime/LoopbackService.h"

namespace mirelo {
namespace loopback {
namespace {

Value Type(StreamType type) { return Value::Int(type); }

RoomService& Rooms() { return LoopbackService::Instance().rooms(); }

// Results of the operations that change presence or channels go to the log; frames do not.
int Logged(uint64_t cloud, const char* operation, int result) {
    LoopbackService::Instance().logger().Write(
        result == ERR_OK ? Logger::kInfo : Logger::kWarning,
        "cloud " + std::to_string(cloud) + ": " + operation + " -> " + std::to_string(result));
    return result;
}

}  // namespace

LoopbackCloud::LoopbackCloud(uint64_t handle, QOLTCloudDelegate* delegate, size_t media_bound)
    : handle_(handle), delegate_(delegate), events_(std::make_shared<EventQueue>(delegate == nullptr, media_bound)) {
    LoopbackService& service = LoopbackService::Instance();
    if (delegate != nullptr && service.configuration().values().event_threads > 0) {
        events_->ServeFrom(&service.pool(), delegate, handle);
        service.pool().Attach();
    } else {
        thread_ = std::make_unique<EventThread>(events_, delegate, handle);
    }
    Rooms().AddCloud(handle_, events_);
}

LoopbackCloud::~LoopbackCloud() {
    // Own events stop first, so that leaving raises events for the others only.
    events_->Stop();
    LoopbackService::Instance().clouds().Remove(handle_);
    Rooms().RemoveCloud(handle_);
    if (!thread_) {
        EventPool::AwaitDelivery(*events_, LoopbackService::Instance().waits());
        LoopbackService::Instance().pool().Detach();
    }
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
    return Logged(handle_, "EnterRoom", Injected("EnterRoom", result) ? result : Rooms().EnterRoom(handle_, params));
}

int LoopbackCloud::ExitRoom() {
    Record("ExitRoom", {});
    int result = ERR_OK;
    return Logged(handle_, "ExitRoom", Injected("ExitRoom", result) ? result : Rooms().ExitRoom(handle_));
}

int LoopbackCloud::Subscribe(const char* user_id, StreamType type) {
    Record("Subscribe", {Value::Text(user_id), Type(type)});
    int result = ERR_OK;
    return Injected("Subscribe", result) ? result : Rooms().Subscribe(handle_, user_id, type);
}

int LoopbackCloud::Unsubscribe(const char* user_id, StreamType type) {
    Record("Unsubscribe", {Value::Text(user_id), Type(type)});
    int result = ERR_OK;
    return Injected("Unsubscribe", result) ? result : Rooms().Unsubscribe(handle_, user_id, type);
}

int LoopbackCloud::GetAudioFrame(AudioFrame* frame) {
    Record("GetAudioFrame", {RecordValues::Of(frame)});
    int result = ERR_OK;
    return Injected("GetAudioFrame", result) ? result : Rooms().GetAudioFrame(handle_, frame);
}

int LoopbackCloud::CreateLocalAudioChannel(const AudioEncodeParams& params) {
    Record("CreateLocalAudioChannel", {RecordValues::Of(params)});
    int result = ERR_OK;
    return Logged(
        handle_, "CreateLocalAudioChannel",
        Injected("CreateLocalAudioChannel", result) ? result : Rooms().CreateLocalAudioChannel(handle_, params));
}

int LoopbackCloud::SendAudioFrame(const AudioFrame& frame) {
    Record("SendAudioFrame", {RecordValues::Of(frame)});
    int result = ERR_OK;
    return Injected("SendAudioFrame", result) ? result : Rooms().SendAudioFrame(handle_, frame);
}

int LoopbackCloud::SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) {
    Record("SendContinuousAudioFrame", {RecordValues::Of(frame), Value::Bool(clear_send_queue)});
    int result = ERR_OK;
    return Injected("SendContinuousAudioFrame", result)
               ? result
               : Rooms().SendContinuousAudioFrame(handle_, frame, clear_send_queue);
}

int LoopbackCloud::DestroyLocalAudioChannel() {
    Record("DestroyLocalAudioChannel", {});
    int result = ERR_OK;
    return Logged(handle_, "DestroyLocalAudioChannel",
                  Injected("DestroyLocalAudioChannel", result) ? result : Rooms().DestroyLocalAudioChannel(handle_));
}

int LoopbackCloud::CreateLocalVideoChannel(StreamType type) {
    Record("CreateLocalVideoChannel", {Type(type)});
    int result = ERR_OK;
    return Logged(
        handle_, "CreateLocalVideoChannel",
        Injected("CreateLocalVideoChannel", result) ? result : Rooms().CreateLocalVideoChannel(handle_, type));
}

int LoopbackCloud::SendVideoFrame(StreamType type, const VideoFrame& frame) {
    Record("SendVideoFrame", {Type(type), RecordValues::Of(frame)});
    int result = ERR_OK;
    return Injected("SendVideoFrame", result) ? result : Rooms().SendVideoFrame(handle_, type, frame);
}

int LoopbackCloud::SendVideoFrame(StreamType type, const PixelFrame& frame) {
    Record("SendVideoFrame", {Type(type), RecordValues::Of(frame)});
    int result = ERR_OK;
    return Injected("SendVideoFrame", result) ? result : Rooms().SendVideoFrame(handle_, type, frame);
}

void LoopbackCloud::SetVideoEncodeParam(StreamType type, const VideoEncodeParams& params) {
    Record("SetVideoEncodeParam", {Type(type), RecordValues::Of(params)});
    Rooms().SetVideoEncodeParam(handle_, type, params);
}

int LoopbackCloud::SendSeiMessage(int message_type, const char* message, size_t length) {
    Record("SendSeiMessage", {Value::Int(message_type), Value::Bytes(message, length)});
    int result = ERR_OK;
    return Injected("SendSeiMessage", result) ? result : Rooms().SendSeiMessage(handle_, message_type, message, length);
}

bool LoopbackCloud::SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable, bool ordered) {
    Record("SendCustomCmdMsg",
           {Value::UInt(cmd_id), Value::Bytes(message, length), Value::Bool(reliable), Value::Bool(ordered)});
    int result = 0;
    if (Injected("SendCustomCmdMsg", result)) {
        return result != 0;
    }
    return Rooms().SendCustomCmdMsg(handle_, cmd_id, message, length, reliable, ordered);
}

int LoopbackCloud::DestroyLocalVideoChannel(StreamType type) {
    Record("DestroyLocalVideoChannel", {Type(type)});
    int result = ERR_OK;
    return Logged(
        handle_, "DestroyLocalVideoChannel",
        Injected("DestroyLocalVideoChannel", result) ? result : Rooms().DestroyLocalVideoChannel(handle_, type));
}

void LoopbackCloud::EnableVoiceActivityDetection(const VADParams& params) {
    Record("EnableVoiceActivityDetection", {RecordValues::Of(params)});
    Rooms().EnableVoiceActivityDetection(handle_, params);
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

}  // namespace loopback
}  // namespace mirelo
