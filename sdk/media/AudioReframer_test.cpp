#include "media/AudioReframer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <numeric>
#include <tuple>
#include <vector>

namespace mirelo {
namespace loopback {
namespace {

using Clock = std::chrono::steady_clock;

struct Pushed {
    size_t frames;  // per channel
    uint32_t pts;
    bool has_voice;
};

// Pushes the pieces (samples numbered 0, 1, 2, ... across them) and pops every whole frame.
std::vector<AudioReframer::Frame> Reframe(AudioReframer& reframer, int channels, const std::vector<Pushed>& pieces,
                                          int16_t& next_sample) {
    std::vector<AudioReframer::Frame> frames;
    for (const Pushed& piece : pieces) {
        std::vector<int16_t> samples(piece.frames * static_cast<size_t>(channels));
        for (int16_t& s : samples) {
            s = next_sample++;
        }
        reframer.Push(samples.data(), samples.size(), piece.pts, piece.has_voice, Clock::now());
        AudioReframer::Frame frame;
        while (reframer.Pop(frame)) {
            frames.push_back(frame);
        }
    }
    return frames;
}

// frame length, channels, piece length: every sample comes out once, in order, in full frames
// and then the rest.
class AudioReframerPassesSamples : public ::testing::TestWithParam<std::tuple<size_t, int, size_t>> {};

TEST_P(AudioReframerPassesSamples, InOrderNoneLostOrAdded) {
    const auto [frame_length, channels, piece] = GetParam();
    AudioReframer reframer(48000, channels, frame_length);
    std::vector<Pushed> pieces(13, Pushed{piece, 0, false});
    int16_t next = 0;
    std::vector<AudioReframer::Frame> frames = Reframe(reframer, channels, pieces, next);
    const size_t total = 13 * piece;
    EXPECT_EQ(frames.size(), total / frame_length);
    EXPECT_EQ(reframer.pending(), total % frame_length);
    AudioReframer::Frame rest;
    if (total % frame_length != 0) {
        ASSERT_TRUE(reframer.PopRest(rest));
        frames.push_back(rest);
    }
    EXPECT_FALSE(reframer.PopRest(rest));
    std::vector<int16_t> joined;
    for (const auto& frame : frames) {
        joined.insert(joined.end(), frame.samples.begin(), frame.samples.end());
    }
    std::vector<int16_t> expected(total * static_cast<size_t>(channels));
    std::iota(expected.begin(), expected.end(), int16_t{0});
    EXPECT_EQ(joined, expected);
}

INSTANTIATE_TEST_SUITE_P(Shapes, AudioReframerPassesSamples,
                         ::testing::Values(std::make_tuple(480, 1, 480), std::make_tuple(480, 2, 441),
                                           std::make_tuple(160, 2, 1000), std::make_tuple(1000, 1, 160),
                                           std::make_tuple(1, 6, 7), std::make_tuple(7, 1, 1)));

TEST(AudioReframer, AFramesPtsIsItsFirstSamplesOwnAdvancedWithinItsPush) {
    AudioReframer reframer(48000, 1, 720);  // 15 ms frames from 10 ms pushes
    int16_t next = 0;
    // A gap in the sender's pts (20 -> 100) stays where it is.
    const auto frames = Reframe(
        reframer, 1,
        {{480, 0, false}, {480, 10, false}, {480, 20, false}, {480, 100, false}, {480, 110, false}, {480, 120, false}},
        next);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].pts, 0u);
    EXPECT_EQ(frames[1].pts, 15u);
    EXPECT_EQ(frames[2].pts, 100u);
    EXPECT_EQ(frames[3].pts, 115u);
}

TEST(AudioReframer, PtsRoundsDownAndWrapsLikeTheSenders) {
    AudioReframer reframer(44100, 1, 100);
    int16_t next = 0;
    const auto frames = Reframe(reframer, 1, {{441, 4294967290u, false}}, next);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[1].pts, 4294967292u);  // 100 samples: 2.27 ms
    EXPECT_EQ(frames[2].pts, 4294967294u);  // 200 samples: 4.54 ms
    EXPECT_EQ(frames[3].pts, 0u);           // 300 samples: 6.80 ms, past the top
}

// frame length, and whether each of its three frames has voice, for pushes of 480 samples of
// which only the second has voice.
class AudioReframerVoice : public ::testing::TestWithParam<std::tuple<size_t, std::vector<bool>>> {};

TEST_P(AudioReframerVoice, AFrameHasVoiceWhenAnyPushItDrawsFromHad) {
    const auto& [frame_length, expected] = GetParam();
    AudioReframer reframer(48000, 1, frame_length);
    const std::vector<int16_t> samples(480, 1);
    for (int push = 0; push < 3; ++push) {
        reframer.Push(samples.data(), samples.size(), static_cast<uint32_t>(push * 10), push == 1, Clock::now());
    }
    std::vector<bool> voice;
    AudioReframer::Frame frame;
    while (reframer.Pop(frame) || reframer.PopRest(frame)) {
        voice.push_back(frame.has_voice);
    }
    EXPECT_EQ(voice, expected);
}

INSTANTIATE_TEST_SUITE_P(Lengths, AudioReframerVoice,
                         ::testing::Values(std::make_tuple(480, std::vector<bool>{false, true, false}),
                                           std::make_tuple(720, std::vector<bool>{true, true}),
                                           std::make_tuple(479, std::vector<bool>{false, true, true, false})));

TEST(AudioReframer, AfterTheRestTheNextPushStartsAFrameOfItsOwn) {
    AudioReframer reframer(48000, 1, 480);
    int16_t next = 0;
    Reframe(reframer, 1, {{100, 0, true}}, next);
    AudioReframer::Frame rest;
    ASSERT_TRUE(reframer.PopRest(rest));
    EXPECT_EQ(rest.samples.size(), 100u);
    EXPECT_TRUE(rest.has_voice);
    const auto frames = Reframe(reframer, 1, {{480, 500, false}}, next);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].pts, 500u);
    EXPECT_FALSE(frames[0].has_voice);
    EXPECT_EQ(frames[0].samples.front(), 100);
}

}  // namespace
}  // namespace loopback
}  // namespace mirelo
