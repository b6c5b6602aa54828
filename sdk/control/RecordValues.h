#ifndef MIRELO_SDK_RECORD_VALUES_H
#define MIRELO_SDK_RECORD_VALUES_H

#include "api/Vendor.h"
#include "control/Value.h"

namespace mirelo {
namespace loopback {

// Records and frames as journal values: dicts of their fields under the Python names, texts as
// bytes (None for a holder without text), enumerations as ints. A frame's payload (and an audio
// frame's extra data) is kept, shared rather than copied, only when the configuration's
// journal_frame_payloads asks for it, and None otherwise; its size is there either way, under
// "size" (and "extra_data_size").
// Secrets (user_sig, private_map_key, a proxy's password) never enter the journal: only whether
// one was given, as a bool.
class RecordValues {
public:
    static Value Secret(const char* text);  // true for a non-empty text
    static Value Secret(const QoltString& text);
    static Value Of(const QoltString& text);
    static Value Of(const RoomParams& params);
    static Value Of(const EnterRoomParams& params);
    static Value Of(const AudioObtainParams& params);
    static Value Of(const AudioEncodeParams& params);
    static Value Of(const VideoEncodeParams& params);
    static Value Of(const VADParams& params);
    static Value Of(const UserInfo& info);
    static Value Of(const NetworkQualityInfo& info);
    static Value Of(const AudioFrame& frame);
    static Value Of(const VideoFrame& frame);
    static Value Of(const PixelFrame& frame);
    static Value Of(const AudioFrame* frame);  // None for null
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_RECORD_VALUES_H
