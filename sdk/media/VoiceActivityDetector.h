#ifndef MIRELO_SDK_VOICE_ACTIVITY_DETECTOR_H
#define MIRELO_SDK_VOICE_ACTIVITY_DETECTOR_H

#include <cstddef>
#include <cstdint>

namespace mirelo {
namespace loopback {

// Decides whether a 16-bit PCM frame carries voice from its level alone.
class VoiceActivityDetector {
public:
    // A frame has voice when its RMS level is above this, in dB relative to full scale (32768),
    // where a full-scale sine measures about -3 dBFS.
    static constexpr double kThresholdDbfs = -40.0;

    // Interleaved channels count as one sequence of samples. Empty or null: no voice.
    static bool HasVoice(const int16_t* samples, size_t count);
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_VOICE_ACTIVITY_DETECTOR_H
