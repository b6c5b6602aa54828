#ifndef MIRELO_SDK_EVENT_THREAD_H
#define MIRELO_SDK_EVENT_THREAD_H

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
// on the queue it shares.
class EventThread {
public:
    EventThread(std::shared_ptr<EventQueue> queue, QOLTCloudDelegate* delegate, uint64_t cloud_handle);
    ~EventThread();

    EventThread(const EventThread&) = delete;
    EventThread& operator=(const EventThread&) = delete;

private:
    static void Run(std::shared_ptr<EventQueue> queue, QOLTCloudDelegate* delegate, uint64_t cloud_handle);
    static void Deliver(const EventQueue::Event& event, QOLTCloudDelegate& delegate, uint64_t cloud_handle);

    std::shared_ptr<EventQueue> queue_;
    std::thread thread_;  // not started for a cloud without a delegate
};

}  // namespace qolt
}  // namespace mirelo

#endif  // MIRELO_SDK_EVENT_THREAD_H
