#include "api/FramePayload.h"
#include "qolt/mirelo_qolt_defines.h"

namespace mirelo {
namespace qolt {

using loopback::FramePayload;

PixelFrame::PixelFrame()
    : pts(0),
      width(0),
      height(0),
      format(VIDEO_PIXEL_FORMAT_YUV420p),
      rotation(VIDEO_ROTATION_0),
      handle_(FramePayload::Create()) {}

PixelFrame::PixelFrame(const PixelFrame& other)
    : pts(other.pts),
      width(other.width),
      height(other.height),
      format(other.format),
      rotation(other.rotation),
      handle_(FramePayload::Copy(other.handle_)) {}

PixelFrame& PixelFrame::operator=(const PixelFrame& other) {
    if (this != &other) {
        pts = other.pts;
        width = other.width;
        height = other.height;
        format = other.format;
        rotation = other.rotation;
        FramePayload::Assign(handle_, other.handle_);
    }
    return *this;
}

PixelFrame::~PixelFrame() { FramePayload::Free(handle_); }

const uint8_t* PixelFrame::data() const { return FramePayload::Of(handle_).data(); }

size_t PixelFrame::size() const { return FramePayload::Of(handle_).size(); }

void PixelFrame::SetData(const uint8_t* data, size_t size) { FramePayload::Of(handle_).SetData(data, size); }

}  // namespace qolt
}  // namespace mirelo
