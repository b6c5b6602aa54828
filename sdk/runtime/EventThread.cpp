#include "runtime/EventThread.h"

#include <cxxabi.h>
#include <unistd.h>

#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "runtime/LoopbackService.h"
#include "runtime/Mutex.h"

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

// Ends the recorded wait however the join ends.
class WaitEnds {
public:
    explicit WaitEnds(ThreadWaits& waits) : waits_(waits) {}
    ~WaitEnds() { waits_.End(); }
    WaitEnds(const WaitEnds&) = delete;
    WaitEnds& operator=(const WaitEnds&) = delete;

private:
    ThreadWaits& waits_;
};

}  // namespace

EventThread::EventThread(std::shared_ptr<EventQueue> queue, QOLTCloudDelegate* delegate, uint64_t cloud_handle)
    : queue_(std::move(queue)), process_(getpid()) {
    if (delegate != nullptr) {
        thread_ = std::thread(&EventThread::Run, queue_, delegate, cloud_handle);
    }
}

EventThread::~EventThread() {
    queue_->Stop();
    if (!thread_.joinable()) {
        return;
    }
    if (getpid() != process_) {
        Park(std::move(thread_));
        return;
    }
    ThreadWaits& waits = LoopbackService::Instance().waits();
    if (!waits.Begin(thread_.get_id())) {
        // Our own thread, or one that is waiting (maybe through others) for ours: joining would
        // never return. The queue is stopped, so the thread ends by itself after its current event.
        thread_.detach();
        return;
    }
    WaitEnds recorded(waits);
    thread_.join();
}

void EventThread::Park(std::thread thread) {
    // Never destroyed: a joinable std::thread must not be. Reachable, so not a leak.
    static Mutex& mutex = *std::make_unique<Mutex>(LockRank::kParkedThreads).release();
    static std::vector<std::thread>& parked = *std::make_unique<std::vector<std::thread>>().release();
    MutexLock lock(mutex);
    parked.push_back(std::move(thread));
}

void EventThread::Run(std::shared_ptr<EventQueue> queue, QOLTCloudDelegate* delegate, uint64_t cloud_handle) {
    EventQueue::SetCurrent(queue.get());
    for (;;) {
        EventQueue::Event event = queue->Next();
        if (!event.deliver) {
            break;  // the sentinel: the cloud is gone, and with it maybe the delegate
        }
        FinishOnExit finish(*queue, event.sequence);
        Deliver(event, *delegate, cloud_handle);
    }
    EventQueue::SetCurrent(nullptr);
}

void EventThread::Deliver(const EventQueue::Event& event, QOLTCloudDelegate& delegate, uint64_t cloud_handle) {
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
    LoopbackService::Instance().RecordFailure(cloud_handle, event.operation, failure);
}

}  // namespace loopback
}  // namespace mirelo
