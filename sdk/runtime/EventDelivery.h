#ifndef MIRELO_SDK_EVENT_DELIVERY_H
#define MIRELO_SDK_EVENT_DELIVERY_H

#include <cstdint>

#include "api/Vendor.h"
#include "runtime/EventQueue.h"

namespace mirelo {
namespace loopback {

// Calls the delegate with one event that `queue` marked in flight, and reports it finished however
// the call ends. A handler's exception is recorded as the cloud's failure; forced unwinding (the
// thread being ended) is reported finished, so that no Destroy waits for it, and rethrown, as
// swallowing it would abort the process. The one delivery shared by event threads and the pool.
void DeliverEvent(EventQueue& queue, const EventQueue::Event& event, QOLTCloudDelegate& delegate, uint64_t cloud);

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_EVENT_DELIVERY_H
