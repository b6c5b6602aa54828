#include "rooms/MessageRateLimiter.h"

#include <gtest/gtest.h>

#include <chrono>

namespace mirelo {
namespace loopback {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const Clock::time_point kStart = Clock::time_point() + std::chrono::hours(1);

TEST(MessageRateLimiter, AdmitsThirtyMessagesASecondOverASlidingWindow) {
    MessageRateLimiter limiter;
    for (size_t i = 0; i < MessageRateLimiter::kMaxMessages; ++i) {
        ASSERT_TRUE(limiter.Admit(1, kStart + milliseconds(i * 10))) << i;
    }
    EXPECT_FALSE(limiter.Admit(0, kStart + milliseconds(999)));
    // A second after the first, only the first has left the window.
    EXPECT_TRUE(limiter.Admit(1, kStart + milliseconds(1000)));
    EXPECT_FALSE(limiter.Admit(1, kStart + milliseconds(1005)));
    EXPECT_TRUE(limiter.Admit(1, kStart + milliseconds(1010)));
}

TEST(MessageRateLimiter, AdmitsUpToEightKilobytesASecond) {
    MessageRateLimiter limiter;
    EXPECT_FALSE(limiter.Admit(MessageRateLimiter::kMaxBytes + 1, kStart));
    EXPECT_TRUE(limiter.Admit(MessageRateLimiter::kMaxBytes - 100, kStart));
    EXPECT_FALSE(limiter.Admit(101, kStart + milliseconds(1)));
    EXPECT_TRUE(limiter.Admit(100, kStart + milliseconds(2)));
    EXPECT_FALSE(limiter.Admit(1, kStart + milliseconds(999)));
    EXPECT_TRUE(limiter.Admit(MessageRateLimiter::kMaxBytes - 100, kStart + milliseconds(1000)));
}

TEST(MessageRateLimiter, ARefusedMessageSpendsNothing) {
    MessageRateLimiter limiter;
    for (int i = 0; i < 100; ++i) {
        ASSERT_FALSE(limiter.Admit(MessageRateLimiter::kMaxBytes + 1, kStart + milliseconds(i)));
    }
    for (size_t i = 0; i < MessageRateLimiter::kMaxMessages; ++i) {
        ASSERT_TRUE(
            limiter.Admit(MessageRateLimiter::kMaxBytes / MessageRateLimiter::kMaxMessages, kStart + milliseconds(100)))
            << i;
    }
}

}  // namespace
}  // namespace loopback
}  // namespace mirelo
