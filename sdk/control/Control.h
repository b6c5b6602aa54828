// The loopback's control API: list the live clouds, raise delegate events on their event threads,
// wait for delivery, read the journal, the failures, statistics and settings, inject results and
// tune the loopback. Plain C++ over the loopback's internals; it knows nothing of its callers.
//
// Errors are exceptions: Refused (an unknown cloud, a value out of range; nothing changed), Timeout
// (an event not run in time; it still runs later), std::bad_alloc, and std::runtime_error for an
// internal failure.
#ifndef MIRELO_SDK_CONTROL_H
#define MIRELO_SDK_CONTROL_H

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "api/AsrMessage.h"
#include "api/QOLTVolumeInfo.h"
#include "api/Vendor.h"
#include "control/Value.h"

namespace mirelo {
namespace loopback {
namespace control {

class MIRELO_CONTROL Refused : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

class MIRELO_CONTROL Timeout : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using Delivery = std::function<void(QOLTCloudDelegate&)>;

// What an event keeps of its arguments: copies that own their data, so that the caller's objects
// may go away before it runs. A text is nullopt for a null pointer; a payload stands for a pointer
// and its length.
using Text = std::optional<std::string>;
using Payload = std::string;
using VideoOrPixel = std::variant<VideoFrame, PixelFrame>;

template <typename T>
struct Kept {
    using type = std::decay_t<T>;
};
template <>
struct Kept<const char*> {
    using type = Text;
};

inline const char* Pass(const Text& text) { return text ? text->c_str() : nullptr; }
template <typename T>
const T& Pass(const T& value) {
    return value;
}

// One delegate event: the name it is raised by, the SDK's name it is counted under, and how a
// delivery calls the delegate with the kept arguments.
template <typename... Args>
struct Event {
    const char* name;
    const char* operation;
    void (*call)(QOLTCloudDelegate&, const Args&...);

    Delivery Bind(Args... args) const {
        return [call = call, kept = std::make_tuple(std::move(args)...)](QOLTCloudDelegate& delegate) {
            std::apply([&](const Args&... values) { call(delegate, values...); }, kept);
        };
    }
};

template <auto Member, typename... Params>
constexpr Event<typename Kept<Params>::type...> MakeEvent(const char* name, const char* operation,
                                                          void (QOLTCloudDelegate::*)(Params...)) {
    return {name, operation, [](QOLTCloudDelegate& delegate, const typename Kept<Params>::type&... values) {
                (delegate.*Member)(Pass(values)...);
            }};
}

// An event whose arguments map one to one onto the operation's parameters.
template <auto Member>
constexpr auto On(const char* name, const char* operation = nullptr) {
    return MakeEvent<Member>(name, operation == nullptr ? name : operation, Member);
}

using D = QOLTCloudDelegate;
using VideoCall = void (D::*)(const char*, StreamType, const VideoFrame&);
using PixelCall = void (D::*)(const char*, StreamType, const PixelFrame&);

// The events that emit raises, by the SDK's names and, where the handler's differ, by those too.
inline const auto kEvents =
    std::make_tuple(On<&D::OnError>("OnError"), On<&D::OnConnectionStateChanged>("OnConnectionStateChanged"),
                    On<&D::OnEnterRoom>("OnEnterRoom"), On<&D::OnExitRoom>("OnExitRoom"),
                    On<&D::OnLocalAudioChannelCreated>("OnLocalAudioChannelCreated"),
                    On<&D::OnLocalAudioChannelDestroyed>("OnLocalAudioChannelDestroyed"),
                    On<&D::OnLocalVideoChannelCreated>("OnLocalVideoChannelCreated"),
                    On<&D::OnLocalVideoChannelDestroyed>("OnLocalVideoChannelDestroyed"),
                    On<&D::OnRequestChangeVideoEncodeBitrate>("OnRequestChangeVideoEncodeBitrate"),
                    On<&D::OnRequestKeyFrame>("OnRequestKeyFrame"),
                    On<&D::OnRemoteUserEnterRoom>("OnRemoteUserEnterRoom"),
                    On<&D::OnRemoteUserExitRoom>("OnRemoteUserExitRoom"),
                    On<&D::OnRemoteAudioAvailable>("OnRemoteAudioAvailable"),
                    On<&D::OnRemoteVideoAvailable>("OnRemoteVideoAvailable"),
                    Event<Text, StreamType, VideoOrPixel>{
                        "OnRemoteVideoReceived", "OnRemoteVideoReceived",
                        [](D& d, const Text& user, const StreamType& type, const VideoOrPixel& frame) {
                            std::visit([&](const auto& form) { d.OnRemoteVideoReceived(Pass(user), type, form); },
                                       frame);
                        }},
                    On<static_cast<VideoCall>(&D::OnRemoteVideoReceived)>("OnRemoteVideoFrameReceived",
                                                                          "OnRemoteVideoReceived"),
                    On<static_cast<PixelCall>(&D::OnRemoteVideoReceived)>("OnRemotePixelFrameReceived",
                                                                          "OnRemoteVideoReceived"),
                    On<&D::OnRemoteAudioReceived>("OnRemoteAudioReceived"),
                    On<&D::OnRemoteMixedAudioReceived>("OnRemoteMixedAudioReceived"),
                    Event<Text, StreamType, int, Payload>{
                        "OnSeiMessageReceived", "OnSeiMessageReceived",
                        [](D& d, const Text& user, const StreamType& type, const int& kind, const Payload& message) {
                            d.OnSeiMessageReceived(Pass(user), type, kind, message.data(), message.size());
                        }},
                    Event<Text, int32_t, uint32_t, Payload>{
                        "OnReceiveCustomCmdMsg", "OnReceiveCustomCmdMsg",
                        [](D& d, const Text& user, const int32_t& cmd_id, const uint32_t& seq, const Payload& message) {
                            d.OnReceiveCustomCmdMsg(Pass(user), cmd_id, seq, message.data(), message.size());
                        }},
                    On<&D::OnMissCustomCmdMsg>("OnMissCustomCmdMsg"),
                    // The delegate receives mutable records: each delivery gets its own copies.
                    Event<std::optional<NetworkQualityInfo>, std::vector<NetworkQualityInfo>>{
                        "OnNetworkQuality", "OnNetworkQuality",
                        [](D& d, const std::optional<NetworkQualityInfo>& local,
                           const std::vector<NetworkQualityInfo>& remote) {
                            std::optional<NetworkQualityInfo> own_local = local;
                            std::vector<NetworkQualityInfo> own_remote = remote;
                            d.OnNetworkQuality(own_local ? &*own_local : nullptr, own_remote.data(), own_remote.size());
                        }},
                    Event<std::vector<QOLTVolumeInfo>, uint32_t>{"OnUserVoiceVolume", "OnUserVoiceVolume",
                                                                 [](D& d, const std::vector<QOLTVolumeInfo>& volumes,
                                                                    const uint32_t& total) {
                                                                     std::vector<QOLTVolumeInfo> own = volumes;
                                                                     d.OnUserVoiceVolume(
                                                                         own.empty() ? nullptr : own.data(),
                                                                         static_cast<uint32_t>(own.size()), total);
                                                                 }},
                    Event<Text, Text>{"OnReceiveAsrMessage", "OnReceiveAsrMessage",
                                      [](D& d, const Text& user, const Text& text) {
                                          AsrMessage message;
                                          message.user_id.SetValue(Pass(user));
                                          message.text.SetValue(Pass(text));
                                          d.OnReceiveAsrMessage(message);
                                      }},
                    On<&D::OnAsrServiceError>("OnAsrServiceError"));

// Events that Emit queues at a time.
constexpr uint32_t kEmitBatch = 4096;

// Raises `count` copies of an event on the cloud's event thread and waits for the last, at most
// timeout_seconds (Timeout). A large count is queued kEmitBatch events at a time, each batch once
// the one before the last has run, so memory stays bounded; on a timeout the events not yet queued
// are not raised. Called on the cloud's own event thread it queues them all and returns at once. If
// the cloud goes before they run, they are cancelled and this returns. Refused for an unknown cloud.
MIRELO_CONTROL void Emit(uint64_t cloud, const char* operation, Delivery delivery, uint32_t count,
                         double timeout_seconds);

// Waits until every event raised so far on every live cloud has run (or was dropped); on an
// event thread, not for that thread's own cloud.
MIRELO_CONTROL void Flush(double timeout_seconds);

MIRELO_CONTROL std::vector<uint64_t> Clouds();  // in creation order
MIRELO_CONTROL std::vector<uint64_t> CloudsServing(const QOLTCloudDelegate* delegate);
MIRELO_CONTROL Value JournalEntries();   // a list of [cloud, operation, list of arguments]
MIRELO_CONTROL Value FailureEntries();   // a list of [cloud, operation, text]
MIRELO_CONTROL Value CloudStats();       // a list of dicts, "cloud" first
MIRELO_CONTROL Value CloudStates();      // a list of dicts, "cloud" first
MIRELO_CONTROL Value SdkSettings();      // a dict
MIRELO_CONTROL Value RetentionCounts();  // a dict of dicts
MIRELO_CONTROL Value Limits();           // a dict; "configuration": each tunable's min, max, default
MIRELO_CONTROL Value Tunables();         // a dict

// Empties the journal and the failures, zeroes their counts and disarms FailNextCloud; with
// `configuration`, also puts every tunable back to its default.
MIRELO_CONTROL void Reset(bool configuration);

// The cloud's next `count` calls of `operation` return `result` and do nothing else.
MIRELO_CONTROL void Inject(uint64_t cloud, const std::string& operation, int32_t result, uint32_t count);
MIRELO_CONTROL bool Injectable(const std::string& operation);

// Every call with a result of the next cloud created returns `result` (SendCustomCmdMsg: false).
MIRELO_CONTROL void FailNextCloud(int32_t result);

// Applies a dict of tunables by the names Tunables() gives; Refused, naming the first one that is
// unknown, of the wrong kind or out of range, with nothing changed.
MIRELO_CONTROL void Configure(const Value& changes);

// Failures on demand, for testing how callers cope with them.
enum class Fault { kSnapshotMemory, kSnapshotInternal, kClockStart };
// Arms one fault for the next time its operation runs, in any thread; Refused for kClockStart once
// the clock runs (it starts with the process's first room entry).
MIRELO_CONTROL void FailNext(Fault fault);

}  // namespace control
}  // namespace loopback
}  // namespace mirelo

// Exported only by the loopback: what tells it from another build of the library.
extern "C" MIRELO_CONTROL int mirelo_loopback_interface_version(void);

#endif  // MIRELO_SDK_CONTROL_H
