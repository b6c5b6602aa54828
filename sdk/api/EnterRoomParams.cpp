#include "qolt/mirelo_qolt_defines.h"

namespace mirelo {
namespace qolt {

EnterRoomParams::EnterRoomParams()
    : scene(QOLT_SCENE_VIDEO_CALL),
      role(QOLT_ROLE_ANCHOR),
      private_map_key(""),
      use_pixel_frame_input(false),
      use_pixel_frame_output(false) {}

EnterRoomParams::~EnterRoomParams() = default;

}  // namespace qolt
}  // namespace mirelo
