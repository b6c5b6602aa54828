#include <memory>
#include <string>

#include "qolt/mirelo_qolt_defines.h"

namespace mirelo {
namespace qolt {

// handle_ is a std::string* owned by the holder, or null when the holder holds no text.
namespace {

std::string* Text(void* handle) { return static_cast<std::string*>(handle); }

void* MakeText(const char* value) {
    return value == nullptr ? nullptr : std::make_unique<std::string>(value).release();
}

void FreeText(void* handle) { std::unique_ptr<std::string> owned(Text(handle)); }

}  // namespace

QoltString::QoltString() : handle_(MakeText("")) {}

QoltString::QoltString(const char* value) : handle_(MakeText(value)) {}

QoltString::QoltString(const QoltString& other)
    : handle_(other.handle_ == nullptr ? nullptr : std::make_unique<std::string>(*Text(other.handle_)).release()) {}

QoltString& QoltString::operator=(const QoltString& other) {
    if (this != &other) {
        SetValue(other.GetValue());
    }
    return *this;
}

QoltString& QoltString::operator=(const char* value) {
    SetValue(value);
    return *this;
}

QoltString::~QoltString() { FreeText(handle_); }

const char* QoltString::GetValue() const { return handle_ == nullptr ? nullptr : Text(handle_)->c_str(); }

void QoltString::SetValue(const char* value) {
    if (value != nullptr && handle_ != nullptr) {
        Text(handle_)->assign(value);  // value may point into our own text
        return;
    }
    void* replacement = MakeText(value);
    FreeText(handle_);
    handle_ = replacement;
}

}  // namespace qolt
}  // namespace mirelo
