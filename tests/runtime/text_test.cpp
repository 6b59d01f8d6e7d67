// Text forms of the runtime's basic attributes and of the sibling value
// types: every form parses back to the value that produced it, and every
// malformed text is refused with a message that says where and what.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include <fmt/format.h>

#include "VexaSwitchLib/runtime/Runtime.h"
#include "testutil/Expect.h"

namespace vexa_text_test {

using ::testing::HasSubstr;
using VexaTest::thrownMessage;

namespace {

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

// Numbers end exactly at each width's limit; a parse error says where and
// what was expected.
TEST(ParseErrors, NumberLimitsAreExactPerWidthAndErrorsSayWhereAndWhat) {
  Kel::CharRange ok("255,"), big("256"), max64("18446744073709551615"), over64("18446744073709551616"), sign("-1");
  EXPECT_EQ(Kel::deserializeAttr<U8>(ok, "v"), 255);
  EXPECT_EQ(ok.peek(), ',');
  EXPECT_THAT(thrownMessage<Kel::RangeException>([&] { Kel::deserializeAttr<U8>(big, "vrfBits"); }),
              HasSubstr("(attribute 'vrfBits')"));
  EXPECT_EQ(Kel::deserializeAttr<U64>(max64, "c"), ~U64(0));
  EXPECT_THROW(Kel::deserializeAttr<U64>(over64, "c"), Kel::RangeException);
  EXPECT_THROW(Kel::deserializeAttr<U32>(sign, "c"), Kel::ParseException);

  Kel::CharRange r("Value('Bridging::MacVlanPair', ** {'mac': 01:02:03:04:05:06, 'vlan': 3})");
  std::string msg = thrownMessage<Kel::ParseException>([&] { Bridging::MacVlanPair p(r); });
  EXPECT_THAT(msg, HasSubstr("offset 59"));
  EXPECT_THAT(msg, HasSubstr("expected \", 'vlanId': \", found \", 'vlan': 3})\""));
  EXPECT_THROW(Kel::strepToValue<Nox::Seqno32>("5 "), Kel::ParseException);
  EXPECT_EQ(Kel::strepToValue<Nox::Seqno32>("5").value(), 5u);
}

// Every entry type's image, named or not, reads back from its text.
TEST(SiblingTypes, EveryEntryTypeRoundTrips) {
  for (unsigned i = 0; i < 256; ++i) {
    auto t = static_cast<Bridging::EntryType>(i);
    Quiv::String text = valueToStrep(t);
    Kel::CharRange r(text.view());
    ASSERT_EQ(Bridging::sequenceToValue(r, nullptr), t) << text;
  }
}

TEST(IntfId, NamesRoundTripAndMalformedNamesAreRefused) {
  for (std::string_view name : {"", "Ethernet3", "Ethernet3/1", "Ethernet3/1/2", "Port-Channel17", "Vlan100",
                                "Cpu", "Loopback0", "Management1/1", "UnconnectedEthernet5", "Loopback65535",
                                "Unknown0x0100000000000000"})
    EXPECT_EQ(Lanx::IntfId{name}.name(), Quiv::String(name));
  // What the constructors make is named, and the name reads back.
  using Lanx::IntfId;
  for (auto [id, name] : {std::pair{IntfId::ethernet(0), "Ethernet0"}, {IntfId::ethernet(3, 0, 5), "Ethernet3/0/5"},
                          {IntfId::vlan(4095), "Vlan4095"}, {IntfId::portChannel(0), "Port-Channel0"},
                          {IntfId::fromRaw(6), "Unknown0x0000000000000006"}}) {
    EXPECT_EQ(id.name(), name);
    EXPECT_EQ(Lanx::IntfId{name}, id);
  }
  EXPECT_EQ(Lanx::IntfId("Unknown0xFF"), Lanx::IntfId::fromRaw(255)) << "any case, 1..16 digits";
  // (The kinds' classifiers: the interface filter's test, smalltypes_test.cpp.)
  for (char const* bad : {"Ethernet", "Ethernet1/", "Ethernet1/2/3/4", "Tunnel4", "CpuX", "Unknown0x",
                          "Unknown0x00000000000000001", "Unknown0x12g", "Unknown"})
    EXPECT_THROW(Lanx::IntfId{bad}, Kel::ParseException) << bad;
  EXPECT_THROW(Lanx::IntfId("Vlan65536"), Kel::RangeException);
}

// Every image an id can hold prints a text that parses back to it:
// exhaustive over each kind's first number, every kind byte with every
// component count on edge numbers (random images inside records:
// values_test.cpp).
TEST(IntfId, EveryImagePrintsATextThatParsesBack) {
  auto check = [](U64 raw) {
    Lanx::IntfId id = Lanx::IntfId::fromRaw(raw);
    Quiv::String text = valueToStrep(id);
    Kel::CharRange r(text.view());
    Lanx::IntfId back;
    try {
      back = Lanx::sequenceToValue(r, nullptr);
    } catch (Quiv::Exception const& e) {
      return ::testing::AssertionFailure() << fmt::format("{:#018x} prints '{}': {}", raw, text, e.msg());
    }
    if (back != id || !r.atEnd())
      return ::testing::AssertionFailure() << fmt::format("{:#018x} prints '{}', read back as {:#018x}", raw, text,
                                                          back.raw());
    return ::testing::AssertionSuccess();
  };
  constexpr U16 edges[] = {0, 1, 2, 4094, 4095, 65535};
  for (unsigned kind = 0; kind < 256; ++kind)
    for (unsigned n : {0, 1, 2, 3, 4, 5, 128, 255})
      for (U16 a : edges)
        for (U16 b : edges)
          for (U16 c : edges)
            ASSERT_TRUE(check(U64(kind) << 56 | U64(n) << 48 | U64(a) << 32 | U64(b) << 16 | c));
  for (unsigned kind = 1; kind <= 7; ++kind)
    for (unsigned n = 1; n <= 3; ++n)
      for (U32 a = 0; a <= 65535; ++a)
        ASSERT_TRUE(check(U64(kind) << 56 | U64(n) << 48 | U64(a) << 32 | U64(U16(a * 7)) << 16 | (65535 - a)));
}

}  // namespace

}  // namespace vexa_text_test
