#ifndef MIRELO_SDK_FRAME_ACCESS_H
#define MIRELO_SDK_FRAME_ACCESS_H

#include "api/FramePayload.h"
#include "api/Vendor.h"

namespace mirelo {
namespace loopback {

// The payload storage behind a frame. The public frame classes expose their payload only as a
// pointer and a size, and an AudioFrame's extra data not at all; the library itself needs the
// shared blocks, to journal and fan out payloads without copying them.
class FrameAccess {
public:
    static const FramePayload& Payload(const AudioFrame& frame);
    static const FramePayload& Payload(const VideoFrame& frame);
    static const FramePayload& Payload(const PixelFrame& frame);
    static void SetData(AudioFrame& frame, FramePayload::Bytes bytes);
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_FRAME_ACCESS_H
