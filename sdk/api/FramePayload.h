#ifndef MIRELO_SDK_FRAME_PAYLOAD_H
#define MIRELO_SDK_FRAME_PAYLOAD_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace mirelo {
namespace loopback {

// What a frame's handle_ points to. The byte blocks are immutable once made, so copies of a frame
// share them: copying a frame (which every delivered event does) costs no payload copy, and a copy
// stays valid after its source is gone.
class FramePayload {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

    static void* Create();
    static void* Copy(const void* handle);
    static void Assign(void* handle, const void* other);
    static void Free(void* handle);
    static FramePayload& Of(void* handle) { return *static_cast<FramePayload*>(handle); }
    static const FramePayload& Of(const void* handle) { return *static_cast<const FramePayload*>(handle); }

    static Bytes MakeBytes(const uint8_t* data, size_t size);

    const uint8_t* data() const { return data_ ? data_->data() : nullptr; }
    size_t size() const { return data_ ? data_->size() : 0; }
    const Bytes& bytes() const { return data_; }
    const Bytes& extra() const { return extra_; }
    void SetData(const uint8_t* data, size_t size) { data_ = MakeBytes(data, size); }
    void SetData(Bytes bytes) { data_ = std::move(bytes); }
    void SetExtraData(const uint8_t* data, size_t size) { extra_ = MakeBytes(data, size); }

private:
    Bytes data_;
    Bytes extra_;
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_FRAME_PAYLOAD_H
