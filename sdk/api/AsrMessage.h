#ifndef MIRELO_SDK_ASR_MESSAGE_H
#define MIRELO_SDK_ASR_MESSAGE_H

#include "qolt/mirelo_qolt_defines.h"

namespace mirelo {
namespace qolt {

// The public headers only declare this record; the loopback gives it a user and a text.
struct AsrMessage {
    QoltString user_id;
    QoltString text;
};

}  // namespace qolt
}  // namespace mirelo

#endif  // MIRELO_SDK_ASR_MESSAGE_H
