#pragma once
// The bit-at-a-time forms of the chip's CRC hashes that the table-driven
// ones replaced: the reference the tests compare them with, and the
// benchmarks' yardstick.
#include "VexaSwitchLib/runtime/Types.h"

namespace VexaTest {

// CRC10, CRC12, CRC13: the augmented form over dataBits + W bits of `data`,
// each byte MSB first.
template <unsigned W>
U32 augmentedByBit(U8 const* data, U32 poly, unsigned dataBits) {
  U32 r = 0;
  for (unsigned bit = 0; bit < dataBits + W; ++bit) {
    U32 top = (r >> (W - 1)) & 1;
    r = ((r << 1) | ((data[bit / 8] >> (7 - bit % 8)) & 1)) & ((1u << W) - 1);
    if (top) r ^= poly;
  }
  return r;
}

// CRC11: the direct form over whole bytes, from the last one back to
// data[0], each MSB first.
inline U32 crc11ByBit(U8 const* data, U32 poly, unsigned dataBits) {
  U32 r = 0;
  for (unsigned i = (dataBits + 18) / 8; i-- > 0;) {
    for (int bit = 7; bit >= 0; --bit) {
      U32 f = ((r >> 10) & 1) ^ ((data[i] >> bit) & 1);
      r = (r << 1) & 0x7FF;
      if (f) r ^= poly;
    }
  }
  return r;
}

}  // namespace VexaTest
