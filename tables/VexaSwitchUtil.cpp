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
// bytes. Both are computed 64 message bits at a time:
//   (r x^64 + C) mod G = sum of T[j][byte j of r] for j = 8, 9
//                      ^ sum of T[j][byte j of C] for j = 0..7,
// with T[j][b] = b x^(8j + shift) mod G (shift 0; W for the direct form's
// last piece, which folds in its factor x^W). The message is cut so that
// only the first piece is short: it starts from r = 0, and every later
// term but the two of r is independent of the running remainder, so the
// dependent chain is two table loads per 64 bits.
struct CrcTables {
  U16 t[10][256];
};

// One step r <- r x mod G of a W-bit remainder.
template <unsigned W>
constexpr U32 timesX(U32 r, U32 poly) {
  U32 top = (r >> (W - 1)) & 1;
  r = (r << 1) & ((U32(1) << W) - 1);
  return top ? r ^ poly : r;
}

template <unsigned W>
constexpr CrcTables makeCrcTables(U32 poly, unsigned shift) {
  CrcTables c{};
  for (unsigned b = 0; b < 256; ++b) {
    U32 r = b;  // b < x^W: already reduced
    for (unsigned i = 0; i < shift; ++i) r = timesX<W>(r, poly);
    for (unsigned j = 0; j < 10; ++j) {
      c.t[j][b] = U16(r);
      for (unsigned i = 0; i < 8; ++i) r = timesX<W>(r, poly);
    }
  }
  return c;
}

template <unsigned W, unsigned Shift, U32... P>
struct CrcFamily {
  static constexpr CrcTables tables[] = {makeCrcTables<W>(P, Shift)...};
};
using Crc10 = CrcFamily<10, 0, 0x97, 0xCF, 0x233, 0x175>;
using Crc11 = CrcFamily<11, 0, 0xE7, 0x1EB>;
using Crc11Last = CrcFamily<11, 11, 0xE7, 0x1EB>;
using Crc12 = CrcFamily<12, 0, 0x53, 0x1E7, 0x30F>;
using Crc13 = CrcFamily<13, 0, 0x55, 0x1213, 0x54B>;

// C x^shift mod G for a message piece C of up to 64 bits.
inline U32 reduce64(CrcTables const& c, U64 v) {
  return U32(c.t[0][v & 0xFF]) ^ c.t[1][(v >> 8) & 0xFF] ^ c.t[2][(v >> 16) & 0xFF] ^ c.t[3][(v >> 24) & 0xFF] ^
         c.t[4][(v >> 32) & 0xFF] ^ c.t[5][(v >> 40) & 0xFF] ^ c.t[6][(v >> 48) & 0xFF] ^ c.t[7][v >> 56];
}
// (r x^64 + C) x^shift mod G, r below 2^13.
inline U32 fold64(CrcTables const& c, U32 r, U64 v) {
  return U32(c.t[8][r & 0xFF]) ^ c.t[9][r >> 8] ^ reduce64(c, v);
}

// Eight bytes as a number, in the given byte order.
inline U64 load64(U8 const* p, std::endian order) {
  U64 v;
  std::memcpy(&v, p, 8);
  return order == std::endian::native ? v : __builtin_bswap64(v);
}
// The first `bytes` (at most 8) bytes as a number, p[0] the highest.
inline U64 loadShort(U8 const* p, unsigned bytes) {
  U64 v = 0;
  for (unsigned i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

// Augmented form over the first `total` bits of data; reads ceil(total / 8)
// bytes. The short piece first, then 64-bit pieces that may start inside a
// byte (the ninth byte they touch still holds message bits).
// Out of line: inlined beside the short form it costs the short form its
// registers (saved and restored on every call).
[[gnu::noinline]] U32 crcAugmented(CrcTables const& c, U8 const* data, unsigned total) {
  unsigned bit = total % 64;
  U32 r = 0;
  if (bit) {
    unsigned nb = (bit + 7) / 8;
    r = reduce64(c, loadShort(data, nb) >> (8 * nb - bit));  // the bits past it dropped
  }
  for (; bit < total; bit += 64) {
    U8 const* p = data + bit / 8;
    unsigned s = bit % 8;
    U64 v = load64(p, std::endian::big);
    if (s) v = v << s | p[8] >> (8 - s);
    r = fold64(c, r, v);
  }
  return r;
}

// The augmented form of up to 80 bits (ten bytes read), with nb bytes
// read and s = 8 nb - total bits past the message in the last one: byte
// j of the message from its low end is (data[nb - 2 - j] data[nb - 1 - j])
// >> s, and its term is c.t[j][that byte]. No dependent chain, and byte
// loads only, each byte once: the reads are volatile so that the compiler
// cannot merge neighbours into one wide load, which a byte store the
// caller just made (a key built byte by byte) cannot forward to.
inline U32 crcAugmentedShort(CrcTables const& c, U8 const* data, unsigned total) {
  unsigned const nb = (total + 7) / 8, s = 8 * nb - total;
  U8 const volatile* end = data + nb;  // byte j from the low end: end[-1 - j] and the one before
  unsigned hi = end[-int(nb)];
  U32 r = c.t[nb - 1][U8(hi >> s)];  // the highest byte: only its top 8 - s bits
#define VEXA_CRC_TERM(j)                    \
  {                                         \
    unsigned lo = end[-1 - (j)];            \
    r ^= c.t[j][U8((hi << 8 | lo) >> s)];   \
    hi = lo;                                \
  }                                         \
  [[fallthrough]]
  switch (nb) {
    case 10: VEXA_CRC_TERM(8);
    case 9: VEXA_CRC_TERM(7);
    case 8: VEXA_CRC_TERM(6);
    case 7: VEXA_CRC_TERM(5);
    case 6: VEXA_CRC_TERM(4);
    case 5: VEXA_CRC_TERM(3);
    case 4: VEXA_CRC_TERM(2);
    case 3: VEXA_CRC_TERM(1);
    case 2: VEXA_CRC_TERM(0);
    default: break;
  }
#undef VEXA_CRC_TERM
  return r;
}
inline U32 crcAugmentedAny(CrcTables const& c, U8 const* data, unsigned total) {
  return total <= 80 ? crcAugmentedShort(c, data, total) : crcAugmented(c, data, total);
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
  return crcAugmentedAny(Crc10::tables[polyIndex], data, dataBits + 10u);
}
U32 crc12Hash(U8* data, U8 polyIndex, U8 dataBits) {
  return crcAugmentedAny(Crc12::tables[polyIndex], data, dataBits + 12u);
}
U32 crc13Hash(U8* data, U8 polyIndex, U8 dataBits) {
  return crcAugmentedAny(Crc13::tables[polyIndex], data, dataBits + 13u);
}

// The 11-bit hash reads whole bytes, ceil((dataBits + 11) / 8) of them,
// from the last one back to data[0], each MSB first, in the direct form:
// M x^11 mod G, with M those bytes in that order. Up to ten bytes (the
// usual 48- and 60-bit keys) every byte is one term on its own, byte j
// being last.t[j][data[j]] = data[j] x^(8j + 11) mod G: byte loads, which
// the caller's byte stores forward to, and no dependent chain. Longer
// messages go in pieces as above: the short one (the last n % 8 bytes)
// first, then 8 bytes at a time; the last piece is reduced with the
// tables that carry the factor x^11.
U32 crc11Hash(U8* data, U8 polyIndex, U8 dataBits) {
  CrcTables const& c = Crc11::tables[polyIndex];
  CrcTables const& last = Crc11Last::tables[polyIndex];
  unsigned n = (unsigned(dataBits) + 18) / 8;  // 2..34
  if (n <= 10) {
    U32 r = 0;
    switch (n) {
      case 10: r ^= last.t[9][data[9]]; [[fallthrough]];
      case 9: r ^= last.t[8][data[8]]; [[fallthrough]];
      case 8: r ^= last.t[7][data[7]]; [[fallthrough]];
      case 7: r ^= last.t[6][data[6]]; [[fallthrough]];
      case 6: r ^= last.t[5][data[5]]; [[fallthrough]];
      case 5: r ^= last.t[4][data[4]]; [[fallthrough]];
      case 4: r ^= last.t[3][data[3]]; [[fallthrough]];
      case 3: r ^= last.t[2][data[2]]; [[fallthrough]];
      default: return r ^ last.t[1][data[1]] ^ last.t[0][data[0]];  // n >= 2
    }
  }
  unsigned head = n % 8;
  U32 r = 0;
  if (head) {
    U64 v = 0;  // data[n - 1] the highest byte
    for (unsigned i = n; i-- > n - head;) v = v << 8 | data[i];
    r = reduce64(c, v);
    n -= head;
  }
  for (; n > 8; n -= 8) r = fold64(c, r, load64(data + n - 8, std::endian::little));  // data[n - 1] highest
  return fold64(last, r, load64(data, std::endian::little));
}

}  // namespace VexaSwitch
