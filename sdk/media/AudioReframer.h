#ifndef MIRELO_SDK_AUDIO_REFRAMER_H
#define MIRELO_SDK_AUDIO_REFRAMER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace mirelo {
namespace loopback {

// Cuts one sender's audio, already in the receiver's format, into frames of the length the receiver
// asked for. Samples pass through in order, none dropped or added: what does not fill a frame waits
// for the next push. A frame's pts is that of the pushed frame holding its first sample, advanced by
// the samples before it in that frame (milliseconds, rounded down), so a sender's pts gaps stay where
// they are; a frame has voice when any pushed frame it draws from had.
//
// Not thread-safe: the caller serialises every call on one reframer.
class AudioReframer {
public:
    struct Frame {
        std::vector<int16_t> samples;  // interleaved
        uint32_t pts = 0;
        bool has_voice = false;
    };

    // frame_length: samples per channel in each frame handed out, at least 1.
    AudioReframer(int rate, int channels, size_t frame_length);

    // Appends `count` interleaved samples that came in one frame with this pts and voice flag, at
    // `now`.
    void Push(const int16_t* samples, size_t count, uint32_t pts, bool has_voice,
              std::chrono::steady_clock::time_point now);

    // The next whole frame; false, with out untouched, while fewer samples wait.
    bool Pop(Frame& out);
    // Everything that waits as one shorter frame, for when the stream ends; false when nothing waits.
    bool PopRest(Frame& out);

    // Samples per channel waiting for a frame to fill.
    size_t pending() const { return pending_.size() / channels_; }
    // When the last push came (the epoch before the first).
    std::chrono::steady_clock::time_point last_push() const { return last_push_; }

private:
    // Where a pushed frame starts, in samples per channel since the first push.
    struct Mark {
        uint64_t position;
        uint32_t pts;
        bool has_voice;
    };

    void Take(size_t length, Frame& out);

    int rate_;
    size_t channels_;
    size_t frame_length_;
    std::vector<int16_t> pending_;
    uint64_t taken_ = 0;  // samples per channel handed out so far
    // The marks of the frames that pending_ draws from, oldest first; the first one starts at or
    // before taken_.
    std::deque<Mark> marks_;
    std::chrono::steady_clock::time_point last_push_;
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_AUDIO_REFRAMER_H
