// Table names: building, parsing, the malformed names that must fall back
// to the default id, and the one that must raise.
#include <gtest/gtest.h>

#include <random>
#include <regex>

#include "VexaSwitchLib/tables/VexaSwitchTypes.h"
#include "VexaSwitchLib/tables/ZolmTypes.h"
#include "testutil/Expect.h"

namespace vexa_tableid_test {

using VexaSwitch::TableId;

namespace {

TableId make(char const* f, char const* t, U8 dev = 64, U8 pipe = 255) {
  TableId id(f, t);
  id.devIdIs(Oka::Central::DeviceId(dev));
  id.pipeIdIs(pipe);
  return id;
}

// (Parsing what is built: the random round trip below.)
TEST(TableName, SuffixesAndTheParsingRules) {
  for (auto [id, name] : {std::pair{make("l3", "lpm"), "vexaswitch/tables/l3/lpm"},
                          {make("l3", "lpm", 0), "vexaswitch/tables/l3/lpm-dev0"},
                          {make("l3", "lpm", 2, 11), "vexaswitch/tables/l3/lpm-dev2-pipe11"},
                          {make("a/b", "c"), "vexaswitch/tables/a/b/c"},
                          {make("l3", "lpm", 64, 3), "vexaswitch/tables/l3/lpm"}})  // no pipeline without a device
    EXPECT_EQ(id.tableName(), name);
  EXPECT_DEATH(make("", "lpm").tableName(), "ZolmTypes.*feature\\(\\) && table\\(\\)");
  EXPECT_EQ(TableId::fromTableName("vexaswitch/tables/l2/mac-dev64"), make("l2", "mac"));
  // Only the low 8 bits of a pipeline number are kept, however long it is.
  EXPECT_EQ(TableId::fromTableName("vexaswitch/tables/l2/mac-dev1-pipe256").pipeId(), 0);
  EXPECT_EQ(TableId::fromTableName("vexaswitch/tables/l2/mac-dev1-pipe99999999999999999999999").pipeId(),
            255);  // (10^23 - 1) mod 256
  // A device above 64 raises with the id's own message, however long its
  // number (past the attribute's width too); 64 itself is "none".
  EXPECT_THROW(TableId::fromTableName("vexaswitch/tables/l2/mac-dev65"), Kel::RangeException);
  EXPECT_EQ(VexaTest::thrownMessage<Kel::RangeException>(
                [] { TableId::fromTableName("vexaswitch/tables/l2/mac-dev123456789012345678901234567890"); }),
            "Oka::Central::DeviceId::value < Oka::Central::DeviceId::min or > Oka::Central::DeviceId::null not allowed");
  EXPECT_FALSE(Oka::Central::DeviceId());
}

TEST(TableName, RandomIdsRoundTripThroughNameAndText) {
  std::mt19937 rng(5);
  auto word = [&](bool slashes) {
    static char const kChars[] = "abcXYZ019_";
    std::string s;
    int n = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < n; ++i) {
      if (slashes && i > 0 && i + 1 < n && rng() % 4 == 0) s += '/';
      else s += kChars[rng() % (sizeof kChars - 1)];
    }
    return s;
  };
  for (int i = 0; i < 2000; ++i) {
    U8 dev = static_cast<U8>(rng() % 65);
    U8 pipe = dev == 64 ? 255 : static_cast<U8>(rng() % 256);
    TableId id = make(word(true).c_str(), word(false).c_str(), dev, pipe);
    ASSERT_EQ(TableId::fromTableName(id.tableName()), id) << id.tableName();
    ASSERT_EQ(Kel::strepToValue<TableId>(valueToStrep(id)), id) << valueToStrep(id);
  }
  EXPECT_EQ(valueToStrep(TableId()),
            "Value('VexaSwitch::TableId', ** {'feature': '', 'table': '', 'devId': 64, 'pipeId': 255})");
}

// The matcher is hand-written for speed; it must accept exactly what the
// documented pattern accepts and split it the same way: on malformed names
// that must give the default id, then on random names.
TEST(TableName, AgreesWithTheDocumentedPattern) {
  std::regex pattern(R"(vexaswitch\/tables\/(\S+)\/(\w+)(-dev(\d+)(-pipe(\d+))?)?)");
  std::mt19937 rng(17);
  std::vector<std::string> atoms = {"vexaswitch/tables/", "/", "a", "Z9", "_", "-dev", "-pipe", "1", "64", "7",
                                    " ", "-", "x-y", "\t", "."};
  std::vector<std::string> const malformed = {
      "x/vexaswitch/tables/a/b",     "vexaswitch/tables/a/b-x", "vexaswitch/tables/a",
      "vexaswitch/tables//b",        "vexaswitch/tables/a b/c", "",
      "vexaswitch/tables/a/b-pipe3", "vexaswitch/tables/a/b-dev1-pipe", "vexaswitch/tables/a/b\n"};
  for (std::size_t i = 0; i < malformed.size() + 20000; ++i) {
    std::string name = i < malformed.size() ? malformed[i] : rng() % 8 ? "vexaswitch/tables/" : "";
    for (int k = 0, n = i < malformed.size() ? 0 : int(rng() % 7); k < n; ++k) name += atoms[rng() % atoms.size()];
    std::smatch m;
    bool matches = std::regex_match(name, m, pattern);
    TableId got;
    try {
      got = TableId::fromTableName(name);
    } catch (Kel::RangeException const&) {
      ASSERT_TRUE(matches && m.length(3) > 0 && std::stoull("0" + m.str(4).substr(0, 5)) > 64) << name;
      continue;
    }
    ASSERT_TRUE(!matches || i >= malformed.size()) << name;
    if (!matches) {
      ASSERT_EQ(got, TableId()) << name;
      ASSERT_FALSE(got) << name;
      continue;
    }
    ASSERT_EQ(got.feature().str(), m.str(1)) << name;
    ASSERT_EQ(got.table().str(), m.str(2)) << name;
  }
}

TEST(MountConstants, PathBuildersInsertTheNameVerbatim) {
  EXPECT_EQ(VexaSwitch::MountConstants::capacityPath("foo"), "hardware/capacity/status/foo");
  EXPECT_EQ(VexaSwitch::MountConstants::agentDataPath("a%sb"), "hardware/vexaswitch/agentdata/a%sb");
  EXPECT_EQ(VexaSwitch::MountConstants::readResultPath("x"), "hardware/vexaswitch/hwtable/read/result/x");
}

}  // namespace

}  // namespace vexa_tableid_test
