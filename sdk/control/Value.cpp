#include "control/Value.h"

#include <cstring>
#include <stdexcept>
#include <utility>

namespace mirelo {
namespace loopback {
namespace {

uint8_t* PutU32(uint8_t* out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        *out++ = static_cast<uint8_t>(value >> shift);
    }
    return out;
}

uint8_t* PutU64(uint8_t* out, uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8) {
        *out++ = static_cast<uint8_t>(value >> shift);
    }
    return out;
}

uint8_t* PutBytes(uint8_t* out, const void* data, size_t size) {
    if (size != 0) {
        std::memcpy(out, data, size);
    }
    return out + size;
}

// The bytes of a 32-bit length field for `length`, which must fit in it.
size_t LengthField(size_t length) {
    if (length > UINT32_MAX) {
        throw std::length_error("a value too long for the control interface's encoding");
    }
    return 4;
}

bool GetU32(const uint8_t*& cursor, const uint8_t* end, uint32_t& value) {
    if (end - cursor < 4) {
        return false;
    }
    value = 0;
    for (int i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(cursor[i]) << (8 * i);
    }
    cursor += 4;
    return true;
}

bool GetU64(const uint8_t*& cursor, const uint8_t* end, uint64_t& value) {
    if (end - cursor < 8) {
        return false;
    }
    value = 0;
    for (int i = 0; i < 8; ++i) {
        value |= static_cast<uint64_t>(cursor[i]) << (8 * i);
    }
    cursor += 8;
    return true;
}

}  // namespace

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

size_t Value::EncodedSize() const {
    size_t size = 1;
    switch (tag_) {
        case Tag::kNone:
            break;
        case Tag::kBool:
            size += 1;
            break;
        case Tag::kInt:
        case Tag::kUInt:
            size += 8;
            break;
        case Tag::kBytes:
            size += LengthField(bytes_size_) + bytes_size_;
            break;
        case Tag::kList:
        case Tag::kDict:
            size += LengthField(items_.size());
            for (size_t i = 0; i < items_.size(); ++i) {
                if (tag_ == Tag::kDict) {
                    size += LengthField(names_[i].size()) + names_[i].size();
                }
                size += items_[i].EncodedSize();
            }
            break;
    }
    return size;
}

uint8_t* Value::EncodeInto(uint8_t* out) const {
    *out++ = static_cast<uint8_t>(tag_);
    switch (tag_) {
        case Tag::kNone:
            break;
        case Tag::kBool:
            *out++ = bool_ ? 1 : 0;
            break;
        case Tag::kInt:
            out = PutU64(out, static_cast<uint64_t>(int_));
            break;
        case Tag::kUInt:
            out = PutU64(out, uint_);
            break;
        case Tag::kBytes:
            out = PutU32(out, static_cast<uint32_t>(bytes_size_));
            out = PutBytes(out, bytes_data_, bytes_size_);
            break;
        case Tag::kList:
        case Tag::kDict:
            out = PutU32(out, static_cast<uint32_t>(items_.size()));
            for (size_t i = 0; i < items_.size(); ++i) {
                if (tag_ == Tag::kDict) {
                    out = PutU32(out, static_cast<uint32_t>(names_[i].size()));
                    out = PutBytes(out, names_[i].data(), names_[i].size());
                }
                out = items_[i].EncodeInto(out);
            }
            break;
    }
    return out;
}

bool Value::Decode(const uint8_t* data, size_t size, Value& out) {
    if (data == nullptr) {
        return false;
    }
    const uint8_t* cursor = data;
    const uint8_t* end = data + size;
    return DecodeAt(cursor, end, 0, out) && cursor == end;
}

bool Value::DecodeAt(const uint8_t*& cursor, const uint8_t* end, int depth, Value& out) {
    if (depth > kMaxDecodeDepth || cursor >= end) {
        return false;
    }
    const auto tag = static_cast<Tag>(*cursor++);
    uint32_t count = 0;
    uint64_t word = 0;
    switch (tag) {
        case Tag::kNone:
            out = None();
            return true;
        case Tag::kBool:
            if (cursor >= end || *cursor > 1) {
                return false;
            }
            out = Bool(*cursor++ == 1);
            return true;
        case Tag::kInt:
            if (!GetU64(cursor, end, word)) {
                return false;
            }
            out = Int(static_cast<int64_t>(word));
            return true;
        case Tag::kUInt:
            if (!GetU64(cursor, end, word)) {
                return false;
            }
            out = UInt(word);
            return true;
        case Tag::kBytes:
            if (!GetU32(cursor, end, count) || static_cast<size_t>(end - cursor) < count) {
                return false;
            }
            out = Bytes(cursor, count);
            cursor += count;
            return true;
        case Tag::kList: {
            if (!GetU32(cursor, end, count) || static_cast<size_t>(end - cursor) < count) {
                return false;  // every item takes at least its tag byte
            }
            Value list = List({});
            list.items_.reserve(count);
            for (uint32_t i = 0; i < count; ++i) {
                Value item;
                if (!DecodeAt(cursor, end, depth + 1, item)) {
                    return false;
                }
                list.items_.push_back(std::move(item));
            }
            out = std::move(list);
            return true;
        }
        case Tag::kDict: {
            if (!GetU32(cursor, end, count) || static_cast<size_t>(end - cursor) < count) {
                return false;
            }
            Value dict = Dict();
            for (uint32_t i = 0; i < count; ++i) {
                uint32_t name_size = 0;
                if (!GetU32(cursor, end, name_size) || static_cast<size_t>(end - cursor) < name_size) {
                    return false;
                }
                std::string name(reinterpret_cast<const char*>(cursor), name_size);
                cursor += name_size;
                Value item;
                if (!DecodeAt(cursor, end, depth + 1, item)) {
                    return false;
                }
                dict.Add(std::move(name), std::move(item));
            }
            out = std::move(dict);
            return true;
        }
    }
    return false;
}

}  // namespace loopback
}  // namespace mirelo
