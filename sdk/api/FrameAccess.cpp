#include "api/FrameAccess.h"

#include <utility>

namespace mirelo {
namespace loopback {
namespace {

// The frames' handle_ is private and the public header names no friend. An explicit template
// instantiation may name a private member (access rules do not apply there): the instantiation
// below defines a friend function that hands out the member pointer, leaving the public header's
// text and layout untouched.
template <typename Frame>
struct HandleTag;

template <>
struct HandleTag<AudioFrame> {
    friend void* AudioFrame::*HandleMember(HandleTag);
};
template <>
struct HandleTag<VideoFrame> {
    friend void* VideoFrame::*HandleMember(HandleTag);
};
template <>
struct HandleTag<PixelFrame> {
    friend void* PixelFrame::*HandleMember(HandleTag);
};

template <typename Frame, void* Frame::*Member>
struct HandleExporter {
    friend void* Frame::*HandleMember(HandleTag<Frame>) { return Member; }
};

template struct HandleExporter<AudioFrame, &AudioFrame::handle_>;
template struct HandleExporter<VideoFrame, &VideoFrame::handle_>;
template struct HandleExporter<PixelFrame, &PixelFrame::handle_>;

template <typename Frame>
void* const& HandleOf(const Frame& frame) {
    return frame.*HandleMember(HandleTag<Frame>{});
}

template <typename Frame>
const FramePayload& PayloadOf(const Frame& frame) {
    return FramePayload::Of(HandleOf(frame));
}

}  // namespace

const FramePayload& FrameAccess::Payload(const AudioFrame& frame) { return PayloadOf(frame); }
const FramePayload& FrameAccess::Payload(const VideoFrame& frame) { return PayloadOf(frame); }
const FramePayload& FrameAccess::Payload(const PixelFrame& frame) { return PayloadOf(frame); }

void FrameAccess::SetData(AudioFrame& frame, FramePayload::Bytes bytes) {
    FramePayload::Of(frame.*HandleMember(HandleTag<AudioFrame>{})).SetData(std::move(bytes));
}

}  // namespace loopback
}  // namespace mirelo
