#include "api/FramePayload.h"
#include "qolt/mirelo_qolt_defines.h"

namespace mirelo {
namespace qolt {

using loopback::FramePayload;

AudioFrame::AudioFrame()
    : sample_rate(48000),
      channels(1),
      bits_per_sample(16),
      codec(AUDIO_CODEC_TYPE_PCM),
      pts(0),
      has_voice(false),
      handle_(FramePayload::Create()) {}

AudioFrame::AudioFrame(const AudioFrame& other)
    : sample_rate(other.sample_rate),
      channels(other.channels),
      bits_per_sample(other.bits_per_sample),
      codec(other.codec),
      pts(other.pts),
      has_voice(other.has_voice),
      handle_(FramePayload::Copy(other.handle_)) {}

AudioFrame& AudioFrame::operator=(const AudioFrame& other) {
    if (this != &other) {
        sample_rate = other.sample_rate;
        channels = other.channels;
        bits_per_sample = other.bits_per_sample;
        codec = other.codec;
        pts = other.pts;
        has_voice = other.has_voice;
        FramePayload::Assign(handle_, other.handle_);
    }
    return *this;
}

AudioFrame::~AudioFrame() { FramePayload::Free(handle_); }

const uint8_t* AudioFrame::data() const { return FramePayload::Of(handle_).data(); }

size_t AudioFrame::size() const { return FramePayload::Of(handle_).size(); }

void AudioFrame::SetData(const uint8_t* data, size_t size) { FramePayload::Of(handle_).SetData(data, size); }

void AudioFrame::SetExtraData(const uint8_t* data, size_t size) { FramePayload::Of(handle_).SetExtraData(data, size); }

}  // namespace qolt
}  // namespace mirelo
