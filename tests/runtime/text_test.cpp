// Text forms of the runtime's basic attributes and of the sibling value
// types: every form parses back to the value that produced it, and every
// malformed text is refused with a message that says where and what.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "VexaSwitchLib/runtime/Runtime.h"

using ::testing::HasSubstr;

namespace {

template <class T>
T roundTrip(T const& v) {
  return Kel::strepToValue<T>(valueToStrep(v));
}

TEST(StringText, RoundTripsQuotesBackslashesAndControlBytesAndRefusesBadText) {
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    std::string s;
    int len = static_cast<int>(rng() % 12);
    for (int j = 0; j < len; ++j) {
      static char const kAlphabet[] = {'a', '\'', '\\', '\n', '\t', '\r', '\0', '\x7f', '\xff', ' ', 'x', '"'};
      s.push_back(kAlphabet[rng() % sizeof(kAlphabet)]);
    }
    Quiv::String text = Kel::valueToStrep(Quiv::String(s));
    Kel::CharRange r(text.view());
    EXPECT_EQ(Kel::deserializeAttr<Quiv::String>(r, "name").str(), s) << text;
    EXPECT_TRUE(r.atEnd());
  }
  for (std::string_view bad : {"'abc", "'ab\\", "'a\\q'", "'\\x4'", "abc"}) {
    Kel::CharRange r(bad);
    EXPECT_THROW(Kel::deserializeAttr<Quiv::String>(r, "name"), Kel::ParseException) << bad;
  }
}

TEST(NumberText, LimitsAreExactPerWidth) {
  Kel::CharRange ok("255,");
  EXPECT_EQ(Kel::deserializeAttr<U8>(ok, "v"), 255);
  EXPECT_EQ(ok.peek(), ',');
  Kel::CharRange big("256");
  try {
    Kel::deserializeAttr<U8>(big, "vrfBits");
    FAIL();
  } catch (Kel::RangeException const& e) {
    EXPECT_EQ(e.attribute(), "vrfBits");
  }
  Kel::CharRange max64("18446744073709551615");
  EXPECT_EQ(Kel::deserializeAttr<U64>(max64, "c"), ~U64(0));
  Kel::CharRange over64("18446744073709551616");
  EXPECT_THROW(Kel::deserializeAttr<U64>(over64, "c"), Kel::RangeException);
  Kel::CharRange sign("-1");
  EXPECT_THROW(Kel::deserializeAttr<U32>(sign, "c"), Kel::ParseException);
}

TEST(ParseErrors, SayWhereAndWhatWasExpected) {
  Kel::CharRange r("Value('Bridging::MacVlanPair', ** {'mac': 01:02:03:04:05:06, 'vlan': 3})");
  try {
    Bridging::MacVlanPair p(r);
    FAIL();
  } catch (Kel::ParseException const& e) {
    EXPECT_THAT(e.msg().str(), HasSubstr("offset 59"));
    EXPECT_THAT(e.msg().str(), HasSubstr("expected \", 'vlanId': \", found \", 'vlan': 3})\""));
  }
  EXPECT_THROW(Kel::strepToValue<Nox::Seqno32>("5 "), Kel::ParseException);
  EXPECT_EQ(Kel::strepToValue<Nox::Seqno32>("5").value(), 5u);
}

TEST(BoundedIds, UpperBoundIsLegalAndDefaultAboveIsRefused) {
  EXPECT_EQ(Oka::Central::DeviceId().value(), 64);
  EXPECT_FALSE(Oka::Central::DeviceId());
  EXPECT_TRUE(Oka::Central::DeviceId(0));
  EXPECT_EQ(Kel::strepToValue<Oka::Central::DeviceId>("64").value(), 64);
  try {
    Kel::strepToValue<Oka::Central::DeviceId>("65");
    FAIL();
  } catch (Kel::RangeException const& e) {
    EXPECT_EQ(e.msg().str(),
              "Oka::Central::DeviceId::value < Oka::Central::DeviceId::min or > "
              "Oka::Central::DeviceId::null not allowed");
  }
  // Past the attribute's width still gets the type's own message.
  EXPECT_THROW(Kel::strepToValue<Oka::Central::DeviceId>("4294967297"), Kel::RangeException);
  EXPECT_THROW(Bridging::VlanId(4096), Kel::RangeException);
}

TEST(SiblingTypes, RandomValuesRoundTrip) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 3000; ++i) {
    Bridging::MacVlanPair p(Bridging::EthAddr::fromU48(rng() & 0xFFFFFFFFFFFFULL),
                            Bridging::VlanId(static_cast<U16>(rng() % 4096)));
    ASSERT_EQ(roundTrip(p), p) << valueToStrep(p);
    Nox::UniqueId u(static_cast<U32>(rng()), static_cast<U32>(rng()));
    ASSERT_EQ(roundTrip(u), u);
    auto t = static_cast<Bridging::EntryType>(rng() % 256);
    Quiv::String text = valueToStrep(t);
    Kel::CharRange r(text.view());
    ASSERT_EQ(Bridging::sequenceToValue(r, nullptr), t) << text;
  }
}

TEST(IntfId, NamesRoundTripAndKindsClassify) {
  for (std::string_view name : {"", "Ethernet3", "Ethernet3/1", "Ethernet3/1/2", "Port-Channel17", "Vlan100",
                                "Cpu", "Loopback0", "Management1/1", "UnconnectedEthernet5"}) {
    Lanx::IntfId id{name};
    EXPECT_EQ(id.name(), Quiv::String(name));
    Quiv::String text = valueToStrep(id);
    Kel::CharRange r(text.view());
    EXPECT_EQ(Lanx::sequenceToValue(r, nullptr), id);
  }
  EXPECT_TRUE(Lanx::EthIntfId::isUnconnected(Lanx::IntfId("UnconnectedEthernet5")));
  EXPECT_TRUE(Lanx::EthIntfId::isEthIntfId(Lanx::IntfId("UnconnectedEthernet5")));
  EXPECT_FALSE(Lanx::EthIntfId::isUnconnected(Lanx::IntfId("Ethernet5")));
  EXPECT_TRUE(Lanx::PortChannelIntfId::isPortChannelIntfId(Lanx::IntfId::portChannel(7)));
  EXPECT_TRUE(Lanx::CpuIntfId::isCpuIntfId(Lanx::IntfId("Cpu")));
  EXPECT_THROW(Lanx::IntfId("Ethernet"), Kel::ParseException);
  EXPECT_THROW(Lanx::IntfId("Ethernet1/"), Kel::ParseException);
  EXPECT_THROW(Lanx::IntfId("Tunnel4"), Kel::ParseException);
  EXPECT_THROW(Lanx::IntfId("Vlan4095"), Kel::RangeException);
  EXPECT_THROW(Lanx::IntfId("CpuX"), Kel::ParseException);
}

}  // namespace
