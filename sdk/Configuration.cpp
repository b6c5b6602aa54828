#include "Configuration.h"

#include <cmath>
#include <cstring>

namespace mirelo {
namespace qolt {
namespace {

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
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
}

bool Configuration::Apply(const Value& settings, std::string& error) {
    if (settings.tag() != Value::Tag::kDict) {
        error = "settings";
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Values next = values_;
    for (size_t i = 0; i < settings.names().size(); ++i) {
        const std::string& name = settings.names()[i];
        const Value& value = settings.items()[i];
        int64_t number = 0;
        bool ok = false;
        if (name == "network_quality_interval_ms") {
            ok = ReadInteger(value, 10, int64_t{24} * 3600 * 1000, number);
            next.network_quality_interval_ms = number;
        } else if (name == "custom_message_loss_ppm") {
            // The loss arrives in parts per million: the value encoding has no floating point.
            ok = ReadInteger(value, 0, 1000000, number);
            next.custom_message_loss = static_cast<double>(number) / 1e6;
        } else if (name == "custom_message_seed") {
            ok = ReadInteger(value, 0, INT64_MAX, number);
            next.custom_message_seed = static_cast<uint64_t>(number);
        } else if (name == "media_queue_bound") {
            ok = ReadInteger(value, 1, 1 << 20, number);
            next.media_queue_bound = static_cast<size_t>(number);
        } else if (name == "audio_buffer_ms") {
            ok = ReadInteger(value, 10, 60000, number);
            next.audio_buffer_ms = static_cast<size_t>(number);
        } else if (name == "journal_entries") {
            ok = ReadInteger(value, 1, 10000000, number);
            next.journal_entries = static_cast<size_t>(number);
        } else if (name == "journal_payload_bytes") {
            ok = ReadInteger(value, 0, INT64_MAX, number);
            next.journal_payload_bytes = static_cast<size_t>(number);
        }
        if (!ok) {
            error = name;
            return false;
        }
    }
    values_ = next;
    return true;
}

Value Configuration::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Value snapshot = Value::Dict();
    snapshot.Add("network_quality_interval_ms", Value::Int(values_.network_quality_interval_ms))
        .Add("custom_message_loss_ppm", Value::Int(std::llround(values_.custom_message_loss * 1e6)))
        .Add("custom_message_seed", Value::UInt(values_.custom_message_seed))
        .Add("media_queue_bound", Value::UInt(values_.media_queue_bound))
        .Add("audio_buffer_ms", Value::UInt(values_.audio_buffer_ms))
        .Add("journal_entries", Value::UInt(values_.journal_entries))
        .Add("journal_payload_bytes", Value::UInt(values_.journal_payload_bytes));
    return snapshot;
}

}  // namespace qolt
}  // namespace mirelo
