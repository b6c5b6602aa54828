#ifndef MIRELO_SDK_ROOM_EVENTS_H
#define MIRELO_SDK_ROOM_EVENTS_H

#include <string>
#include <utility>

#include "rooms/CloudState.h"
#include "runtime/EventQueue.h"

namespace mirelo {
namespace loopback {
namespace room_events {

using Delivery = EventQueue::Delivery;
using Subject = EventQueue::Subject;
using Topic = Subject::Topic;
using Role = Subject::Role;

// Media events may be dropped (oldest first) when a handler falls behind; all others are kept,
// except state events that cancel out while the handler is behind (see EventQueue).
constexpr bool kMedia = true;
constexpr bool kKept = false;

inline Subject About(Topic topic, Role role, const std::string& user = std::string(), int stream = 0) {
    return Subject{topic, role, stream, user};
}

// Queues the event for the cloud's event thread; nothing is delivered here.
inline void Raise(CloudState& to, const char* operation, bool droppable, Delivery delivery,
                  Subject subject = Subject()) {
    to.events->Post(operation, droppable, std::move(delivery), std::move(subject));
}

}  // namespace room_events
}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_ROOM_EVENTS_H
