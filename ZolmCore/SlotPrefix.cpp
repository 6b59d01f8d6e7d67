#include "VexaSwitchLib/ZolmCore/SlotPrefix.h"

#include "VexaSwitchLib/runtime/Exception.h"

namespace Zolm {

void SlotSpan::outOfRange(U32 id) const {
  fmthrow(Quiv::CorruptionDetectedException, "out-of-range index: {} max:{}", id, maxIndex);
}

}  // namespace Zolm
