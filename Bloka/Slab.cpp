#include "VexaSwitchLib/Bloka/Slab.h"

namespace Bloka {

bool SlabHeader::validate(Quiv::DebugHandler* handler, U64 mappedSize, U32 wantFenix, Quiv::String& error,
                          U32 wantEntrySize) const {
  auto fail = [&](std::string msg) {
    fmtracestr(handler, 0, msg);
    error = std::move(msg);
    return false;
  };
  if (mappedSize < HEADER_SIZE) return fail(fmt::format("bad header file size: {} wanted: {}", mappedSize, HEADER_SIZE));
  if (mappedSize >= Mem::Local::maxMappingSize()) return fail(fmt::format("bad file size:{}", mappedSize));
  if (magicWord() != wantedMagic()) return fail(fmt::format("bad magic: {:x} wanted: {:x}", magicWord(), wantedMagic()));
  if (version != VERSION) return fail(fmt::format("bad version: {} wanted: {}", version, VERSION));
  if (wantFenix != 0 && fenix != wantFenix) return fail(fmt::format("bad fenix:{} wanted:{}", fenix, wantFenix));
  if (checksum != entrySizeChecksum(entrySize))
    return fail(fmt::format("checksum fail: {:x} != {:x}", checksum, entrySizeChecksum(entrySize)));
  // A consistent header of another geometry (a slab file put in the wrong
  // place) would make entry addresses wrong.
  if (wantEntrySize != 0 && entrySize != wantEntrySize)
    return fail(fmt::format("bad entrySize: {} wanted: {}", entrySize, wantEntrySize));
  if (numOccupied > numEntries)
    return fail(fmt::format("bad numOccupied: {} but numEntries: {}", numOccupied, numEntries));
  if (freeList != NONE && freeList >= numEntries)
    return fail(fmt::format("bad freeList: {} maxIndex: {}", freeList, numEntries ? numEntries - 1 : 0));
  U64 need;
  try {
    need = slabFileSize(numEntries, entrySize);
  } catch (Quiv::Exception const& e) {
    return fail(fmt::format("bad numEntries: {} message: {}", numEntries, e.msg()));
  }
  if (mappedSize < need)
    return fail(fmt::format("bad shmem size: {} wanted: {} for {} entries", mappedSize, need, numEntries));
  return true;
}

std::string SlabHeader::toString() const {
  return fmt::format("magic:{:x} version:{} fenix:{} numEntries:{} entrySize:{} freeList:{}", magicWord(), version,
                     fenix, numEntries, entrySize, freeList);
}

}  // namespace Bloka
