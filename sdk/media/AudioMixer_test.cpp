#include "media/AudioMixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <ostream>
#include <random>
#include <vector>

namespace mirelo {
namespace loopback {
namespace {

int16_t Clamped(int64_t value) { return static_cast<int16_t>(std::clamp<int64_t>(value, -32768, 32767)); }

struct SaturationCase {
    int16_t accumulated;
    int16_t added;
    int16_t expected;
};

void PrintTo(const SaturationCase& c, std::ostream* os) { *os << c.accumulated << " + " << c.added; }

class MixIntoSaturates : public ::testing::TestWithParam<SaturationCase> {};

TEST_P(MixIntoSaturates, InsteadOfWrapping) {
    const SaturationCase& c = GetParam();
    int16_t accumulator[] = {c.accumulated, c.added};
    const int16_t samples[] = {c.added, c.accumulated};
    AudioMixer::MixInto(accumulator, samples, 2);
    EXPECT_EQ(accumulator[0], c.expected);
    EXPECT_EQ(accumulator[1], c.expected);
}

INSTANTIATE_TEST_SUITE_P(Sums, MixIntoSaturates,
                         ::testing::Values(SaturationCase{30000, 30000, 32767}, SaturationCase{-30000, -30000, -32768},
                                           SaturationCase{32767, 1, 32767}, SaturationCase{-32768, -1, -32768},
                                           SaturationCase{32767, -32768, -1}, SaturationCase{100, -250, -150}));

TEST(AudioMixer, ClampsTheSumOnceAfterAddingEverySource) {
    AudioMixer mixer(16);
    const int16_t loud[] = {30000, -30000};
    const int16_t opposite[] = {-30000, 30000};
    mixer.Push(1, loud, 2);
    mixer.Push(2, loud, 2);
    mixer.Push(3, opposite, 2);
    std::vector<int16_t> out;
    ASSERT_TRUE(mixer.Pop(2, out));
    // Clamping after each source would give 32767 - 30000 = 2767.
    EXPECT_EQ(out, (std::vector<int16_t>{30000, -30000}));
}

TEST(AudioMixer, PadsShortSourcesWithSilenceAndWaitsForTheLongest) {
    AudioMixer mixer(16);
    const int16_t a[] = {1, 2, 3, 4};
    const int16_t b[] = {10};
    mixer.Push(1, a, 4);
    mixer.Push(2, b, 1);
    std::vector<int16_t> out = {7, 7, 7, 7, 7, 7};
    EXPECT_FALSE(mixer.Pop(5, out));
    EXPECT_FALSE(mixer.Pop(0, out));
    EXPECT_EQ(out, (std::vector<int16_t>(6, 7)));  // untouched
    EXPECT_EQ(mixer.buffered(), 4u);
    EXPECT_EQ(mixer.shortest(), 1u);
    EXPECT_EQ(mixer.held(), 5u);
    ASSERT_TRUE(mixer.Pop(3, out));
    EXPECT_EQ(out, (std::vector<int16_t>{11, 2, 3}));
    ASSERT_TRUE(mixer.Pop(1, out));
    EXPECT_EQ(out, (std::vector<int16_t>{4}));
    EXPECT_EQ(mixer.held(), 0u);
}

TEST(AudioMixer, OverflowDropsTheOldestSamplesAndCountsThem) {
    AudioMixer mixer(4);
    const int16_t first[] = {1, 2, 3};
    const int16_t second[] = {4, 5, 6};
    EXPECT_EQ(mixer.Push(9, first, 3), 0u);
    EXPECT_EQ(mixer.Push(9, second, 3), 2u);
    const int16_t huge[] = {7, 8, 9, 10, 11, 12};
    EXPECT_EQ(mixer.Push(8, huge, 6), 2u);  // only its newest four fit
    EXPECT_EQ(mixer.dropped_samples(), 4u);
    std::vector<int16_t> out;
    ASSERT_TRUE(mixer.Pop(4, out));
    EXPECT_EQ(out, (std::vector<int16_t>{3 + 9, 4 + 10, 5 + 11, 6 + 12}));
}

TEST(AudioMixer, GrowsAWrappedFifoWithoutReordering) {
    AudioMixer mixer(64);
    const int16_t first[] = {1, 2, 3, 4};
    const int16_t second[] = {5, 6};
    const int16_t third[] = {7, 8, 9};
    std::vector<int16_t> out;
    mixer.Push(1, first, 4);
    ASSERT_TRUE(mixer.Pop(2, out));
    mixer.Push(1, second, 2);  // wraps around the end of the storage
    mixer.Push(1, third, 3);   // grows it
    ASSERT_TRUE(mixer.Pop(7, out));
    EXPECT_EQ(out, (std::vector<int16_t>{3, 4, 5, 6, 7, 8, 9}));
}

TEST(AudioMixer, ALimitOfZeroKeepsNothing) {
    AudioMixer mixer(0);
    const int16_t samples[] = {1, 2};
    EXPECT_EQ(mixer.Push(1, samples, 2), 2u);
    std::vector<int16_t> out;
    EXPECT_FALSE(mixer.Pop(1, out));
}

TEST(AudioMixer, RemovedSourceStopsContributingAndIsNotCountedAsDropped) {
    AudioMixer mixer(8);
    const int16_t samples[] = {5, 5, 5};
    mixer.Push(1, samples, 3);
    mixer.Push(2, samples, 2);
    mixer.AddSource(3);
    EXPECT_EQ(mixer.shortest(), 0u);  // an expected source that has not pushed yet
    EXPECT_EQ(mixer.RemoveSource(1), 3u);
    EXPECT_EQ(mixer.RemoveSource(42), 0u);
    EXPECT_EQ(mixer.dropped_samples(), 0u);
    std::vector<int16_t> out;
    ASSERT_TRUE(mixer.Pop(2, out));
    EXPECT_EQ(out, (std::vector<int16_t>{5, 5}));
}

// Random pushes and pops against a plain model: the ring buffers wrap, grow while wrapped and
// overflow, and every mixed sample must still be the clamped sum of what each source held.
class AudioMixerMatchesModel : public ::testing::TestWithParam<size_t> {};

TEST_P(AudioMixerMatchesModel, UnderRandomPushesAndPops) {
    const size_t limit = GetParam();
    AudioMixer mixer(limit);
    std::map<uint64_t, std::deque<int16_t>> model;
    size_t model_dropped = 0;
    std::mt19937 random(static_cast<uint32_t>(limit));
    std::uniform_int_distribution<int> sample(-32768, 32767);
    for (int step = 0; step < 4000; ++step) {
        const uint64_t source = random() % 4;
        if (random() % 3 != 0) {
            // Mostly short pushes and pops, so that the rings wrap and then grow while wrapped; now
            // and then one past the limit.
            const size_t most = random() % 10 == 0 ? limit + limit / 2 + 2 : limit / 3 + 2;
            std::vector<int16_t> samples(random() % most);
            for (int16_t& s : samples) {
                s = static_cast<int16_t>(sample(random));
            }
            std::deque<int16_t>& fifo = model[source];
            fifo.insert(fifo.end(), samples.begin(), samples.end());
            size_t expected_drop = 0;
            while (fifo.size() > limit) {
                fifo.pop_front();
                ++expected_drop;
            }
            model_dropped += expected_drop;
            ASSERT_EQ(mixer.Push(source, samples.data(), samples.size()), expected_drop);
        } else {
            size_t longest = 0;
            for (const auto& entry : model) {
                longest = std::max(longest, entry.second.size());
            }
            const size_t count = 1 + random() % (limit / 2 + 1);
            std::vector<int16_t> out;
            ASSERT_EQ(mixer.Pop(count, out), count <= longest);
            if (count > longest) {
                continue;
            }
            for (size_t i = 0; i < count; ++i) {
                int64_t sum = 0;
                for (auto& entry : model) {
                    if (i < entry.second.size()) {
                        sum += entry.second[i];
                    }
                }
                ASSERT_EQ(out[i], Clamped(sum)) << "step " << step << " sample " << i;
            }
            for (auto& entry : model) {
                entry.second.erase(entry.second.begin(), entry.second.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                                                    count, entry.second.size())));
            }
        }
    }
    EXPECT_EQ(mixer.dropped_samples(), model_dropped);
}

INSTANTIATE_TEST_SUITE_P(Limits, AudioMixerMatchesModel, ::testing::Values(1, 7, 64, 960));

}  // namespace
}  // namespace loopback
}  // namespace mirelo
