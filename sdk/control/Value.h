#ifndef MIRELO_SDK_VALUE_H
#define MIRELO_SDK_VALUE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/FramePayload.h"

// What the loopback exports beyond the SDK: its control API (see control/Control.h).
#ifndef MIRELO_CONTROL
#define MIRELO_CONTROL __attribute__((visibility("default")))
#endif

namespace mirelo {
namespace loopback {

// A plain value tree, what the control API reads and takes: journal arguments, failures, statistics,
// settings and tunables.
class MIRELO_CONTROL Value {
public:
    enum class Tag : uint8_t { kNone = 0, kBool = 1, kInt = 2, kUInt = 3, kBytes = 4, kList = 5, kDict = 6, kReal = 7 };

    Value() = default;

    static Value None() { return Value(); }
    static Value Bool(bool value);
    static Value Int(int64_t value);
    static Value UInt(uint64_t value);
    static Value Real(double value);
    static Value Bytes(const void* data, size_t size);
    static Value Bytes(FramePayload::Bytes shared);  // shares the block, no copy
    // Bytes that live inside `owner` (a frame copy, say), kept alive with it: no copy either.
    static Value SharedBytes(std::shared_ptr<const void> owner, const uint8_t* data, size_t size);
    static Value Text(const char* text);  // null gives kNone
    static Value Text(const std::string& text);
    static Value List(std::vector<Value> items);
    static Value Dict();

    Value& Add(std::string name, Value value);  // appends a field to a dict
    Value& Append(Value value);                 // appends an item to a list

    Tag tag() const { return tag_; }
    bool is_none() const { return tag_ == Tag::kNone; }
    bool as_bool() const { return bool_; }
    int64_t as_int() const { return int_; }
    uint64_t as_uint() const { return uint_; }
    double as_real() const { return real_; }
    const uint8_t* bytes_data() const { return bytes_data_; }
    size_t bytes_size() const { return bytes_size_; }
    std::string as_string() const;
    const std::vector<Value>& items() const { return items_; }
    const std::vector<std::string>& names() const { return names_; }
    const Value* Field(const std::string& name) const;  // null when absent or not a dict

    // Bytes of payload this value keeps alive (shared blocks counted in full).
    size_t payload_bytes() const;

private:
    Tag tag_ = Tag::kNone;
    bool bool_ = false;
    int64_t int_ = 0;
    uint64_t uint_ = 0;
    double real_ = 0.0;
    std::shared_ptr<const void> bytes_owner_;
    const uint8_t* bytes_data_ = nullptr;  // inside *bytes_owner_
    size_t bytes_size_ = 0;
    std::vector<Value> items_;        // list items, or dict values
    std::vector<std::string> names_;  // dict field names, parallel to items_
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_VALUE_H
