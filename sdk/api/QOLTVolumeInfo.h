#ifndef MIRELO_SDK_QOLT_VOLUME_INFO_H
#define MIRELO_SDK_QOLT_VOLUME_INFO_H

#include <cstdint>

#include "qolt/mirelo_qolt_defines.h"

namespace mirelo {
namespace qolt {

// The public headers only declare this record; the loopback gives it a user and a volume.
struct QOLTVolumeInfo {
    QoltString user_id;
    uint32_t volume = 0;
};

}  // namespace qolt
}  // namespace mirelo

#endif  // MIRELO_SDK_QOLT_VOLUME_INFO_H
