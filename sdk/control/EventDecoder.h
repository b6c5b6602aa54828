#ifndef MIRELO_SDK_EVENT_DECODER_H
#define MIRELO_SDK_EVENT_DECODER_H

#include "runtime/EventQueue.h"
#include "control/Value.h"

namespace mirelo {
namespace loopback {

// Turns a delegate operation's name and its arguments, as the control interface receives them,
// into a delivery that owns native copies of every argument.
class EventDecoder {
public:
    enum class Result { kOk, kUnknownOperation, kBadArguments };

    // `operation` receives the static name of the operation on success.
    static Result Decode(const char* name, const Value& arguments, const char*& operation,
                         EventQueue::Delivery& delivery);
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_EVENT_DECODER_H
