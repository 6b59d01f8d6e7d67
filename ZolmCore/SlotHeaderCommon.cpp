#include "VexaSwitchLib/ZolmCore/SlotHeaderCommon.h"

#include <unistd.h>

#include <cstring>
#include <ctime>

namespace Zolm {

void SlotHeaderCommon::init(Quiv::DebugHandler* handler, U32 hdrSize, U32 slotSz, U32 minS, U32 maxS, U16 flg,
                            U32 fenix, std::string_view type, U32 valueSz, U32 seed) {
  // Plain stores: formatting happens only under a new fenix id (S6 in
  // Zolm/SlotWriter.h), and the magic below is stored last.
  std::memset(static_cast<void*>(this), 0, sizeof(*this));
  formatVersion = FORMAT_VERSION;
  headerSize = hdrSize;
  slotSize = slotSz;
  minSlots = minS;
  maxSlots = maxS;
  valueSize = valueSz;
  fenixId = fenix;
  creatorPid = static_cast<U32>(::getpid());
  createTime = static_cast<U64>(std::time(nullptr));
  std::size_t n = std::min<std::size_t>(type.size(), TYPE_NAME_SIZE - 1);
  std::memcpy(typeName, type.data(), n);
  flags = flg;
  freeList = 0xFFFFFFFFu;
  hashSeed = seed;
  // The magic goes last: a file whose creation was cut short is not taken
  // for a formatted one.
  Mem::store64(&magic, MAGIC);
  fmtrace(handler, 5, "SlotHeaderCommon::init {}", toString());
}

std::string_view SlotHeaderCommon::typeNameView() const {
  std::size_t n = ::strnlen(typeName, TYPE_NAME_SIZE);
  return {typeName, n};
}

bool SlotHeaderCommon::validate(Quiv::DebugHandler* handler, U32 hdrSize, U64 fileSize, U32 fenix,
                                Quiv::String& error, U32 expectSlotSize, U32 expectValueSize,
                                std::string_view expectTypeName) const {
  auto fail = [&](std::string msg) {
    error = msg;
    fmtracestr(handler, 0, error);
    return false;
  };
  if (fileSize < HEADER_SIZE) return fail(fmt::format("file too short for a slot header: {} bytes", fileSize));
  if (magic != MAGIC) return fail(fmt::format("not a slot file: bad magic {:#018x}", magic));
  if (formatVersion != FORMAT_VERSION)
    return fail(fmt::format("slot file format version {} not supported (this library reads version {})",
                            formatVersion, FORMAT_VERSION));
  if (headerSize != hdrSize) return fail(fmt::format("bad common header size: {} wanted:{}", headerSize, hdrSize));
  if (slotSize < 16 || slotSize % 8 != 0 || slotSize > 4096)
    return fail(fmt::format("bad slot size: {}", slotSize));
  if (valueSize > slotSize - 16 && !(flags & FLAG_SLAB))
    return fail(fmt::format("value size {} does not fit slot size {}", valueSize, slotSize));
  if (expectSlotSize && slotSize != expectSlotSize)
    return fail(fmt::format("slot size {} wanted:{}", slotSize, expectSlotSize));
  if (expectValueSize && valueSize != expectValueSize)
    return fail(fmt::format("value size {} wanted:{}", valueSize, expectValueSize));
  if (::strnlen(typeName, TYPE_NAME_SIZE) == TYPE_NAME_SIZE) return fail("type name not terminated");
  if (!expectTypeName.empty() && typeNameView() != expectTypeName)
    return fail(fmt::format("file holds values of type {} wanted:{}", typeNameView(), expectTypeName));
  if (fenix && fenixId != fenix)
    return fail(fmt::format("fenixId mismatch: file {:#x} wanted:{:#x}", fenixId, fenix));
  if (minSlots == 0 || numSlots < minSlots)
    return fail(fmt::format("bad slot counts: numSlots:{} minSlots:{}", numSlots, minSlots));
  if (occupiedSlots > numSlots)
    return fail(fmt::format("occupiedSlots:{} above numSlots:{}", occupiedSlots, numSlots));
  if (freeList != 0xFFFFFFFFu && freeList >= numSlots)
    return fail(fmt::format("freeList:{} out of range, numSlots:{}", freeList, numSlots));
  if (maxNumSlots < numSlots) return fail(fmt::format("maxNumSlots:{} below numSlots:{}", maxNumSlots, numSlots));
  return true;
}

std::string SlotHeaderCommon::toString() const {
  return fmt::format(
      "SlotHeader magic:{:#018x} version:{} headerSize:{} slotSize:{} valueSize:{} type:{} fenixId:{:#x} "
      "creatorPid:{} createTime:{} flags:{:#x} runtimeFlags:{:#x} minSlots:{} maxSlots:{} numSlots:{} "
      "maxNumSlots:{} occupiedSlots:{} maxOccupiedSlots:{} freeList:{:#x} hashSeed:{:#x} resizeSeq:{}",
      magic, formatVersion, headerSize, slotSize, valueSize, typeNameView(), fenixId, creatorPid, createTime, flags,
      runtimeFlags, minSlots, maxSlots, numSlots, maxNumSlots, occupiedSlots, maxOccupiedSlots, freeList, hashSeed,
      resizeSeq);
}

}  // namespace Zolm
