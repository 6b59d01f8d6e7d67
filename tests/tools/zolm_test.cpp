// The installed zolm binary against real tables: a private install prefix,
// tables made by a writer in a private shared-memory root.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <fmt/format.h>

#include "Zolm/Instantiations.h"
#include "Zolm/TestTables.h"

namespace {

using namespace VexaTest;
namespace fs = std::filesystem;

struct Result {
  int code = -1;
  std::string out, err;
};

class ZolmTool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/vexa_zolm_pkg.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    prefix_ = tmpl;
    std::string cmd = fmt::format("{} --install {} --prefix {} >{}/install.log 2>&1", CMAKE_COMMAND_PATH,
                                  VEXA_BINARY_DIR, prefix_, prefix_);
    ASSERT_EQ(std::system(cmd.c_str()), 0) << "install failed, see " << prefix_ << "/install.log";
    bin_ = prefix_ + "/bin/zolm";
    ASSERT_TRUE(fs::exists(bin_));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(prefix_, ec);
  }

  Result run(std::string const& args) {
    Result r;
    std::string errFile = root_.dir() + "/.stderr";
    std::string cmd = fmt::format("{} {} --root {} 2>{}", bin_, args, root_.dir(), errFile);
    FILE* p = ::popen(cmd.c_str(), "r");
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int status = ::pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream e(errFile);
    r.err.assign(std::istreambuf_iterator<char>(e), {});
    return r;
  }

  std::unique_ptr<FloodWriter> floodTable(std::string const& name, U64 n) {
    Zolm::WriterConfig c;
    c.maxSlots = 1024;
    auto w = std::make_unique<FloodWriter>(nullptr, name, c);
    w->initialize();
    for (U64 k = 1; k <= n; ++k) w->write(floodEntry(k, U32(k * 3)));
    return w;
  }
  std::vector<std::string> writerOrder(FloodWriter& w) {
    std::vector<std::string> v;
    VexaSwitch::L3FloodEntryConfig e;
    ::Zolm::IterHint hint;
    for (bool more = w.first(e, hint); more; more = w.next(e.key(), e, hint)) v.push_back(fmt::format("{}", e));
    return v;
  }

  static inline std::string prefix_, bin_;
  ShmRoot root_;
};

std::string keyText(U64 raw) {
  std::string out;
  Kel::AttrText<Lanx::IntfId>::append(out, Lanx::IntfId::fromRaw(raw));
  return out;
}

std::vector<std::string> lines(std::string const& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

TEST_F(ZolmTool, LsListsEveryTableWithItsTypeSizeAndWriter) {
  auto live = floodTable("vexaswitch/tables/test/flood", 300);
  {
    Zolm::WriterConfig c;
    NexthopWriter nh(nullptr, "vexaswitch/tables/test/nexthop", c);
    nh.initialize();
    for (U64 k = 1; k <= 20; ++k) nh.write(nexthop(k, 1));
    nh.detach();
  }
  fs::create_directories(root_.dir() + "/vexaswitch/tables/test/broken");
  std::ofstream(root_.dir() + "/vexaswitch/tables/test/broken/slots") << "not a table";
  Result r = run("ls");
  ASSERT_EQ(r.code, 0) << r.err;
  auto ls = lines(r.out);
  ASSERT_EQ(ls.size(), 4u) << r.out;
  EXPECT_NE(ls[0].find("TABLE"), std::string::npos);
  EXPECT_NE(ls[1].find("vexaswitch/tables/test/broken"), std::string::npos);
  EXPECT_NE(ls[1].find("unreadable"), std::string::npos) << ls[1];
  EXPECT_NE(ls[2].find("VexaSwitch::L3FloodEntryConfig"), std::string::npos) << ls[2];
  EXPECT_NE(ls[2].find(" 300 "), std::string::npos) << ls[2];
  EXPECT_NE(ls[2].find(fmt::format("{} (alive)", ::getpid())), std::string::npos) << ls[2];
  EXPECT_NE(ls[3].find("VexaSwitch::NexthopEntryConfig"), std::string::npos) << ls[3];
  EXPECT_NE(ls[3].find("(gone)"), std::string::npos) << ls[3];
}

TEST_F(ZolmTool, DumpPrintsEveryEntryInTableOrderAndAsJson) {
  auto w = floodTable("vexaswitch/tables/test/flood", 300);
  Result r = run("dump vexaswitch/tables/test/flood");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(lines(r.out), writerOrder(*w));

  Result j = run("dump vexaswitch/tables/test/flood --json");
  ASSERT_EQ(j.code, 0) << j.err;
  ASSERT_GE(j.out.size(), 2u);
  EXPECT_EQ(j.out.front(), '[');
  EXPECT_EQ(j.out.substr(j.out.size() - 2), "]\n");
  std::size_t objects = 0;
  for (std::size_t at = 0; (at = j.out.find("{\"slot\": ", at)) != std::string::npos; ++at) ++objects;
  EXPECT_EQ(objects, 300u);
  // Each value is the text form as one JSON string.
  EXPECT_NE(j.out.find(fmt::format("\"value\": \"{}\"}}", writerOrder(*w).front())), std::string::npos) << j.out.substr(0, 300);

  auto empty = floodTable("vexaswitch/tables/test/empty", 0);
  Result e = run("dump vexaswitch/tables/test/empty --json");
  EXPECT_EQ(e.out, "[]\n");
}

U64 ethernet(int n) {
  Kel::CharRange r(fmt::format("Ethernet{}", n));
  return Kel::AttrText<Lanx::IntfId>::parse(r, "key").raw();
}

TEST_F(ZolmTool, GetParsesTheKeyAndTellsFoundFromNotFound) {
  Zolm::WriterConfig c;
  FloodWriter w(nullptr, "vexaswitch/tables/test/flood", c);
  w.initialize();
  for (int n = 1; n <= 50; ++n) w.write(floodEntry(ethernet(n), U32(n)));
  ASSERT_EQ(keyText(ethernet(7)), "Ethernet7");
  Result hit = run("get vexaswitch/tables/test/flood Ethernet7");
  ASSERT_EQ(hit.code, 0) << hit.err;
  EXPECT_EQ(hit.out, fmt::format("{}\n", floodEntry(ethernet(7), 7)));
  Result miss = run("get vexaswitch/tables/test/flood Ethernet99");
  EXPECT_EQ(miss.code, 1);
  EXPECT_NE(miss.err.find("not found"), std::string::npos);
  Result bad = run("get vexaswitch/tables/test/flood 'no such key ('");
  EXPECT_EQ(bad.code, 2);
  EXPECT_NE(bad.err.find("bad key"), std::string::npos) << bad.err;
}

TEST_F(ZolmTool, ValidateIsZeroOnlyForASoundTable) {
  {
    auto w = floodTable("vexaswitch/tables/test/flood", 400);
    w->detach();
  }
  Result ok = run("validate vexaswitch/tables/test/flood");
  EXPECT_EQ(ok.code, 0) << ok.err;
  EXPECT_EQ(ok.out, "ok: 400 entries\n");

  // Links of occupied slots pointed elsewhere: the chains no longer hold
  // every entry.
  std::string slots = root_.dir() + "/vexaswitch/tables/test/flood/slots";
  {
    std::fstream f(slots, std::ios::in | std::ios::out | std::ios::binary);
    for (U64 s = 0; s < 400; s += 9) {
      U64 off = 600 + FloodOps::slotSize + s * FloodOps::slotSize + 4;  // the link's target
      U32 target = U32(s * 7 % 400);
      f.seekp(std::streamoff(off));
      f.write(reinterpret_cast<char const*>(&target), 4);
    }
  }
  Result damaged = run("validate vexaswitch/tables/test/flood");
  EXPECT_EQ(damaged.code, 1) << damaged.out;
  EXPECT_NE(damaged.err.find("not sound"), std::string::npos);

  fs::resize_file(slots, 1000);
  Result truncated = run("validate vexaswitch/tables/test/flood");
  EXPECT_EQ(truncated.code, 3);
  EXPECT_NE(truncated.err.find("cannot attach"), std::string::npos) << truncated.err;
}

TEST_F(ZolmTool, ShowHelpAndErrors) {
  auto w = floodTable("vexaswitch/tables/test/flood", 10);
  Result show = run("show vexaswitch/tables/test/flood");
  ASSERT_EQ(show.code, 0) << show.err;
  EXPECT_NE(show.out.find("Zolm table \""), std::string::npos);
  EXPECT_NE(show.out.find("members: 10"), std::string::npos) << show.out;

  Result missing = run("dump vexaswitch/tables/test/nothing");
  EXPECT_EQ(missing.code, 3);
  EXPECT_NE(missing.err.find("no such table"), std::string::npos) << missing.err;
  Result escape = run("show ../../etc");
  EXPECT_EQ(escape.code, 2);
  Result noCommand = run("");
  EXPECT_EQ(noCommand.code, 2);
  for (char const* cmd : {"ls", "show", "dump", "get", "validate", "watch"}) {
    Result help = run(fmt::format("{} --help", cmd));
    EXPECT_EQ(help.code, 0) << cmd;
    EXPECT_NE(help.out.find("Usage"), std::string::npos) << cmd << ": " << help.out;
  }
}

TEST_F(ZolmTool, WatchPrintsChangesAsTheyHappen) {
  auto w = floodTable("vexaswitch/tables/test/flood", 10);
  std::string cmd = fmt::format("{} watch vexaswitch/tables/test/flood --interval 10 --count 3 --root {}", bin_,
                                root_.dir());
  FILE* p = ::popen(cmd.c_str(), "r");
  char line[1024];
  ASSERT_NE(std::fgets(line, sizeof line, p), nullptr);
  EXPECT_NE(std::string(line).find("watching"), std::string::npos);
  w->write(floodEntry(11, 1));
  ::usleep(100000);
  w->write(floodEntry(2, 99));
  ::usleep(100000);
  w->remove(Lanx::IntfId::fromRaw(3));
  std::string out;
  while (std::fgets(line, sizeof line, p)) out += line;
  EXPECT_EQ(::pclose(p), 0);
  auto changes = lines(out);
  ASSERT_EQ(changes.size(), 3u) << out;
  EXPECT_EQ(changes[0], fmt::format("+ {}", floodEntry(11, 1)));
  EXPECT_EQ(changes[1], fmt::format("~ {}", floodEntry(2, 99)));
  EXPECT_EQ(changes[2], "- " + keyText(3));
}

}  // namespace
