#include "VexaSwitchLib/tables/VexaSwitchUtil.h"

#include <array>
#include <bit>
#include <cstring>

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

// The hashes are remainders modulo G = x^W + poly over GF(2). The augmented
// form (crc10, crc12, crc13) divides the first dataBits + W bits of data
// (bytes in address order, each MSB first): r = M mod G, bit by bit
// r <- (r x + b) mod G. The direct form (crc11) is M x^W mod G of whole
// bytes. Both are computed 64 bits at a time:
//   (r x^64 + C) mod G = sum of T[j][byte j of r] for j = 8, 9
//                      ^ sum of T[j][byte j of C] for j = 0..7,
// with T[j][b] = b x^(8j) mod G, one table set of 10 x 256 entries per
// polynomial; the last, shorter piece of k bits uses r x^k mod G from the
// same tables. Every term but the two of r is independent of the running
// remainder, so the dependent chain is two loads per 64 bits.
struct CrcTables {
  U16 t[10][256];
};

template <unsigned W>
constexpr CrcTables makeCrcTables(U32 poly) {
  CrcTables c{};
  constexpr U32 mask = (U32(1) << W) - 1;
  for (unsigned b = 0; b < 256; ++b) {
    U32 r = b;  // b < x^W: already reduced
    for (unsigned j = 0; j < 10; ++j) {
      c.t[j][b] = U16(r);
      for (unsigned i = 0; i < 8; ++i) {  // r <- r x^8 mod G
        U32 top = (r >> (W - 1)) & 1;
        r = (r << 1) & mask;
        if (top) r ^= poly;
      }
    }
  }
  return c;
}

template <unsigned W, U32... P>
struct CrcFamily {
  static constexpr CrcTables tables[] = {makeCrcTables<W>(P)...};
};

// r x^k mod G for r < 2^13 and k < 64: r x^c spans three bytes, each
// shifted by another 8(k / 8).
inline U32 mulXk(CrcTables const& c, U32 r, unsigned k) {
  unsigned a = k / 8;
  U32 x = r << (k % 8);
  return U32(c.t[a][x & 0xFF]) ^ c.t[a + 1][(x >> 8) & 0xFF] ^ c.t[a + 2][x >> 16];
}
// C mod G for a message piece of up to 64 bits.
inline U32 reduce64(CrcTables const& c, U64 v) {
  return U32(c.t[0][v & 0xFF]) ^ c.t[1][(v >> 8) & 0xFF] ^ c.t[2][(v >> 16) & 0xFF] ^ c.t[3][(v >> 24) & 0xFF] ^
         c.t[4][(v >> 32) & 0xFF] ^ c.t[5][(v >> 40) & 0xFF] ^ c.t[6][(v >> 48) & 0xFF] ^ c.t[7][v >> 56];
}
inline U32 fold64(CrcTables const& c, U32 r, U64 v) {
  return U32(c.t[8][r & 0xFF]) ^ c.t[9][r >> 8] ^ reduce64(c, v);
}

// Eight bytes as a number, in the given byte order.
inline U64 load64(U8 const* p, std::endian order) {
  U64 v;
  std::memcpy(&v, p, 8);
  return order == std::endian::native ? v : __builtin_bswap64(v);
}

// Augmented form over the first `total` bits of data; reads ceil(total / 8)
// bytes.
inline U32 crcAugmented(CrcTables const& c, U8 const* data, unsigned total) {
  U32 r = 0;
  for (; total >= 64; total -= 64, data += 8) {
    r = fold64(c, r, load64(data, std::endian::big));  // data[0] the highest byte
  }
  if (total) {
    unsigned nb = (total + 7) / 8;
    U64 v = 0;
    for (unsigned i = 0; i < nb; ++i) v = v << 8 | data[i];
    v >>= 8 * nb - total;  // the bits past the message
    r = mulXk(c, r, total) ^ reduce64(c, v);
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

U32 crc10Hash(U8* data, U8 polyIndex, U8 dataBits) {
  return crcAugmented(CrcFamily<10, 0x97, 0xCF, 0x233, 0x175>::tables[polyIndex], data, dataBits + 10u);
}
U32 crc12Hash(U8* data, U8 polyIndex, U8 dataBits) {
  return crcAugmented(CrcFamily<12, 0x53, 0x1E7, 0x30F>::tables[polyIndex], data, dataBits + 12u);
}
U32 crc13Hash(U8* data, U8 polyIndex, U8 dataBits) {
  return crcAugmented(CrcFamily<13, 0x55, 0x1213, 0x54B>::tables[polyIndex], data, dataBits + 13u);
}

// The 11-bit hash reads whole bytes, ceil((dataBits + 11) / 8) of them,
// from the last one back to data[0], each MSB first, in the direct form:
// M x^11 mod G, with M those bytes in that order.
U32 crc11Hash(U8* data, U8 polyIndex, U8 dataBits) {
  CrcTables const& c = CrcFamily<11, 0xE7, 0x1EB>::tables[polyIndex];
  unsigned n = (unsigned(dataBits) + 18) / 8;
  U32 r = 0;
  for (; n >= 8; n -= 8) {
    r = fold64(c, r, load64(data + n - 8, std::endian::little));  // data[n - 1] the highest byte
  }
  if (n) {
    U64 v = 0;
    for (unsigned i = n; i-- > 0;) v = v << 8 | data[i];
    r = mulXk(c, r, 8 * n) ^ reduce64(c, v);
  }
  return mulXk(c, r, 11);
}

}  // namespace VexaSwitch
