#pragma once
// Oka::Central::DeviceId: a device (chip) number 0..63, with 64 as the null
// value meaning "no device". Image: one byte.
#include <string_view>

#include "VexaSwitchLib/runtime/ValueType.h"

namespace Oka::Central {

class DeviceId : public Kel::Scalar<DeviceId, U8> {
 public:
  static constexpr std::string_view kelTypeName = "Oka::Central::DeviceId";
  static constexpr std::string_view kelLowerName = "min";
  static constexpr std::string_view kelUpperName = "null";
  static constexpr U8 min = 0;
  static constexpr U8 null = 64;
  static constexpr U8 kelUpper = null;
  using Scalar::Scalar;
};
static_assert(sizeof(DeviceId) == 1);

KEL_VALUE_FUNCTIONS();

}  // namespace Oka::Central
