// Table paths are names chosen by callers; a table directory must never end
// up outside the shared-memory root, whatever the name, nor inside another
// table's directory.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/RootPath.h"
#include "Zolm/TestTables.h"
#include "testutil/Expect.h"
#include "testutil/ShmRoot.h"

namespace vexa_rootpath_test {

namespace {

using Mem::RootPath;
using namespace std::string_literals;
using VexaTest::thrownMessage;

// Refused, each check of a table path in its first, middle or last
// component (and the message names the path as it is shown): every path
// that could leave the root or land on a table's file. Accepted: names that
// merely look odd.
TEST(RootPathTest, RefusesPathsThatCouldEscapeTheRootAndAcceptsOrdinaryOnes) {
  VexaTest::ShmRoot shm;
  std::pair<std::string, std::string> const cases[] = {
      {"", "''"},
      {"/etc/passwd", "/etc/passwd"},
      {"..", ".."},
      {"a/../../x", "a/../../x"},
      {"a/.", "a/."},
      {"a//b", "a//b"},
      {"a/", "a/"},
      {"vexaswitch/tables\0/../../etc"s, "vexaswitch/tables\\0"},
      // A table named as a table's file would need that file of its parent
      // table to be a directory.
      {"m/owner", "'owner' is the name of a table's file"},
      {"buckets", "'buckets' is the name"},
      {"a/nimbr/b", "'nimbr' is the name"},
      {"a/fenix.tmp.12", "'fenix.tmp.12' is the name"},
  };
  for (auto const& [path, shown] : cases) {
    std::string msg = thrownMessage<Quiv::InvalidInitializeException>([&] { RootPath(nullptr, std::string_view(path)); });
    EXPECT_NE(msg.find(shown), std::string::npos) << msg;
    EXPECT_THROW(RootPath::checkTablePath(path), Quiv::InvalidInitializeException) << shown;
  }
  for (std::string_view path : {"vexaswitch/tables/l2/mac-table", "t", "a.b/..c/c..", "a/.hidden/...", "x y/z",
                                "a/slots2", "a/owners", "a/xfenix"}) {
    RootPath p(nullptr, path);
    EXPECT_EQ(p.filePath("slots"), shm.dir() + "/" + std::string(path) + "/slots");
  }
}

TEST(RootPathTest, RootPrecedenceOverrideThenEnvironmentThenDefault) {
  // VEXA_SHM_ROOT is put back as it was at the end, for the tests that follow.
  std::optional<std::string> was;
  if (char const* v = ::getenv(RootPath::ENV_NAME)) was = v;
  RootPath::shmRootIs("");
  ::unsetenv(RootPath::ENV_NAME);
  EXPECT_EQ(RootPath::shmRoot(), RootPath::DEFAULT_ROOT);
  ::setenv(RootPath::ENV_NAME, "", 1);
  EXPECT_EQ(RootPath::shmRoot(), RootPath::DEFAULT_ROOT) << "an empty variable is no root";
  ::setenv(RootPath::ENV_NAME, "/dev/shm/from-env", 1);
  EXPECT_EQ(RootPath(nullptr, "a/b").dirName(), "/dev/shm/from-env/a/b");
  {
    VexaTest::ShmRoot shm;
    RootPath p(nullptr, "a/b");
    EXPECT_EQ(p.dirName(), shm.dir() + "/a/b") << "the override wins over the environment";
    RootPath::shmRootIs("/dev/shm/other/");
    EXPECT_EQ(RootPath::shmRoot(), "/dev/shm/other") << "trailing slashes make no empty component";
    EXPECT_EQ(p.dirName(), shm.dir() + "/a/b") << "a path already made keeps its root";
  }
  EXPECT_EQ(RootPath::shmRoot(), "/dev/shm/from-env") << "clearing the override returns to the environment";
  EXPECT_THROW(RootPath::shmRootIs("/dev/shm/x\0y"s), Quiv::InvalidInitializeException);
  EXPECT_EQ(RootPath::shmRoot(), "/dev/shm/from-env") << "a refused root changes nothing";
  if (was) ::setenv(RootPath::ENV_NAME, was->c_str(), 1);
  else ::unsetenv(RootPath::ENV_NAME);
}

// A file name is one component: a name that would leave the directory is
// refused by every call that takes one.
TEST(RootPathTest, FilesStayInsideTheTableDirectoryAndComeAndGo) {
  VexaTest::ShmRoot shm;
  RootPath p(nullptr, "vexaswitch/tables/l2/mac-table");
  for (std::string name : {"a/b"s, ".."s, "."s, ""s, "a\0b"s}) {
    EXPECT_THROW(p.filePath(name), Quiv::InvalidInitializeException) << name;
    EXPECT_THROW(p.removeFile(name), Quiv::InvalidInitializeException) << name;
    EXPECT_THROW(p.fileExists(name), Quiv::InvalidInitializeException) << name;
  }
  EXPECT_EQ(p.filePath("..x"), p.dirName() + "/..x");
  EXPECT_FALSE(p.removeFile("slots")) << "in an absent directory";
  p.createDirectory();
  p.createDirectory();  // again: already there is fine
  EXPECT_FALSE(p.removeFile("slots")) << "absent file";
  std::ofstream(p.filePath("slots")).put('x');
  EXPECT_TRUE(p.fileExists("slots"));
  EXPECT_TRUE(p.removeFile("slots"));
  EXPECT_FALSE(p.fileExists("slots"));
}

// A table cannot be made inside another's directory, nor around one,
// whichever came first; the refusal names the other table and leaves it
// working and its files as they were.
TEST(RootPathTest, WritersRefuseATableInsideOrAroundAnother) {
  VexaTest::ShmRoot shm;
  using VexaTest::LagWriter;
  for (auto [first, second, why] : {std::tuple{"t/a", "t/a/b/c", "would lie inside the directory of table 't/a'"},
                                    std::tuple{"u/a/b", "u", "its directory holds table 'u/a/b'"}}) {
    LagWriter w(nullptr, first, Zolm::WriterConfig{});
    w.initialize();
    w.write(VexaTest::lagEntry(3));
    auto before = VexaTest::filesIn(shm.dir() + "/" + first);
    std::string msg = thrownMessage<Quiv::InvalidInitializeException>(
        [&, second = second] { LagWriter(nullptr, second, Zolm::WriterConfig{}).initialize(); });
    EXPECT_NE(msg.find(why), std::string::npos) << msg;
    EXPECT_EQ(VexaTest::filesIn(shm.dir() + "/" + first), before);
    w.write(VexaTest::lagEntry(4));
    EXPECT_EQ(w.members(), 2u);
    w.cleanup();
  }
}

}  // namespace

}  // namespace vexa_rootpath_test
