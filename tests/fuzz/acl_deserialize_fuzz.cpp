// Fuzz target: the serialized ACL binding. Any buffer either deserializes
// (and then serializes back to a prefix-equal image) or is refused with a
// RangeException; deserializeLen agrees with the outcome on the counts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "VexaSwitchLib/tables/VlanTypes.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  if (size > 4096) return 0;
  // An allocation of exactly `size` bytes: any overread hits the redzone.
  auto buf = std::make_unique<uint8_t[]>(size ? size : 1);
  if (size) std::memcpy(buf.get(), data, size);
  U32 len = static_cast<U32>(size);
  VexaSwitch::VlanMembershipAclEntryConfig v;
  U32 announced = v.deserializeLen(buf.get(), len);
  try {
    v.deserialize(buf.get(), len);
  } catch (Kel::RangeException const&) {
    return 0;
  }
  if (announced != 88) std::abort();  // deserialize accepted what deserializeLen refused
  std::vector<uint8_t> out(v.serializeLen());
  v.serialize(out.data());
  // The flag byte is written back as 0 or 1; everything else verbatim.
  buf[2] = buf[2] != 0;
  if (out.size() > size || std::memcmp(out.data(), buf.get(), out.size()) != 0) std::abort();
  return 0;
}
