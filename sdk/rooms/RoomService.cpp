#include "rooms/RoomService.h"

#include <cxxabi.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "rooms/RoomEvents.h"
#include "runtime/LoopbackService.h"

namespace mirelo {
namespace loopback {
namespace {

using namespace room_events;

Role Availability(bool available) { return available ? Role::kOpens : Role::kCloses; }

void RaiseStateChange(CloudState& to, ConnectionState old_state, ConnectionState new_state) {
    Raise(to, "OnConnectionStateChanged", kKept, [old_state, new_state](QOLTCloudDelegate& delegate) {
        delegate.OnConnectionStateChanged(old_state, new_state);
    });
}

void RaiseUserEntered(CloudState& to, const std::string& user_id) {
    UserInfo info;
    info.user_id.SetValue(user_id.c_str());
    Raise(
        to, "OnRemoteUserEnterRoom", kKept,
        [info](QOLTCloudDelegate& delegate) { delegate.OnRemoteUserEnterRoom(info); },
        About(Topic::kRemoteUser, Role::kOpens, user_id));
}

void RaiseAudioAvailable(CloudState& to, const std::string& user_id, bool available) {
    Raise(
        to, "OnRemoteAudioAvailable", kKept,
        [user_id, available](QOLTCloudDelegate& delegate) {
            delegate.OnRemoteAudioAvailable(user_id.c_str(), available);
        },
        About(Topic::kRemoteAudio, Availability(available), user_id));
}

void RaiseVideoAvailable(CloudState& to, const std::string& user_id, bool available, StreamType type) {
    Raise(
        to, "OnRemoteVideoAvailable", kKept,
        [user_id, available, type](QOLTCloudDelegate& delegate) {
            delegate.OnRemoteVideoAvailable(user_id.c_str(), available, type);
        },
        About(Topic::kRemoteVideo, Availability(available), user_id, type));
}

void RaiseKeyFrameRequest(CloudState& to, StreamType type) {
    // A request while the same one waits asks for nothing more: the one picture serves every subscriber.
    Raise(
        to, "OnRequestKeyFrame", kKept, [type](QOLTCloudDelegate& delegate) { delegate.OnRequestKeyFrame(type); },
        About(Topic::kLocalVideo, Role::kRepeat, std::string(), type));
}

bool IsVideoType(int type) {
    return type == STREAM_TYPE_VIDEO_HIGH || type == STREAM_TYPE_VIDEO_LOW || type == STREAM_TYPE_VIDEO_AUX;
}

bool IsText(const char* text) { return text != nullptr && *text != '\0'; }

std::string RoomKey(const RoomParams& room) {
    const char* name = room.str_room_id.GetValue();
    return std::to_string(room.sdk_app_id) +
           (IsText(name) ? std::string("/s/") + name : "/n/" + std::to_string(room.room_id));
}

bool IsChannelRate(int rate) {
    return rate == 8000 || rate == 16000 || rate == 32000 || rate == 44100 || rate == 48000;
}

bool IsFrameLength(int ms) { return ms == 10 || ms == 20 || ms == 40 || ms == 60; }

// The output format must be one the converter handles, and the frame length within bounds.
bool IsObtainable(const AudioObtainParams& obtain) {
    return (obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_GET ||
            obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_CALLBACK) &&
           AudioFormatConverter::Supports(obtain.output_sample_rate, obtain.output_channels) &&
           obtain.output_frame_length_ms >= RoomService::kMinOutputFrameMs &&
           obtain.output_frame_length_ms <= RoomService::kMaxOutputFrameMs;
}

// The payload size a raw picture of this geometry takes; 0 for an unknown format, an empty picture
// or one too large to count in 64 bits, which no payload can match. A wrapped sum would let a
// huge picture pass with a tiny payload, and a receiver would read far past its end.
uint64_t PixelPayloadSize(const PixelFrame& frame) {
    // Planes of full size (luma, alpha, RGBA's four bytes) and of quarter size (chroma).
    uint64_t full_planes = 0;
    uint64_t quarter_planes = 0;
    switch (frame.format) {
        case VIDEO_PIXEL_FORMAT_YUV420p:
            full_planes = 1;
            quarter_planes = 2;
            break;
        case VIDEO_PIXEL_FORMAT_YUVA420p:
            full_planes = 2;
            quarter_planes = 2;
            break;
        case VIDEO_PIXEL_FORMAT_RGBA:
            full_planes = 4;
            break;
        default:
            return 0;
    }
    // Each side fits in 32 bits, so the plane sizes themselves fit in 64; their multiples may not.
    const uint64_t width = frame.width;
    const uint64_t height = frame.height;
    const uint64_t full = width * height;
    const uint64_t quarter = ((width + 1) / 2) * ((height + 1) / 2);
    uint64_t full_bytes = 0;
    uint64_t quarter_bytes = 0;
    uint64_t total = 0;
    if (__builtin_mul_overflow(full, full_planes, &full_bytes) ||
        __builtin_mul_overflow(quarter, quarter_planes, &quarter_bytes) ||
        __builtin_add_overflow(full_bytes, quarter_bytes, &total)) {
        return 0;
    }
    return total;
}

CloudState::Clock::duration FrameDuration(const AudioFrame& frame, const AudioEncodeParams& channel) {
    if (frame.codec == AUDIO_CODEC_TYPE_PCM && frame.sample_rate > 0 && frame.channels > 0) {
        const double seconds =
            static_cast<double>(frame.size() / 2 / static_cast<size_t>(frame.channels)) / frame.sample_rate;
        return std::chrono::duration_cast<CloudState::Clock::duration>(std::chrono::duration<double>(seconds));
    }
    return std::chrono::milliseconds(channel.frame_length_ms);
}

void LogFailure(uint64_t handle, const char* operation, const char* reason) noexcept {
    try {
        LoopbackService::Instance().logger().Write(
            Logger::kError, "cloud " + std::to_string(handle) + ": " + operation + " failed: " + reason);
    } catch (...) {
        // nothing more can be done with memory exhausted
    }
}

// The operations report every failure by their result: an exception (memory exhausted, a thread
// that cannot start) must not leave them. Called in a catch block of an operation, this logs the
// exception and returns the operation's failure; a forced unwinding (the thread is being ended)
// goes on, as swallowing it would abort the process.
template <typename Result>
Result Failed(uint64_t handle, const char* operation, Result failed) {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& error) {
        LogFailure(handle, operation, error.what());
    } catch (...) {
        LogFailure(handle, operation, "unknown exception");
    }
    return failed;
}

}  // namespace

RoomService::RoomService(const Configuration& configuration) : configuration_(configuration) {}

CloudState* RoomService::FindLocked(uint64_t handle) const {
    auto found = clouds_.find(handle);
    return found == clouds_.end() ? nullptr : found->second.get();
}

CloudState* RoomService::FindSettledLocked(uint64_t handle) {
    CloudState* cloud = FindLocked(handle);
    if (cloud != nullptr && cloud->in_room) {
        RouteSentAudioLocked(cloud->room_key);
    }
    return cloud;
}

void RoomService::RouteSentAudioLocked(const std::string& room_key) {
    if (sent_audio_waiting_.load() == 0) {
        return;
    }
    auto room = rooms_.find(room_key);
    if (room == rooms_.end()) {
        return;
    }
    for (uint64_t handle : room->second) {
        RouteSentAudioLocked(*FindLocked(handle));
    }
}

void RoomService::RouteSentAudioLocked(CloudState& sender, bool close) {
    std::deque<AudioFrame> frames;
    {
        MutexLock lock(sender.outbox->mutex);
        frames.swap(sender.outbox->frames);
        if (close) {
            sender.outbox->channel.reset();
        }
    }
    if (frames.empty()) {
        return;
    }
    try {
        const std::vector<CloudState*> members = RoomMembersLocked(sender.room_key);
        for (; !frames.empty(); frames.pop_front()) {
            audio_.Route(sender, members, frames.front());
            // Counted down once its events are raised: a reader that finds nothing waiting (a flush)
            // must find them raised.
            --sent_audio_waiting_;
        }
    } catch (...) {
        // Memory exhausted: what is left waits for the next try, ahead of what came since.
        MutexLock lock(sender.outbox->mutex);
        std::move(sender.outbox->frames.begin(), sender.outbox->frames.end(), std::back_inserter(frames));
        sender.outbox->frames.swap(frames);
        throw;
    }
}

void RoomService::RouteSentAudio() {
    uint64_t after = 0;
    while (sent_audio_waiting_.load() != 0) {  // a cloud at a time, like the clock
        MutexLock lock(mutex_);
        const auto entry = clouds_.upper_bound(after);
        if (entry == clouds_.end()) {
            return;
        }
        after = entry->first;
        RouteSentAudioLocked(*entry->second);
    }
}

std::shared_ptr<AudioOutbox> RoomService::FindOutbox(uint64_t handle) const {
    MutexLock lock(outboxes_mutex_);
    const auto found = outboxes_.find(handle);
    return found == outboxes_.end() ? nullptr : found->second;
}

bool RoomService::WakeClockForAudio() {
    if (clock_woken_for_audio_.exchange(true)) {
        return true;  // woken since its last pass began: that pass or the next one routes
    }
    try {
        if (clock_.EnsureRunning()) {
            clock_.Wake();
            return true;
        }
    } catch (const std::system_error&) {
        // No thread to be had.
    }
    clock_woken_for_audio_ = false;
    return false;
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
    {
        MutexLock lock(outboxes_mutex_);
        outboxes_[handle] = state->outbox;
    }
    MutexLock lock(mutex_);
    audio_.AddReceiver(handle);
    clouds_[handle] = std::move(state);
}

void RoomService::RemoveCloud(uint64_t handle) noexcept {
    std::unique_ptr<CloudState> removed;
    MutexLock lock(mutex_);
    auto found = clouds_.find(handle);
    if (found == clouds_.end()) {
        return;
    }
    if (found->second->in_room) {
        try {
            RouteSentAudioLocked(found->second->room_key);
            LeaveLocked(*found->second);
        } catch (...) {
            // Memory exhausted while telling the others: they may miss its exit, but no room may
            // keep a member whose state is gone.
            ForgetMemberLocked(*found->second);
        }
    }
    audio_.RemoveReceiver(handle);
    messages_.Remove(handle);
    UnschedulePacedLocked(*found->second);
    {
        // Normally empty and closed by now; after memory ran out while leaving, what waits is dropped
        // with the cloud, and a sender still holding the outbox is refused.
        AudioOutbox& outbox = *found->second->outbox;
        MutexLock outbox_lock(outbox.mutex);
        sent_audio_waiting_ -= outbox.frames.size();
        outbox.frames.clear();
        outbox.channel.reset();
    }
    removed = std::move(found->second);
    clouds_.erase(found);
    MutexLock outboxes_lock(outboxes_mutex_);
    outboxes_.erase(handle);
}

void RoomService::ForgetMemberLocked(const CloudState& member) noexcept {
    auto room = rooms_.find(member.room_key);
    if (room != rooms_.end()) {
        room->second.erase(std::remove(room->second.begin(), room->second.end(), member.handle), room->second.end());
        if (room->second.empty()) {
            rooms_.erase(room);
        }
    }
}

int RoomService::EnterRoom(uint64_t handle, const EnterRoomParams& params) try {
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
    MutexLock lock(mutex_);
    CloudState* self = FindLocked(handle);
    if (self == nullptr || self->in_room) {
        return ERR_INVALID_OPERATION;
    }
    const AudioObtainParams& obtain = params.audio_obtain_params;
    if ((params.role != QOLT_ROLE_ANCHOR && params.role != QOLT_ROLE_AUDIENCE) || !IsObtainable(obtain)) {
        return ERR_INVALID_PARAMETER;
    }
    std::string key = RoomKey(room);
    std::string user_id = room.user_id.GetValue();
    RouteSentAudioLocked(key);  // what the room's members sent before this entry is not for the newcomer
    if (FindUserLocked(key, user_id) != nullptr) {
        RaiseStateChange(*self, self->connection, CONNECTION_STATE_CONNECTING);
        Raise(*self, "OnError", kKept, [](QOLTCloudDelegate& delegate) { delegate.OnError(ERR_ENTER_ROOM_FAILED); });
        RaiseStateChange(*self, CONNECTION_STATE_CONNECTING, CONNECTION_STATE_DISCONNECTED);
        self->connection = CONNECTION_STATE_DISCONNECTED;
        return ERR_OK;
    }

    // Whatever can fail comes before the first change: the clock thread (it paces audio and
    // reports network quality), the mixer, the room's place for the new member and the events.
    // A failure then leaves the cloud and the room as they were (only memory running out among
    // the events can leave some of them queued).
    clock_.EnsureRunning();
    const Configuration::Values settings = configuration_.values();
    auto mixer = AudioRouter::NewMixer(obtain, settings.audio_buffer_ms);
    const std::vector<CloudState*> members = RoomMembersLocked(key);
    const bool anchor = params.role == QOLT_ROLE_ANCHOR;
    auto slot = rooms_.try_emplace(key).first;
    try {
        slot->second.reserve(slot->second.size() + 1);
        RaiseStateChange(*self, self->connection, CONNECTION_STATE_CONNECTING);
        RaiseStateChange(*self, CONNECTION_STATE_CONNECTING, CONNECTION_STATE_CONNECTED);
        Raise(*self, "OnEnterRoom", kKept, [](QOLTCloudDelegate& delegate) { delegate.OnEnterRoom(); });
        // Anchors are announced to everyone in the room, audience members to nobody.
        for (CloudState* member : members) {
            if (member->IsAnchor()) {
                RaiseUserEntered(*self, member->user_id);
                if (member->audio_channel) {
                    RaiseAudioAvailable(*self, member->user_id, true);
                }
                for (StreamType type : member->video_channels) {
                    RaiseVideoAvailable(*self, member->user_id, true, type);
                }
            }
            if (anchor) {
                RaiseUserEntered(*member, user_id);
            }
        }
    } catch (...) {
        if (slot->second.empty()) {
            rooms_.erase(slot);
        }
        throw;
    }

    slot->second.push_back(handle);  // reserved above
    self->connection = CONNECTION_STATE_CONNECTED;
    self->in_room = true;
    self->room_key = std::move(key);
    self->user_id = std::move(user_id);
    self->role = params.role;
    self->obtain = obtain;
    self->pixel_output = params.use_pixel_frame_output;
    audio_.Join(handle, std::move(mixer));
    self->next_quality_report = Clock::now() + std::chrono::milliseconds(settings.network_quality_interval_ms);
    next_reports_ = std::min(next_reports_, self->next_quality_report);
    clock_.Wake();
    return ERR_OK;
} catch (...) {
    return Failed(handle, "EnterRoom", static_cast<int>(ERR_FAILED));
}

int RoomService::ExitRoom(uint64_t handle) try {
    MutexLock lock(mutex_);
    CloudState* self = FindSettledLocked(handle);
    if (self == nullptr || !self->in_room) {
        return ERR_INVALID_OPERATION;
    }
    LeaveLocked(*self);
    return ERR_OK;
} catch (...) {
    return Failed(handle, "ExitRoom", static_cast<int>(ERR_FAILED));
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
            Raise(
                *other, "OnRemoteUserExitRoom", kKept,
                [info](QOLTCloudDelegate& delegate) { delegate.OnRemoteUserExitRoom(info, 0); },
                About(Topic::kRemoteUser, Role::kCloses, leaver.user_id));
        }
    }
    messages_.Leave(leaver.handle);  // nobody misses its messages any more
    if (members.empty()) {
        rooms_.erase(leaver.room_key);
    }

    leaver.in_room = false;
    leaver.connection = CONNECTION_STATE_DISCONNECTED;
    leaver.room_key.clear();
    leaver.user_id.clear();
    leaver.subscriptions.clear();
    audio_.Leave(leaver);
    leaver.paced_audio.clear();
    UnschedulePacedLocked(leaver);
}

void RoomService::CloseAudioChannelLocked(CloudState& owner) {
    RouteSentAudioLocked(owner, true);
    audio_.ForgetSender(owner, RoomMembersLocked(owner.room_key));
    owner.audio_channel.reset();
    owner.audio_losses.paced_cleared += owner.paced_audio.size();
    owner.paced_audio.clear();
    UnschedulePacedLocked(owner);
    Raise(
        owner, "OnLocalAudioChannelDestroyed", kKept,
        [](QOLTCloudDelegate& delegate) { delegate.OnLocalAudioChannelDestroyed(); },
        About(Topic::kLocalAudio, Role::kCloses));
    for (CloudState* other : RoomMembersLocked(owner.room_key)) {
        if (other != &owner) {
            RaiseAudioAvailable(*other, owner.user_id, false);
        }
    }
}

void RoomService::CloseVideoChannelLocked(CloudState& owner, StreamType type) {
    owner.video_channels.erase(std::remove(owner.video_channels.begin(), owner.video_channels.end(), type),
                               owner.video_channels.end());
    Raise(
        owner, "OnLocalVideoChannelDestroyed", kKept,
        [type](QOLTCloudDelegate& delegate) { delegate.OnLocalVideoChannelDestroyed(type); },
        About(Topic::kLocalVideo, Role::kCloses, std::string(), type));
    for (CloudState* other : RoomMembersLocked(owner.room_key)) {
        if (other != &owner) {
            RaiseVideoAvailable(*other, owner.user_id, false, type);
        }
    }
}

int RoomService::CheckSubscriptionLocked(uint64_t handle, const char* user_id, StreamType type, CloudState*& self) {
    self = FindSettledLocked(handle);
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

int RoomService::Subscribe(uint64_t handle, const char* user_id, StreamType type) try {
    MutexLock lock(mutex_);
    CloudState* self = nullptr;
    if (const int refused = CheckSubscriptionLocked(handle, user_id, type, self); refused != ERR_OK) {
        return refused;
    }
    self->subscriptions.insert({user_id, type});
    CloudState* publisher = FindUserLocked(self->room_key, user_id);
    if (publisher != nullptr && publisher != self && type == STREAM_TYPE_AUDIO && publisher->audio_channel) {
        audio_.AddSource(self->handle, publisher->handle);
    }
    if (publisher != nullptr && publisher != self && IsVideoType(type) && publisher->HasVideo(type)) {
        RaiseKeyFrameRequest(*publisher, type);
    }
    return ERR_OK;
} catch (...) {
    return Failed(handle, "Subscribe", static_cast<int>(ERR_FAILED));
}

int RoomService::Unsubscribe(uint64_t handle, const char* user_id, StreamType type) try {
    MutexLock lock(mutex_);
    CloudState* self = nullptr;
    if (const int refused = CheckSubscriptionLocked(handle, user_id, type, self); refused != ERR_OK) {
        return refused;
    }
    self->subscriptions.erase({user_id, type});
    CloudState* publisher = FindUserLocked(self->room_key, user_id);
    if (type == STREAM_TYPE_AUDIO && publisher != nullptr) {
        audio_.EndSender(*self, publisher->handle, publisher->user_id);
    }
    return ERR_OK;
} catch (...) {
    return Failed(handle, "Unsubscribe", static_cast<int>(ERR_FAILED));
}

int RoomService::CreateLocalAudioChannel(uint64_t handle, const AudioEncodeParams& params) try {
    MutexLock lock(mutex_);
    CloudState* self = FindSettledLocked(handle);
    if (self == nullptr || !self->IsAnchor() || self->audio_channel) {
        return ERR_INVALID_OPERATION;
    }
    if ((params.channels != 1 && params.channels != 2) || !IsChannelRate(params.sample_rate) ||
        !IsFrameLength(params.frame_length_ms) || params.bitrate_bps <= 0) {
        return ERR_INVALID_PARAMETER;
    }
    self->audio_channel = params;
    {
        MutexLock outbox_lock(self->outbox->mutex);
        self->outbox->channel = params;
    }
    Raise(
        *self, "OnLocalAudioChannelCreated", kKept,
        [](QOLTCloudDelegate& delegate) { delegate.OnLocalAudioChannelCreated(); },
        About(Topic::kLocalAudio, Role::kOpens));
    for (CloudState* other : RoomMembersLocked(self->room_key)) {
        if (other != self) {
            RaiseAudioAvailable(*other, self->user_id, true);
            if (other->Subscribed(self->user_id, STREAM_TYPE_AUDIO)) {
                audio_.AddSource(other->handle, self->handle);  // its mix now waits for this sender too
            }
        }
    }
    return ERR_OK;
} catch (...) {
    return Failed(handle, "CreateLocalAudioChannel", static_cast<int>(ERR_FAILED));
}

int RoomService::DestroyLocalAudioChannel(uint64_t handle) try {
    MutexLock lock(mutex_);
    CloudState* self = FindSettledLocked(handle);
    if (self == nullptr || !self->in_room || !self->audio_channel) {
        return ERR_INVALID_OPERATION;
    }
    CloseAudioChannelLocked(*self);
    return ERR_OK;
} catch (...) {
    return Failed(handle, "DestroyLocalAudioChannel", static_cast<int>(ERR_FAILED));
}

int RoomService::CreateLocalVideoChannel(uint64_t handle, StreamType type) try {
    MutexLock lock(mutex_);
    CloudState* self = FindSettledLocked(handle);
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
    Raise(
        *self, "OnLocalVideoChannelCreated", kKept,
        [type](QOLTCloudDelegate& delegate) { delegate.OnLocalVideoChannelCreated(type); },
        About(Topic::kLocalVideo, Role::kOpens, std::string(), type));
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
} catch (...) {
    return Failed(handle, "CreateLocalVideoChannel", static_cast<int>(ERR_FAILED));
}

int RoomService::DestroyLocalVideoChannel(uint64_t handle, StreamType type) try {
    MutexLock lock(mutex_);
    CloudState* self = FindSettledLocked(handle);
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
} catch (...) {
    return Failed(handle, "DestroyLocalVideoChannel", static_cast<int>(ERR_FAILED));
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

// Takes no lock that routing holds: the frame waits in the sender's outbox for the clock.
int RoomService::SendAudioFrame(uint64_t handle, const AudioFrame& frame) try {
    const std::shared_ptr<AudioOutbox> outbox = FindOutbox(handle);
    if (!outbox) {
        return ERR_INVALID_OPERATION;
    }
    bool behind = false;
    {
        MutexLock lock(outbox->mutex);
        if (!outbox->channel) {
            return ERR_INVALID_OPERATION;
        }
        if (!IsSendableAudio(*outbox->channel, frame)) {
            return ERR_INVALID_PARAMETER;
        }
        outbox->frames.push_back(frame);
        ++sent_audio_waiting_;
        behind = outbox->frames.size() > kMaxSentAudioBacklog;
    }
    if (behind || !WakeClockForAudio()) {
        // The clock is behind, or no clock can run: the sender routes what it sent itself.
        MutexLock lock(mutex_);
        if (CloudState* self = FindLocked(handle)) {
            RouteSentAudioLocked(*self);
        }
    }
    return ERR_OK;
} catch (...) {
    return Failed(handle, "SendAudioFrame", static_cast<int>(ERR_FAILED));
}

int RoomService::SendContinuousAudioFrame(uint64_t handle, const AudioFrame& frame, bool clear_send_queue) try {
    MutexLock lock(mutex_);
    CloudState* self = FindSettledLocked(handle);
    if (self == nullptr || !self->in_room || !self->audio_channel) {
        return ERR_INVALID_OPERATION;
    }
    if (!IsSendableAudio(*self->audio_channel, frame)) {
        return ERR_INVALID_PARAMETER;
    }
    if (clear_send_queue) {
        self->audio_losses.paced_cleared += self->paced_audio.size();
        self->paced_audio.clear();
        UnschedulePacedLocked(*self);
    }
    if (self->paced_audio.size() >= kMaxPacedFrames) {
        // A caller far ahead of real time is told to try again once the queue has moved on; the
        // frame stays the caller's, and what waits is sent in full.
        ++self->audio_losses.paced_refused;
        return ERR_READ_TRY_AGAIN;
    }
    if (self->paced_audio.empty()) {
        self->next_paced_send = std::max(self->next_paced_send, Clock::now());
    }
    self->paced_audio.push_back(frame);
    try {
        SchedulePacedLocked(*self);
    } catch (...) {
        self->paced_audio.pop_back();  // not accepted: nothing would send it
        throw;
    }
    clock_.EnsureRunning();  // in a child made by fork(), the room was entered before the child's clock
    clock_.Wake();
    return ERR_OK;
} catch (...) {
    return Failed(handle, "SendContinuousAudioFrame", static_cast<int>(ERR_FAILED));
}

int RoomService::GetAudioFrame(uint64_t handle, AudioFrame* frame) try {
    if (frame == nullptr) {
        return ERR_INVALID_PARAMETER;
    }
    MutexLock lock(mutex_);
    CloudState* self = FindSettledLocked(handle);
    if (self == nullptr || !self->in_room || self->obtain.audio_obtain_method != AUDIO_OBTAIN_METHOD_GET) {
        return ERR_READ_TRY_AGAIN;
    }
    return audio_.PopMixed(*self, *frame) ? ERR_OK : ERR_READ_TRY_AGAIN;
} catch (...) {
    return Failed(handle, "GetAudioFrame", static_cast<int>(ERR_FAILED));
}

// Checks that the cloud publishes the video stream and that the frame is well formed, then hands
// the frame to every subscriber of that stream that asked for this form of video.
template <typename Frame>
int RoomService::SendVideo(uint64_t handle, StreamType type, const Frame& frame, bool payload_fits, bool pixels) try {
    MutexLock lock(mutex_);
    CloudState* self = FindSettledLocked(handle);
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
            Raise(
                *receiver, "OnRemoteVideoReceived", kMedia,
                [user_id, type, frame](QOLTCloudDelegate& delegate) {
                    delegate.OnRemoteVideoReceived(user_id.c_str(), type, frame);
                },
                About(Topic::kRemoteVideo, Role::kWithin, user_id, type));
        }
    }
    return ERR_OK;
} catch (...) {
    return Failed(handle, "SendVideoFrame", static_cast<int>(ERR_FAILED));
}

int RoomService::SendVideoFrame(uint64_t handle, StreamType type, const VideoFrame& frame) {
    return SendVideo(handle, type, frame, frame.size() != 0, false);
}

int RoomService::SendVideoFrame(uint64_t handle, StreamType type, const PixelFrame& frame) {
    const uint64_t expected = PixelPayloadSize(frame);
    return SendVideo(handle, type, frame, expected != 0 && frame.size() == expected, true);
}

void RoomService::SetVideoEncodeParam(uint64_t handle, StreamType type, const VideoEncodeParams& params) try {
    MutexLock lock(mutex_);
    if (CloudState* self = FindLocked(handle)) {
        self->video_encode_params[type] = params;
    }
} catch (...) {
    Failed(handle, "SetVideoEncodeParam", 0);
}

int RoomService::SendSeiMessage(uint64_t handle, int message_type, const char* message, size_t length) try {
    MutexLock lock(mutex_);
    CloudState* self = FindSettledLocked(handle);
    if (self == nullptr || !self->in_room || self->video_channels.empty()) {
        return ERR_INVALID_OPERATION;
    }
    return messages_.SendSei(*self, RoomMembersLocked(self->room_key), message_type, message, length);
} catch (...) {
    return Failed(handle, "SendSeiMessage", static_cast<int>(ERR_FAILED));
}

bool RoomService::SendCustomCmdMsg(uint64_t handle, uint32_t cmd_id, const char* message, size_t length, bool reliable,
                                   bool /*ordered*/) try {
    // Every event queue is first in, first out, so every message arrives in order anyway.
    if (!MessageRouter::IsSendableCustom(cmd_id, message, length)) {
        return false;
    }
    const Configuration::Values settings = configuration_.values();
    MutexLock lock(mutex_);
    CloudState* self = FindSettledLocked(handle);
    if (self == nullptr || !self->in_room) {
        return false;
    }
    return messages_.SendCustom(*self, RoomMembersLocked(self->room_key), cmd_id, message, length, reliable, settings);
} catch (...) {
    return Failed(handle, "SendCustomCmdMsg", false);
}

void RoomService::EnableVoiceActivityDetection(uint64_t handle, const VADParams& params) try {
    MutexLock lock(mutex_);
    if (CloudState* self = FindSettledLocked(handle)) {
        self->voice_detection = params.enable;
    }
} catch (...) {
    Failed(handle, "EnableVoiceActivityDetection", 0);
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
    Raise(
        cloud, "OnNetworkQuality", kMedia,
        [local, remote](QOLTCloudDelegate& delegate) {
            NetworkQualityInfo local_copy = local;
            std::vector<NetworkQualityInfo> remote_copy = remote;
            delegate.OnNetworkQuality(&local_copy, remote_copy.data(), remote_copy.size());
        },
        About(Topic::kRoomReport, Role::kWithin));
}

bool RoomService::FailNextClockStart() { return clock_.FailNextStart(); }

void RoomService::ForgetClockInChild() {
    clock_.ForgetInChild();
    clock_woken_for_audio_ = false;  // the parent's clock was woken: the child's must be started
}

void RoomService::EndClock() { clock_.End(); }

void RoomService::SchedulePacedLocked(CloudState& cloud) {
    if (cloud.in_room && !cloud.paced_audio.empty() && cloud.paced_due == cloud.next_paced_send) {
        return;
    }
    UnschedulePacedLocked(cloud);
    if (cloud.in_room && !cloud.paced_audio.empty()) {
        paced_due_.emplace(cloud.next_paced_send, cloud.handle);
        cloud.paced_due = cloud.next_paced_send;
    }
}

void RoomService::UnschedulePacedLocked(CloudState& cloud) noexcept {
    if (cloud.paced_due) {
        paced_due_.erase({*cloud.paced_due, cloud.handle});
        cloud.paced_due.reset();
    }
}

void RoomService::SendPacedLocked(CloudState& cloud, Clock::time_point now) {
    if (now - cloud.next_paced_send > std::chrono::milliseconds(200)) {
        cloud.next_paced_send = now;  // the process stalled: resume at the real pace, no burst
    }
    const std::vector<CloudState*> members = RoomMembersLocked(cloud.room_key);
    while (!cloud.paced_audio.empty() && now >= cloud.next_paced_send) {
        AudioFrame frame = std::move(cloud.paced_audio.front());
        cloud.paced_audio.pop_front();
        cloud.next_paced_send += FrameDuration(frame, *cloud.audio_channel);
        audio_.Route(cloud, members, frame);
    }
    SchedulePacedLocked(cloud);
}

RoomService::Clock::time_point RoomService::RunDue() {
    clock_woken_for_audio_ = false;  // a frame sent from here on wakes the clock for another pass
    // The lock is taken for one cloud at a time: a pass over hundreds of rooms would otherwise hold
    // every operation (and the Python thread that called it, with the interpreter lock) for the
    // whole pass. Each cloud's routing, report or paced frames are still one step for every other
    // operation.
    RouteSentAudio();
    const Clock::time_point start = Clock::now();
    const auto retry = std::chrono::milliseconds(100);  // after memory ran out
    bool reports_due = false;
    {
        MutexLock lock(mutex_);
        if (start >= next_reports_) {
            reports_due = true;
            next_reports_ = Clock::time_point::max();
        }
    }
    if (reports_due) {
        // Clouds in handle order, found again after each step.
        const auto interval = std::chrono::milliseconds(configuration_.values().network_quality_interval_ms);
        uint64_t after = 0;
        for (;;) {
            MutexLock lock(mutex_);
            const auto entry = clouds_.upper_bound(after);
            if (entry == clouds_.end()) {
                break;
            }
            after = entry->first;
            CloudState& cloud = *entry->second;
            if (!cloud.in_room) {
                continue;
            }
            const Clock::time_point now = Clock::now();
            try {
                if (now >= cloud.next_quality_report) {
                    ReportQualityLocked(cloud);
                    cloud.next_quality_report = now + interval;
                }
                SchedulePacedLocked(cloud);  // in case memory ran out as it was scheduled
            } catch (abi::__forced_unwind&) {
                throw;
            } catch (...) {
                // Memory exhausted: an exception leaving the clock's thread would end the process.
                // What this cloud could not do is retried shortly.
                cloud.next_quality_report = std::min(cloud.next_quality_report, now + retry);
            }
            next_reports_ = std::min(next_reports_, cloud.next_quality_report);
        }
    }
    for (;;) {
        MutexLock lock(mutex_);
        const Clock::time_point now = Clock::now();
        if (paced_due_.empty() || paced_due_.begin()->first > now) {
            // Woken a little after the next frame is due, to send every frame due by then at once.
            const Clock::time_point next =
                paced_due_.empty() ? next_reports_ : std::min(next_reports_, paced_due_.begin()->first + kPacingSlack);
            return std::min(next, now + std::chrono::hours(1));
        }
        CloudState& cloud = *FindLocked(paced_due_.begin()->second);
        try {
            SendPacedLocked(cloud, now);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            // Out of the schedule until the next reports, which put it back.
            UnschedulePacedLocked(cloud);
            next_reports_ = std::min(next_reports_, now + retry);
        }
    }
}

std::map<uint64_t, AudioLosses> RoomService::AudioLossesByCloud() const {
    MutexLock lock(mutex_);
    std::map<uint64_t, AudioLosses> losses;
    for (const auto& entry : clouds_) {
        losses.emplace(entry.first, entry.second->audio_losses);
    }
    return losses;
}

Value RoomService::Snapshot() const {
    MutexLock lock(mutex_);
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

}  // namespace loopback
}  // namespace mirelo
