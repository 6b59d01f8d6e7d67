#pragma once
// VexaEgressTrailer: the 32-bit word the chip appends to packets it sends to
// the CPU.
//   bits 0..5 port, 6..11 LAG group, 12..14 chip, 18 L2 control,
//   30 moved, 31 learn; 15..17 and 19..29 unused.
#include <string_view>

#include "VexaSwitchLib/runtime/Hash.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace VexaSwitch {

class VexaEgressTrailer : public Kel::Scalar<VexaEgressTrailer, U32> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::VexaEgressTrailer";
  static constexpr bool kelHashable = true;
  static constexpr auto kelViews() {
    return std::make_tuple(Kel::view("port", &VexaEgressTrailer::port), Kel::view("lagGroup", &VexaEgressTrailer::lagGroup),
                           Kel::view("chip", &VexaEgressTrailer::chip),
                           Kel::view("l2Control", &VexaEgressTrailer::l2Control),
                           Kel::view("moved", &VexaEgressTrailer::moved), Kel::view("learn", &VexaEgressTrailer::learn));
  }
  using Scalar::Scalar;
  constexpr U8 port() const { return static_cast<U8>(bits(0, 6)); }
  constexpr U8 lagGroup() const { return static_cast<U8>(bits(6, 6)); }
  constexpr U8 chip() const { return static_cast<U8>(bits(12, 3)); }
  constexpr bool l2Control() const { return bit(18); }
  constexpr bool moved() const { return bit(30); }
  constexpr bool learn() const { return bit(31); }
};
static_assert(sizeof(VexaEgressTrailer) == 4);

KEL_VALUE_FUNCTIONS();

}  // namespace VexaSwitch
