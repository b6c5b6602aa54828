#include "control/Control.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <new>

#include "control/Configuration.h"
#include "control/FailureList.h"
#include "control/ResultInjector.h"
#include "rooms/MessageRateLimiter.h"
#include "rooms/RoomService.h"
#include "runtime/LoopbackCloud.h"
#include "runtime/LoopbackService.h"

int mirelo_loopback_interface_version(void) { return 2; }

namespace mirelo {
namespace loopback {
namespace control {
namespace {

// The operations whose result can be injected: the cloud's operations that return one.
const char* const kInjectable[] = {
    "EnterRoom",
    "ExitRoom",
    "Subscribe",
    "Unsubscribe",
    "GetAudioFrame",
    "CreateLocalAudioChannel",
    "SendAudioFrame",
    "SendContinuousAudioFrame",
    "DestroyLocalAudioChannel",
    "CreateLocalVideoChannel",
    "SendVideoFrame",
    "SendSeiMessage",
    "SendCustomCmdMsg",
    "DestroyLocalVideoChannel",
};

std::atomic<int> snapshot_fault{-1};

LoopbackService& Service() { return LoopbackService::Instance(); }

// Every snapshot starts here, so that an armed fault fails the next one, whichever it is.
LoopbackService& Snapshotting() {
    switch (snapshot_fault.exchange(-1)) {
        case static_cast<int>(Fault::kSnapshotMemory):
            throw std::bad_alloc();
        case static_cast<int>(Fault::kSnapshotInternal):
            throw std::runtime_error("snapshot failed on request (fault injected)");
        default:
            return Service();
    }
}

std::chrono::steady_clock::time_point DeadlineAfter(double seconds) {
    // A day stands for "very long"; NaN and negatives for "now".
    const double bounded = std::isnan(seconds) ? 0.0 : std::clamp(seconds, 0.0, 86400.0);
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(bounded));
}

[[noreturn]] void UnknownCloud(uint64_t cloud) {
    throw Refused("no live cloud has the handle " + std::to_string(cloud));
}

Value ByEvent(const EventQueue::CountsByEvent& counts) {
    Value by_event = Value::Dict();
    for (const auto& entry : counts) {
        by_event.Add(entry.first, Value::UInt(entry.second));
    }
    return by_event;
}

}  // namespace

void Emit(uint64_t cloud, const char* operation, Delivery delivery, uint32_t count, double timeout_seconds) {
    if (count == 0) {
        throw Refused("an event is emitted at least once");
    }
    Service().rooms().RouteSentAudio();  // the audio sent so far comes before these events
    // Emitted events are never dropped for load: the caller waits for these very events.
    const auto deadline = DeadlineAfter(timeout_seconds);
    std::shared_ptr<EventQueue> queue;
    uint64_t previous_batch_end = 0;
    uint64_t sequence = 0;
    for (uint32_t queued = 0; queued < count;) {
        const uint32_t batch = std::min(kEmitBatch, count - queued);
        const bool found = Service().clouds().With(cloud, [&](LoopbackCloud& target) {
            queue = target.events();
            for (uint32_t i = 0; i < batch; ++i) {
                // The last one takes the delivery itself: while the caller waits, what the event
                // keeps belongs to the queue alone.
                const bool last = queued + i + 1 == count;
                sequence = queue->Post(operation, false, last ? std::move(delivery) : delivery);
            }
        });
        if (!found) {
            if (queued == 0) {
                UnknownCloud(cloud);
            }
            return;  // destroyed after the first batch: its remaining events are cancelled, as queued ones are
        }
        queued += batch;
        if (EventQueue::Current() == queue.get()) {
            continue;  // on the cloud's own thread: waiting here would wait for ourselves
        }
        if (queued < count && !queue->WaitDone(previous_batch_end, deadline)) {
            throw Timeout(std::string(operation) + " on cloud " + std::to_string(cloud) + " did not run in time");
        }
        previous_batch_end = sequence;
    }
    if (EventQueue::Current() != queue.get() && !queue->WaitDone(sequence, deadline)) {
        throw Timeout(std::string(operation) + " on cloud " + std::to_string(cloud) + " did not run in time");
    }
}

void Flush(double timeout_seconds) {
    const auto deadline = DeadlineAfter(timeout_seconds);
    Service().rooms().RouteSentAudio();  // the audio sent so far has raised its events
    std::vector<std::pair<std::shared_ptr<EventQueue>, uint64_t>> targets;
    for (auto& entry : Service().clouds().Queues()) {
        if (entry.second.get() != EventQueue::Current()) {
            const uint64_t last = entry.second->last_raised();
            targets.emplace_back(std::move(entry.second), last);
        }
    }
    for (const auto& target : targets) {
        if (!target.first->WaitDone(target.second, deadline)) {
            throw Timeout("events still undelivered");
        }
    }
}

std::vector<uint64_t> Clouds() { return Snapshotting().clouds().Handles(); }

std::vector<uint64_t> CloudsServing(const QOLTCloudDelegate* delegate) {
    std::vector<uint64_t> serving;
    for (uint64_t handle : Service().clouds().Handles()) {
        Service().clouds().With(handle, [&](LoopbackCloud& cloud) {
            if (delegate != nullptr && cloud.delegate() == delegate) {
                serving.push_back(handle);
            }
        });
    }
    return serving;
}

Value JournalEntries() { return Snapshotting().journal().Snapshot(); }

Value FailureEntries() { return Snapshotting().failures().Snapshot(); }

Value CloudStats() {
    LoopbackService& service = Snapshotting();
    service.rooms().RouteSentAudio();  // counted as if routed when sent
    // Read before the queues: a cloud made in between has no losses yet, one destroyed reads as none.
    const std::map<uint64_t, AudioLosses> losses = service.rooms().AudioLossesByCloud();
    Value clouds = Value::List({});
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
        clouds.Append(std::move(cloud));
    }
    return clouds;
}

Value CloudStates() { return Snapshotting().rooms().Snapshot(); }

Value SdkSettings() {
    LoopbackService& service = Snapshotting();
    const auto log = service.logger().settings();
    const auto text = [](const std::string& value) { return value.empty() ? Value::None() : Value::Text(value); };
    Value settings = Value::Dict();
    settings.Add("log_directory", text(log.directory))
        .Add("log_file", text(log.file_path))
        .Add("log_file_error", text(log.file_error))
        .Add("log_level", Value::Int(log.level))
        .Add("console_log", Value::Bool(log.console))
        .Add("log_file_disabled", Value::Bool(log.file_disabled))
        .Add("log_compress_disabled", Value::Bool(log.compress_disabled));
    service.network().AddTo(settings);
    return settings;
}

Value RetentionCounts() {
    LoopbackService& service = Snapshotting();
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

// Read from their definitions, so that what callers check and document is what the code does.
Value Limits() {
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
        .Add("configuration", Configuration::Ranges());
    return limits;
}

Value Tunables() { return Snapshotting().configuration().Snapshot(); }

void Reset(bool configuration) {
    LoopbackService& service = Service();
    if (configuration) {
        Configure(Configuration::Defaults());
    }
    service.journal().Clear();
    service.failures().Clear();
    ResultInjector::FailNextCreated(std::nullopt);
}

bool Injectable(const std::string& operation) {
    return std::find(std::begin(kInjectable), std::end(kInjectable), operation) != std::end(kInjectable);
}

void Inject(uint64_t cloud, const std::string& operation, int32_t result, uint32_t count) {
    if (!Injectable(operation)) {
        throw Refused("'" + operation + "' is not a cloud operation with a result");
    }
    if (!Service().clouds().With(
            cloud, [&](LoopbackCloud& target) { target.injections().Inject(operation, result, count); })) {
        UnknownCloud(cloud);
    }
}

void FailNextCloud(int32_t result) { ResultInjector::FailNextCreated(result); }

void Configure(const Value& changes) {
    std::string refused;
    if (!Service().Configure(changes, refused)) {
        throw Refused("the loopback refused " + refused + ": unknown, of another kind or out of its range");
    }
}

void FailNext(Fault fault) {
    if (fault == Fault::kClockStart) {
        if (!Service().rooms().FailNextClockStart()) {
            throw Refused("the clock thread already runs in this process");
        }
        return;
    }
    snapshot_fault.store(static_cast<int>(fault));
}

}  // namespace control
}  // namespace loopback
}  // namespace mirelo
