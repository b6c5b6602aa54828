#include "RoomService.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "VoiceActivityDetector.h"

namespace mirelo {
namespace qolt {
namespace {

using Delivery = EventQueue::Delivery;

// Media events may be dropped (oldest first) when a handler falls behind; all others never are.
constexpr bool kMedia = true;
constexpr bool kKept = false;

void Raise(CloudState& to, const char* operation, bool droppable, Delivery delivery) {
    to.events->Post(operation, droppable, std::move(delivery));
}

void RaiseStateChange(CloudState& to, ConnectionState old_state, ConnectionState new_state) {
    Raise(to, "OnConnectionStateChanged", kKept, [old_state, new_state](QOLTCloudDelegate& delegate) {
        delegate.OnConnectionStateChanged(old_state, new_state);
    });
}

void RaiseUserEntered(CloudState& to, const std::string& user_id) {
    UserInfo info;
    info.user_id.SetValue(user_id.c_str());
    Raise(to, "OnRemoteUserEnterRoom", kKept, [info](QOLTCloudDelegate& delegate) { delegate.OnRemoteUserEnterRoom(info); });
}

void RaiseAudioAvailable(CloudState& to, const std::string& user_id, bool available) {
    Raise(to, "OnRemoteAudioAvailable", kKept, [user_id, available](QOLTCloudDelegate& delegate) {
        delegate.OnRemoteAudioAvailable(user_id.c_str(), available);
    });
}

void RaiseVideoAvailable(CloudState& to, const std::string& user_id, bool available, StreamType type) {
    Raise(to, "OnRemoteVideoAvailable", kKept, [user_id, available, type](QOLTCloudDelegate& delegate) {
        delegate.OnRemoteVideoAvailable(user_id.c_str(), available, type);
    });
}

void RaiseKeyFrameRequest(CloudState& to, StreamType type) {
    Raise(to, "OnRequestKeyFrame", kKept, [type](QOLTCloudDelegate& delegate) { delegate.OnRequestKeyFrame(type); });
}

bool IsVideoType(int type) {
    return type == STREAM_TYPE_VIDEO_HIGH || type == STREAM_TYPE_VIDEO_LOW || type == STREAM_TYPE_VIDEO_AUX;
}

bool IsText(const char* text) { return text != nullptr && *text != '\0'; }

std::string RoomKey(const RoomParams& room) {
    const char* name = room.str_room_id.GetValue();
    return std::to_string(room.sdk_app_id) + (IsText(name) ? std::string("/s/") + name : "/n/" + std::to_string(room.room_id));
}

bool IsChannelRate(int rate) {
    return rate == 8000 || rate == 16000 || rate == 32000 || rate == 44100 || rate == 48000;
}

bool IsFrameLength(int ms) { return ms == 10 || ms == 20 || ms == 40 || ms == 60; }

// The output format must be one the converter handles; the frame length is kept sane so that a
// mixed frame is neither empty nor huge.
bool IsObtainable(const AudioObtainParams& obtain) {
    return (obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_GET ||
            obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_CALLBACK) &&
           AudioFormatConverter::Supports(obtain.output_sample_rate, obtain.output_channels) &&
           obtain.output_frame_length_ms >= 10 && obtain.output_frame_length_ms <= 1000;
}

size_t MixFrameSamples(const AudioObtainParams& obtain) {
    return static_cast<size_t>(obtain.output_sample_rate) * static_cast<size_t>(obtain.output_frame_length_ms) / 1000 *
           static_cast<size_t>(obtain.output_channels);
}

std::vector<int16_t> Samples(const AudioFrame& frame) {
    std::vector<int16_t> samples(frame.size() / sizeof(int16_t));
    if (!samples.empty()) {
        std::memcpy(samples.data(), frame.data(), samples.size() * sizeof(int16_t));
    }
    return samples;
}

AudioFrame PcmFrame(const std::vector<int16_t>& samples, int rate, int channels, uint32_t pts, bool has_voice) {
    AudioFrame frame;
    frame.sample_rate = rate;
    frame.channels = channels;
    frame.bits_per_sample = 16;
    frame.codec = AUDIO_CODEC_TYPE_PCM;
    frame.pts = pts;
    frame.has_voice = has_voice;
    frame.SetData(reinterpret_cast<const uint8_t*>(samples.data()), samples.size() * sizeof(int16_t));
    return frame;
}

// The payload size a raw picture of this geometry takes; 0 for an unknown format or empty picture.
uint64_t PixelPayloadSize(const PixelFrame& frame) {
    const uint64_t width = frame.width;
    const uint64_t height = frame.height;
    const uint64_t luma = width * height;
    const uint64_t chroma = ((width + 1) / 2) * ((height + 1) / 2);
    switch (frame.format) {
        case VIDEO_PIXEL_FORMAT_YUV420p:
            return luma + 2 * chroma;
        case VIDEO_PIXEL_FORMAT_YUVA420p:
            return 2 * luma + 2 * chroma;
        case VIDEO_PIXEL_FORMAT_RGBA:
            return 4 * luma;
    }
    return 0;
}

CloudState::Clock::duration FrameDuration(const AudioFrame& frame, const AudioEncodeParams& channel) {
    if (frame.codec == AUDIO_CODEC_TYPE_PCM && frame.sample_rate > 0 && frame.channels > 0) {
        const double seconds =
            static_cast<double>(frame.size() / 2 / static_cast<size_t>(frame.channels)) / frame.sample_rate;
        return std::chrono::duration_cast<CloudState::Clock::duration>(std::chrono::duration<double>(seconds));
    }
    return std::chrono::milliseconds(channel.frame_length_ms);
}

}  // namespace

RoomService::RoomService(const Configuration& configuration) : configuration_(configuration) {}

CloudState* RoomService::FindLocked(uint64_t handle) const {
    auto found = clouds_.find(handle);
    return found == clouds_.end() ? nullptr : found->second.get();
}

std::vector<CloudState*> RoomService::RoomMembersLocked(const std::string& room_key) const {
    std::vector<CloudState*> members;
    auto room = rooms_.find(room_key);
    if (room != rooms_.end()) {
        for (uint64_t handle : room->second) {
            members.push_back(FindLocked(handle));
        }
    }
    return members;
}

CloudState* RoomService::FindUserLocked(const std::string& room_key, const std::string& user_id) const {
    for (CloudState* member : RoomMembersLocked(room_key)) {
        if (member->user_id == user_id) {
            return member;
        }
    }
    return nullptr;
}

void RoomService::AddCloud(uint64_t handle, std::shared_ptr<EventQueue> events) {
    auto state = std::make_unique<CloudState>();
    state->handle = handle;
    state->events = std::move(events);
    std::lock_guard<std::mutex> lock(mutex_);
    clouds_[handle] = std::move(state);
}

void RoomService::RemoveCloud(uint64_t handle) {
    std::unique_ptr<CloudState> removed;
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = clouds_.find(handle);
    if (found == clouds_.end()) {
        return;
    }
    if (found->second->in_room) {
        LeaveLocked(*found->second);
    }
    removed = std::move(found->second);
    clouds_.erase(found);
}

int RoomService::EnterRoom(uint64_t handle, const EnterRoomParams& params) {
    const RoomParams& room = params.room;
    if (room.sdk_app_id == 0) {
        return ERR_INVALID_SDK_APP_ID;
    }
    if (!IsText(room.user_id.GetValue())) {
        return ERR_INVALID_USER_ID;
    }
    if (room.room_id == 0 && !IsText(room.str_room_id.GetValue())) {
        return ERR_INVALID_ROOM_ID;
    }
    if (!IsText(room.user_sig.GetValue())) {
        return ERR_INVALID_USER_SIG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = FindLocked(handle);
    if (self == nullptr || self->in_room) {
        return ERR_INVALID_OPERATION;
    }
    if ((params.role != QOLT_ROLE_ANCHOR && params.role != QOLT_ROLE_AUDIENCE) ||
        !IsObtainable(params.audio_obtain_params)) {
        return ERR_INVALID_PARAMETER;
    }
    const std::string key = RoomKey(room);
    const std::string user_id = room.user_id.GetValue();
    RaiseStateChange(*self, self->connection, CONNECTION_STATE_CONNECTING);
    if (FindUserLocked(key, user_id) != nullptr) {
        Raise(*self, "OnError", kKept, [](QOLTCloudDelegate& delegate) { delegate.OnError(ERR_ENTER_ROOM_FAILED); });
        RaiseStateChange(*self, CONNECTION_STATE_CONNECTING, CONNECTION_STATE_DISCONNECTED);
        self->connection = CONNECTION_STATE_DISCONNECTED;
        return ERR_OK;
    }
    RaiseStateChange(*self, CONNECTION_STATE_CONNECTING, CONNECTION_STATE_CONNECTED);
    Raise(*self, "OnEnterRoom", kKept, [](QOLTCloudDelegate& delegate) { delegate.OnEnterRoom(); });

    const Configuration::Values settings = configuration_.values();
    self->connection = CONNECTION_STATE_CONNECTED;
    self->in_room = true;
    self->room_key = key;
    self->user_id = user_id;
    self->role = params.role;
    self->obtain = params.audio_obtain_params;
    self->pixel_output = params.use_pixel_frame_output;
    const size_t buffered_samples = static_cast<size_t>(self->obtain.output_sample_rate) * settings.audio_buffer_ms /
                                    1000 * static_cast<size_t>(self->obtain.output_channels);
    self->mixer = std::make_unique<AudioMixer>(std::max(buffered_samples, MixFrameSamples(self->obtain)));
    self->mixed_pts = 0;
    self->next_quality_report = Clock::now() + std::chrono::milliseconds(settings.network_quality_interval_ms);

    // Anchors are announced to everyone in the room, audience members to nobody.
    for (CloudState* member : RoomMembersLocked(key)) {
        if (member->IsAnchor()) {
            RaiseUserEntered(*self, member->user_id);
            if (member->audio_channel) {
                RaiseAudioAvailable(*self, member->user_id, true);
            }
            for (StreamType type : member->video_channels) {
                RaiseVideoAvailable(*self, member->user_id, true, type);
            }
        }
        if (self->IsAnchor()) {
            RaiseUserEntered(*member, user_id);
        }
    }
    rooms_[key].push_back(handle);
    EnsureClockLocked();
    clock_wake_.notify_all();
    return ERR_OK;
}

int RoomService::ExitRoom(uint64_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = FindLocked(handle);
    if (self == nullptr || !self->in_room) {
        return ERR_INVALID_OPERATION;
    }
    LeaveLocked(*self);
    return ERR_OK;
}

void RoomService::LeaveLocked(CloudState& leaver) {
    if (leaver.audio_channel) {
        CloseAudioChannelLocked(leaver);
    }
    while (!leaver.video_channels.empty()) {
        CloseVideoChannelLocked(leaver, leaver.video_channels.front());
    }
    Raise(leaver, "OnExitRoom", kKept, [](QOLTCloudDelegate& delegate) { delegate.OnExitRoom(); });
    RaiseStateChange(leaver, CONNECTION_STATE_CONNECTED, CONNECTION_STATE_DISCONNECTED);

    auto& members = rooms_[leaver.room_key];
    members.erase(std::remove(members.begin(), members.end(), leaver.handle), members.end());
    for (CloudState* other : RoomMembersLocked(leaver.room_key)) {
        if (leaver.role == QOLT_ROLE_ANCHOR) {
            UserInfo info;
            info.user_id.SetValue(leaver.user_id.c_str());
            Raise(*other, "OnRemoteUserExitRoom", kKept,
                  [info](QOLTCloudDelegate& delegate) { delegate.OnRemoteUserExitRoom(info, 0); });
        }
        other->missed_messages.erase(other->missed_messages.lower_bound({leaver.handle, INT32_MIN}),
                                     other->missed_messages.upper_bound({leaver.handle, INT32_MAX}));
    }
    if (members.empty()) {
        rooms_.erase(leaver.room_key);
    }

    leaver.in_room = false;
    leaver.connection = CONNECTION_STATE_DISCONNECTED;
    leaver.room_key.clear();
    leaver.user_id.clear();
    leaver.subscriptions.clear();
    leaver.converters.clear();
    leaver.mixer.reset();
    leaver.message_sequence.clear();
    leaver.missed_messages.clear();
    leaver.paced_audio.clear();
}

// The sender's audio stops: receivers drop their converter and mixer share for it.
void RoomService::ForgetSenderLocked(CloudState& sender) {
    for (CloudState* other : RoomMembersLocked(sender.room_key)) {
        if (other == &sender) {
            continue;
        }
        other->converters.erase(sender.handle);
        if (other->mixer) {
            other->mixer->RemoveSource(sender.handle);
            if (other->obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_CALLBACK) {
                DrainMixLocked(*other);
            }
        }
    }
}

void RoomService::CloseAudioChannelLocked(CloudState& owner) {
    ForgetSenderLocked(owner);
    owner.audio_channel.reset();
    owner.paced_audio.clear();
    Raise(owner, "OnLocalAudioChannelDestroyed", kKept,
          [](QOLTCloudDelegate& delegate) { delegate.OnLocalAudioChannelDestroyed(); });
    for (CloudState* other : RoomMembersLocked(owner.room_key)) {
        if (other != &owner) {
            RaiseAudioAvailable(*other, owner.user_id, false);
        }
    }
}

void RoomService::CloseVideoChannelLocked(CloudState& owner, StreamType type) {
    owner.video_channels.erase(std::remove(owner.video_channels.begin(), owner.video_channels.end(), type),
                               owner.video_channels.end());
    Raise(owner, "OnLocalVideoChannelDestroyed", kKept,
          [type](QOLTCloudDelegate& delegate) { delegate.OnLocalVideoChannelDestroyed(type); });
    for (CloudState* other : RoomMembersLocked(owner.room_key)) {
        if (other != &owner) {
            RaiseVideoAvailable(*other, owner.user_id, false, type);
        }
    }
}

int RoomService::CheckSubscriptionLocked(uint64_t handle, const char* user_id, StreamType type,
                                         CloudState*& self) const {
    self = FindLocked(handle);
    if (self == nullptr || !self->in_room) {
        return ERR_INVALID_OPERATION;
    }
    if (type != STREAM_TYPE_AUDIO && !IsVideoType(type)) {
        return ERR_INVALID_PARAMETER;
    }
    if (!IsText(user_id)) {
        return ERR_INVALID_USER_ID;
    }
    return ERR_OK;
}

int RoomService::Subscribe(uint64_t handle, const char* user_id, StreamType type) {
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = nullptr;
    if (const int refused = CheckSubscriptionLocked(handle, user_id, type, self); refused != ERR_OK) {
        return refused;
    }
    self->subscriptions.insert({user_id, type});
    CloudState* publisher = FindUserLocked(self->room_key, user_id);
    if (publisher != nullptr && publisher != self && type == STREAM_TYPE_AUDIO && publisher->audio_channel) {
        self->mixer->AddSource(publisher->handle);
    }
    if (publisher != nullptr && publisher != self && IsVideoType(type) && publisher->HasVideo(type)) {
        RaiseKeyFrameRequest(*publisher, type);
    }
    return ERR_OK;
}

int RoomService::Unsubscribe(uint64_t handle, const char* user_id, StreamType type) {
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = nullptr;
    if (const int refused = CheckSubscriptionLocked(handle, user_id, type, self); refused != ERR_OK) {
        return refused;
    }
    self->subscriptions.erase({user_id, type});
    CloudState* publisher = FindUserLocked(self->room_key, user_id);
    if (type == STREAM_TYPE_AUDIO && publisher != nullptr) {
        self->converters.erase(publisher->handle);
        self->mixer->RemoveSource(publisher->handle);
    }
    return ERR_OK;
}

int RoomService::CreateLocalAudioChannel(uint64_t handle, const AudioEncodeParams& params) {
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = FindLocked(handle);
    if (self == nullptr || !self->IsAnchor() || self->audio_channel) {
        return ERR_INVALID_OPERATION;
    }
    if ((params.channels != 1 && params.channels != 2) || !IsChannelRate(params.sample_rate) ||
        !IsFrameLength(params.frame_length_ms) || params.bitrate_bps <= 0) {
        return ERR_INVALID_PARAMETER;
    }
    self->audio_channel = params;
    Raise(*self, "OnLocalAudioChannelCreated", kKept,
          [](QOLTCloudDelegate& delegate) { delegate.OnLocalAudioChannelCreated(); });
    for (CloudState* other : RoomMembersLocked(self->room_key)) {
        if (other != self) {
            RaiseAudioAvailable(*other, self->user_id, true);
            if (other->Subscribed(self->user_id, STREAM_TYPE_AUDIO)) {
                other->mixer->AddSource(self->handle);  // its mix now waits for this sender too
            }
        }
    }
    return ERR_OK;
}

int RoomService::DestroyLocalAudioChannel(uint64_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = FindLocked(handle);
    if (self == nullptr || !self->in_room || !self->audio_channel) {
        return ERR_INVALID_OPERATION;
    }
    CloseAudioChannelLocked(*self);
    return ERR_OK;
}

int RoomService::CreateLocalVideoChannel(uint64_t handle, StreamType type) {
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = FindLocked(handle);
    if (self == nullptr || !self->IsAnchor()) {
        return ERR_INVALID_OPERATION;
    }
    if (!IsVideoType(type)) {
        return ERR_INVALID_PARAMETER;
    }
    if (self->HasVideo(type)) {
        return ERR_INVALID_OPERATION;
    }
    self->video_channels.push_back(type);
    Raise(*self, "OnLocalVideoChannelCreated", kKept,
          [type](QOLTCloudDelegate& delegate) { delegate.OnLocalVideoChannelCreated(type); });
    bool subscribed = false;
    for (CloudState* other : RoomMembersLocked(self->room_key)) {
        if (other != self) {
            RaiseVideoAvailable(*other, self->user_id, true, type);
            subscribed = subscribed || other->Subscribed(self->user_id, type);
        }
    }
    if (subscribed) {
        RaiseKeyFrameRequest(*self, type);  // the waiting subscribers need a picture to start from
    }
    return ERR_OK;
}

int RoomService::DestroyLocalVideoChannel(uint64_t handle, StreamType type) {
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = FindLocked(handle);
    if (self == nullptr || !self->in_room) {
        return ERR_INVALID_OPERATION;
    }
    if (!IsVideoType(type)) {
        return ERR_INVALID_PARAMETER;
    }
    if (!self->HasVideo(type)) {
        return ERR_INVALID_OPERATION;
    }
    CloseVideoChannelLocked(*self, type);
    return ERR_OK;
}

namespace {

bool IsSendableAudio(const AudioEncodeParams& channel, const AudioFrame& frame) {
    if (frame.codec != AUDIO_CODEC_TYPE_PCM) {
        return !channel.need_encode && frame.size() > 0;  // encoded: passed on as it is
    }
    return frame.bits_per_sample == 16 && frame.sample_rate == channel.sample_rate &&
           frame.channels == channel.channels && frame.size() > 0 &&
           frame.size() % (2 * static_cast<size_t>(frame.channels)) == 0;
}

}  // namespace

int RoomService::SendAudioFrame(uint64_t handle, const AudioFrame& frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = FindLocked(handle);
    if (self == nullptr || !self->in_room || !self->audio_channel) {
        return ERR_INVALID_OPERATION;
    }
    if (!IsSendableAudio(*self->audio_channel, frame)) {
        return ERR_INVALID_PARAMETER;
    }
    RouteAudioLocked(*self, frame);
    return ERR_OK;
}

int RoomService::SendContinuousAudioFrame(uint64_t handle, const AudioFrame& frame, bool clear_send_queue) {
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = FindLocked(handle);
    if (self == nullptr || !self->in_room || !self->audio_channel) {
        return ERR_INVALID_OPERATION;
    }
    if (!IsSendableAudio(*self->audio_channel, frame)) {
        return ERR_INVALID_PARAMETER;
    }
    if (clear_send_queue) {
        self->paced_audio.clear();
    }
    if (self->paced_audio.empty()) {
        self->next_paced_send = std::max(self->next_paced_send, Clock::now());
    }
    if (self->paced_audio.size() >= kMaxPacedFrames) {
        self->paced_audio.pop_front();  // a caller far ahead of real time loses its oldest audio
    }
    self->paced_audio.push_back(frame);
    EnsureClockLocked();  // in a child made by fork(), the room was entered before the child's clock
    clock_wake_.notify_all();
    return ERR_OK;
}

void RoomService::RouteAudioLocked(CloudState& sender, const AudioFrame& sent) {
    const bool pcm = sent.codec == AUDIO_CODEC_TYPE_PCM;
    std::vector<int16_t> samples;
    bool has_voice = sent.has_voice;
    if (pcm) {
        samples = Samples(sent);
        if (sender.voice_detection) {
            has_voice = VoiceActivityDetector::HasVoice(samples.data(), samples.size());
        }
    }
    const std::string user_id = sender.user_id;
    for (CloudState* receiver : RoomMembersLocked(sender.room_key)) {
        if (receiver == &sender || !receiver->Subscribed(user_id, STREAM_TYPE_AUDIO)) {
            continue;
        }
        const AudioObtainParams& obtain = receiver->obtain;
        const bool per_sender =
            obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_CALLBACK && !obtain.enable_remote_audio_mix;
        if (!pcm) {
            // Without a codec, encoded audio cannot be converted or mixed: it reaches only
            // receivers that take each sender's frames as they are.
            if (per_sender) {
                AudioFrame copy = sent;
                Raise(*receiver, "OnRemoteAudioReceived", kMedia, [user_id, copy](QOLTCloudDelegate& delegate) {
                    delegate.OnRemoteAudioReceived(user_id.c_str(), copy);
                });
            }
            continue;
        }
        auto& converter = receiver->converters[sender.handle];
        if (!converter || converter->input_rate() != sent.sample_rate || converter->input_channels() != sent.channels) {
            converter = std::make_unique<AudioFormatConverter>(sent.sample_rate, sent.channels, obtain.output_sample_rate,
                                                               obtain.output_channels);
        }
        std::vector<int16_t> converted;
        converter->Convert(samples.data(), samples.size() / static_cast<size_t>(sent.channels), converted);
        if (converted.empty()) {
            continue;
        }
        if (per_sender) {
            AudioFrame frame = PcmFrame(converted, obtain.output_sample_rate, obtain.output_channels, sent.pts, has_voice);
            Raise(*receiver, "OnRemoteAudioReceived", kMedia, [user_id, frame](QOLTCloudDelegate& delegate) {
                delegate.OnRemoteAudioReceived(user_id.c_str(), frame);
            });
            continue;
        }
        receiver->mixer->Push(sender.handle, converted.data(), converted.size());
        if (obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_CALLBACK) {
            DrainMixLocked(*receiver);
        }
    }
}

// Hands out mixed frames once every sender has contributed its share, or once one sender is so
// far ahead that waiting for the others would only add delay.
void RoomService::DrainMixLocked(CloudState& receiver) {
    const size_t frame_samples = MixFrameSamples(receiver.obtain);
    std::vector<int16_t> mixed;
    while (receiver.mixer->shortest() >= frame_samples || receiver.mixer->buffered() >= kMaxMixLagFrames * frame_samples) {
        if (!receiver.mixer->Pop(frame_samples, mixed)) {
            break;
        }
        AudioFrame frame = PcmFrame(mixed, receiver.obtain.output_sample_rate, receiver.obtain.output_channels,
                                    receiver.mixed_pts, VoiceActivityDetector::HasVoice(mixed.data(), mixed.size()));
        receiver.mixed_pts += static_cast<uint32_t>(receiver.obtain.output_frame_length_ms);
        Raise(receiver, "OnRemoteMixedAudioReceived", kMedia,
              [frame](QOLTCloudDelegate& delegate) { delegate.OnRemoteMixedAudioReceived(frame); });
    }
}

int RoomService::GetAudioFrame(uint64_t handle, AudioFrame* frame) {
    if (frame == nullptr) {
        return ERR_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = FindLocked(handle);
    if (self == nullptr || !self->in_room || self->obtain.audio_obtain_method != AUDIO_OBTAIN_METHOD_GET) {
        return ERR_READ_TRY_AGAIN;
    }
    std::vector<int16_t> mixed;
    if (!self->mixer->Pop(MixFrameSamples(self->obtain), mixed)) {
        return ERR_READ_TRY_AGAIN;
    }
    *frame = PcmFrame(mixed, self->obtain.output_sample_rate, self->obtain.output_channels, self->mixed_pts,
                      VoiceActivityDetector::HasVoice(mixed.data(), mixed.size()));
    self->mixed_pts += static_cast<uint32_t>(self->obtain.output_frame_length_ms);
    return ERR_OK;
}

// Checks that the cloud publishes the video stream and that the frame is well formed, then hands
// the frame to every subscriber of that stream that asked for this form of video.
template <typename Frame>
int RoomService::SendVideo(uint64_t handle, StreamType type, const Frame& frame, bool payload_fits, bool pixels) {
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = FindLocked(handle);
    if (self == nullptr || !self->in_room) {
        return ERR_INVALID_OPERATION;
    }
    if (!IsVideoType(type)) {
        return ERR_INVALID_PARAMETER;
    }
    if (!self->HasVideo(type)) {
        return ERR_INVALID_OPERATION;
    }
    if (!payload_fits) {
        return ERR_INVALID_PARAMETER;
    }
    const std::string user_id = self->user_id;
    for (CloudState* receiver : RoomMembersLocked(self->room_key)) {
        if (receiver != self && receiver->pixel_output == pixels && receiver->Subscribed(user_id, type)) {
            Raise(*receiver, "OnRemoteVideoReceived", kMedia, [user_id, type, frame](QOLTCloudDelegate& delegate) {
                delegate.OnRemoteVideoReceived(user_id.c_str(), type, frame);
            });
        }
    }
    return ERR_OK;
}

int RoomService::SendVideoFrame(uint64_t handle, StreamType type, const VideoFrame& frame) {
    return SendVideo(handle, type, frame, frame.size() != 0, false);
}

int RoomService::SendVideoFrame(uint64_t handle, StreamType type, const PixelFrame& frame) {
    const uint64_t expected = PixelPayloadSize(frame);
    return SendVideo(handle, type, frame, expected != 0 && frame.size() == expected, true);
}

void RoomService::SetVideoEncodeParam(uint64_t handle, StreamType type, const VideoEncodeParams& params) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (CloudState* self = FindLocked(handle)) {
        self->video_encode_params[type] = params;
    }
}

int RoomService::SendSeiMessage(uint64_t handle, int message_type, const char* message, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = FindLocked(handle);
    if (self == nullptr || !self->in_room || self->video_channels.empty()) {
        return ERR_INVALID_OPERATION;
    }
    if (message == nullptr || length == 0 || length > kMaxSeiBytes) {
        return ERR_INVALID_PARAMETER;
    }
    const StreamType stream = self->HasVideo(STREAM_TYPE_VIDEO_HIGH) ? STREAM_TYPE_VIDEO_HIGH : self->video_channels.front();
    const std::string user_id = self->user_id;
    const std::string payload(message, length);
    for (CloudState* receiver : RoomMembersLocked(self->room_key)) {
        if (receiver != self && receiver->Subscribed(user_id, stream)) {
            Raise(*receiver, "OnSeiMessageReceived", kKept,
                  [user_id, stream, message_type, payload](QOLTCloudDelegate& delegate) {
                      delegate.OnSeiMessageReceived(user_id.c_str(), stream, message_type, payload.data(),
                                                    payload.size());
                  });
        }
    }
    return ERR_OK;
}

bool RoomService::SendCustomCmdMsg(uint64_t handle, uint32_t cmd_id, const char* message, size_t length,
                                   bool reliable, bool /*ordered*/) {
    // Every event queue is first in, first out, so every message arrives in order anyway.
    if (cmd_id < 1 || cmd_id > 10 || length > kMaxCustomMessageBytes || (message == nullptr && length != 0)) {
        return false;
    }
    const Configuration::Values settings = configuration_.values();
    std::lock_guard<std::mutex> lock(mutex_);
    CloudState* self = FindLocked(handle);
    if (self == nullptr || !self->in_room || !self->message_budget.Admit(length, Clock::now())) {
        return false;
    }
    if (settings.custom_message_seed != loss_seed_) {
        loss_seed_ = settings.custom_message_seed;
        loss_random_.seed(loss_seed_);
    }
    const int32_t command = static_cast<int32_t>(cmd_id);
    const uint32_t sequence = ++self->message_sequence[command];
    const std::string user_id = self->user_id;
    const std::string payload = length == 0 ? std::string() : std::string(message, length);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    for (CloudState* receiver : RoomMembersLocked(self->room_key)) {
        if (receiver == self) {
            continue;
        }
        uint32_t& missed = receiver->missed_messages[{self->handle, command}];
        if (!reliable && settings.custom_message_loss > 0.0 && chance(loss_random_) < settings.custom_message_loss) {
            ++missed;
            continue;
        }
        if (missed != 0) {
            const uint32_t count = missed;
            Raise(*receiver, "OnMissCustomCmdMsg", kKept, [user_id, command, count](QOLTCloudDelegate& delegate) {
                delegate.OnMissCustomCmdMsg(user_id.c_str(), command, kMissedMessageErrorCode, count);
            });
            missed = 0;
        }
        Raise(*receiver, "OnReceiveCustomCmdMsg", kKept, [user_id, command, sequence, payload](QOLTCloudDelegate& delegate) {
            delegate.OnReceiveCustomCmdMsg(user_id.c_str(), command, sequence, payload.data(), payload.size());
        });
    }
    return true;
}

void RoomService::EnableVoiceActivityDetection(uint64_t handle, const VADParams& params) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (CloudState* self = FindLocked(handle)) {
        self->voice_detection = params.enable;
    }
}

void RoomService::ReportQualityLocked(CloudState& cloud) {
    NetworkQualityInfo local;
    local.user_id.SetValue(cloud.user_id.c_str());
    local.quality = NETWORK_QUALITY_EXCELLENT;
    std::vector<NetworkQualityInfo> remote;
    for (CloudState* member : RoomMembersLocked(cloud.room_key)) {
        if (member != &cloud && member->IsAnchor()) {
            NetworkQualityInfo info;
            info.user_id.SetValue(member->user_id.c_str());
            info.quality = NETWORK_QUALITY_EXCELLENT;
            remote.push_back(info);
        }
    }
    // A report is superseded by the next one, so a handler that falls behind may lose old ones.
    Raise(cloud, "OnNetworkQuality", kMedia, [local, remote](QOLTCloudDelegate& delegate) {
        NetworkQualityInfo local_copy = local;
        std::vector<NetworkQualityInfo> remote_copy = remote;
        delegate.OnNetworkQuality(&local_copy, remote_copy.data(), remote_copy.size());
    });
}

void RoomService::EnsureClockLocked() {
    if (!clock_running_ && !clock_ended_) {
        std::thread(&RoomService::RunClock, this).detach();
        clock_running_ = true;
    }
}

void RoomService::ForgetClockInChild() {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_running_ = false;
    new (&clock_wake_) std::condition_variable();  // see the member
}

void RoomService::EndClock() {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_ended_ = true;
    clock_wake_.notify_all();
}

void RoomService::RunClock() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!clock_ended_) {
        const Clock::time_point now = Clock::now();
        Clock::time_point next = now + std::chrono::hours(1);
        const auto interval = std::chrono::milliseconds(configuration_.values().network_quality_interval_ms);
        for (auto& entry : clouds_) {
            CloudState& cloud = *entry.second;
            if (!cloud.in_room) {
                continue;
            }
            if (now >= cloud.next_quality_report) {
                ReportQualityLocked(cloud);
                cloud.next_quality_report = now + interval;
            }
            next = std::min(next, cloud.next_quality_report);
            if (!cloud.paced_audio.empty() && now - cloud.next_paced_send > std::chrono::milliseconds(200)) {
                cloud.next_paced_send = now;  // the process stalled: resume at the real pace, no burst
            }
            while (!cloud.paced_audio.empty() && now >= cloud.next_paced_send) {
                AudioFrame frame = std::move(cloud.paced_audio.front());
                cloud.paced_audio.pop_front();
                cloud.next_paced_send += FrameDuration(frame, *cloud.audio_channel);
                RouteAudioLocked(cloud, frame);
            }
            if (!cloud.paced_audio.empty()) {
                next = std::min(next, cloud.next_paced_send);
            }
        }
        clock_wake_.wait_until(lock, next);
    }
}

Value RoomService::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Value> clouds;
    for (const auto& entry : clouds_) {
        const CloudState& cloud = *entry.second;
        Value state = Value::Dict();
        state.Add("cloud", Value::UInt(cloud.handle))
            .Add("connection_state", Value::Int(cloud.connection))
            .Add("in_room", Value::Bool(cloud.in_room))
            .Add("room", cloud.in_room ? Value::Text(cloud.room_key) : Value::None())
            .Add("user_id", cloud.in_room ? Value::Text(cloud.user_id) : Value::None())
            .Add("role", Value::Int(cloud.role))
            .Add("voice_detection", Value::Bool(cloud.voice_detection));
        Value audio = Value::None();
        if (cloud.audio_channel) {
            audio = Value::Dict();
            audio.Add("channels", Value::Int(cloud.audio_channel->channels))
                .Add("sample_rate", Value::Int(cloud.audio_channel->sample_rate))
                .Add("frame_length_ms", Value::Int(cloud.audio_channel->frame_length_ms))
                .Add("bitrate_bps", Value::Int(cloud.audio_channel->bitrate_bps))
                .Add("need_encode", Value::Bool(cloud.audio_channel->need_encode));
        }
        state.Add("audio_channel", std::move(audio));
        std::vector<Value> video;
        for (StreamType type : cloud.video_channels) {
            video.push_back(Value::Int(type));
        }
        state.Add("video_channels", Value::List(std::move(video)));
        std::vector<Value> subscriptions;
        for (const auto& subscription : cloud.subscriptions) {
            subscriptions.push_back(Value::List({Value::Text(subscription.first), Value::Int(subscription.second)}));
        }
        state.Add("subscriptions", Value::List(std::move(subscriptions)));
        std::vector<Value> encode_params;
        for (const auto& params : cloud.video_encode_params) {
            Value record = Value::Dict();
            record.Add("frame_rate", Value::Int(params.second.frame_rate))
                .Add("bitrate_bps", Value::Int(params.second.bitrate_bps))
                .Add("gop_in_seconds", Value::Int(params.second.gop_in_seconds));
            encode_params.push_back(Value::List({Value::Int(params.first), std::move(record)}));
        }
        state.Add("video_encode_params", Value::List(std::move(encode_params)));
        state.Add("paced_audio_frames", Value::UInt(cloud.paced_audio.size()));
        clouds.push_back(std::move(state));
    }
    return Value::List(std::move(clouds));
}

}  // namespace qolt
}  // namespace mirelo
