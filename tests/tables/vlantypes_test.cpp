// VLAN membership and ACL-binding entries: defaults, the array rules
// (holes, trimming), the exact serialized bytes, and hostile buffers that
// must be refused without reading past their end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "VexaSwitchLib/tables/VlanTypes.h"
#include "testutil/Expect.h"

namespace vexa_vlantypes_test {

using namespace VexaSwitch;
using Idx = VlanMembershipTableAclIndex;

namespace {

TEST(VlanMembershipEntryConfig, DefaultsAndText) {
  VlanMembershipEntryConfig d;
  EXPECT_FALSE(d);
  EXPECT_EQ(valueToStrep(d),
            "Value('VexaSwitch::VlanMembershipEntryConfig', ** {'key': 1, 'permitMask': 0, 'learnToCpu': True, "
            "'unknownMulticastToCpu': False, 'multicastJoinToCpu': False, 'broadcastToCpu': False, "
            "'unknownDaToCpu': False, 'multicastJoinToEgress': True, 'vrfBits': 0, 'unicastRoute': False, "
            "'multicastRoute': False})");
  EXPECT_TRUE(VlanMembershipEntryConfig(Bridging::VlanId(100)));
  // (Random values through text: values_test.cpp; the image: its pinned
  // offsets in VlanTypes.h and each field's bytes, values_test.cpp.)
}

TEST(AclArrays, SetFillsGapsDeleteTrimsTrailingDefaults) {
  VlanMembershipAclEntryConfig c(Bridging::VlanId(10));
  PipeAclId x(42);
  c.aclIdIs(Idx(3), x);
  ASSERT_EQ(c.aclId().count(), 4u);
  for (U32 i = 0; i < 3; ++i) EXPECT_EQ(c.aclId()[i].value(), 0x100D);
  EXPECT_EQ(c.aclIdDel(Idx(3)), x);
  EXPECT_EQ(c.aclId().count(), 0u);

  c.aclIdIs(Idx(0), PipeAclId(1));
  c.aclIdIs(Idx(1), PipeAclId(2));
  EXPECT_EQ(c.aclIdDel(Idx(0)).value(), 1);
  ASSERT_EQ(c.aclId().count(), 2u);
  EXPECT_EQ(c.aclId()[0].value(), 0x100D);  // a hole
  EXPECT_EQ(c.aclIdDel(Idx(5)).value(), 0x100D);
  EXPECT_EQ(valueToStrep(c),
            "Value('VexaSwitch::VlanMembershipAclEntryConfig', ** {'key': 10, 'disableVlan': False, "
            "'aclId': [4109, 2], 'aclEnable': [], 'aclDefaultPermit': []})");
  EXPECT_THROW(Idx(12), Kel::RangeException);
  EXPECT_EQ(VexaTest::thrownMessage<Kel::RangeException>([] { Kel::strepToValue<Idx>("12"); }),
            "VexaSwitch::VlanMembershipTableAclIndex::value < VexaSwitch::VlanMembershipTableAclIndex::min or > "
            "VexaSwitch::VlanMembershipTableAclIndex::max not allowed");
  EXPECT_THROW(Kel::strepToValue<VlanMembershipAclEntryConfig>(valueToStrep(c)), Kel::TypeException);
}

TEST(AclSerialization, ExactBytesOfTheWorkedCases) {
  VlanMembershipAclEntryConfig fresh(Bridging::VlanId(10));
  ASSERT_EQ(fresh.serializeLen(), 16u);
  std::vector<unsigned char> buf(fresh.serializeLen(), 0xEE);
  fresh.serialize(buf.data());
  EXPECT_EQ(buf, (std::vector<unsigned char>{0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(fresh.deserializeLen(buf.data(), 16), 88u);

  VlanMembershipAclEntryConfig c(Bridging::VlanId(10));
  c.aclIdIs(Idx(0), PipeAclId(5));
  c.aclIdIs(Idx(1), PipeAclId(7));
  c.aclEnableIs(Idx(0), PipeAclEnable(1));
  ASSERT_EQ(c.serializeLen(), 22u);
  buf.assign(22, 0xEE);
  c.serialize(buf.data());
  // The count A, the ids, the count B at 8 + 2A, the flag, C at 12 + 2A + 2B.
  EXPECT_EQ(std::vector<int>({buf[4], buf[8], buf[10], buf[12], buf[16], buf[18]}),
            (std::vector<int>{2, 5, 7, 1, 1, 0}));
  VlanMembershipAclEntryConfig back;
  back.deserialize(buf.data(), 22);
  EXPECT_EQ(back, c);  // (buffers to values and back: the fuzzer)
}

// Every count byte at every length (the fuzzer covers the rest of the
// bytes): refused exactly when deserializeLen refuses, and a refusal leaves
// the value as it was. Each buffer is an allocation of exactly its length,
// so the sanitized build catches any read past it.
TEST(AclSerialization, HostileBuffersAreRefusedWithoutOverreadingOrLoss) {
  std::mt19937 rng(13);
  VlanMembershipAclEntryConfig keep(Bridging::VlanId(77));
  keep.aclIdIs(Idx(2), PipeAclId(9));
  for (U32 count = 0; count < 256; ++count) {
    for (U32 len = 0; len <= 90; ++len) {
      auto buf = std::make_unique<unsigned char[]>(len ? len : 1);
      for (U32 i = 0; i < len; ++i) buf[i] = static_cast<unsigned char>(rng() % 3 == 0 ? rng() : 0);
      if (len >= 2) buf[1] &= 0x0F;  // a valid VLAN id: this loop is about the counts
      if (len >= 8) buf[4] = static_cast<unsigned char>(count), buf[5] = buf[6] = buf[7] = 0;
      bool lenAccepts = keep.deserializeLen(buf.get(), len) == 88u;
      VlanMembershipAclEntryConfig v = keep;
      try {
        v.deserialize(buf.get(), len);
        ASSERT_TRUE(lenAccepts && (count <= 12 || len < 8)) << "count " << count << " len " << len;
      } catch (Kel::RangeException const&) {
        ASSERT_FALSE(lenAccepts) << "count " << count << " len " << len;
        ASSERT_EQ(v, keep) << "a refused buffer changed the value";
      }
    }
  }
  unsigned char badVlan[16] = {0xFF, 0xFF};
  EXPECT_THROW(VlanMembershipAclEntryConfig().deserialize(badVlan, 16), Kel::RangeException);
}

}  // namespace

}  // namespace vexa_vlantypes_test
