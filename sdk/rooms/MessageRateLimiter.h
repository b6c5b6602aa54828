#ifndef MIRELO_SDK_MESSAGE_RATE_LIMITER_H
#define MIRELO_SDK_MESSAGE_RATE_LIMITER_H

#include <chrono>
#include <cstddef>
#include <deque>

namespace mirelo {
namespace loopback {

// A sender's custom-message budget over the last second: at most kMaxMessages messages and
// kMaxBytes bytes. Not thread-safe: the MessageRouter locks.
class MessageRateLimiter {
public:
    static constexpr size_t kMaxMessages = 30;
    static constexpr size_t kMaxBytes = 8 * 1024;

    // Counts the message and returns true when it fits the budget; false leaves the budget as is.
    bool Admit(size_t bytes, std::chrono::steady_clock::time_point now);

private:
    struct Sent {
        std::chrono::steady_clock::time_point at;
        size_t bytes;
    };

    std::deque<Sent> window_;
    size_t window_bytes_ = 0;
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_MESSAGE_RATE_LIMITER_H
