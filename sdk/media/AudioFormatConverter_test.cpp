#include "media/AudioFormatConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <tuple>
#include <vector>

namespace mirelo {
namespace loopback {
namespace {

using RatePair = std::tuple<int, int>;

// Pairs with a small reduced ratio (exact phase table) and with a huge one (interpolated table).
const auto kRatePairs =
    ::testing::Values(RatePair{48000, 16000}, RatePair{16000, 48000}, RatePair{44100, 48000}, RatePair{48000, 44100},
                      RatePair{8000, 192000}, RatePair{192000, 8000}, RatePair{44100, 44101}, RatePair{32000, 22050});

std::vector<int16_t> Sine(int rate, double frequency, double amplitude, size_t frames, int channels = 1) {
    std::vector<int16_t> samples(frames * static_cast<size_t>(channels));
    for (size_t i = 0; i < frames; ++i) {
        const auto value = static_cast<int16_t>(std::lround(amplitude * std::sin(2.0 * M_PI * frequency * i / rate)));
        for (int c = 0; c < channels; ++c) {
            samples[i * static_cast<size_t>(channels) + static_cast<size_t>(c)] = value;
        }
    }
    return samples;
}

std::vector<int16_t> ConvertAll(AudioFormatConverter& converter, const std::vector<int16_t>& samples) {
    std::vector<int16_t> out;
    converter.Convert(samples.data(), samples.size() / static_cast<size_t>(converter.input_channels()), out);
    return out;
}

// Output samples before this index still feel the zeros the filter starts from.
size_t Settled(const AudioFormatConverter& converter) {
    return static_cast<size_t>(std::ceil(2.0 * converter.latency_seconds() * converter.output_rate())) + 2;
}

class AudioFormatConverterRates : public ::testing::TestWithParam<RatePair> {};

TEST_P(AudioFormatConverterRates, KeepsAConstantExactlyConstant) {
    const auto [in, out] = GetParam();
    AudioFormatConverter converter(in, 1, out, 1);
    const std::vector<int16_t> output = ConvertAll(converter, std::vector<int16_t>(in / 10, -12345));
    ASSERT_GT(output.size(), Settled(converter));
    for (size_t i = Settled(converter); i < output.size(); ++i) {
        ASSERT_EQ(output[i], -12345) << "sample " << i;
    }
}

TEST_P(AudioFormatConverterRates, PassesASineWithItsAmplitudeDelayedByTheLatency) {
    const auto [in, out] = GetParam();
    AudioFormatConverter converter(in, 1, out, 1);
    const double amplitude = 10000.0;
    const std::vector<int16_t> output = ConvertAll(converter, Sine(in, 1000.0, amplitude, in / 10));
    const double latency = converter.latency_seconds();
    EXPECT_NEAR(latency, 33.0 / std::min(in, out), 2.0 / std::min(in, out));  // 32 samples, give or take
    double worst = 0.0;
    for (size_t n = Settled(converter); n < output.size(); ++n) {
        const double expected = amplitude * std::sin(2.0 * M_PI * 1000.0 * (static_cast<double>(n) / out - latency));
        worst = std::max(worst, std::fabs(output[n] - expected));
    }
    // The passband ripple is 0.1 dB (1.2 %); one sample of delay off would be 13 % at 48 kHz.
    EXPECT_LT(worst, 0.015 * amplitude);
}

TEST_P(AudioFormatConverterRates, ProducesExactlyTheCeilingOfTheScaledCountAfterEveryChunk) {
    const auto [in, out] = GetParam();
    AudioFormatConverter converter(in, 2, out, 2);
    std::mt19937 random(42);
    std::vector<int16_t> output;
    uint64_t total = 0;
    for (int chunk = 0; chunk < 200; ++chunk) {
        const size_t frames = random() % static_cast<size_t>(in / 50);
        const std::vector<int16_t> samples(frames * 2, 1);
        converter.Convert(samples.data(), frames, output);
        total += frames;
        const uint64_t expected = (total * static_cast<uint64_t>(out) + static_cast<uint64_t>(in) - 1) / in;
        ASSERT_EQ(output.size(), expected * 2) << "after " << total << " input frames";
    }
}

TEST_P(AudioFormatConverterRates, GivesTheSameSamplesHoweverTheInputIsCut) {
    const auto [in, out] = GetParam();
    std::mt19937 random(7);
    std::vector<int16_t> input(static_cast<size_t>(in / 20) * 2);
    for (int16_t& s : input) {
        s = static_cast<int16_t>(static_cast<int>(random() % 65536) - 32768);
    }
    AudioFormatConverter whole(in, 2, out, 2);
    const std::vector<int16_t> expected = ConvertAll(whole, input);

    AudioFormatConverter pieces(in, 2, out, 2);
    std::vector<int16_t> output;
    for (size_t done = 0; done < input.size() / 2;) {
        const size_t frames = std::min<size_t>(1 + random() % 300, input.size() / 2 - done);
        pieces.Convert(input.data() + done * 2, frames, output);
        done += frames;
    }
    EXPECT_EQ(output, expected);
}

TEST_P(AudioFormatConverterRates, StartsAFreshStreamAfterReset) {
    const auto [in, out] = GetParam();
    const std::vector<int16_t> first = Sine(in, 440.0, 8000.0, static_cast<size_t>(in / 30));
    const std::vector<int16_t> second = Sine(in, 3000.0, 5000.0, static_cast<size_t>(in / 30));
    AudioFormatConverter fresh(in, 1, out, 1);
    const std::vector<int16_t> expected = ConvertAll(fresh, second);
    AudioFormatConverter reused(in, 1, out, 1);
    ConvertAll(reused, first);
    reused.Reset();
    EXPECT_EQ(ConvertAll(reused, second), expected);
}

INSTANTIATE_TEST_SUITE_P(Pairs, AudioFormatConverterRates, kRatePairs);

// input rate, output rate, tone above the output's Nyquist frequency.
class AudioFormatConverterDownsampling : public ::testing::TestWithParam<std::tuple<int, int, double>> {};

TEST_P(AudioFormatConverterDownsampling, DoesNotAliasATonePastTheNewNyquistFrequency) {
    const auto [in, out, tone] = GetParam();
    AudioFormatConverter converter(in, 1, out, 1);
    const std::vector<int16_t> output = ConvertAll(converter, Sine(in, tone, 30000.0, static_cast<size_t>(in / 10)));
    int worst = 0;
    for (size_t n = Settled(converter); n < output.size(); ++n) {
        worst = std::max(worst, std::abs(static_cast<int>(output[n])));
    }
    EXPECT_LE(worst, 2);  // below -80 dB of the tone
}

INSTANTIATE_TEST_SUITE_P(Tones, AudioFormatConverterDownsampling,
                         ::testing::Values(std::make_tuple(48000, 16000, 12000.0),
                                           std::make_tuple(44100, 8000, 10000.0),
                                           std::make_tuple(96000, 48000, 30000.0)));

TEST(AudioFormatConverter, SaturatesOvershootInsteadOfWrapping) {
    // A full-scale square wave rings past full scale at its edges once filtered.
    std::vector<int16_t> square(4800);
    for (size_t i = 0; i < square.size(); ++i) {
        square[i] = (i / 240) % 2 == 0 ? 32767 : -32768;
    }
    AudioFormatConverter converter(48000, 1, 16000, 1);
    const std::vector<int16_t> output = ConvertAll(converter, square);
    const size_t delay = static_cast<size_t>(std::lround(converter.latency_seconds() * 16000));
    bool saturated = false;
    for (size_t n = Settled(converter); n < output.size(); ++n) {
        const size_t position = (n - delay) * 3 % 480;  // where in the square wave's period
        if (position > 40 && position < 200) {
            ASSERT_GT(output[n], 30000) << n;
        } else if (position > 280 && position < 440) {
            ASSERT_LT(output[n], -30000) << n;
        }
        saturated = saturated || output[n] == 32767 || output[n] == -32768;
    }
    EXPECT_TRUE(saturated);
}

TEST(AudioFormatConverter, AtOneRateCopiesOrRemapsChannelsExactly) {
    const std::vector<int16_t> stereo = {1, 2, 2, 3, -1, -2, 32767, 32767, -32768, -32768, 100, -100};
    {
        AudioFormatConverter same(16000, 2, 16000, 2);
        EXPECT_EQ(ConvertAll(same, stereo), stereo);
        EXPECT_EQ(same.latency_seconds(), 0.0);
    }
    {
        AudioFormatConverter to_mono(16000, 2, 16000, 1);
        // Averages round to nearest, ties to even.
        EXPECT_EQ(ConvertAll(to_mono, stereo), (std::vector<int16_t>{2, 2, -2, 32767, -32768, 0}));
    }
    {
        AudioFormatConverter to_stereo(16000, 1, 16000, 2);
        EXPECT_EQ(ConvertAll(to_stereo, {5, -7}), (std::vector<int16_t>{5, 5, -7, -7}));
    }
    {
        AudioFormatConverter narrower(16000, 4, 16000, 2);
        EXPECT_EQ(ConvertAll(narrower, {1, 2, 3, 4, 5, 6, 7, 8}), (std::vector<int16_t>{1, 2, 5, 6}));
    }
    {
        AudioFormatConverter wider(16000, 2, 16000, 3);
        EXPECT_EQ(ConvertAll(wider, {1, 2, 3, 4}), (std::vector<int16_t>{1, 2, 1, 3, 4, 3}));
    }
}

TEST(AudioFormatConverter, MixesDownBeforeResamplingAndSpreadsAfter) {
    // Opposite channels average to silence, exactly.
    std::vector<int16_t> opposite = Sine(48000, 1000.0, 20000.0, 4800, 2);
    for (size_t i = 1; i < opposite.size(); i += 2) {
        opposite[i] = static_cast<int16_t>(-opposite[i - 1]);
    }
    AudioFormatConverter to_mono(48000, 2, 16000, 1);
    const std::vector<int16_t> silent = ConvertAll(to_mono, opposite);
    EXPECT_EQ(silent, std::vector<int16_t>(1600, 0));

    AudioFormatConverter mono(48000, 1, 16000, 1);
    const std::vector<int16_t> reference = ConvertAll(mono, Sine(48000, 1000.0, 20000.0, 4800));
    AudioFormatConverter wider(48000, 2, 16000, 3);
    std::vector<int16_t> stereo = Sine(48000, 1000.0, 20000.0, 4800, 2);
    const std::vector<int16_t> spread = ConvertAll(wider, stereo);
    ASSERT_EQ(spread.size(), reference.size() * 3);
    for (size_t n = 0; n < reference.size(); ++n) {
        ASSERT_EQ(spread[3 * n], reference[n]);
        ASSERT_EQ(spread[3 * n + 1], reference[n]);
        ASSERT_EQ(spread[3 * n + 2], reference[n]);  // a channel beyond the input's copies channel 0
    }
}

TEST(AudioFormatConverter, AppendsNothingForNoInput) {
    AudioFormatConverter converter(48000, 1, 16000, 1);
    std::vector<int16_t> out = {9};
    const int16_t sample = 1;
    converter.Convert(nullptr, 480, out);
    converter.Convert(&sample, 0, out);
    EXPECT_EQ(out, std::vector<int16_t>{9});
}

// input rate, output rate, input channels, output channels: exact and interpolated phase tables,
// up and down, mono, stereo, channels averaged before filtering, and filter lengths that are and are
// not multiples of 8 (68 taps at 48000 -> 45600 and 44100 -> 44101).
using KernelCase = std::tuple<int, int, int, int>;

class AudioFormatConverterKernels : public ::testing::TestWithParam<KernelCase> {};

// Random full-scale noise (whose filtered peaks overshoot and clip), a full-scale square wave and
// quiet noise, one after another, so that every kernel sees values at and past both limits.
std::vector<int16_t> Testing(int rate, int channels, std::mt19937& random) {
    const size_t third = static_cast<size_t>(rate / 10) * static_cast<size_t>(channels);
    std::vector<int16_t> samples(3 * third);
    std::uniform_int_distribution<int> full(-32768, 32767);
    std::uniform_int_distribution<int> quiet(-40, 40);
    for (size_t i = 0; i < third; ++i) {
        samples[i] = static_cast<int16_t>(full(random));
        samples[third + i] = (i / static_cast<size_t>(channels * 37)) % 2 == 0 ? 32767 : -32768;
        samples[2 * third + i] = static_cast<int16_t>(quiet(random));
    }
    return samples;
}

TEST_P(AudioFormatConverterKernels, EveryKernelGivesThePortableSamplesWithinOneStep) {
    const auto [in, out, in_channels, out_channels] = GetParam();
    std::mt19937 random(static_cast<unsigned>(in + out + in_channels));
    const std::vector<int16_t> input = Testing(in, in_channels, random);
    const size_t frames = input.size() / static_cast<size_t>(in_channels);
    std::vector<size_t> cuts;  // the same random pieces for every kernel
    for (size_t done = 0; done < frames; done += cuts.back()) {
        cuts.push_back(std::min<size_t>(1 + random() % static_cast<size_t>(in / 40), frames - done));
    }
    const auto convert = [&](AudioFormatConverter::Kernel kernel) {
        AudioFormatConverter converter(in, in_channels, out, out_channels);
        EXPECT_TRUE(converter.UseKernel(kernel));
        std::vector<int16_t> output;
        size_t done = 0;
        for (size_t piece : cuts) {
            converter.Convert(input.data() + done * static_cast<size_t>(in_channels), piece, output);
            done += piece;
        }
        return output;
    };
    const std::vector<int16_t> reference = convert(AudioFormatConverter::Kernel::kPortable);
    for (auto kernel : {AudioFormatConverter::Kernel::kAvx2Fma}) {
        if (!AudioFormatConverter::Runs(kernel)) {
            continue;
        }
        const std::vector<int16_t> output = convert(kernel);
        ASSERT_EQ(output.size(), reference.size());
        size_t differing = 0;
        bool clipped = false;
        for (size_t n = 0; n < output.size(); ++n) {
            ASSERT_LE(std::abs(output[n] - reference[n]), 1) << "sample " << n;
            differing += output[n] != reference[n];
            clipped = clipped || reference[n] == 32767 || reference[n] == -32768;
        }
        EXPECT_TRUE(clipped);
        EXPECT_LT(differing, output.size() / 100);  // rounding ties only, not a systematic offset
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, AudioFormatConverterKernels,
                         ::testing::Values(KernelCase{48000, 16000, 1, 1}, KernelCase{16000, 48000, 1, 1},
                                           KernelCase{48000, 44100, 2, 2}, KernelCase{44100, 48000, 2, 1},
                                           KernelCase{44100, 44101, 1, 1}, KernelCase{8000, 192000, 2, 2},
                                           KernelCase{192000, 8000, 1, 1}, KernelCase{32000, 22050, 4, 1},
                                           KernelCase{22050, 11025, 1, 3}, KernelCase{48000, 24000, 8, 8},
                                           KernelCase{48000, 45600, 2, 2}));

class AudioFormatConverterRejects : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(AudioFormatConverterRejects, FormatsOutOfRange) {
    const auto [rate, channels] = GetParam();
    EXPECT_FALSE(AudioFormatConverter::Supports(rate, channels));
    EXPECT_THROW(AudioFormatConverter(rate, channels, 48000, 1), std::invalid_argument);
    EXPECT_THROW(AudioFormatConverter(48000, 1, rate, channels), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Formats, AudioFormatConverterRejects,
                         ::testing::Values(std::make_tuple(7999, 1), std::make_tuple(192001, 1), std::make_tuple(0, 1),
                                           std::make_tuple(-48000, 1), std::make_tuple(48000, 0),
                                           std::make_tuple(48000, 9), std::make_tuple(48000, -1)));

}  // namespace
}  // namespace loopback
}  // namespace mirelo
