#include "control/Value.h"

#include <cstring>
#include <utility>

namespace mirelo {
namespace loopback {

Value Value::Bool(bool value) {
    Value result;
    result.tag_ = Tag::kBool;
    result.bool_ = value;
    return result;
}

Value Value::Int(int64_t value) {
    Value result;
    result.tag_ = Tag::kInt;
    result.int_ = value;
    return result;
}

Value Value::Real(double value) {
    Value result;
    result.tag_ = Tag::kReal;
    result.real_ = value;
    return result;
}

Value Value::UInt(uint64_t value) {
    Value result;
    result.tag_ = Tag::kUInt;
    result.uint_ = value;
    return result;
}

Value Value::Bytes(const void* data, size_t size) {
    return Bytes(FramePayload::MakeBytes(static_cast<const uint8_t*>(data), size));
}

Value Value::Bytes(FramePayload::Bytes shared) {
    const uint8_t* data = shared ? shared->data() : nullptr;
    const size_t size = shared ? shared->size() : 0;
    return SharedBytes(std::move(shared), data, size);
}

Value Value::SharedBytes(std::shared_ptr<const void> owner, const uint8_t* data, size_t size) {
    Value result;
    result.tag_ = Tag::kBytes;
    if (size != 0 && data != nullptr) {
        result.bytes_owner_ = std::move(owner);
        result.bytes_data_ = data;
        result.bytes_size_ = size;
    }
    return result;
}

Value Value::Text(const char* text) { return text == nullptr ? None() : Bytes(text, std::strlen(text)); }

Value Value::Text(const std::string& text) { return Bytes(text.data(), text.size()); }

Value Value::List(std::vector<Value> items) {
    Value result;
    result.tag_ = Tag::kList;
    result.items_ = std::move(items);
    return result;
}

Value Value::Dict() {
    Value result;
    result.tag_ = Tag::kDict;
    return result;
}

Value& Value::Add(std::string name, Value value) {
    names_.push_back(std::move(name));
    items_.push_back(std::move(value));
    return *this;
}

Value& Value::Append(Value value) {
    items_.push_back(std::move(value));
    return *this;
}

std::string Value::as_string() const {
    return bytes_size_ == 0 ? std::string() : std::string(reinterpret_cast<const char*>(bytes_data_), bytes_size_);
}

const Value* Value::Field(const std::string& name) const {
    if (tag_ != Tag::kDict) {
        return nullptr;
    }
    for (size_t i = 0; i < names_.size(); ++i) {
        if (names_[i] == name) {
            return &items_[i];
        }
    }
    return nullptr;
}

size_t Value::payload_bytes() const {
    size_t total = bytes_size();
    for (const Value& item : items_) {
        total += item.payload_bytes();
    }
    return total;
}

}  // namespace loopback
}  // namespace mirelo
