#include "control/Configuration.h"

#include <cmath>
#include <cstring>

namespace mirelo {
namespace loopback {
namespace {

using Values = Configuration::Values;

// The fields, each with its range: the one definition of both, for Apply and for Ranges.
struct Field {
    const char* name;
    int64_t low;
    int64_t high;
    void (*store)(Values& values, int64_t number);
    int64_t (*load)(const Values& values);
};

// The loss crosses the interface in parts per million: the value encoding has no floating point.
constexpr int64_t kPpm = 1000000;

const Field kFields[] = {
    {"network_quality_interval_ms", 10, int64_t{24} * 3600 * 1000,
     [](Values& v, int64_t n) { v.network_quality_interval_ms = n; },
     [](const Values& v) { return v.network_quality_interval_ms; }},
    {"custom_message_loss_ppm", 0, kPpm,
     [](Values& v, int64_t n) { v.custom_message_loss = static_cast<double>(n) / kPpm; },
     [](const Values& v) { return static_cast<int64_t>(std::llround(v.custom_message_loss * kPpm)); }},
    {"custom_message_seed", 0, INT64_MAX,
     [](Values& v, int64_t n) { v.custom_message_seed = static_cast<uint64_t>(n); },
     [](const Values& v) { return static_cast<int64_t>(v.custom_message_seed); }},
    {"media_queue_bound", 1, int64_t{1} << 20,
     [](Values& v, int64_t n) { v.media_queue_bound = static_cast<size_t>(n); },
     [](const Values& v) { return static_cast<int64_t>(v.media_queue_bound); }},
    {"audio_buffer_ms", 10, 60000,
     [](Values& v, int64_t n) { v.audio_buffer_ms = static_cast<size_t>(n); },
     [](const Values& v) { return static_cast<int64_t>(v.audio_buffer_ms); }},
    {"journal_entries", 1, 10000000,
     [](Values& v, int64_t n) { v.journal_entries = static_cast<size_t>(n); },
     [](const Values& v) { return static_cast<int64_t>(v.journal_entries); }},
    {"journal_payload_bytes", 0, INT64_MAX,
     [](Values& v, int64_t n) { v.journal_payload_bytes = static_cast<size_t>(n); },
     [](const Values& v) { return static_cast<int64_t>(v.journal_payload_bytes); }},
};

const Field* FindField(const std::string& name) {
    for (const Field& field : kFields) {
        if (name == field.name) {
            return &field;
        }
    }
    return nullptr;
}

bool ReadInteger(const Value& value, int64_t low, int64_t high, int64_t& out) {
    if (value.tag() == Value::Tag::kInt) {
        out = value.as_int();
    } else if (value.tag() == Value::Tag::kUInt && value.as_uint() <= static_cast<uint64_t>(INT64_MAX)) {
        out = static_cast<int64_t>(value.as_uint());
    } else {
        return false;
    }
    return out >= low && out <= high;
}

}  // namespace

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
        const std::string& name = settings.names()[i];
        const Field* field = FindField(name);
        int64_t number = 0;
        if (field == nullptr || !ReadInteger(settings.items()[i], field->low, field->high, number)) {
            error = name;
            return false;
        }
        field->store(next, number);
    }
    values_ = next;
    return true;
}

Value Configuration::Snapshot() const {
    MutexLock lock(mutex_);
    Value snapshot = Value::Dict();
    for (const Field& field : kFields) {
        snapshot.Add(field.name, Value::Int(field.load(values_)));
    }
    return snapshot;
}

Value Configuration::Ranges() {
    const Values defaults;
    Value ranges = Value::Dict();
    for (const Field& field : kFields) {
        Value range = Value::Dict();
        range.Add("min", Value::Int(field.low)).Add("max", Value::Int(field.high)).Add("default", Value::Int(field.load(defaults)));
        ranges.Add(field.name, std::move(range));
    }
    return ranges;
}

}  // namespace loopback
}  // namespace mirelo
