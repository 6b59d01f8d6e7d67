#include "VexaSwitchLib/Zolm/DynamicSlotAllocator.h"

namespace Zolm {

void corruptedData(std::string_view context, Bloka::Offset offset, void const* bytes, U32 size) {
  std::string hex;
  auto const* p = static_cast<unsigned char const*>(bytes);
  for (U32 i = 0; i < size; ++i) hex += fmt::format("{:02x}", p[i]);
  fmthrow(Quiv::CorruptionDetectedException, "{} Corrupted serialized value detected at offset: {}, contents: {}", context,
          offset, hex);
}

}  // namespace Zolm
