#include "control/Configuration.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

namespace mirelo {
namespace loopback {
namespace {

using Values = Configuration::Values;

constexpr int64_t kMaxEventThreads = 256;

// The fields, each with its range: the one definition of both, for Apply and for Ranges. A field
// is a whole number, or a floating-point one (the interval in seconds, the loss as a probability).
struct Field {
    const char* name;
    uint64_t Values::*whole;  // null for a floating-point field
    int64_t low;
    int64_t high;
    double real_low;
    double real_high;
    void (*store)(Values& values, double number);
    double (*load)(const Values& values);
};

const Field kFields[] = {
    {"network_quality_interval", nullptr, 0, 0, 0.01, 86400.0,
     [](Values& v, double n) { v.network_quality_interval_ms = std::llround(n * 1000.0); },
     [](const Values& v) { return static_cast<double>(v.network_quality_interval_ms) / 1000.0; }},
    {"custom_message_loss", nullptr, 0, 0, 0.0, 1.0, [](Values& v, double n) { v.custom_message_loss = n; },
     [](const Values& v) { return v.custom_message_loss; }},
    {"custom_message_seed", &Values::custom_message_seed, 0, INT64_MAX, 0, 0, nullptr, nullptr},
    {"media_queue_bound", &Values::media_queue_bound, 1, int64_t{1} << 20, 0, 0, nullptr, nullptr},
    {"audio_buffer_ms", &Values::audio_buffer_ms, 10, 60000, 0, 0, nullptr, nullptr},
    {"journal_entries", &Values::journal_entries, 1, 10000000, 0, 0, nullptr, nullptr},
    {"journal_payload_bytes", &Values::journal_payload_bytes, 0, INT64_MAX, 0, 0, nullptr, nullptr},
    {"journal_frame_payloads", &Values::journal_frame_payloads, 0, 1, 0, 0, nullptr, nullptr},
    {"event_threads", &Values::event_threads, 0, kMaxEventThreads, 0, 0, nullptr, nullptr},
    {"event_stall_ms", &Values::event_stall_ms, 1, 60000, 0, 0, nullptr, nullptr},
};

const Field* FindField(const std::string& name) {
    for (const Field& field : kFields) {
        if (name == field.name) {
            return &field;
        }
    }
    return nullptr;
}

Value Number(const Field& field, const Values& values) {
    return field.whole == nullptr ? Value::Real(field.load(values))
                                  : Value::Int(static_cast<int64_t>(values.*field.whole));
}

// Stores one field's value when it is of the field's kind and within its range.
bool Store(const Field& field, const Value& value, Values& values) {
    if (field.whole == nullptr) {
        if (value.tag() != Value::Tag::kReal ||
            !(value.as_real() >= field.real_low && value.as_real() <= field.real_high)) {
            return false;
        }
        field.store(values, value.as_real());
    } else {
        if (value.tag() != Value::Tag::kInt || value.as_int() < field.low || value.as_int() > field.high) {
            return false;
        }
        values.*field.whole = static_cast<uint64_t>(value.as_int());
    }
    return true;
}

}  // namespace

uint64_t Configuration::DefaultEventThreads() {
    return static_cast<uint64_t>(std::clamp<int64_t>(std::thread::hardware_concurrency(), 1, kMaxEventThreads));
}

Configuration::Values Configuration::values() const {
    MutexLock lock(mutex_);
    return values_;
}

bool Configuration::Apply(const Value& settings, std::string& error) {
    if (settings.tag() != Value::Tag::kDict) {
        error = "settings";
        return false;
    }
    MutexLock lock(mutex_);
    Values next = values_;
    for (size_t i = 0; i < settings.names().size(); ++i) {
        const Field* field = FindField(settings.names()[i]);
        if (field == nullptr || !Store(*field, settings.items()[i], next)) {
            error = settings.names()[i];
            return false;
        }
    }
    values_ = next;
    return true;
}

Value Configuration::Snapshot() const {
    MutexLock lock(mutex_);
    Value snapshot = Value::Dict();
    for (const Field& field : kFields) {
        snapshot.Add(field.name, Number(field, values_));
    }
    return snapshot;
}

Value Configuration::Defaults() {
    const Values defaults;
    Value values = Value::Dict();
    for (const Field& field : kFields) {
        values.Add(field.name, Number(field, defaults));
    }
    return values;
}

Value Configuration::Ranges() {
    const Values defaults;
    Value ranges = Value::Dict();
    for (const Field& field : kFields) {
        const bool real = field.whole == nullptr;
        Value range = Value::Dict();
        range.Add("min", real ? Value::Real(field.real_low) : Value::Int(field.low))
            .Add("max", real ? Value::Real(field.real_high) : Value::Int(field.high))
            .Add("default", Number(field, defaults));
        ranges.Add(field.name, std::move(range));
    }
    return ranges;
}

}  // namespace loopback
}  // namespace mirelo
