#include "media/AudioReframer.h"

#include <algorithm>

namespace mirelo {
namespace loopback {

AudioReframer::AudioReframer(int rate, int channels, size_t frame_length)
    : rate_(rate), channels_(static_cast<size_t>(channels)), frame_length_(std::max<size_t>(frame_length, 1)) {}

void AudioReframer::Push(const int16_t* samples, size_t count, uint32_t pts, bool has_voice,
                         std::chrono::steady_clock::time_point now) {
    count -= count % channels_;
    if (samples == nullptr || count == 0) {
        return;
    }
    last_push_ = now;
    marks_.push_back(Mark{taken_ + pending(), pts, has_voice});
    pending_.insert(pending_.end(), samples, samples + count);
}

bool AudioReframer::Pop(Frame& out) {
    if (pending() < frame_length_) {
        return false;
    }
    Take(frame_length_, out);
    return true;
}

bool AudioReframer::PopRest(Frame& out) {
    if (pending() == 0) {
        return false;
    }
    Take(pending(), out);
    return true;
}

void AudioReframer::Take(size_t length, Frame& out) {
    const Mark& first = marks_.front();
    // Unsigned arithmetic: a pts near the top of its range wraps, as the sender's own would.
    out.pts = first.pts + static_cast<uint32_t>((taken_ - first.position) * 1000 / static_cast<uint64_t>(rate_));
    out.has_voice = false;
    for (const Mark& mark : marks_) {
        if (mark.position >= taken_ + length) {
            break;
        }
        out.has_voice = out.has_voice || mark.has_voice;
    }
    const auto end = pending_.begin() + static_cast<std::ptrdiff_t>(length * channels_);
    out.samples.assign(pending_.begin(), end);
    pending_.erase(pending_.begin(), end);
    taken_ += length;
    while (marks_.size() > 1 && marks_[1].position <= taken_) {
        marks_.pop_front();
    }
    if (pending_.empty()) {
        marks_.clear();  // the next push starts a frame of its own
    }
}

}  // namespace loopback
}  // namespace mirelo
