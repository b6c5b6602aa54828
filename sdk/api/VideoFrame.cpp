#include "api/FramePayload.h"
#include "qolt/mirelo_qolt_defines.h"

namespace mirelo {
namespace qolt {

using loopback::FramePayload;

VideoFrame::VideoFrame()
    : pts(0),
      dts(0),
      is_key_frame(false),
      codec(VIDEO_CODEC_TYPE_H264),
      rotation(VIDEO_ROTATION_0),
      handle_(FramePayload::Create()) {}

VideoFrame::VideoFrame(const VideoFrame& other)
    : pts(other.pts),
      dts(other.dts),
      is_key_frame(other.is_key_frame),
      codec(other.codec),
      rotation(other.rotation),
      handle_(FramePayload::Copy(other.handle_)) {}

VideoFrame& VideoFrame::operator=(const VideoFrame& other) {
    if (this != &other) {
        pts = other.pts;
        dts = other.dts;
        is_key_frame = other.is_key_frame;
        codec = other.codec;
        rotation = other.rotation;
        FramePayload::Assign(handle_, other.handle_);
    }
    return *this;
}

VideoFrame::~VideoFrame() { FramePayload::Free(handle_); }

const uint8_t* VideoFrame::data() const { return FramePayload::Of(handle_).data(); }

size_t VideoFrame::size() const { return FramePayload::Of(handle_).size(); }

void VideoFrame::SetData(const uint8_t* data, size_t size) { FramePayload::Of(handle_).SetData(data, size); }

}  // namespace qolt
}  // namespace mirelo
