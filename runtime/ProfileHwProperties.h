#pragma once
// The per-profile hardware description of a chip (profile module). The L2
// codec reads only parityEnabled, the second byte.
#include <cstddef>

#include "VexaSwitchLib/runtime/Types.h"

namespace VexaSwitch {

struct ProfileHwProperties {
  U8 chipRevision = 0;
  bool parityEnabled = false;
  U8 numPipelines = 12;
  U8 reserved = 0;
  U32 l2TableEntries = 12288;
};
static_assert(offsetof(ProfileHwProperties, parityEnabled) == 1);

}  // namespace VexaSwitch
