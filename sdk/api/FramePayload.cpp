#include "api/FramePayload.h"

namespace mirelo {
namespace loopback {

void* FramePayload::Create() { return std::make_unique<FramePayload>().release(); }

void* FramePayload::Copy(const void* handle) { return std::make_unique<FramePayload>(Of(handle)).release(); }

void FramePayload::Assign(void* handle, const void* other) { Of(handle) = Of(other); }

void FramePayload::Free(void* handle) { std::unique_ptr<FramePayload> owned(static_cast<FramePayload*>(handle)); }

FramePayload::Bytes FramePayload::MakeBytes(const uint8_t* data, size_t size) {
    if (size == 0 || data == nullptr) {
        return nullptr;
    }
    return std::make_shared<const std::vector<uint8_t>>(data, data + size);
}

}  // namespace loopback
}  // namespace mirelo
