#ifndef MIRELO_SDK_AUDIO_MIXER_H
#define MIRELO_SDK_AUDIO_MIXER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mirelo {
namespace loopback {

// Mixes 16-bit PCM from several sources, all in one format (rate and channel count), which the
// caller ensures. Each source has its own bounded FIFO; Pop sums what the sources hold.
//
// Not thread-safe: the caller serialises every call on one mixer.
class AudioMixer {
public:
    // Saturated sum in place: accumulator[i] = clamp(accumulator[i] + samples[i]).
    static void MixInto(int16_t* accumulator, const int16_t* samples, size_t count);

    // Each source's FIFO holds at most max_buffered_samples samples (not frames).
    explicit AudioMixer(size_t max_buffered_samples);

    // Appends to the source's FIFO, creating it on first use. When the FIFO would overflow, its
    // oldest samples (which may include the start of this push) are dropped and counted; returns
    // how many this push dropped.
    size_t Push(uint64_t source, const int16_t* samples, size_t count);

    // When the longest FIFO holds at least count samples (count > 0), replaces out with count
    // samples of the sum of all sources and consumes them: each source adds what it has, up to
    // count, followed by silence. The sum is clamped once, after adding. Otherwise returns false
    // and leaves everything untouched.
    bool Pop(size_t count, std::vector<int16_t>& out);

    // Samples held by the longest FIFO: the most a Pop can deliver.
    size_t buffered() const;

    // Creates the source's FIFO, empty, if it has none: a source expected to contribute counts
    // for shortest() before its first push.
    void AddSource(uint64_t source);

    // Samples held by the shortest FIFO (0 without sources): a Pop of at most this many mixes
    // every source in full.
    size_t shortest() const;

    // Discards the source's FIFO and returns how many samples it held (not counted as dropped).
    size_t RemoveSource(uint64_t source);

    // Samples held by all FIFOs together.
    size_t held() const;

    // Samples dropped by overflow since construction.
    size_t dropped_samples() const { return dropped_; }

    size_t max_buffered_samples() const { return capacity_limit_; }

private:
    // A ring buffer that grows on demand up to the mixer's limit, then keeps its storage.
    struct Fifo {
        uint64_t source = 0;
        std::vector<int16_t> ring;
        size_t head = 0;  // index of the oldest sample
        size_t size = 0;

        void Reserve(size_t wanted, size_t limit);
        void Append(const int16_t* samples, size_t count);
        void Discard(size_t count);
        // Adds the oldest min(count, size) samples to sum and removes them.
        void DrainInto(int32_t* sum, size_t count);
    };

    Fifo* Find(uint64_t source);

    size_t capacity_limit_;
    size_t dropped_ = 0;
    // Few sources per mixer: a vector searched linearly beats a map here.
    std::vector<Fifo> fifos_;
    std::vector<int32_t> sum_;
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_AUDIO_MIXER_H
