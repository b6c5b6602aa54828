#include "rooms/MessageRateLimiter.h"

namespace mirelo {
namespace loopback {

bool MessageRateLimiter::Admit(size_t bytes, std::chrono::steady_clock::time_point now) {
    while (!window_.empty() && now - window_.front().at >= std::chrono::seconds(1)) {
        window_bytes_ -= window_.front().bytes;
        window_.pop_front();
    }
    if (window_.size() >= kMaxMessages || window_bytes_ + bytes > kMaxBytes) {
        return false;
    }
    window_.push_back(Sent{now, bytes});
    window_bytes_ += bytes;
    return true;
}

}  // namespace loopback
}  // namespace mirelo
