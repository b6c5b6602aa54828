#include "runtime/EventThread.h"

#include <unistd.h>

#include <memory>
#include <utility>
#include <vector>

#include "runtime/EventDelivery.h"
#include "runtime/EventPool.h"
#include "runtime/LoopbackService.h"
#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {
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
    EventPool::Blocking blocking;  // destroyed from a pool thread, which the join holds
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
        DeliverEvent(*queue, event, *delegate, cloud_handle);
    }
    EventQueue::SetCurrent(nullptr);
}

}  // namespace loopback
}  // namespace mirelo
