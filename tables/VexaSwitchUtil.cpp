#include "VexaSwitchLib/tables/VexaSwitchUtil.h"

#include <array>

namespace VexaSwitch {
namespace {

constexpr std::array<U64, 256> makeParityTable() {
  std::array<U64, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned x = i, p = 0;
    while (x) {
      p ^= x & 1;
      x >>= 1;
    }
    t[i] = p;
  }
  return t;
}
constexpr auto kParity = makeParityTable();

constexpr U32 kPoly10[] = {0x97, 0xCF, 0x233, 0x175};
constexpr U32 kPoly11[] = {0xE7, 0x1EB};
constexpr U32 kPoly12[] = {0x53, 0x1E7, 0x30F};
constexpr U32 kPoly13[] = {0x55, 0x1213, 0x54B};

// Augmented-form division of the first dataBits + W bits of data (bytes in
// address order, each MSB first) by x^W + poly. Bits past dataBits + W are
// never read.
template <unsigned W>
U32 crcAugmented(U8 const* data, U32 poly, U8 dataBits) {
  constexpr U32 mask = (U32(1) << W) - 1;
  unsigned const total = unsigned(dataBits) + W;
  U32 r = 0;
  for (unsigned bit = 0; bit < total; ++bit) {
    unsigned b = (data[bit / 8] >> (7 - bit % 8)) & 1;
    U32 top = (r >> (W - 1)) & 1;
    r = ((r << 1) | b) & mask;
    if (top) r ^= poly;
  }
  return r;
}

}  // namespace

extern const U64 parityLookupTable[256] = {
#define P(i) kParity[i]
#define P4(i) P(i), P(i + 1), P(i + 2), P(i + 3)
#define P16(i) P4(i), P4(i + 4), P4(i + 8), P4(i + 12)
#define P64(i) P16(i), P16(i + 16), P16(i + 32), P16(i + 48)
    P64(0), P64(64), P64(128), P64(192)
#undef P64
#undef P16
#undef P4
#undef P
};

U32 parityU32Array(U32* words, U8 count) {
  U32 p = 0;
  for (U8 i = 0; i < count; ++i) p ^= parity32Bit(words[i]);
  return p;
}

U32 crc10Hash(U8* data, U8 polyIndex, U8 dataBits) { return crcAugmented<10>(data, kPoly10[polyIndex], dataBits); }
U32 crc12Hash(U8* data, U8 polyIndex, U8 dataBits) { return crcAugmented<12>(data, kPoly12[polyIndex], dataBits); }
U32 crc13Hash(U8* data, U8 polyIndex, U8 dataBits) { return crcAugmented<13>(data, kPoly13[polyIndex], dataBits); }

// The 11-bit hash reads whole bytes, ceil((dataBits + 11) / 8) of them,
// from the last one back to data[0], each MSB first, in the direct form.
U32 crc11Hash(U8* data, U8 polyIndex, U8 dataBits) {
  U32 const poly = kPoly11[polyIndex];
  unsigned const bytes = (unsigned(dataBits) + 18) / 8;
  U32 r = 0;
  for (unsigned i = bytes; i-- > 0;) {
    for (int bit = 7; bit >= 0; --bit) {
      U32 f = ((r >> 10) & 1) ^ ((data[i] >> bit) & 1);
      r = (r << 1) & 0x7FF;
      if (f) r ^= poly;
    }
  }
  return r;
}

}  // namespace VexaSwitch
