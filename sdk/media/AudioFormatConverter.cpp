#include "media/AudioFormatConverter.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace mirelo {
namespace loopback {

namespace {

// Half the filter length, in samples at the lower of the two rates. It sets the transition band
// (about 9 % of the lower Nyquist frequency) and the delay: 32 samples of the lower rate.
constexpr double kZeroCrossings = 32.0;
// Kaiser design target; 16-bit PCM has no use for more.
constexpr double kStopbandDb = 90.0;
// Beyond this many coefficients (rates with a large reduced ratio, such as 44100 <-> 44101)
// the table holds fewer phases and the converter interpolates between neighbouring ones; with
// at least 256 phases the interpolation error stays near -100 dB.
constexpr size_t kMaxExactTable = size_t{1} << 17;
constexpr uint64_t kMinInterpolatedPhases = 256;

constexpr double kPi = 3.14159265358979323846;

// Modified Bessel function of the first kind, order 0, by its power series.
double BesselI0(double x) {
    const double q = x * x / 4.0;
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k < 200 && term > sum * 1e-17; ++k) {
        term *= q / (static_cast<double>(k) * k);
        sum += term;
    }
    return sum;
}

// Rounds to the nearest sample, ties to even, and saturates (NaN, which no filter of 16-bit input
// makes, gives -32768). Clamped first, the value is small enough for the classic rounding trick:
// adding 1.5 * 2^23 leaves no fraction bits, so the addition itself rounds in the current (nearest)
// mode, and subtracting it back is exact. That is nearbyint without a library call per sample.
int16_t ToSample(float value) {
    constexpr float kRound = 12582912.0f;  // 1.5 * 2^23
    const float clamped = std::max(-32768.0f, std::min(value, 32767.0f));
    const float rounded = (clamped + kRound) - kRound;
    return static_cast<int16_t>(static_cast<int32_t>(rounded));
}

// Four independent sums let the compiler overlap (and vectorise) the multiply-adds; n is a
// multiple of 4. The reference for every other kernel.
float PortableDot(const float* a, const float* b, size_t n) {
    float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
    for (size_t k = 0; k < n; k += 4) {
        s0 += a[k] * b[k];
        s1 += a[k + 1] * b[k + 1];
        s2 += a[k + 2] * b[k + 2];
        s3 += a[k + 3] * b[k + 3];
    }
    return (s0 + s1) + (s2 + s3);
}

void PortableDotPair(const float* lower, const float* upper, const float* input, size_t n, float& a, float& b) {
    a = PortableDot(lower, input, n);
    b = PortableDot(upper, input, n);
}

#if defined(__x86_64__)

// The sum of a vector's eight lanes, plus four more products when n leaves them (n % 8 == 4).
__attribute__((target("avx2,fma"))) inline float SumLanes(__m256 sum, const float* a, const float* b, size_t rest) {
    __m128 quad = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
    if (rest != 0) {
        quad = _mm_fmadd_ps(_mm_loadu_ps(a), _mm_loadu_ps(b), quad);
    }
    quad = _mm_add_ps(quad, _mm_movehl_ps(quad, quad));
    quad = _mm_add_ss(quad, _mm_shuffle_ps(quad, quad, 1));
    return _mm_cvtss_f32(quad);
}

// Four sums of eight lanes: enough independent fused multiply-adds to keep both units busy while
// each waits for its previous result.
__attribute__((target("avx2,fma"))) float Avx2Dot(const float* a, const float* b, size_t n) {
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
    size_t k = 0;
    for (; k + 32 <= n; k += 32) {
        s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + k), _mm256_loadu_ps(b + k), s0);
        s1 = _mm256_fmadd_ps(_mm256_loadu_ps(a + k + 8), _mm256_loadu_ps(b + k + 8), s1);
        s2 = _mm256_fmadd_ps(_mm256_loadu_ps(a + k + 16), _mm256_loadu_ps(b + k + 16), s2);
        s3 = _mm256_fmadd_ps(_mm256_loadu_ps(a + k + 24), _mm256_loadu_ps(b + k + 24), s3);
    }
    for (; k + 8 <= n; k += 8) {
        s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + k), _mm256_loadu_ps(b + k), s0);
    }
    return SumLanes(_mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)), a + k, b + k, n - k);
}

// Both rows at once, each input sample loaded once.
__attribute__((target("avx2,fma"))) void Avx2DotPair(const float* lower, const float* upper, const float* input,
                                                     size_t n, float& a, float& b) {
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), b0 = _mm256_setzero_ps(), b1 = _mm256_setzero_ps();
    size_t k = 0;
    for (; k + 16 <= n; k += 16) {
        const __m256 x0 = _mm256_loadu_ps(input + k);
        const __m256 x1 = _mm256_loadu_ps(input + k + 8);
        a0 = _mm256_fmadd_ps(_mm256_loadu_ps(lower + k), x0, a0);
        a1 = _mm256_fmadd_ps(_mm256_loadu_ps(lower + k + 8), x1, a1);
        b0 = _mm256_fmadd_ps(_mm256_loadu_ps(upper + k), x0, b0);
        b1 = _mm256_fmadd_ps(_mm256_loadu_ps(upper + k + 8), x1, b1);
    }
    for (; k + 8 <= n; k += 8) {
        const __m256 x = _mm256_loadu_ps(input + k);
        a0 = _mm256_fmadd_ps(_mm256_loadu_ps(lower + k), x, a0);
        b0 = _mm256_fmadd_ps(_mm256_loadu_ps(upper + k), x, b0);
    }
    a = SumLanes(_mm256_add_ps(a0, a1), lower + k, input + k, n - k);
    b = SumLanes(_mm256_add_ps(b0, b1), upper + k, input + k, n - k);
}

bool CpuHasAvx2Fma() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

#endif  // __x86_64__

struct KernelFunctions {
    float (*dot)(const float* row, const float* input, size_t n);
    // Two rows' products with the same input: the phases either side of an interpolated one.
    void (*dot_pair)(const float* lower, const float* upper, const float* input, size_t n, float& a, float& b);
};

const KernelFunctions& Functions(AudioFormatConverter::Kernel kernel) {
    static const KernelFunctions portable{PortableDot, PortableDotPair};
#if defined(__x86_64__)
    static const KernelFunctions avx2_fma{Avx2Dot, Avx2DotPair};
    if (kernel == AudioFormatConverter::Kernel::kAvx2Fma) {
        return avx2_fma;
    }
#endif
    (void)kernel;
    return portable;
}

AudioFormatConverter::Kernel FastestKernel() {
#if defined(__x86_64__)
    static const bool avx2_fma = CpuHasAvx2Fma();
    if (avx2_fma) {
        return AudioFormatConverter::Kernel::kAvx2Fma;
    }
#endif
    return AudioFormatConverter::Kernel::kPortable;
}

}  // namespace

AudioFormatConverter::AudioFormatConverter(int input_rate, int input_channels, int output_rate, int output_channels)
    : input_rate_(input_rate),
      input_channels_(input_channels),
      output_rate_(output_rate),
      output_channels_(output_channels),
      work_channels_(std::min(input_channels, output_channels)),
      kernel_(FastestKernel()) {
    if (!Supports(input_rate, input_channels) || !Supports(output_rate, output_channels)) {
        throw std::invalid_argument("AudioFormatConverter: unsupported rate or channel count");
    }
    resampling_ = input_rate != output_rate;
    if (resampling_) {
        BuildFilter();
        history_.resize(static_cast<size_t>(work_channels_));
        Reset();
    }
}

bool AudioFormatConverter::Supports(int rate, int channels) {
    return rate >= 8000 && rate <= 192000 && channels >= 1 && channels <= 8;
}

bool AudioFormatConverter::Runs(Kernel kernel) { return kernel == Kernel::kPortable || kernel == FastestKernel(); }

bool AudioFormatConverter::UseKernel(Kernel kernel) {
    if (!Runs(kernel)) {
        return false;
    }
    kernel_ = kernel;
    return true;
}

double AudioFormatConverter::latency_seconds() const {
    return resampling_ ? static_cast<double>(taps_ / 2) / input_rate_ : 0.0;
}

void AudioFormatConverter::BuildFilter() {
    const int g = std::gcd(input_rate_, output_rate_);
    up_ = static_cast<uint64_t>(output_rate_ / g);
    step_ = static_cast<uint64_t>(input_rate_ / g);

    // Everything below is measured in input samples: the kernel is sampled once per input sample
    // whatever the direction, and widened in time (narrowed in frequency) when downsampling.
    const double ratio = std::min(1.0, static_cast<double>(output_rate_) / input_rate_);
    size_t half = static_cast<size_t>(std::ceil(kZeroCrossings / ratio));
    half += half % 2;  // taps_ a multiple of 4, for the kernels
    taps_ = 2 * half;

    const double beta = 0.1102 * (kStopbandDb - 8.7);
    const double transition = (kStopbandDb - 8.0) / (2.285 * 2.0 * kPi * static_cast<double>(taps_));
    // Centre the transition band below the lower Nyquist frequency, so the stopband starts there.
    const double cutoff = 0.5 * ratio - 0.5 * transition;  // cycles per input sample
    const double window_norm = BesselI0(beta);

    interpolate_ = up_ * taps_ > kMaxExactTable;
    phases_ = interpolate_ ? std::max<uint64_t>(kMinInterpolatedPhases, kMaxExactTable / taps_) : up_;
    const uint64_t rows = interpolate_ ? phases_ + 1 : phases_;
    table_.assign(static_cast<size_t>(rows) * taps_, 0.0f);

    // Row p serves output samples whose position lies p / phases_ of the way between two input
    // samples; its tap k reads the input sample taps_ - 1 - k before the one at or left of that
    // position, and the output is that position delayed by half input samples.
    std::vector<double> row(taps_);
    for (uint64_t p = 0; p < rows; ++p) {
        const double frac = static_cast<double>(p) / static_cast<double>(phases_);
        double sum = 0.0;
        for (size_t k = 0; k < taps_; ++k) {
            const double u = static_cast<double>(k) - static_cast<double>(taps_ - 1) + static_cast<double>(half) - frac;
            const double v = u / static_cast<double>(half);
            double h = 0.0;
            if (std::fabs(v) < 1.0) {
                const double x = 2.0 * cutoff * u;
                const double sinc = x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x);
                h = 2.0 * cutoff * sinc * BesselI0(beta * std::sqrt(1.0 - v * v)) / window_norm;
            }
            row[k] = h;
            sum += h;
        }
        // Unit gain at DC for every phase, so a constant input stays exactly constant.
        float* dst = &table_[static_cast<size_t>(p) * taps_];
        for (size_t k = 0; k < taps_; ++k) {
            dst[k] = static_cast<float>(row[k] / sum);
        }
    }
}

void AudioFormatConverter::Reset() {
    if (!resampling_) {
        return;
    }
    for (auto& channel : history_) {
        channel.assign(taps_ - 1, 0.0f);
    }
    phase_ = 0;
}

void AudioFormatConverter::Convert(const int16_t* samples, size_t frame_count, std::vector<int16_t>& out) {
    if (samples == nullptr || frame_count == 0) {
        return;
    }
    if (!resampling_) {
        if (input_channels_ == output_channels_) {
            out.insert(out.end(), samples, samples + frame_count * static_cast<size_t>(input_channels_));
            return;
        }
        RemapChannels(samples, frame_count, out);
        return;
    }
    AppendInput(samples, frame_count);
    const size_t produced = Resample();
    EmitOutput(scratch_.data(), produced, out);
}

void AudioFormatConverter::RemapChannels(const int16_t* samples, size_t frame_count, std::vector<int16_t>& out) const {
    const size_t in_channels = static_cast<size_t>(input_channels_);
    const size_t out_channels = static_cast<size_t>(output_channels_);
    const size_t start = out.size();
    out.resize(start + frame_count * out_channels);
    int16_t* dst = out.data() + start;
    if (output_channels_ == 1) {
        const float scale = 1.0f / static_cast<float>(in_channels);
        for (size_t i = 0; i < frame_count; ++i) {
            int32_t sum = 0;
            for (size_t c = 0; c < in_channels; ++c) {
                sum += samples[i * in_channels + c];
            }
            dst[i] = ToSample(static_cast<float>(sum) * scale);
        }
        return;
    }
    const size_t work = static_cast<size_t>(work_channels_);
    for (size_t i = 0; i < frame_count; ++i) {
        const int16_t* frame = samples + i * in_channels;
        for (size_t c = 0; c < out_channels; ++c) {
            *dst++ = frame[c < work ? c : 0];
        }
    }
}

void AudioFormatConverter::AppendInput(const int16_t* samples, size_t frame_count) {
    const size_t in_channels = static_cast<size_t>(input_channels_);
    if (output_channels_ == 1 && input_channels_ > 1) {
        std::vector<float>& mono = history_[0];
        const size_t start = mono.size();
        mono.resize(start + frame_count);
        const float scale = 1.0f / static_cast<float>(in_channels);
        for (size_t i = 0; i < frame_count; ++i) {
            int32_t sum = 0;
            for (size_t c = 0; c < in_channels; ++c) {
                sum += samples[i * in_channels + c];
            }
            mono[start + i] = static_cast<float>(sum) * scale;
        }
        return;
    }
    for (size_t c = 0; c < history_.size(); ++c) {
        std::vector<float>& channel = history_[c];
        const size_t start = channel.size();
        channel.resize(start + frame_count);
        for (size_t i = 0; i < frame_count; ++i) {
            channel[start + i] = static_cast<float>(samples[i * in_channels + c]);
        }
    }
}

size_t AudioFormatConverter::Resample() {
    const size_t available = history_[0].size();
    const size_t channels = history_.size();

    // Each output moves the position by step_ / up_ input samples: a whole part and a fraction,
    // split once here rather than divided out for every sample.
    const size_t whole_step = static_cast<size_t>(step_ / up_);
    const uint64_t fraction_step = step_ % up_;
    const auto advance = [&](size_t& pos, uint64_t& phase) {
        pos += whole_step;
        phase += fraction_step;
        if (phase >= up_) {
            phase -= up_;
            ++pos;
        }
    };
    // The output count only depends on the positions, so find it first and size scratch_ once.
    size_t count = 0;
    size_t end_pos = 0;
    uint64_t end_phase = phase_;
    for (size_t pos = 0; pos + taps_ <= available; ++count) {
        advance(pos, end_phase);
        end_pos = pos;
    }
    scratch_.resize(count * channels);

    const KernelFunctions& kernel = Functions(kernel_);
    for (size_t c = 0; c < channels; ++c) {
        const float* input = history_[c].data();
        size_t pos = 0;
        uint64_t phase = phase_;
        for (size_t n = 0; n < count; ++n) {
            float value;
            if (!interpolate_) {
                value = kernel.dot(&table_[static_cast<size_t>(phase) * taps_], input + pos, taps_);
            } else {
                const uint64_t scaled = phase * phases_;
                const float* lower = &table_[static_cast<size_t>(scaled / up_) * taps_];
                const float weight = static_cast<float>(scaled % up_) / static_cast<float>(up_);
                float a = 0.0f;
                float b = 0.0f;
                kernel.dot_pair(lower, lower + taps_, input + pos, taps_, a, b);
                value = a + (b - a) * weight;
            }
            scratch_[n * channels + c] = value;
            advance(pos, phase);
        }
    }

    // Keep only what later outputs still read; the vectors keep their capacity.
    for (auto& channel : history_) {
        channel.erase(channel.begin(), channel.begin() + static_cast<std::ptrdiff_t>(end_pos));
    }
    phase_ = end_phase;
    return count;
}

void AudioFormatConverter::EmitOutput(const float* frames, size_t frame_count, std::vector<int16_t>& out) const {
    const size_t work = static_cast<size_t>(work_channels_);
    const size_t out_channels = static_cast<size_t>(output_channels_);
    const size_t start = out.size();
    out.resize(start + frame_count * out_channels);
    int16_t* dst = out.data() + start;
    for (size_t i = 0; i < frame_count; ++i) {
        const float* frame = frames + i * work;
        for (size_t c = 0; c < out_channels; ++c) {
            *dst++ = ToSample(frame[c < work ? c : 0]);
        }
    }
}

}  // namespace loopback
}  // namespace mirelo
