// The profile directory's find-or-create collections and the chip's
// interface filter.
#include <gtest/gtest.h>

#include "VexaSwitchLib/tables/VexaIntfFilter.h"
#include "VexaSwitchLib/tables/VexaSwitchProfileTypes.h"

using namespace VexaSwitch;

namespace {

TEST(ProfileInfoDir, FindOrCreateOnceUnknownNamesAreNullAndDeletesKeepObjectsForHolders) {
  auto dir = profileInfoDirFactory("chips");
  ProfileName p("vexa", "default");
  auto a = dir->chipInfoIs(p);
  EXPECT_EQ(dir->chipInfoIs(p), a);
  EXPECT_EQ(a->profileName(), p);
  EXPECT_EQ(dir->chipInfoSize(), 1u);
  EXPECT_EQ(dir->profileInfoIs(p), dir->profileInfoIs(p));
  EXPECT_EQ(dir->portLayoutIs("48x25G")->nameString(), "48x25G");
  dir->chipInfoDel(p);

  EXPECT_EQ(dir->chipInfo(ProfileName("x", "y")), nullptr);
  EXPECT_EQ(dir->chipInfoDel(ProfileName("x", "y")), nullptr);
  auto held = dir->chipInfoIs(ProfileName("a", "b"));
  dir->chipInfoIs(ProfileName("a", "c"));
  auto removed = dir->chipInfoDel(ProfileName("a", "b"));
  EXPECT_EQ(removed, held);
  EXPECT_EQ(dir->chipInfoSize(), 1u);
  EXPECT_EQ(held->references(), 2u);  // ours and `removed`: the map let go
  dir->chipInfoDelAll();
  EXPECT_EQ(dir->chipInfoSize(), 0u);
}

TEST(VexaIntfFilter, AcceptsConnectedEthernetLagsAndCpuOnly) {
  Topology::Library::VexaIntfFilter f;
  Topology::Library::FilterIntf const& base = f;
  EXPECT_TRUE(base.isValidIntf(Lanx::IntfId("Ethernet3/1")));
  EXPECT_TRUE(base.isValidIntf(Lanx::IntfId("Port-Channel17")));
  EXPECT_TRUE(base.isValidIntf(Lanx::IntfId("Cpu")));
  EXPECT_FALSE(base.isValidIntf(Lanx::IntfId("UnconnectedEthernet5")));
  EXPECT_FALSE(base.isValidIntf(Lanx::IntfId("Vlan100")));
  EXPECT_FALSE(base.isValidIntf(Lanx::IntfId("Management1")));
  EXPECT_FALSE(base.isValidIntf(Lanx::IntfId()));
}

}  // namespace
