#include "rooms/AudioRouter.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "media/VoiceActivityDetector.h"
#include "rooms/RoomEvents.h"

namespace mirelo {
namespace loopback {
namespace {

using namespace room_events;

// Interleaved samples of the cloud's output format, counted per channel for the statistics.
uint64_t PerChannel(const AudioObtainParams& obtain, size_t samples) {
    return samples / static_cast<size_t>(obtain.output_channels);
}

// Samples per channel in a frame handed to the cloud, mixed or not.
size_t OutputFrameLength(const AudioObtainParams& obtain) {
    return static_cast<size_t>(obtain.output_sample_rate) * static_cast<size_t>(obtain.output_frame_length_ms) / 1000;
}

size_t MixFrameSamples(const AudioObtainParams& obtain) {
    return OutputFrameLength(obtain) * static_cast<size_t>(obtain.output_channels);
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

void RaiseSenderAudio(CloudState& to, const std::string& user_id, const AudioReframer::Frame& piece) {
    const AudioFrame frame =
        PcmFrame(piece.samples, to.obtain.output_sample_rate, to.obtain.output_channels, piece.pts, piece.has_voice);
    Raise(
        to, "OnRemoteAudioReceived", kMedia,
        [user_id, frame](QOLTCloudDelegate& delegate) { delegate.OnRemoteAudioReceived(user_id.c_str(), frame); },
        About(Topic::kRemoteAudio, Role::kWithin, user_id));
}

}  // namespace

std::unique_ptr<AudioMixer> AudioRouter::NewMixer(const AudioObtainParams& obtain, size_t audio_buffer_ms) {
    const size_t buffered_samples = static_cast<size_t>(obtain.output_sample_rate) * audio_buffer_ms / 1000 *
                                    static_cast<size_t>(obtain.output_channels);
    return std::make_unique<AudioMixer>(std::max(buffered_samples, MixFrameSamples(obtain)));
}

AudioRouter::Receiver* AudioRouter::FindLocked(uint64_t handle) {
    auto found = receivers_.find(handle);
    return found == receivers_.end() ? nullptr : &found->second;
}

void AudioRouter::AddReceiver(uint64_t handle) {
    MutexLock lock(mutex_);
    receivers_.try_emplace(handle);
}

void AudioRouter::RemoveReceiver(uint64_t handle) noexcept {
    MutexLock lock(mutex_);
    receivers_.erase(handle);
    conversions_.erase(handle);
}

void AudioRouter::Join(uint64_t handle, std::unique_ptr<AudioMixer> mixer) noexcept {
    MutexLock lock(mutex_);
    if (Receiver* state = FindLocked(handle)) {
        state->mixer = std::move(mixer);
        state->mixed_pts = 0;
    }
}

void AudioRouter::Leave(CloudState& leaver) {
    MutexLock lock(mutex_);
    Receiver* state = FindLocked(leaver.handle);
    if (state == nullptr) {
        return;
    }
    // Received audio not handed out yet goes with the room: counted.
    for (const auto& reframer : state->reframers) {
        leaver.audio_losses.samples_dropped += reframer.second.pending();
    }
    state->reframers.clear();
    if (state->mixer) {
        leaver.audio_losses.samples_dropped += PerChannel(leaver.obtain, state->mixer->held());
    }
    state->mixer.reset();
}

void AudioRouter::AddSource(uint64_t receiver, uint64_t sender) {
    MutexLock lock(mutex_);
    Receiver* state = FindLocked(receiver);
    if (state != nullptr && state->mixer) {
        state->mixer->AddSource(sender);
    }
}

void AudioRouter::EndSender(CloudState& receiver, uint64_t sender, const std::string& user_id) {
    MutexLock lock(mutex_);
    if (Receiver* state = FindLocked(receiver.handle)) {
        EndSenderLocked(receiver, *state, sender, user_id);
        // What the other senders sent while the mix waited for this one goes out now, as when a
        // sender stops, rather than with their next frame, which may never come.
        if (receiver.obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_CALLBACK) {
            DrainMixLocked(receiver, *state);
        }
    }
}

// Frames taken apart get what waits as a last, shorter frame; what waits in the mix is discarded
// and counted as dropped.
void AudioRouter::EndSenderLocked(CloudState& receiver, Receiver& state, uint64_t sender, const std::string& user_id) {
    auto reframer = state.reframers.find(sender);
    if (reframer != state.reframers.end()) {
        AudioReframer::Frame rest;
        if (reframer->second.PopRest(rest)) {
            RaiseSenderAudio(receiver, user_id, rest);
        }
        state.reframers.erase(reframer);
    }
    if (state.mixer) {
        receiver.audio_losses.samples_dropped += PerChannel(receiver.obtain, state.mixer->RemoveSource(sender));
    }
}

// The sender's conversions end; receivers drop their reframer and mix share for it.
void AudioRouter::ForgetSender(CloudState& sender, const std::vector<CloudState*>& members) {
    MutexLock lock(mutex_);
    conversions_.erase(sender.handle);
    for (CloudState* other : members) {
        Receiver* state = other != &sender ? FindLocked(other->handle) : nullptr;
        if (state != nullptr) {
            EndSenderLocked(*other, *state, sender.handle, sender.user_id);
            if (other->obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_CALLBACK) {
                DrainMixLocked(*other, *state);
            }
        }
    }
}

void AudioRouter::Route(CloudState& sender, const std::vector<CloudState*>& members, const AudioFrame& sent) {
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
    // A frame shorter than its channel's frame length ends a stretch of audio (the last words of an
    // answer, say): per-user receivers get what waits at once rather than with the next words.
    const bool ends_stretch =
        pcm && sender.audio_channel &&
        samples.size() / static_cast<size_t>(sent.channels) <
            static_cast<size_t>(sent.sample_rate) * static_cast<size_t>(sender.audio_channel->frame_length_ms) / 1000;
    const CloudState::Clock::time_point now = CloudState::Clock::now();
    MutexLock lock(mutex_);
    // The sender's conversions, made with the first receiver that needs one: a sender nobody hears
    // keeps none.
    std::vector<Conversion>* conversions = nullptr;
    if (auto found = conversions_.find(sender.handle); pcm && found != conversions_.end()) {
        conversions = &found->second;
        for (Conversion& conversion : *conversions) {
            conversion.current = false;
        }
    }
    for (CloudState* receiver : members) {
        if (receiver == &sender || !receiver->Subscribed(user_id, STREAM_TYPE_AUDIO)) {
            continue;
        }
        Receiver* state = FindLocked(receiver->handle);
        if (state == nullptr) {
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
                Raise(
                    *receiver, "OnRemoteAudioReceived", kMedia,
                    [user_id, copy](QOLTCloudDelegate& delegate) {
                        delegate.OnRemoteAudioReceived(user_id.c_str(), copy);
                    },
                    About(Topic::kRemoteAudio, Role::kWithin, user_id));
            }
            continue;
        }
        if (conversions == nullptr) {
            conversions = &conversions_[sender.handle];
        }
        const std::vector<int16_t>& converted = ConvertedLocked(*conversions, sent, samples, obtain);
        if (converted.empty()) {
            continue;
        }
        if (per_sender) {
            // Handed out in frames of the receiver's length, whatever length the sender uses.
            AudioReframer& reframer = state->reframers
                                          .try_emplace(sender.handle, obtain.output_sample_rate, obtain.output_channels,
                                                       OutputFrameLength(obtain))
                                          .first->second;
            AudioReframer::Frame piece;
            if (now - reframer.last_push() > kMaxAudioGap && reframer.PopRest(piece)) {
                RaiseSenderAudio(*receiver, user_id, piece);  // what waited from before the pause
            }
            reframer.Push(converted.data(), converted.size(), sent.pts, has_voice, now);
            while (reframer.Pop(piece)) {
                RaiseSenderAudio(*receiver, user_id, piece);
            }
            if (ends_stretch && reframer.PopRest(piece)) {
                RaiseSenderAudio(*receiver, user_id, piece);
            }
            continue;
        }
        receiver->audio_losses.samples_dropped +=
            PerChannel(obtain, state->mixer->Push(sender.handle, converted.data(), converted.size()));
        if (obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_CALLBACK) {
            DrainMixLocked(*receiver, *state);
        }
    }
    if (conversions != nullptr) {
        // A format that no receiver took with this frame ends: a later receiver of it starts anew.
        conversions->erase(std::remove_if(conversions->begin(), conversions->end(),
                                          [](const Conversion& conversion) { return !conversion.current; }),
                           conversions->end());
        if (conversions->empty()) {
            conversions_.erase(sender.handle);
        }
    }
}

const std::vector<int16_t>& AudioRouter::ConvertedLocked(std::vector<Conversion>& conversions, const AudioFrame& sent,
                                                         const std::vector<int16_t>& samples,
                                                         const AudioObtainParams& obtain) {
    auto conversion = std::find_if(conversions.begin(), conversions.end(), [&](const Conversion& candidate) {
        return candidate.rate == obtain.output_sample_rate && candidate.channels == obtain.output_channels;
    });
    if (conversion == conversions.end() || conversion->converter->input_rate() != sent.sample_rate ||
        conversion->converter->input_channels() != sent.channels) {
        // A new format, or the sender's own format changed: the stream starts anew.
        auto converter = std::make_unique<AudioFormatConverter>(sent.sample_rate, sent.channels,
                                                                obtain.output_sample_rate, obtain.output_channels);
        if (conversion == conversions.end()) {
            conversions.push_back(Conversion{obtain.output_sample_rate, obtain.output_channels, nullptr, {}, false});
            conversion = std::prev(conversions.end());
        }
        conversion->converter = std::move(converter);
        conversion->current = false;
    }
    if (!conversion->current) {
        conversion->samples.clear();
        conversion->converter->Convert(samples.data(), samples.size() / static_cast<size_t>(sent.channels),
                                       conversion->samples);
        conversion->current = true;
    }
    return conversion->samples;
}

// Hands out mixed frames once every sender has contributed its share, or once one sender is so
// far ahead that waiting for the others would only add delay.
void AudioRouter::DrainMixLocked(CloudState& receiver, Receiver& state) {
    if (!state.mixer) {
        return;
    }
    const size_t frame_samples = MixFrameSamples(receiver.obtain);
    std::vector<int16_t> mixed;
    while (state.mixer->shortest() >= frame_samples || state.mixer->buffered() >= kMaxMixLagFrames * frame_samples) {
        if (!state.mixer->Pop(frame_samples, mixed)) {
            break;
        }
        AudioFrame frame = PcmFrame(mixed, receiver.obtain.output_sample_rate, receiver.obtain.output_channels,
                                    state.mixed_pts, VoiceActivityDetector::HasVoice(mixed.data(), mixed.size()));
        state.mixed_pts += static_cast<uint32_t>(receiver.obtain.output_frame_length_ms);
        Raise(receiver, "OnRemoteMixedAudioReceived", kMedia,
              [frame](QOLTCloudDelegate& delegate) { delegate.OnRemoteMixedAudioReceived(frame); });
    }
}

bool AudioRouter::PopMixed(CloudState& receiver, AudioFrame& frame) {
    MutexLock lock(mutex_);
    Receiver* state = FindLocked(receiver.handle);
    std::vector<int16_t> mixed;
    if (state == nullptr || !state->mixer || !state->mixer->Pop(MixFrameSamples(receiver.obtain), mixed)) {
        return false;
    }
    frame = PcmFrame(mixed, receiver.obtain.output_sample_rate, receiver.obtain.output_channels, state->mixed_pts,
                     VoiceActivityDetector::HasVoice(mixed.data(), mixed.size()));
    state->mixed_pts += static_cast<uint32_t>(receiver.obtain.output_frame_length_ms);
    return true;
}

}  // namespace loopback
}  // namespace mirelo
