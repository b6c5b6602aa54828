#ifndef MIRELO_SDK_VENDOR_H
#define MIRELO_SDK_VENDOR_H

#include "qolt/mirelo_qolt_cloud.h"
#include "qolt/mirelo_qolt_defines.h"

namespace mirelo {
namespace loopback {

// The loopback implements the vendor's interface, so its internals speak in the vendor's types;
// they name them unqualified, and the loopback's own names stay in this namespace.
using namespace ::mirelo::qolt;

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_VENDOR_H
