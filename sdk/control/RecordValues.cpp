#include "control/RecordValues.h"

#include <memory>

#include "api/FrameAccess.h"
#include "runtime/LoopbackService.h"

namespace mirelo {
namespace loopback {
namespace {

Value Enum(int value) { return Value::Int(value); }

// Frames are many and large (every frame sent, 50 a second per stream): the journal keeps their
// payloads only when asked to.
bool KeepFramePayloads() { return LoopbackService::Instance().configuration().values().journal_frame_payloads != 0; }

// A payload under `name`, shared (or None when not kept), and its size under `size_name`.
void AddPayload(Value& record, const char* name, const char* size_name, const FramePayload::Bytes& bytes, bool keep) {
    record.Add(name, keep ? Value::Bytes(bytes) : Value::None()).Add(size_name, Value::UInt(bytes ? bytes->size() : 0));
}

}  // namespace

Value RecordValues::Of(const QoltString& text) { return Value::Text(text.GetValue()); }

Value RecordValues::Secret(const char* text) { return Value::Bool(text != nullptr && *text != '\0'); }

Value RecordValues::Secret(const QoltString& text) { return Secret(text.GetValue()); }

Value RecordValues::Of(const RoomParams& params) {
    Value record = Value::Dict();
    record.Add("room_id", Value::UInt(params.room_id))
        .Add("str_room_id", Of(params.str_room_id))
        .Add("user_id", Of(params.user_id))
        .Add("user_sig", Secret(params.user_sig))
        .Add("sdk_app_id", Value::UInt(params.sdk_app_id));
    return record;
}

Value RecordValues::Of(const EnterRoomParams& params) {
    Value record = Value::Dict();
    record.Add("room", Of(params.room))
        .Add("scene", Enum(params.scene))
        .Add("role", Enum(params.role))
        .Add("private_map_key", Secret(params.private_map_key))
        .Add("audio_obtain_params", Of(params.audio_obtain_params))
        .Add("use_pixel_frame_input", Value::Bool(params.use_pixel_frame_input))
        .Add("use_pixel_frame_output", Value::Bool(params.use_pixel_frame_output));
    return record;
}

Value RecordValues::Of(const AudioObtainParams& params) {
    Value record = Value::Dict();
    record.Add("audio_obtain_method", Enum(params.audio_obtain_method))
        .Add("enable_remote_audio_mix", Value::Bool(params.enable_remote_audio_mix))
        .Add("output_sample_rate", Value::Int(params.output_sample_rate))
        .Add("output_channels", Value::Int(params.output_channels))
        .Add("output_frame_length_ms", Value::Int(params.output_frame_length_ms))
        .Add("output_audio_codec_type", Enum(params.output_audio_codec_type));
    return record;
}

Value RecordValues::Of(const AudioEncodeParams& params) {
    Value record = Value::Dict();
    record.Add("channels", Value::Int(params.channels))
        .Add("sample_rate", Value::Int(params.sample_rate))
        .Add("frame_length_ms", Value::Int(params.frame_length_ms))
        .Add("bitrate_bps", Value::Int(params.bitrate_bps))
        .Add("need_encode", Value::Bool(params.need_encode));
    return record;
}

Value RecordValues::Of(const VideoEncodeParams& params) {
    Value record = Value::Dict();
    record.Add("frame_rate", Value::Int(params.frame_rate))
        .Add("bitrate_bps", Value::Int(params.bitrate_bps))
        .Add("gop_in_seconds", Value::Int(params.gop_in_seconds));
    return record;
}

Value RecordValues::Of(const VADParams& params) {
    Value record = Value::Dict();
    record.Add("enable", Value::Bool(params.enable));
    return record;
}

Value RecordValues::Of(const UserInfo& info) {
    Value record = Value::Dict();
    record.Add("user_id", Of(info.user_id));
    return record;
}

Value RecordValues::Of(const NetworkQualityInfo& info) {
    Value record = Value::Dict();
    record.Add("user_id", Of(info.user_id)).Add("quality", Enum(info.quality));
    return record;
}

Value RecordValues::Of(const AudioFrame& frame) {
    const FramePayload& payload = FrameAccess::Payload(frame);
    Value record = Value::Dict();
    record.Add("pts", Value::UInt(frame.pts))
        .Add("sample_rate", Value::Int(frame.sample_rate))
        .Add("channels", Value::Int(frame.channels))
        .Add("bits_per_sample", Value::Int(frame.bits_per_sample))
        .Add("codec", Enum(frame.codec))
        .Add("has_voice", Value::Bool(frame.has_voice));
    const bool keep = KeepFramePayloads();
    AddPayload(record, "data", "size", payload.bytes(), keep);
    AddPayload(record, "extra_data", "extra_data_size", payload.extra(), keep);
    return record;
}

Value RecordValues::Of(const VideoFrame& frame) {
    Value record = Value::Dict();
    record.Add("pts", Value::UInt(frame.pts))
        .Add("dts", Value::UInt(frame.dts))
        .Add("codec", Enum(frame.codec))
        .Add("is_key_frame", Value::Bool(frame.is_key_frame))
        .Add("rotation", Enum(frame.rotation));
    AddPayload(record, "data", "size", FrameAccess::Payload(frame).bytes(), KeepFramePayloads());
    return record;
}

Value RecordValues::Of(const PixelFrame& frame) {
    Value record = Value::Dict();
    record.Add("pts", Value::UInt(frame.pts))
        .Add("format", Enum(frame.format))
        .Add("height", Value::UInt(frame.height))
        .Add("width", Value::UInt(frame.width))
        .Add("rotation", Enum(frame.rotation));
    AddPayload(record, "data", "size", FrameAccess::Payload(frame).bytes(), KeepFramePayloads());
    return record;
}

Value RecordValues::Of(const AudioFrame* frame) { return frame == nullptr ? Value::None() : Of(*frame); }

}  // namespace loopback
}  // namespace mirelo
