#ifndef MIRELO_SDK_AUDIO_FORMAT_CONVERTER_H
#define MIRELO_SDK_AUDIO_FORMAT_CONVERTER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mirelo {
namespace loopback {

// Converts a stream of 16-bit interleaved PCM to another sample rate and channel count.
//
// Rate conversion is a windowed-sinc polyphase filter (Kaiser window, ~90 dB stopband) with
// precomputed coefficients. Its stopband starts at the lower of the two Nyquist frequencies, so
// downsampling does not alias and upsampling leaves no images; the passband is flat (0.1 dB) to
// 85 % of that Nyquist frequency (6.8 kHz when 16 kHz is involved). The filter keeps its history
// between calls, so the output does not depend on how the input is cut into frames.
//
// Output count: after N input frames in total, exactly ceil(N * output_rate / input_rate) output
// frames have been produced. The position is kept as an exact fraction, so it never drifts, and a
// frame whose duration is a whole number of output samples (20 ms at 48 kHz -> 16 kHz) always
// yields the same count. The price is a constant delay of the signal itself: latency_seconds(),
// about 32 / min(input_rate, output_rate) seconds (2 ms between 16 kHz and 48 kHz), made of
// leading zeros at the start and after Reset().
//
// Channels: mono -> N duplicates, N -> mono averages, otherwise the first min(in, out) channels
// are kept and any further output channel copies channel 0. Same rate and channel count is a
// plain copy; same rate with other channels remaps without filtering (and without delay).
//
// The filter's dot products run on the fastest kernel the processor offers (AVX2 with FMA on x86-64
// when present, else a portable one), chosen once per process so that every converter of a format
// gives the same samples. The kernels differ by at most one in the last bit of a 16-bit sample.
//
// One converter per stream; not thread-safe.
class AudioFormatConverter {
public:
    enum class Kernel { kPortable, kAvx2Fma };
    // Throws std::invalid_argument unless Supports() holds for both formats.
    AudioFormatConverter(int input_rate, int input_channels, int output_rate, int output_channels);

    // Appends the converted samples to out. Null or empty input appends nothing.
    void Convert(const int16_t* samples, size_t frame_count, std::vector<int16_t>& out);

    // Forgets the filter history: the next Convert starts a new stream.
    void Reset();

    // Rates 8000..192000 Hz, channels 1..8.
    static bool Supports(int rate, int channels);

    // Whether this processor can run the kernel; the portable one runs everywhere.
    static bool Runs(Kernel kernel);
    // Runs this converter's filter on another kernel (tests and measurements compare them); false,
    // with nothing changed, when the processor cannot run it.
    bool UseKernel(Kernel kernel);

    // How far the output lags the input; 0 when the rates are equal.
    double latency_seconds() const;

    int input_rate() const { return input_rate_; }
    int input_channels() const { return input_channels_; }
    int output_rate() const { return output_rate_; }
    int output_channels() const { return output_channels_; }

private:
    void BuildFilter();
    // Same rate, other channel count.
    void RemapChannels(const int16_t* samples, size_t frame_count, std::vector<int16_t>& out) const;
    // Input frames -> work_channels_ deinterleaved float channels, appended to history_.
    void AppendInput(const int16_t* samples, size_t frame_count);
    // Runs the filter over history_; returns the number of output frames left in scratch_.
    size_t Resample();
    // scratch_ (work_channels_ per frame) -> out, interleaved at output_channels_.
    void EmitOutput(const float* frames, size_t frame_count, std::vector<int16_t>& out) const;

    int input_rate_;
    int input_channels_;
    int output_rate_;
    int output_channels_;
    int work_channels_;  // min(in, out): the channels that pass through the filter

    bool resampling_ = false;
    // Output sample n sits at input position n * step_ / up_ (the rates reduced by their gcd).
    uint64_t up_ = 1;
    uint64_t step_ = 1;
    size_t taps_ = 0;  // filter length, in input samples
    // Rows of taps_ coefficients. Exactly up_ rows when that is affordable, one per phase;
    // otherwise phases_ + 1 rows between which the coefficients are interpolated.
    std::vector<float> table_;
    uint64_t phases_ = 1;
    bool interpolate_ = false;

    // Per work channel, the input still needed: taps_ - 1 samples of history, then new input.
    std::vector<std::vector<float>> history_;
    uint64_t phase_ = 0;  // numerator of the fractional position, 0..up_-1
    std::vector<float> scratch_;
    Kernel kernel_;
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_AUDIO_FORMAT_CONVERTER_H
