// Parity and the chip's CRC hashes: the known vectors, and the properties
// that catch a wrong bit order or a wrong byte count.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "VexaSwitchLib/tables/VexaSwitchUtil.h"
#include "testutil/CrcReference.h"

namespace vexa_util_test {

using namespace VexaSwitch;

namespace {

TEST(Parity, KnownWordsAndAgreementWithPopcount) {
  U32 words[] = {1, 3};
  EXPECT_EQ(std::tuple(parity64Bit(0), parity64Bit(1), parity64Bit(~U64(0)), parity64Bit(0x8000000000000001ULL)),
            std::tuple(0u, 1u, 0u, 0u));
  EXPECT_EQ(std::tuple(parity32Bit(7), parityU32Array(nullptr, 0), parityU32Array(words, 2)), std::tuple(1u, 0u, 1u));
  for (unsigned i = 0; i < 256; ++i) ASSERT_EQ(parityLookupTable[i], U64(__builtin_popcount(i) & 1)) << i;
  std::mt19937_64 rng(1);
  for (int i = 0; i < 10000; ++i) {
    U64 w = rng();
    ASSERT_EQ(parity64Bit(w), U64(__builtin_parityll(w)));
    ASSERT_EQ(parity32Bit(static_cast<U32>(w)), U32(__builtin_parity(static_cast<U32>(w))));
  }
}

struct Key {
  U8 bytes[40] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
};

TEST(Crc, KnownVectorsOfA48BitKey) {
  Key k;
  using V = std::vector<U32>;
  auto each = [&](auto hash, U8 polys) {
    V v;
    for (U8 p = 0; p < polys; ++p) v.push_back(hash(k.bytes, p, 48));
    return v;
  };
  EXPECT_EQ(each(crc10Hash, 4), (V{0x18, 0x287, 0x36, 0x100}));
  EXPECT_EQ(each(crc11Hash, 2), (V{0x538, 0x7EA}));
  EXPECT_EQ(each(crc12Hash, 3), (V{0x599, 0x840, 0xC7F}));
  EXPECT_EQ(each(crc13Hash, 3), (V{0xFA, 0x15F4, 0x355}));
}

using VexaTest::augmentedByBit;
using VexaTest::crc11ByBit;

// A million random messages, every length 0..255 and every polynomial,
// against the reference: the bits past a message are random too, so a hash
// that read them (crc11: past its whole bytes) would disagree. The zero
// message hashes to zero.
TEST(Crc, EqualToTheBitwiseFormOnRandomMessagesOfEveryLength) {
  U32 const p10[] = {0x97, 0xCF, 0x233, 0x175}, p11[] = {0xE7, 0x1EB}, p12[] = {0x53, 0x1E7, 0x30F},
            p13[] = {0x55, 0x1213, 0x54B};
  std::mt19937_64 rng(2);
  U8 zero[34] = {};
  for (unsigned bits = 0; bits < 256; ++bits) {
    for (U8 p = 0; p < 2; ++p) {
      ASSERT_EQ(crc10Hash(zero, p, U8(bits)) | crc11Hash(zero, p, U8(bits)) | crc12Hash(zero, p, U8(bits)) |
                    crc13Hash(zero, p, U8(bits)),
                0u);
    }
  }
  for (unsigned i = 0; i < 250000; ++i) {
    U8 buf[40];
    for (unsigned w = 0; w < 40; w += 8) {
      U64 x = rng();
      std::memcpy(buf + w, &x, 8);
    }
    U8 bits = U8(i % 256);
    U8 p = U8(i / 256);
    ASSERT_EQ(crc10Hash(buf, p % 4, bits), augmentedByBit<10>(buf, p10[p % 4], bits)) << int(bits);
    ASSERT_EQ(crc11Hash(buf, p % 2, bits), crc11ByBit(buf, p11[p % 2], bits)) << int(bits);
    ASSERT_EQ(crc12Hash(buf, p % 3, bits), augmentedByBit<12>(buf, p12[p % 3], bits)) << int(bits);
    ASSERT_EQ(crc13Hash(buf, p % 3, bits), augmentedByBit<13>(buf, p13[p % 3], bits)) << int(bits);
  }
}

}  // namespace

}  // namespace vexa_util_test
