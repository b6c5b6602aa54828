#ifndef MIRELO_SDK_AUDIO_ROUTER_H
#define MIRELO_SDK_AUDIO_ROUTER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api/Vendor.h"
#include "media/AudioFormatConverter.h"
#include "media/AudioMixer.h"
#include "media/AudioReframer.h"
#include "rooms/CloudState.h"
#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

// Audio from a sender to the members of its room that subscribe to it. A sender's frame is
// converted once into each output format (rate and channels) that its receivers take, and the
// converted samples are shared by every receiver of that format; each receiver then either takes
// each sender's audio apart, in frames of its own length (callback without mixing), or mixes all
// senders (GetAudioFrame, or callback with mixing).
//
// A format's conversion is one continuous stream while any receiver takes it: a receiver that
// subscribes, or enters with that format, mid-stream gets the same samples as the others from its
// first frame on. It ends when a frame of the sender's finds no receiver of that format, or when
// the sender's audio stops (ForgetSender); a receiver of that format after that starts a new one.
//
// The room service calls it under its own lock, which keeps the members, their subscriptions and
// their queues in place; this lock guards what the router keeps per sender (conversions) and per
// receiver (reframers, the mix), which callers' threads and the clock thread share. Events are
// only queued.
class AudioRouter {
public:
    // A mixed frame waits for every sender's share, but never longer than this many frames.
    static constexpr size_t kMaxMixLagFrames = 3;
    // A sender's audio that pauses this long ends a stretch: per-user frames never span the pause.
    static constexpr auto kMaxAudioGap = std::chrono::milliseconds(200);

    // The mix of a cloud about to enter a room, made before anything changes since it may fail.
    static std::unique_ptr<AudioMixer> NewMixer(const AudioObtainParams& obtain, size_t audio_buffer_ms);

    void AddReceiver(uint64_t handle) EXCLUDES(mutex_);
    void RemoveReceiver(uint64_t handle) noexcept EXCLUDES(mutex_);
    // The receiver entered a room with this mix (NewMixer).
    void Join(uint64_t handle, std::unique_ptr<AudioMixer> mixer) noexcept EXCLUDES(mutex_);
    // The receiver left its room: what it received and has not handed out yet is counted as dropped.
    void Leave(CloudState& leaver) EXCLUDES(mutex_);

    // The receiver's mix now waits for this sender too.
    void AddSource(uint64_t receiver, uint64_t sender) EXCLUDES(mutex_);
    // The receiver stops getting this sender's audio; the mix hands out what it no longer waits for.
    void EndSender(CloudState& receiver, uint64_t sender, const std::string& user_id) EXCLUDES(mutex_);
    // The sender's audio stops for every other member.
    void ForgetSender(CloudState& sender, const std::vector<CloudState*>& members) EXCLUDES(mutex_);

    // Hands the sender's frame to every member that subscribes to its audio.
    void Route(CloudState& sender, const std::vector<CloudState*>& members, const AudioFrame& frame) EXCLUDES(mutex_);
    // The receiver's next mixed frame, for GetAudioFrame; false when a whole frame is not there yet.
    bool PopMixed(CloudState& receiver, AudioFrame& frame) EXCLUDES(mutex_);

private:
    // A sender's audio in one output format.
    struct Conversion {
        int rate;
        int channels;
        std::unique_ptr<AudioFormatConverter> converter;
        std::vector<int16_t> samples;  // the frame being routed, converted
        bool current = false;          // samples hold that frame: a receiver of this format took it
    };

    struct Receiver {
        // A reframer per sender, or the mix.
        std::map<uint64_t, AudioReframer> reframers;
        std::unique_ptr<AudioMixer> mixer;  // while in a room
        uint32_t mixed_pts = 0;             // milliseconds of mixed audio handed out
    };

    Receiver* FindLocked(uint64_t handle) REQUIRES(mutex_);
    void EndSenderLocked(CloudState& receiver, Receiver& state, uint64_t sender, const std::string& user_id)
        REQUIRES(mutex_);
    void DrainMixLocked(CloudState& receiver, Receiver& state) REQUIRES(mutex_);
    // The frame in the receiver's output format, converted by the first receiver of that format.
    const std::vector<int16_t>& ConvertedLocked(std::vector<Conversion>& conversions, const AudioFrame& sent,
                                                const std::vector<int16_t>& samples, const AudioObtainParams& obtain)
        REQUIRES(mutex_);

    Mutex mutex_{LockRank::kAudio};
    std::map<uint64_t, Receiver> receivers_ GUARDED_BY(mutex_);  // by cloud handle, from AddCloud to RemoveCloud
    // By sender handle: the formats its receivers took with its last frame.
    std::map<uint64_t, std::vector<Conversion>> conversions_ GUARDED_BY(mutex_);
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_AUDIO_ROUTER_H
