#ifndef MIRELO_SDK_LOOPBACK_SERVICE_H
#define MIRELO_SDK_LOOPBACK_SERVICE_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "control/Configuration.h"
#include "control/FailureList.h"
#include "control/Journal.h"
#include "control/Value.h"
#include "rooms/RoomService.h"
#include "runtime/CloudRegistry.h"
#include "runtime/EventPool.h"
#include "runtime/ThreadWaits.h"
#include "settings/Logger.h"
#include "settings/NetworkSettings.h"

namespace mirelo {
namespace loopback {

// All of the loopback's process-wide state. It is made on first use and never destroyed: clouds
// that Python never freed may still have event threads running while the process exits, and
// those threads must find the service intact until the very end.
class LoopbackService {
public:
    static LoopbackService& Instance();

    LoopbackService();  // installs the fork handlers (ForkGuard)

    CloudRegistry& clouds() { return clouds_; }
    Journal& journal() { return journal_; }
    FailureList& failures() { return failures_; }
    Logger& logger() { return logger_; }
    NetworkSettings& network() { return network_; }
    Configuration& configuration() { return configuration_; }
    RoomService& rooms() { return rooms_; }
    ThreadWaits& waits() { return waits_; }
    EventPool& pool() { return pool_; }

    void Record(uint64_t cloud, const char* operation, std::vector<Value> arguments);
    void RecordFailure(uint64_t cloud, const char* operation, const std::string& text);

    // Applies a configuration and pushes its bounds to the journal and the live clouds' queues.
    bool Configure(const Value& settings, std::string& error);

    // Ends every thread the loopback runs in this process and starts none again, so that they keep
    // nobody alive: the clock ends, every cloud's events stop as when it is destroyed (its event
    // thread ends after the event in flight), and the pool's threads end after their turns. Clouds
    // created later deliver no events either. Called in a child made by fork() when the thread that
    // forked it ends (ForkGuard).
    void EndThreads();
    bool threads_ended() const { return threads_ended_.load(); }

private:
    CloudRegistry clouds_;
    Journal journal_;
    FailureList failures_;
    Logger logger_;
    NetworkSettings network_;
    Configuration configuration_;
    RoomService rooms_{configuration_};  // after configuration_, which it reads
    ThreadWaits waits_;
    EventPool pool_{configuration_.values().event_threads,
                    std::chrono::milliseconds(configuration_.values().event_stall_ms)};
    std::atomic<bool> threads_ended_{false};
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_LOOPBACK_SERVICE_H
