#include "runtime/EventDelivery.h"

#include <cxxabi.h>

#include <exception>
#include <string>

#include "runtime/LoopbackService.h"

namespace mirelo {
namespace loopback {
namespace {

// Reports the event finished however the delivery ends, forced unwinding included: a thread that
// the interpreter ends while it waits for the interpreter lock must not leave a Destroy waiting.
class FinishOnExit {
public:
    FinishOnExit(EventQueue& queue, uint64_t sequence) : queue_(queue), sequence_(sequence) {}
    ~FinishOnExit() { queue_.Finish(sequence_); }
    FinishOnExit(const FinishOnExit&) = delete;
    FinishOnExit& operator=(const FinishOnExit&) = delete;

private:
    EventQueue& queue_;
    uint64_t sequence_;
};

}  // namespace

void DeliverEvent(EventQueue& queue, const EventQueue::Event& event, QOLTCloudDelegate& delegate, uint64_t cloud) {
    FinishOnExit finish(queue, event.sequence);
    std::string failure;
    try {
        event.deliver(delegate);
        return;
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended; swallowing this would abort the process
    } catch (const std::exception& error) {
        failure = error.what();
    } catch (...) {
        failure = "unknown exception";
    }
    LoopbackService::Instance().RecordFailure(cloud, event.operation, failure);
}

}  // namespace loopback
}  // namespace mirelo
