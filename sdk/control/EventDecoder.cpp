#include "control/EventDecoder.h"

#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/AsrMessage.h"
#include "api/QOLTVolumeInfo.h"

namespace mirelo {
namespace loopback {
namespace {

using Delivery = EventQueue::Delivery;
using Text = std::optional<std::string>;  // nullopt: a null pointer

const char* Pointer(const Text& text) { return text ? text->c_str() : nullptr; }

// Reads the arguments in order; any mismatch makes the whole decoding fail.
class Arguments {
public:
    Arguments(const Value& list, size_t expected)
        : items_(list.items()), ok_(list.tag() == Value::Tag::kList && list.items().size() == expected) {}

    bool ok() const { return ok_; }

    int64_t Integer(int64_t low, int64_t high) {
        const Value* value = Next();
        if (value == nullptr || value->tag() != Value::Tag::kInt || value->as_int() < low || value->as_int() > high) {
            ok_ = false;
            return 0;
        }
        return value->as_int();
    }
    int32_t Int32() {
        return static_cast<int32_t>(Integer(std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    }
    uint32_t UInt32() { return static_cast<uint32_t>(Integer(0, std::numeric_limits<uint32_t>::max())); }

    bool Bool() {
        const Value* value = Next();
        if (value == nullptr || value->tag() != Value::Tag::kBool) {
            ok_ = false;
            return false;
        }
        return value->as_bool();
    }

    Text TextArgument() {
        const Value* value = Next();
        Text text;
        if (value == nullptr || !ReadText(*value, text)) {
            ok_ = false;
        }
        return text;
    }

    std::string Payload() {
        const Value* value = Next();
        if (value == nullptr || value->tag() != Value::Tag::kBytes) {
            ok_ = false;
            return std::string();
        }
        return value->as_string();
    }

    const Value* Raw() {
        const Value* value = Next();
        if (value == nullptr) {
            ok_ = false;
        }
        return value;
    }

    void Fail() { ok_ = false; }

    // A text is null or bytes without NUL: a NUL would silently cut it.
    static bool ReadText(const Value& value, Text& text) {
        if (value.is_none()) {
            text.reset();
            return true;
        }
        if (value.tag() != Value::Tag::kBytes) {
            return false;
        }
        std::string bytes = value.as_string();
        if (bytes.find('\0') != std::string::npos) {
            return false;
        }
        text = std::move(bytes);
        return true;
    }

private:
    const Value* Next() { return ok_ && index_ < items_.size() ? &items_[index_++] : nullptr; }

    const std::vector<Value>& items_;
    size_t index_ = 0;
    bool ok_;
};

bool FieldInteger(const Value& record, const char* name, int64_t low, int64_t high, int64_t& out) {
    const Value* field = record.Field(name);
    if (field == nullptr || field->tag() != Value::Tag::kInt || field->as_int() < low || field->as_int() > high) {
        return false;
    }
    out = field->as_int();
    return true;
}

bool FieldInt32(const Value& record, const char* name, int64_t& out) {
    return FieldInteger(record, name, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), out);
}

bool FieldUInt32(const Value& record, const char* name, int64_t& out) {
    return FieldInteger(record, name, 0, std::numeric_limits<uint32_t>::max(), out);
}

bool FieldBool(const Value& record, const char* name, bool& out) {
    const Value* field = record.Field(name);
    if (field == nullptr || field->tag() != Value::Tag::kBool) {
        return false;
    }
    out = field->as_bool();
    return true;
}

const Value* FieldBytes(const Value& record, const char* name) {
    const Value* field = record.Field(name);
    return field != nullptr && field->tag() == Value::Tag::kBytes ? field : nullptr;
}

std::string KindOf(const Value& record) {
    const Value* kind = FieldBytes(record, "kind");
    return kind == nullptr ? std::string() : kind->as_string();
}

bool ReadAudioFrame(const Value& record, AudioFrame& frame) {
    int64_t pts = 0, sample_rate = 0, channels = 0, bits = 0, codec = 0;
    bool has_voice = false;
    const Value* data = FieldBytes(record, "data");
    if (KindOf(record) != "audio" || data == nullptr || !FieldUInt32(record, "pts", pts) ||
        !FieldInt32(record, "sample_rate", sample_rate) || !FieldInt32(record, "channels", channels) ||
        !FieldInt32(record, "bits_per_sample", bits) || !FieldInt32(record, "codec", codec) ||
        !FieldBool(record, "has_voice", has_voice)) {
        return false;
    }
    frame.pts = static_cast<uint32_t>(pts);
    frame.sample_rate = static_cast<int>(sample_rate);
    frame.channels = static_cast<int>(channels);
    frame.bits_per_sample = static_cast<int>(bits);
    frame.codec = static_cast<AudioCodecType>(codec);
    frame.has_voice = has_voice;
    frame.SetData(data->bytes_data(), data->bytes_size());
    return true;
}

bool ReadVideoFrame(const Value& record, VideoFrame& frame) {
    int64_t pts = 0, dts = 0, codec = 0, rotation = 0;
    bool key = false;
    const Value* data = FieldBytes(record, "data");
    if (KindOf(record) != "video" || data == nullptr || !FieldUInt32(record, "pts", pts) ||
        !FieldUInt32(record, "dts", dts) || !FieldInt32(record, "codec", codec) ||
        !FieldInt32(record, "rotation", rotation) || !FieldBool(record, "is_key_frame", key)) {
        return false;
    }
    frame.pts = static_cast<uint32_t>(pts);
    frame.dts = static_cast<uint32_t>(dts);
    frame.codec = static_cast<VideoCodecType>(codec);
    frame.rotation = static_cast<VideoRotation>(rotation);
    frame.is_key_frame = key;
    frame.SetData(data->bytes_data(), data->bytes_size());
    return true;
}

bool ReadPixelFrame(const Value& record, PixelFrame& frame) {
    int64_t pts = 0, width = 0, height = 0, format = 0, rotation = 0;
    const Value* data = FieldBytes(record, "data");
    if (KindOf(record) != "pixel" || data == nullptr || !FieldUInt32(record, "pts", pts) ||
        !FieldUInt32(record, "width", width) || !FieldUInt32(record, "height", height) ||
        !FieldInt32(record, "format", format) || !FieldInt32(record, "rotation", rotation)) {
        return false;
    }
    frame.pts = static_cast<uint32_t>(pts);
    frame.width = static_cast<uint32_t>(width);
    frame.height = static_cast<uint32_t>(height);
    frame.format = static_cast<VideoPixelFormat>(format);
    frame.rotation = static_cast<VideoRotation>(rotation);
    frame.SetData(data->bytes_data(), data->bytes_size());
    return true;
}

// A (user id, integer) pair, the form of quality and volume records.
bool ReadUserPair(const Value& pair, int64_t low, int64_t high, Text& user_id, int64_t& number) {
    if (pair.tag() != Value::Tag::kList || pair.items().size() != 2 ||
        !Arguments::ReadText(pair.items()[0], user_id) || pair.items()[1].tag() != Value::Tag::kInt) {
        return false;
    }
    number = pair.items()[1].as_int();
    return number >= low && number <= high;
}

bool ReadQuality(const Value& pair, NetworkQualityInfo& info) {
    Text user_id;
    int64_t quality = 0;
    if (!ReadUserPair(pair, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), user_id,
                      quality)) {
        return false;
    }
    info.user_id.SetValue(Pointer(user_id));
    info.quality = static_cast<NetworkQuality>(quality);
    return true;
}

UserInfo MakeUser(const Text& user_id) {
    UserInfo info;
    info.user_id.SetValue(Pointer(user_id));
    return info;
}

using Decoder = bool (*)(Arguments&, Delivery&);

struct Operation {
    const char* name;
    size_t arity;
    Decoder decode;
};

const Operation kOperations[] = {
    {"OnError", 1,
     [](Arguments& a, Delivery& d) {
         const auto error = static_cast<Error>(a.Int32());
         d = [error](QOLTCloudDelegate& delegate) { delegate.OnError(error); };
         return a.ok();
     }},
    {"OnConnectionStateChanged", 2,
     [](Arguments& a, Delivery& d) {
         const auto old_state = static_cast<ConnectionState>(a.Int32());
         const auto new_state = static_cast<ConnectionState>(a.Int32());
         d = [old_state, new_state](QOLTCloudDelegate& delegate) {
             delegate.OnConnectionStateChanged(old_state, new_state);
         };
         return a.ok();
     }},
    {"OnEnterRoom", 0,
     [](Arguments& a, Delivery& d) {
         d = [](QOLTCloudDelegate& delegate) { delegate.OnEnterRoom(); };
         return a.ok();
     }},
    {"OnExitRoom", 0,
     [](Arguments& a, Delivery& d) {
         d = [](QOLTCloudDelegate& delegate) { delegate.OnExitRoom(); };
         return a.ok();
     }},
    {"OnLocalAudioChannelCreated", 0,
     [](Arguments& a, Delivery& d) {
         d = [](QOLTCloudDelegate& delegate) { delegate.OnLocalAudioChannelCreated(); };
         return a.ok();
     }},
    {"OnLocalAudioChannelDestroyed", 0,
     [](Arguments& a, Delivery& d) {
         d = [](QOLTCloudDelegate& delegate) { delegate.OnLocalAudioChannelDestroyed(); };
         return a.ok();
     }},
    {"OnLocalVideoChannelCreated", 1,
     [](Arguments& a, Delivery& d) {
         const auto type = static_cast<StreamType>(a.Int32());
         d = [type](QOLTCloudDelegate& delegate) { delegate.OnLocalVideoChannelCreated(type); };
         return a.ok();
     }},
    {"OnLocalVideoChannelDestroyed", 1,
     [](Arguments& a, Delivery& d) {
         const auto type = static_cast<StreamType>(a.Int32());
         d = [type](QOLTCloudDelegate& delegate) { delegate.OnLocalVideoChannelDestroyed(type); };
         return a.ok();
     }},
    {"OnRequestChangeVideoEncodeBitrate", 2,
     [](Arguments& a, Delivery& d) {
         const auto type = static_cast<StreamType>(a.Int32());
         const int bitrate = a.Int32();
         d = [type, bitrate](QOLTCloudDelegate& delegate) { delegate.OnRequestChangeVideoEncodeBitrate(type, bitrate); };
         return a.ok();
     }},
    {"OnRequestKeyFrame", 1,
     [](Arguments& a, Delivery& d) {
         const auto type = static_cast<StreamType>(a.Int32());
         d = [type](QOLTCloudDelegate& delegate) { delegate.OnRequestKeyFrame(type); };
         return a.ok();
     }},
    {"OnRemoteUserEnterRoom", 1,
     [](Arguments& a, Delivery& d) {
         const UserInfo info = MakeUser(a.TextArgument());
         d = [info](QOLTCloudDelegate& delegate) { delegate.OnRemoteUserEnterRoom(info); };
         return a.ok();
     }},
    {"OnRemoteUserExitRoom", 2,
     [](Arguments& a, Delivery& d) {
         const UserInfo info = MakeUser(a.TextArgument());
         const int reason = a.Int32();
         d = [info, reason](QOLTCloudDelegate& delegate) { delegate.OnRemoteUserExitRoom(info, reason); };
         return a.ok();
     }},
    {"OnRemoteAudioAvailable", 2,
     [](Arguments& a, Delivery& d) {
         const Text user_id = a.TextArgument();
         const bool available = a.Bool();
         d = [user_id, available](QOLTCloudDelegate& delegate) {
             delegate.OnRemoteAudioAvailable(Pointer(user_id), available);
         };
         return a.ok();
     }},
    {"OnRemoteVideoAvailable", 3,
     [](Arguments& a, Delivery& d) {
         const Text user_id = a.TextArgument();
         const bool available = a.Bool();
         const auto type = static_cast<StreamType>(a.Int32());
         d = [user_id, available, type](QOLTCloudDelegate& delegate) {
             delegate.OnRemoteVideoAvailable(Pointer(user_id), available, type);
         };
         return a.ok();
     }},
    {"OnRemoteVideoReceived", 3,
     [](Arguments& a, Delivery& d) {
         const Text user_id = a.TextArgument();
         const auto type = static_cast<StreamType>(a.Int32());
         const Value* record = a.Raw();
         if (!a.ok()) {
             return false;
         }
         if (KindOf(*record) == "pixel") {
             PixelFrame frame;
             if (!ReadPixelFrame(*record, frame)) {
                 return false;
             }
             d = [user_id, type, frame](QOLTCloudDelegate& delegate) {
                 delegate.OnRemoteVideoReceived(Pointer(user_id), type, frame);
             };
             return true;
         }
         VideoFrame frame;
         if (!ReadVideoFrame(*record, frame)) {
             return false;
         }
         d = [user_id, type, frame](QOLTCloudDelegate& delegate) {
             delegate.OnRemoteVideoReceived(Pointer(user_id), type, frame);
         };
         return true;
     }},
    {"OnRemoteAudioReceived", 2,
     [](Arguments& a, Delivery& d) {
         const Text user_id = a.TextArgument();
         const Value* record = a.Raw();
         AudioFrame frame;
         if (!a.ok() || !ReadAudioFrame(*record, frame)) {
             return false;
         }
         d = [user_id, frame](QOLTCloudDelegate& delegate) { delegate.OnRemoteAudioReceived(Pointer(user_id), frame); };
         return true;
     }},
    {"OnRemoteMixedAudioReceived", 1,
     [](Arguments& a, Delivery& d) {
         const Value* record = a.Raw();
         AudioFrame frame;
         if (!a.ok() || !ReadAudioFrame(*record, frame)) {
             return false;
         }
         d = [frame](QOLTCloudDelegate& delegate) { delegate.OnRemoteMixedAudioReceived(frame); };
         return true;
     }},
    {"OnSeiMessageReceived", 4,
     [](Arguments& a, Delivery& d) {
         const Text user_id = a.TextArgument();
         const auto type = static_cast<StreamType>(a.Int32());
         const int message_type = a.Int32();
         const std::string message = a.Payload();
         d = [user_id, type, message_type, message](QOLTCloudDelegate& delegate) {
             delegate.OnSeiMessageReceived(Pointer(user_id), type, message_type, message.data(), message.size());
         };
         return a.ok();
     }},
    {"OnReceiveCustomCmdMsg", 4,
     [](Arguments& a, Delivery& d) {
         const Text user_id = a.TextArgument();
         const int32_t cmd_id = a.Int32();
         const uint32_t seq = a.UInt32();
         const std::string message = a.Payload();
         d = [user_id, cmd_id, seq, message](QOLTCloudDelegate& delegate) {
             delegate.OnReceiveCustomCmdMsg(Pointer(user_id), cmd_id, seq, message.data(), message.size());
         };
         return a.ok();
     }},
    {"OnMissCustomCmdMsg", 4,
     [](Arguments& a, Delivery& d) {
         const Text user_id = a.TextArgument();
         const int32_t cmd_id = a.Int32();
         const uint32_t error_code = a.UInt32();
         const uint32_t missed = a.UInt32();
         d = [user_id, cmd_id, error_code, missed](QOLTCloudDelegate& delegate) {
             delegate.OnMissCustomCmdMsg(Pointer(user_id), cmd_id, error_code, missed);
         };
         return a.ok();
     }},
    {"OnNetworkQuality", 2,
     [](Arguments& a, Delivery& d) {
         const Value* local_record = a.Raw();
         const Value* remote_records = a.Raw();
         if (!a.ok() || remote_records->tag() != Value::Tag::kList) {
             return false;
         }
         std::optional<NetworkQualityInfo> local;
         if (!local_record->is_none()) {
             local.emplace();
             if (!ReadQuality(*local_record, *local)) {
                 return false;
             }
         }
         std::vector<NetworkQualityInfo> remote(remote_records->items().size());
         for (size_t i = 0; i < remote.size(); ++i) {
             if (!ReadQuality(remote_records->items()[i], remote[i])) {
                 return false;
             }
         }
         // The delegate receives mutable pointers: it gets copies, so the event stays repeatable.
         d = [local, remote](QOLTCloudDelegate& delegate) {
             std::optional<NetworkQualityInfo> local_copy = local;
             std::vector<NetworkQualityInfo> remote_copy = remote;
             delegate.OnNetworkQuality(local_copy ? &*local_copy : nullptr, remote_copy.data(), remote_copy.size());
         };
         return true;
     }},
    {"OnUserVoiceVolume", 2,
     [](Arguments& a, Delivery& d) {
         const Value* records = a.Raw();
         const uint32_t total = a.UInt32();
         if (!a.ok() || records->tag() != Value::Tag::kList) {
             return false;
         }
         std::vector<QOLTVolumeInfo> volumes(records->items().size());
         for (size_t i = 0; i < volumes.size(); ++i) {
             Text user_id;
             int64_t volume = 0;
             if (!ReadUserPair(records->items()[i], 0, std::numeric_limits<uint32_t>::max(), user_id, volume)) {
                 return false;
             }
             volumes[i].user_id.SetValue(Pointer(user_id));
             volumes[i].volume = static_cast<uint32_t>(volume);
         }
         d = [volumes, total](QOLTCloudDelegate& delegate) {
             std::vector<QOLTVolumeInfo> copy = volumes;
             delegate.OnUserVoiceVolume(copy.empty() ? nullptr : copy.data(), static_cast<uint32_t>(copy.size()),
                                        total);
         };
         return true;
     }},
    {"OnReceiveAsrMessage", 2,
     [](Arguments& a, Delivery& d) {
         AsrMessage message;
         message.user_id.SetValue(Pointer(a.TextArgument()));
         message.text.SetValue(Pointer(a.TextArgument()));
         d = [message](QOLTCloudDelegate& delegate) { delegate.OnReceiveAsrMessage(message); };
         return a.ok();
     }},
    {"OnAsrServiceError", 2,
     [](Arguments& a, Delivery& d) {
         const int error_code = a.Int32();
         const Text error_message = a.TextArgument();
         d = [error_code, error_message](QOLTCloudDelegate& delegate) {
             delegate.OnAsrServiceError(error_code, Pointer(error_message));
         };
         return a.ok();
     }},
};

}  // namespace

EventDecoder::Result EventDecoder::Decode(const char* name, const Value& arguments, const char*& operation,
                                          EventQueue::Delivery& delivery) {
    if (name == nullptr) {
        return Result::kUnknownOperation;
    }
    for (const Operation& candidate : kOperations) {
        if (std::strcmp(candidate.name, name) != 0) {
            continue;
        }
        Arguments reader(arguments, candidate.arity);
        if (!reader.ok() || !candidate.decode(reader, delivery) || !reader.ok()) {
            delivery = nullptr;
            return Result::kBadArguments;
        }
        operation = candidate.name;
        return Result::kOk;
    }
    return Result::kUnknownOperation;
}

}  // namespace loopback
}  // namespace mirelo
