#ifndef MIRELO_SDK_EVENT_THREAD_H
#define MIRELO_SDK_EVENT_THREAD_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <thread>

#include "EventQueue.h"
#include "qolt/mirelo_qolt_cloud.h"

namespace mirelo {
namespace qolt {

// The one thread on which a cloud's delegate is called, one event at a time, in the order raised.
// Its destructor cancels what is still queued, lets the event in flight finish and joins, so that
// no delegate call follows it. Destroyed on its own thread (a handler dropped its own cloud), it
// cannot join itself: it detaches, and the thread ends by itself after the current event, living
// on the queue it shares. Destroyed in a child made by fork(), where the thread does not exist, it
// neither joins nor detaches (the thread's identifier may already name a thread of the child): the
// handle is parked for good.
class EventThread {
public:
    EventThread(std::shared_ptr<EventQueue> queue, QOLTCloudDelegate* delegate, uint64_t cloud_handle);
    ~EventThread();

    EventThread(const EventThread&) = delete;
    EventThread& operator=(const EventThread&) = delete;

private:
    static void Run(std::shared_ptr<EventQueue> queue, QOLTCloudDelegate* delegate, uint64_t cloud_handle);
    static void Deliver(const EventQueue::Event& event, QOLTCloudDelegate& delegate, uint64_t cloud_handle);

    static void Park(std::thread thread);

    std::shared_ptr<EventQueue> queue_;
    std::thread thread_;  // not started for a cloud without a delegate
    const pid_t process_;  // the process that started thread_
};

}  // namespace qolt
}  // namespace mirelo

#endif  // MIRELO_SDK_EVENT_THREAD_H
