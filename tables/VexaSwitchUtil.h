#pragma once
// The chip's arithmetic in software: parity of hardware words and the short
// CRC hashes (10 to 13 bits) that index its hash tables. Stateless, no
// allocation, safe from any thread.
#include "VexaSwitchLib/runtime/Types.h"

namespace VexaSwitch {

// Entry i is 1 when i has an odd number of set bits.
extern const U64 parityLookupTable[256];

inline U64 parity64Bit(U64 const& word) {
  U64 x = word;
  x ^= x >> 32;
  x ^= x >> 16;
  x ^= x >> 8;
  return parityLookupTable[x & 0xFF] & 1;
}

inline U32 parity32Bit(U32 const& word) {
  U32 x = word;
  x ^= x >> 16;
  x ^= x >> 8;
  return static_cast<U32>(parityLookupTable[x & 0xFF] & 1);
}

// XOR of parity32Bit over the first `count` words; 0 for count 0.
U32 parityU32Array(U32* words, U8 count);

// CRC hashes over the first dataBits bits of `data` (MSB first), returning
// the W-bit remainder. polyIndex selects the polynomial (10: 0..3, 11: 0..1,
// 12: 0..2, 13: 0..2). Neither argument is checked: callers keep polyIndex
// in range and supply the bytes read (up to 34 for dataBits 255).
U32 crc10Hash(U8* data, U8 polyIndex, U8 dataBits);
U32 crc11Hash(U8* data, U8 polyIndex, U8 dataBits);
U32 crc12Hash(U8* data, U8 polyIndex, U8 dataBits);
U32 crc13Hash(U8* data, U8 polyIndex, U8 dataBits);

}  // namespace VexaSwitch
