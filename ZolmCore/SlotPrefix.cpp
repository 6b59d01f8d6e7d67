#include "ZolmCore/SlotPrefix.h"

#include "runtime/Exception.h"

namespace Zolm {

void SlotSpan::outOfRange(U32 id) const {
  fmthrow(Quiv::CorruptionDetectedException, "out-of-range index: {} max:{}", id, maxIndex);
}

}  // namespace Zolm
