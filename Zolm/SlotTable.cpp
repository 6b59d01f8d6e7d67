#include "VexaSwitchLib/Zolm/SlotTable.h"

#include "VexaSwitchLib/runtime/Mem.h"

namespace Zolm::SlotTable {

U64 fileSize(U32 slotSize, U64 numSlots) {
  return Quiv::Util::fileSizeHelper(numSlots, slotSize, headerSize(slotSize));
}

U32 pageSlots(U32 slotSize) {
  U64 page = Mem::pageSize();
  U64 hdr = headerSize(slotSize);
  if (page <= hdr) return 1;
  U64 fit = (page - hdr) / slotSize;
  if (fit == 0) return 1;
  return largestPowerOfTwoAtMost(fit);
}

bool validateHeader(Quiv::DebugHandler* handler, SlotHeaderCommon const& h, U64 size, U32 fenixId, U32 slotSize,
                    U32 valueSize, std::string_view typeName, Quiv::String& error) {
  if (size < COMMON_HEADER_SIZE) {
    error = fmt::format("bad header file size: {} wanted:{}", size, headerSize(slotSize));
    fmtracestr(handler, 0, error);
    return false;
  }
  if (!h.validate(handler, COMMON_HEADER_SIZE, size, fenixId, error, slotSize, valueSize, typeName)) return false;
  if (size < headerSize(h.slotSize)) {
    error = fmt::format("bad header file size: {} wanted:{}", size, headerSize(h.slotSize));
    fmtracestr(handler, 0, error);
    return false;
  }
  U64 need = 0;
  try {
    need = fileSize(h.slotSize, h.numSlots);
  } catch (Quiv::Exception const& e) {
    error = fmt::format("bad numSlots: {} message: {}", h.numSlots, e.msg());
    fmtracestr(handler, 0, error);
    return false;
  }
  if (size < need) {
    error = fmt::format("bad shmem size:{} wanted:{} for {} slots", size, need, h.numSlots);
    fmtracestr(handler, 0, error);
    return false;
  }
  return true;
}

}  // namespace Zolm::SlotTable
