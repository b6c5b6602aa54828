#include "media/VoiceActivityDetector.h"

#include <cmath>

namespace mirelo {
namespace loopback {

bool VoiceActivityDetector::HasVoice(const int16_t* samples, size_t count) {
    if (samples == nullptr || count == 0) {
        return false;
    }
    // Compare mean squares rather than decibels: no logarithm per frame.
    static const double threshold = [] {
        const double amplitude = 32768.0 * std::pow(10.0, kThresholdDbfs / 20.0);
        return amplitude * amplitude;
    }();
    // Exact integer sum: each square is below 2^30, so it cannot overflow for any real frame.
    uint64_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        const int32_t s = samples[i];
        sum += static_cast<uint64_t>(s * s);
    }
    return static_cast<double>(sum) / static_cast<double>(count) > threshold;
}

}  // namespace loopback
}  // namespace mirelo
