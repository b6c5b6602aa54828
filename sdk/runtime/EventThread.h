#ifndef MIRELO_SDK_EVENT_THREAD_H
#define MIRELO_SDK_EVENT_THREAD_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <thread>

#include "api/Vendor.h"
#include "runtime/EventQueue.h"

namespace mirelo {
namespace loopback {

// The one thread on which a cloud's delegate is called, one event at a time, in the order raised,
// when clouds are configured to have a thread each (event_threads = 0; otherwise EventPool).
// Its destructor cancels what is still queued, so that no new event starts, and joins, so that the
// event in flight has finished too when it returns.
//
// Except when joining would never return, because the event in flight is the one destroying: a
// handler dropped its own cloud, or dropped another cloud whose event thread waits, directly or
// through others, for this one (two handlers each dropping the other's cloud, a ring of three).
// Those waits are recorded in ThreadWaits, and the one that would close the cycle detaches instead:
// the thread ends by itself after its current event, living on the queue it shares. The destructor
// then returns while that event still runs its delegate call, on a thread the caller's own event
// waits for; no other event starts, and after that call returns the thread touches only the queue
// and the service, never the delegate.
//
// Destroyed in a child made by fork(), where the thread does not exist, it neither joins nor
// detaches (the thread's identifier may already name a thread of the child): the handle is parked
// for good.
class EventThread {
public:
    EventThread(std::shared_ptr<EventQueue> queue, QOLTCloudDelegate* delegate, uint64_t cloud_handle);
    ~EventThread();

    EventThread(const EventThread&) = delete;
    EventThread& operator=(const EventThread&) = delete;

private:
    static void Run(std::shared_ptr<EventQueue> queue, QOLTCloudDelegate* delegate, uint64_t cloud_handle);

    static void Park(std::thread thread);

    std::shared_ptr<EventQueue> queue_;
    std::thread thread_;   // not started for a cloud without a delegate
    const pid_t process_;  // the process that started thread_
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_EVENT_THREAD_H
