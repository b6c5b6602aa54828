// The C control interface over the loopback service.
#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "control/EventDecoder.h"
#include "runtime/LoopbackCloud.h"
#include "runtime/LoopbackService.h"
#include "control/Value.h"
#include "control/mirelo_loopback.h"

namespace {

using mirelo::loopback::AudioLosses;
using mirelo::loopback::EventDecoder;
using mirelo::loopback::EventQueue;
using mirelo::loopback::LoopbackCloud;
using mirelo::loopback::LoopbackService;
using mirelo::loopback::Value;

// Operations whose result can be injected: the cloud's operations that return one.
const char* const kInjectable[] = {
    "EnterRoom",       "ExitRoom",          "Subscribe",
    "Unsubscribe",     "GetAudioFrame",     "CreateLocalAudioChannel",
    "SendAudioFrame",  "SendContinuousAudioFrame", "DestroyLocalAudioChannel",
    "CreateLocalVideoChannel", "SendVideoFrame", "SendSeiMessage",
    "SendCustomCmdMsg", "DestroyLocalVideoChannel",
};

// Events that emit_repeated queues at a time; see there.
constexpr uint32_t kEmitBatch = 4096;

// The reason for this thread's last failed call. Fixed storage: it is written when memory may
// be exhausted.
thread_local char last_error[256] = "";

void SetLastError(const char* reason) noexcept {
    std::strncpy(last_error, reason, sizeof last_error - 1);
    last_error[sizeof last_error - 1] = '\0';
}

// The fault armed for the next snapshot, or -1.
std::atomic<int> snapshot_fault{-1};

// Runs the body of an exported function: an exception must not cross into a caller that knows
// nothing of them (a language runtime calling through a C foreign-function interface aborts or
// crashes on one), so each becomes a status, with its reason kept for mirelo_loopback_last_error.
template <typename Body>
int Guarded(Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended; swallowing this would abort the process
    } catch (const std::bad_alloc& error) {
        SetLastError(error.what());
        return MIRELO_LOOPBACK_OUT_OF_MEMORY;
    } catch (const std::length_error& error) {
        SetLastError(error.what());  // a request larger than anything can hold
        return MIRELO_LOOPBACK_OUT_OF_MEMORY;
    } catch (const std::exception& error) {
        SetLastError(error.what());
        return MIRELO_LOOPBACK_INTERNAL_ERROR;
    } catch (...) {
        SetLastError("unknown exception");
        return MIRELO_LOOPBACK_INTERNAL_ERROR;
    }
}

std::chrono::steady_clock::time_point DeadlineAfter(double seconds) {
    // A day stands for "very long"; NaN and negatives for "now".
    const double bounded = std::isnan(seconds) ? 0.0 : std::clamp(seconds, 0.0, 86400.0);
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(bounded));
}

Value ByEvent(const EventQueue::CountsByEvent& counts) {
    Value by_event = Value::Dict();
    for (const auto& entry : counts) {
        by_event.Add(entry.first, Value::UInt(entry.second));
    }
    return by_event;
}

Value StatsSnapshot(LoopbackService& service) {
    // Read before the queues: a cloud made in between has no losses yet, one destroyed reads as none.
    const std::map<uint64_t, AudioLosses> losses = service.rooms().AudioLossesByCloud();
    std::vector<Value> clouds;
    for (const auto& entry : service.clouds().Queues()) {
        const EventQueue::Counters counters = entry.second->counters();
        const auto found = losses.find(entry.first);
        const AudioLosses audio = found == losses.end() ? AudioLosses{} : found->second;
        Value cloud = Value::Dict();
        cloud.Add("cloud", Value::UInt(entry.first))
            .Add("raised", Value::UInt(counters.raised))
            .Add("delivered", Value::UInt(counters.delivered))
            .Add("dropped", Value::UInt(counters.dropped))
            .Add("coalesced", Value::UInt(counters.coalesced))
            .Add("dropped_by_event", ByEvent(counters.dropped_by_event))
            .Add("coalesced_by_event", ByEvent(counters.coalesced_by_event))
            .Add("discarded", Value::UInt(counters.discarded))
            .Add("queued", Value::UInt(counters.queued))
            .Add("paced_audio_refused", Value::UInt(audio.paced_refused))
            .Add("paced_audio_cleared", Value::UInt(audio.paced_cleared))
            .Add("audio_samples_dropped", Value::UInt(audio.samples_dropped));
        clouds.push_back(std::move(cloud));
    }
    return Value::List(std::move(clouds));
}

Value RetentionSnapshot(LoopbackService& service) {
    const auto journal = service.journal().counts();
    const auto failures = service.failures().counts();
    Value journal_counts = Value::Dict();
    journal_counts.Add("entries", Value::UInt(journal.entries))
        .Add("payload_bytes", Value::UInt(journal.payload_bytes))
        .Add("dropped", Value::UInt(journal.dropped));
    Value failure_counts = Value::Dict();
    failure_counts.Add("entries", Value::UInt(failures.entries))
        .Add("bytes", Value::UInt(failures.bytes))
        .Add("dropped", Value::UInt(failures.dropped))
        .Add("cut", Value::UInt(failures.cut));
    Value retention = Value::Dict();
    retention.Add("journal", std::move(journal_counts)).Add("failures", std::move(failure_counts));
    return retention;
}

// The fixed limits, read from their definitions, so that what callers check and document is what
// the code does.
Value LimitsSnapshot() {
    using mirelo::loopback::Configuration;
    using mirelo::loopback::FailureList;
    using mirelo::loopback::MessageRateLimiter;
    using mirelo::loopback::RoomService;
    Value limits = Value::Dict();
    limits.Add("paced_audio_frames", Value::UInt(RoomService::kMaxPacedFrames))
        .Add("mix_lag_frames", Value::UInt(RoomService::kMaxMixLagFrames))
        .Add("audio_gap_ms", Value::Int(RoomService::kMaxAudioGap.count()))
        .Add("output_frame_ms",
             Value::List({Value::Int(RoomService::kMinOutputFrameMs), Value::Int(RoomService::kMaxOutputFrameMs)}))
        .Add("sei_message_bytes", Value::UInt(RoomService::kMaxSeiBytes))
        .Add("custom_message_bytes", Value::UInt(RoomService::kMaxCustomMessageBytes))
        .Add("custom_messages_per_second", Value::UInt(MessageRateLimiter::kMaxMessages))
        .Add("custom_message_bytes_per_second", Value::UInt(MessageRateLimiter::kMaxBytes))
        .Add("failures", Value::UInt(FailureList::kMaxFailures))
        .Add("failure_bytes", Value::UInt(FailureList::kMaxBytes))
        .Add("failure_text_bytes", Value::UInt(FailureList::kMaxTextBytes))
        .Add("emit_batch", Value::UInt(kEmitBatch))
        .Add("value_depth", Value::Int(Value::kMaxDecodeDepth))
        .Add("configuration", Configuration::Ranges());
    return limits;
}

Value SettingsSnapshot(LoopbackService& service) {
    const auto log = service.logger().settings();
    Value settings = Value::Dict();
    settings.Add("log_directory", log.directory.empty() ? Value::None() : Value::Text(log.directory))
        .Add("log_file", log.file_path.empty() ? Value::None() : Value::Text(log.file_path))
        .Add("log_file_error", log.file_error.empty() ? Value::None() : Value::Text(log.file_error))
        .Add("log_level", Value::Int(log.level))
        .Add("console_log", Value::Bool(log.console))
        .Add("log_file_disabled", Value::Bool(log.file_disabled))
        .Add("log_compress_disabled", Value::Bool(log.compress_disabled));
    service.network().AddTo(settings);
    return settings;
}

}  // namespace

extern "C" {

int mirelo_loopback_interface_version(void) { return MIRELO_LOOPBACK_INTERFACE_VERSION; }

int mirelo_loopback_snapshot(int kind, uint8_t* buffer, size_t capacity, size_t* size) {
    return Guarded([&] {
        switch (snapshot_fault.exchange(-1)) {
            case MIRELO_LOOPBACK_FAULT_SNAPSHOT_MEMORY:
                throw std::bad_alloc();
            case MIRELO_LOOPBACK_FAULT_SNAPSHOT_INTERNAL:
                throw std::runtime_error("snapshot failed on request (fault injected)");
            default:
                break;
        }
        LoopbackService& service = LoopbackService::Instance();
        Value snapshot;
        switch (kind) {
            case MIRELO_LOOPBACK_CLOUDS: {
                std::vector<Value> handles;
                for (uint64_t handle : service.clouds().Handles()) {
                    handles.push_back(Value::UInt(handle));
                }
                snapshot = Value::List(std::move(handles));
                break;
            }
            case MIRELO_LOOPBACK_JOURNAL:
                snapshot = service.journal().Snapshot();
                break;
            case MIRELO_LOOPBACK_FAILURES:
                snapshot = service.failures().Snapshot();
                break;
            case MIRELO_LOOPBACK_STATS:
                snapshot = StatsSnapshot(service);
                break;
            case MIRELO_LOOPBACK_SETTINGS:
                snapshot = SettingsSnapshot(service);
                break;
            case MIRELO_LOOPBACK_CONFIGURATION:
                snapshot = service.configuration().Snapshot();
                break;
            case MIRELO_LOOPBACK_CLOUD_STATES:
                snapshot = service.rooms().Snapshot();
                break;
            case MIRELO_LOOPBACK_RETENTION:
                snapshot = RetentionSnapshot(service);
                break;
            case MIRELO_LOOPBACK_LIMITS:
                snapshot = LimitsSnapshot();
                break;
            default:
                return MIRELO_LOOPBACK_BAD_ARGUMENTS;
        }
        // Encoded straight into the caller's buffer: the payloads that the snapshot shares with the
        // journal are copied once, not twice.
        const size_t encoded_size = snapshot.EncodedSize();
        if (size != nullptr) {
            *size = encoded_size;
        }
        if (buffer == nullptr || capacity < encoded_size) {
            return MIRELO_LOOPBACK_BUFFER_TOO_SMALL;
        }
        snapshot.EncodeInto(buffer);
        return MIRELO_LOOPBACK_OK;
    });
}

int mirelo_loopback_emit(uint64_t cloud, const char* operation, const uint8_t* arguments, size_t length,
                         double timeout_seconds) {
    return mirelo_loopback_emit_repeated(cloud, operation, arguments, length, 1, timeout_seconds);
}

int mirelo_loopback_emit_repeated(uint64_t cloud, const char* operation, const uint8_t* arguments, size_t length,
                                  uint32_t count, double timeout_seconds) {
    return Guarded([&] {
        Value decoded;
        if (!Value::Decode(arguments, length, decoded) || count == 0) {
            return MIRELO_LOOPBACK_BAD_ARGUMENTS;
        }
        const char* name = nullptr;
        EventQueue::Delivery delivery;
        switch (EventDecoder::Decode(operation, decoded, name, delivery)) {
            case EventDecoder::Result::kUnknownOperation:
                return MIRELO_LOOPBACK_UNKNOWN_OPERATION;
            case EventDecoder::Result::kBadArguments:
                return MIRELO_LOOPBACK_BAD_ARGUMENTS;
            case EventDecoder::Result::kOk:
                break;
        }
        // Emitted events are never dropped for load: the caller waits for these very events. A large
        // count is raised in batches, each queued once the one before the last has run, so that the
        // copies waiting in the queue stay bounded however many events were asked for.
        const auto deadline = DeadlineAfter(timeout_seconds);
        std::shared_ptr<EventQueue> queue;
        uint64_t previous_batch_end = 0;
        uint64_t sequence = 0;
        for (uint32_t queued = 0; queued < count;) {
            const uint32_t batch = std::min(kEmitBatch, count - queued);
            const bool last_batch = queued + batch == count;
            const bool found = LoopbackService::Instance().clouds().With(cloud, [&](LoopbackCloud& target) {
                queue = target.events();
                for (uint32_t i = 1; i < batch; ++i) {
                    queue->Post(name, false, delivery);
                }
                sequence = queue->Post(name, false, last_batch ? std::move(delivery) : delivery);
            });
            if (!found) {
                // Destroyed after the first batch: its remaining events are cancelled, as queued ones are.
                return queued == 0 ? MIRELO_LOOPBACK_UNKNOWN_CLOUD : MIRELO_LOOPBACK_OK;
            }
            queued += batch;
            if (EventQueue::Current() == queue.get()) {
                continue;  // on the cloud's own thread: waiting here would wait for ourselves
            }
            if (!last_batch && !queue->WaitDone(previous_batch_end, deadline)) {
                return MIRELO_LOOPBACK_TIMEOUT;
            }
            previous_batch_end = sequence;
        }
        if (EventQueue::Current() == queue.get()) {
            return MIRELO_LOOPBACK_OK;
        }
        return queue->WaitDone(sequence, deadline) ? MIRELO_LOOPBACK_OK : MIRELO_LOOPBACK_TIMEOUT;
    });
}

int mirelo_loopback_flush(double timeout_seconds) {
    return Guarded([&] {
        const auto deadline = DeadlineAfter(timeout_seconds);
        std::vector<std::pair<std::shared_ptr<EventQueue>, uint64_t>> targets;
        for (auto& entry : LoopbackService::Instance().clouds().Queues()) {
            if (entry.second.get() != EventQueue::Current()) {
                const uint64_t last = entry.second->last_raised();
                targets.emplace_back(std::move(entry.second), last);
            }
        }
        for (const auto& target : targets) {
            if (!target.first->WaitDone(target.second, deadline)) {
                return MIRELO_LOOPBACK_TIMEOUT;
            }
        }
        return MIRELO_LOOPBACK_OK;
    });
}

int mirelo_loopback_reset(void) {
    return Guarded([] {
        LoopbackService& service = LoopbackService::Instance();
        service.journal().Clear();
        service.failures().Clear();
        return MIRELO_LOOPBACK_OK;
    });
}

int mirelo_loopback_inject(uint64_t cloud, const char* operation, int64_t result, uint32_t count) {
    return Guarded([&] {
        if (operation == nullptr ||
            std::none_of(std::begin(kInjectable), std::end(kInjectable),
                         [operation](const char* name) { return std::strcmp(name, operation) == 0; })) {
            return MIRELO_LOOPBACK_UNKNOWN_OPERATION;
        }
        if (result < INT32_MIN || result > INT32_MAX) {
            return MIRELO_LOOPBACK_BAD_ARGUMENTS;
        }
        const bool found = LoopbackService::Instance().clouds().With(
            cloud, [&](LoopbackCloud& target) { target.injections().Inject(operation, result, count); });
        return found ? MIRELO_LOOPBACK_OK : MIRELO_LOOPBACK_UNKNOWN_CLOUD;
    });
}

int mirelo_loopback_configure(const uint8_t* settings, size_t length, char* error, size_t error_capacity) {
    return Guarded([&] {
        Value decoded;
        std::string failure;
        if (!Value::Decode(settings, length, decoded)) {
            failure = "settings";
        } else if (LoopbackService::Instance().Configure(decoded, failure)) {
            return MIRELO_LOOPBACK_OK;
        }
        if (error != nullptr && error_capacity > 0) {
            const size_t copied = std::min(failure.size(), error_capacity - 1);
            std::memcpy(error, failure.data(), copied);
            error[copied] = '\0';
        }
        return MIRELO_LOOPBACK_BAD_ARGUMENTS;
    });
}

size_t mirelo_loopback_last_error(char* buffer, size_t capacity) {
    const size_t length = std::strlen(last_error);
    if (buffer != nullptr && capacity > 0) {
        const size_t copied = std::min(length, capacity - 1);
        std::memcpy(buffer, last_error, copied);
        buffer[copied] = '\0';
    }
    return length;
}

int mirelo_loopback_fail_next(int fault) {
    return Guarded([fault] {
        switch (fault) {
            case MIRELO_LOOPBACK_FAULT_SNAPSHOT_MEMORY:
            case MIRELO_LOOPBACK_FAULT_SNAPSHOT_INTERNAL:
                snapshot_fault.store(fault);
                return MIRELO_LOOPBACK_OK;
            case MIRELO_LOOPBACK_FAULT_CLOCK_START:
                return LoopbackService::Instance().rooms().FailNextClockStart() ? MIRELO_LOOPBACK_OK
                                                                                : MIRELO_LOOPBACK_BAD_ARGUMENTS;
            default:
                return MIRELO_LOOPBACK_BAD_ARGUMENTS;
        }
    });
}

}  // extern "C"
