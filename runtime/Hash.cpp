#include "VexaSwitchLib/runtime/Hash.h"

#include <cstring>

namespace Kel {

U32 hashBytes(U32 seed, void const* data, std::size_t len) {
  auto const* p = static_cast<unsigned char const*>(data);
  U64 h = seedWord(seed) ^ (U64(len) * 0x87c37b91114253d5ULL);
  while (len >= 8) {
    U64 w;
    std::memcpy(&w, p, 8);
    h = fmix64(h ^ w) + 0x52dce729;
    p += 8;
    len -= 8;
  }
  U64 tail = 0;
  std::memcpy(&tail, p, len);
  h = fmix64(h ^ tail ^ (U64(len) << 56));
  return fold32(h);
}

}  // namespace Kel
