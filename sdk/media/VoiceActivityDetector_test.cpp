#include "media/VoiceActivityDetector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <vector>

namespace mirelo {
namespace loopback {
namespace {

std::vector<int16_t> Sine(double amplitude, size_t count) {
    std::vector<int16_t> samples(count);
    for (size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2.0 * M_PI * 440.0 * i / 48000.0)));
    }
    return samples;
}

struct LevelCase {
    std::vector<int16_t> samples;
    bool voice;
};

void PrintTo(const LevelCase& c, std::ostream* os) {
    *os << c.samples.size() << " samples from " << c.samples.front() << (c.voice ? ", voice" : ", no voice");
}

class VoiceActivityDetectorLevels : public ::testing::TestWithParam<LevelCase> {};

TEST_P(VoiceActivityDetectorLevels, DecidesByRmsAgainstMinus40Dbfs) {
    const LevelCase& c = GetParam();
    EXPECT_EQ(VoiceActivityDetector::HasVoice(c.samples.data(), c.samples.size()), c.voice);
}

// -40 dBFS is an RMS of 327.68: a constant 328 is above it, 327 below; a sine's RMS is its
// amplitude over sqrt(2), so its threshold amplitude is 463.4.
INSTANTIATE_TEST_SUITE_P(Levels, VoiceActivityDetectorLevels,
                         ::testing::Values(LevelCase{std::vector<int16_t>(480, 0), false},
                                           LevelCase{std::vector<int16_t>(480, 327), false},
                                           LevelCase{std::vector<int16_t>(480, 328), true},
                                           LevelCase{std::vector<int16_t>(480, -328), true},
                                           LevelCase{Sine(455.0, 48000), false}, LevelCase{Sine(472.0, 48000), true},
                                           // Full scale for a long frame: the sum of squares must not overflow.
                                           LevelCase{std::vector<int16_t>(1 << 20, -32768), true}));

TEST(VoiceActivityDetector, NothingHasNoVoice) {
    const int16_t loud[] = {30000};
    EXPECT_FALSE(VoiceActivityDetector::HasVoice(nullptr, 10));
    EXPECT_FALSE(VoiceActivityDetector::HasVoice(loud, 0));
}

}  // namespace
}  // namespace loopback
}  // namespace mirelo
