#include "runtime/LoopbackService.h"

#include <memory>
#include <utility>

#include "runtime/ForkGuard.h"

namespace mirelo {
namespace loopback {

LoopbackService::LoopbackService() { ForkGuard::Install(); }

LoopbackService& LoopbackService::Instance() {
    // Deliberately leaked, see the class comment.
    static LoopbackService& service = *std::make_unique<LoopbackService>().release();
    return service;
}

void LoopbackService::Record(uint64_t cloud, const char* operation, std::vector<Value> arguments) {
    journal_.Record(cloud, operation, std::move(arguments));
}

void LoopbackService::RecordFailure(uint64_t cloud, const char* operation, const std::string& text) {
    failures_.Add(cloud, operation, text);
    logger_.Write(Logger::kError, "cloud " + std::to_string(cloud) + ": delegate " + operation + " failed: " + text);
}

bool LoopbackService::Configure(const Value& settings, std::string& error) {
    if (!configuration_.Apply(settings, error)) {
        return false;
    }
    const Configuration::Values values = configuration_.values();
    journal_.SetLimits(values.journal_entries, values.journal_payload_bytes);
    pool_.Configure(values.event_threads, std::chrono::milliseconds(values.event_stall_ms));
    for (const auto& entry : clouds_.Queues()) {
        entry.second->set_media_bound(values.media_queue_bound);
    }
    return true;
}

void LoopbackService::EndThreads() {
    // Set before the clouds are listed: a cloud created meanwhile is either listed here or sees
    // the flag once it is registered (QOLTCloud::Create), and stops its own events.
    threads_ended_.store(true);
    rooms_.EndClock();
    pool_.End();
    for (const auto& entry : clouds_.Queues()) {
        entry.second->Stop();
    }
}

}  // namespace loopback
}  // namespace mirelo
