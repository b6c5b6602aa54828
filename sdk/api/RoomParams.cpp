#include "qolt/mirelo_qolt_defines.h"

namespace mirelo {
namespace qolt {

RoomParams::RoomParams()
    : sdk_app_id(0),
      user_id(""),
      user_sig(""),
      room_id(0),
      str_room_id(""),
      custom_data(nullptr),
      decryption_delegate(nullptr),
      encryption_delegate(nullptr) {}

RoomParams::RoomParams(const RoomParams& other) = default;

RoomParams::~RoomParams() = default;

}  // namespace qolt
}  // namespace mirelo
