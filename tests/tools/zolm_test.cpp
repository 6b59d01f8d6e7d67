// The installed zolm binary against real tables: a private install prefix,
// tables made by a writer in a private shared-memory root.
#include <gtest/gtest.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Json.h"
#include "VexaSwitchLib/tables/Collections.h"
#include "Zolm/TestTables.h"
#include "testutil/Process.h"

namespace vexa_zolm_test {

namespace {

using namespace VexaTest;
namespace fs = std::filesystem;

using Result = CommandResult;

class ZolmTool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/vexa_zolm_pkg.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    prefix_ = tmpl;
    fs::permissions(prefix_, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);  // other users run it
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

  // The tool with `args` and this test's root, through the shell, as user
  // `uid` (0: as the test runs); code -2 when the user cannot be taken.
  Result run(std::string const& args, uid_t uid = 0) {
    return runCommand(fmt::format("exec {} {} --root {}", bin_, args, root_.dir()), uid);
  }
  // The tool with `args`: its status must be `code`, and its standard error
  // (or output, with `inOut`) hold `says`.
  Result expectRun(std::string const& args, int code, std::string const& says = "", bool inOut = false) {
    Result r = run(args);
    EXPECT_EQ(r.code, code) << args << "\n" << r.out << r.err;
    EXPECT_NE((inOut ? r.out : r.err).find(says), std::string::npos) << args << ": " << (inOut ? r.out : r.err);
    return r;
  }

  std::unique_ptr<FloodWriter> floodTable(std::string const& name, U64 n) {
    auto w = std::make_unique<FloodWriter>(nullptr, name, Zolm::WriterConfig{.maxSlots = 1024});
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

// A JSON string literal's contents, strictly: printable ASCII, the
// standard escapes, \u00XX as one byte. Throws std::runtime_error at the
// first fault.
std::string jsonUnquote(std::string_view s) {
  auto bad = [&](char const* what) { throw std::runtime_error(fmt::format("{} in {}", what, s)); };
  if (s.size() < 2 || s.front() != '"' || s.back() != '"') bad("not a string literal");
  constexpr std::string_view escaped = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
  std::string out;
  for (std::size_t i = 1; i + 1 < s.size(); ++i) {
    unsigned char c = s[i];
    if (c < 0x20 || c >= 0x7f || c == '"') bad("raw control, quote or non-ASCII byte");
    if (c != '\\') out += char(c);
    else if (++i + 1 >= s.size()) bad("escape at the end");
    else if (escaped.find(s[i]) != std::string_view::npos) out += meant[escaped.find(s[i])];
    else if (s[i] != 'u' || i + 5 >= s.size() || s.substr(i + 1, 2) != "00" ||
             s.substr(i + 3, 2).find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
      bad("bad escape");
    else out += char(std::stoul(std::string(s.substr(i + 3, 2)), nullptr, 16)), i += 4;
  }
  return out;
}

std::vector<std::string> lines(std::string const& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

void expectHas(std::string const& text, std::initializer_list<std::string> needles) {
  for (auto const& n : needles) EXPECT_NE(text.find(n), std::string::npos) << n << " not in: " << text;
}

TEST_F(ZolmTool, LsListsEveryTableWithItsTypeSizeAndWriter) {
  auto live = floodTable("vexaswitch/tables/test/flood", 300);
  {
    NexthopWriter nh(nullptr, "vexaswitch/tables/test/nexthop", Zolm::WriterConfig{});
    nh.initialize();
    for (U64 k = 1; k <= 20; ++k) nh.write(nexthop(k, 1));
    nh.detach();
  }
  fs::create_directories(root_.dir() + "/vexaswitch/tables/test/broken");
  std::ofstream(root_.dir() + "/vexaswitch/tables/test/broken/slots") << "not a table";
  Zolm::markCorruptionDetected(Mem::RootPath(nullptr, "vexaswitch/tables/test/nexthop"), "bad link\x01 at 7");
  Result r = run("ls");
  ASSERT_EQ(r.code, 0) << r.err;
  auto ls = lines(r.out);
  ASSERT_EQ(ls.size(), 4u) << r.out;
  expectHas(ls[0], {"TABLE", "REQUESTED"});
  expectHas(ls[1], {"vexaswitch/tables/test/broken", "unreadable"});
  expectHas(ls[2], {"VexaSwitch::L3FloodEntryConfig", " 300 ", fmt::format("{} (alive)", ::getpid())});
  expectHas(ls[3], {"VexaSwitch::NexthopEntryConfig", "(gone)", "corruption reported: bad link\\x01 at 7"});
}

TEST_F(ZolmTool, DumpPrintsEveryEntryInTableOrderAndAsJson) {
  auto w = floodTable("vexaswitch/tables/test/flood", 300);
  EXPECT_EQ(lines(expectRun("dump vexaswitch/tables/test/flood", 0).out), writerOrder(*w));
  // A JSON array of one object per entry in the writer's order, the value
  // as its text form, each at its own slot inside the table.
  auto json = lines(expectRun("dump vexaswitch/tables/test/flood --json", 0).out);
  std::vector<std::string> order = writerOrder(*w);
  ASSERT_EQ(json.size(), order.size() + 2);
  EXPECT_EQ(json.front() + json.back(), "[]");
  std::set<U64> slots;
  static std::regex const entry(R"re(  \{"slot": (\d+), "value": (".*")\},?)re");
  for (std::size_t i = 0; i < order.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(json[i + 1], m, entry)) << json[i + 1];
    EXPECT_EQ(json[i + 1].back() == ',', i + 1 < order.size()) << "a comma between elements only";
    EXPECT_EQ(jsonUnquote(m.str(2)), order[i]);
    EXPECT_LT(std::stoull(m.str(1)), w->capacity());
    slots.insert(std::stoull(m.str(1)));
  }
  EXPECT_EQ(slots.size(), 300u);

  auto empty = floodTable("vexaswitch/tables/test/empty", 0);
  Result e = run("dump vexaswitch/tables/test/empty --json");
  EXPECT_EQ(e.out, "[]\n");
}

TEST(ZolmJson, EveryByteIsEscapedSoTheStringReadsBack) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += char(c);
  all += "Value('x', ** {'s': 'a\\'b\"c'})";
  EXPECT_EQ(jsonUnquote(Zolm::Tool::jsonString(all)), all);
}

// Every key dump prints is one get finds: ids the constructors make with
// numbers a name did not take before, and images no name spells. A scalar
// key's text form is the bare number.
TEST_F(ZolmTool, GetParsesTheKeyAndTellsFoundFromNotFound) {
  Zolm::ZolmWriter<VexaSwitch::MlagIntfConfigOps> mlag(nullptr, "vexaswitch/tables/test/mlag", {.maxSlots = 64});
  mlag.initialize();
  using Lanx::IntfId;
  for (IntfId id : {IntfId::ethernet(0), IntfId::ethernet(3, 0, 5), IntfId::vlan(4095), IntfId::portChannel(0),
                    IntfId::fromRaw(6), IntfId::fromRaw(0x0100000000000000), IntfId::fromRaw(~U64(0)),
                    IntfId("Ethernet7")})
    mlag.write(VexaSwitch::MlagIntfEntry(id));
  auto dumped = lines(expectRun("dump vexaswitch/tables/test/mlag", 0).out);
  EXPECT_EQ(dumped.size(), 8u);
  for (auto const& l : dumped) EXPECT_EQ(expectRun(fmt::format("get vexaswitch/tables/test/mlag '{}'", l), 0).out, l + "\n");
  expectRun("get vexaswitch/tables/test/mlag Ethernet99", 1, "not found");
  expectRun("get vexaswitch/tables/test/mlag 'no such key ('", 2, "bad key");
  expectRun("get vexaswitch/tables/test/mlag Ethernet70000", 2);

  NexthopWriter nh(nullptr, "vexaswitch/tables/test/nexthop", Zolm::WriterConfig{});
  nh.initialize();
  for (U64 k = 1; k <= 200; ++k) nh.write(nexthop(k * 1000, U32(k)));
  EXPECT_EQ(expectRun("get vexaswitch/tables/test/nexthop 17000", 0).out, fmt::format("{}\n", nexthop(17000, 17)));
  expectRun("get vexaswitch/tables/test/nexthop 17001", 1);
  for (char const* bad : {"0x10", "99999999999999999999999", "' 17000'"})
    expectRun(fmt::format("get vexaswitch/tables/test/nexthop {}", bad), 2);
}

TEST_F(ZolmTool, ValidateIsZeroOnlyForASoundTable) {
  {
    auto w = floodTable("vexaswitch/tables/test/flood", 400);
    w->detach();
  }
  EXPECT_EQ(expectRun("validate vexaswitch/tables/test/flood", 0).out, "ok: 400 entries\n");
  std::string dir = root_.dir() + "/vexaswitch/tables/test/flood";
  // An old report is shown, not taken for the table's state.
  Zolm::markCorruptionDetected(Mem::RootPath(nullptr, "vexaswitch/tables/test/flood"), "walked too far");
  expectRun("validate vexaswitch/tables/test/flood", 0, "corruption was reported earlier: walked too far", true);
  fs::remove(dir + "/corruption-detected");
  // A queue record at a position its sequence does not map to.
  std::string queue = dir + "/nimbr";
  auto saved = readFile(queue);
  U64 bogus = 3;
  ASSERT_TRUE(patchFile(queue, (128 + 4 * rawAt<U32>(saved, 28) + 15) / 16 * 16, &bogus, 8));  // record 0
  expectRun("validate vexaswitch/tables/test/flood", 1, "not sound: queue: nimbr pos:0 holds seq:3");
  ASSERT_TRUE(patchFile(queue, 0, saved.data(), saved.size()));

  // Links of occupied slots pointed elsewhere: the chains no longer hold
  // every entry.
  std::string slots = root_.dir() + "/vexaswitch/tables/test/flood/slots";
  for (U64 s = 0; s < 400; s += 9) {
    U64 off = 600 + FloodOps::slotSize + s * FloodOps::slotSize + 4;  // the link's target
    U32 target = U32(s * 7 % 400);
    ASSERT_TRUE(patchFile(slots, off, &target, 4));
  }
  auto before = filesIn(dir);
  expectRun("validate vexaswitch/tables/test/flood", 1, "not sound");
  // Reading a damaged table ends with an error, never a hang or a crash.
  expectRun("dump vexaswitch/tables/test/flood", 1, "corrupt");
  EXPECT_EQ(filesIn(dir), before);

  fs::resize_file(slots, 1000);
  before = filesIn(dir);
  for (char const* cmd : {"validate", "dump", "show", "get"})
    expectRun(fmt::format("{} vexaswitch/tables/test/flood{}", cmd, *cmd == 'g' ? " Ethernet1" : ""), 3,
              "cannot attach");
  expectRun("ls", 0, "unreadable: bad shmem size:1000", true);
  // The tool is a reader: no file of the table changed, none was added (no
  // corruption marker either).
  EXPECT_EQ(filesIn(dir), before);
}

TEST_F(ZolmTool, ShowHelpAndErrors) {
  auto w = floodTable("vexaswitch/tables/test/flood", 10);
  expectHas(expectRun("show vexaswitch/tables/test/flood", 0, "members: 10", true).out, {"Zolm table \""});
  expectRun("dump vexaswitch/tables/test/nothing", 3, "no such table");
  expectRun("show ../../etc", 2);

  // A slot file of a type this build does not know.
  fs::copy(root_.dir() + "/vexaswitch/tables/test/flood", root_.dir() + "/vexaswitch/tables/test/alien");
  ASSERT_TRUE(patchFile(root_.dir() + "/vexaswitch/tables/test/alien/slots", 48, "Foo::Bar\0", 9));
  expectRun("dump vexaswitch/tables/test/alien", 3, "unknown value type \"Foo::Bar\"");
  // Random bytes where the type name is: shown escaped, never raw.
  std::string noise;
  for (int i = 0; i < 128; ++i) noise += char(i * 37 % 255 + 1);
  for (std::size_t len : {std::size_t(128), std::size_t(40)}) {
    ASSERT_TRUE(patchFile(root_.dir() + "/vexaswitch/tables/test/alien/slots", 48, noise.data(), len));
    for (char const* cmd : {"dump vexaswitch/tables/test/alien", "ls"}) {
      Result r = expectRun(cmd, *cmd == 'd' ? 3 : 0, *cmd == 'd' ? "\"\\x01&K" : "");
      for (char c : r.out + r.err) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << int(c);
    }
  }
  expectRun("", 2);
  expectRun("frob", 2, "unknown command \"frob\"");
  expectRun("watch vexaswitch/tables/test/flood --count -1", 2);
  // The registered types, and one type's attributes with ids and whether
  // they are settable; an unknown type is "not found".
  expectRun("types", 0, "VexaSwitch::LagGroupIdTable", true);
  Result counter = expectRun("types VexaSwitch::AclCounter", 0);
  EXPECT_TRUE(std::regex_search(counter.out, std::regex("\n +2  key +field +Nox::UniqueId +no\n +3  count +field +U64 +yes\n")))
      << counter.out;
  expectRun("types VexaSwitch::L2McastFlags", 0, "fromFields(joinsToCpu, dataToCpu, joinsToEgressPorts)", true);
  expectRun("types Foo::Bar", 1, "no registered type \"Foo::Bar\"");
  for (char const* cmd : {"ls", "show", "dump", "get", "validate", "watch", "types"})
    expectHas(expectRun(fmt::format("{} --help", cmd), 0, "Usage", true).out, {"4 validate: the table changed"});
  // Output that cannot be written is an error, whatever the command.
  for (char const* cmd : {"ls", "show vexaswitch/tables/test/flood", "dump vexaswitch/tables/test/flood"})
    expectRun(fmt::format("{} >/dev/full", cmd), 5, "cannot write the output");
  // A root that is a file, or a table's own directory.
  for (std::string bad : {"/vexaswitch/tables/test/flood/slots", "/vexaswitch/tables/test/flood"}) {
    Result r = runCommand(fmt::format("exec {} ls --root {}{}", bin_, root_.dir(), bad));
    EXPECT_EQ(r.code, 2) << bad;
    expectHas(r.err, {bad.ends_with("s") ? "is not a directory" : "a table's own directory"});
  }
}

// Files and directories the tool must not block on or misread: a FIFO
// where a table file belongs, and, for an unprivileged user, files and
// directories it may not read.
TEST_F(ZolmTool, FifosAndPermissionsAreSaidNotBlockedOn) {
  auto w = floodTable("vexaswitch/tables/test/flood", 10);
  std::string t = root_.dir() + "/vexaswitch/tables/test/";
  for (std::string file : {"slots", "buckets", "fenix"}) {
    fs::copy(t + "flood", t + "fifo-" + file);
    fs::remove(t + "fifo-" + file + "/" + file);
    ASSERT_EQ(::mkfifo((t + "fifo-" + file + "/" + file).c_str(), 0644), 0);
    for (char const* cmd : {"show", "dump", "validate", "watch", "get"})
      expectRun(fmt::format("{} vexaswitch/tables/test/fifo-{}{}", cmd, file, *cmd == 'g' ? " Ethernet1" : ""), 3,
                fmt::format("{}fifo-{}/{} is not a regular file", t, file, file));
  }

  fs::copy(t + "flood", t + "locked");
  fs::create_directories(root_.dir() + "/private");
  fs::copy(t + "flood", root_.dir() + "/private/t");
  fs::permissions(root_.dir(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(root_.dir() + "/private", fs::perms::owner_all);
  fs::permissions(t + "locked/slots", fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(t + "flood/owner", fs::perms::owner_read | fs::perms::owner_write);
  Result ls = run("ls", 65534);
  if (ls.code == -2) GTEST_SKIP() << "cannot run as uid 65534";
  EXPECT_EQ(ls.code, 0) << ls.err;
  expectHas(ls.out, {"private/  ", "not listed: permission denied",
                     fmt::format("unreadable: permission denied: {}locked/slots", t)});
  expectHas(ls.err, {"1 directory under"});
  std::string live = ls.out.substr(ls.out.find("tables/test/flood "));
  live = live.substr(0, live.find('\n'));
  EXPECT_EQ(live.find("(gone)"), std::string::npos) << "a live writer taken for gone: " << live;
  expectHas(live, {fmt::format("unknown) [owner file permission denied: {}flood/owner]", t)});
  for (auto [cmd, says] : {std::pair{"dump vexaswitch/tables/test/locked",
                                     fmt::format("permission denied: {}locked/slots", t)},
                           std::pair{"show private/t", std::string("permission denied: ")}}) {
    Result r = run(cmd, 65534);
    EXPECT_EQ(r.code, 3) << cmd;
    expectHas(r.err, {says});
  }
}

// validate against a writer at work: a look that raced it is looked at
// again, and what cannot be told from a race is "changed", never "not
// sound".
TEST_F(ZolmTool, ValidateRacingAWriterIsNeverUnsound) {
  VexaTest::Pipe ready;
  pid_t writer = VexaTest::spawn([&] {
    FloodWriter w(nullptr, "vexaswitch/tables/test/busy", Zolm::WriterConfig{.maxSlots = 20000});
    w.initialize();
    for (U64 k = 1; k <= 20000; ++k) w.write(floodEntry(k, 1));
    if (!ready.signal()) ::_exit(1);
    for (U64 i = 0;; ++i) {
      U64 k = 1 + i * 7919 % 20000;
      if (i % 3 == 0) w.remove(Lanx::IntfId::fromRaw(k));
      else w.write(floodEntry(k, U32(i)));
      if (i % 64 == 0) w.pokt().poll();
    }
  });
  ready.closeWrite();  // a child that dies before its signal ends the wait
  ASSERT_TRUE(ready.await());
  std::string errors;
  int neitherSoundNorChanged = 0;
  for (int i = 0; i < 10; ++i)
    if (Result r = run("validate vexaswitch/tables/test/busy"); r.code != 0) errors += r.err, neitherSoundNorChanged += r.code != 4;
  ::kill(writer, SIGKILL);
  VexaTest::reap(writer);
  EXPECT_EQ(neitherSoundNorChanged, 0) << errors;
  EXPECT_EQ(errors.find("not sound"), std::string::npos) << errors;
}

// The per-VLAN ACL table keeps its values in slabs: show lists them, and
// dump and get read values out of them like any other table's.
TEST_F(ZolmTool, SlabTableShowsItsSlabsAndDumpsAndGetsItsValues) {
  AclWriter w(nullptr, "vexaswitch/tables/test/acl", Zolm::WriterConfig{});
  w.initialize();
  for (U32 vlan = 1; vlan <= 200; ++vlan) w.write(aclValue(vlan, 7));
  Result show = expectRun("show vexaswitch/tables/test/acl", 0, "members: 200", true);
  expectHas(show.out, {"SLAB       ENTRIES  OCCUPIED      PAYLOAD   USED\n"});
  // vlan v at version 7 has 1 + (3v + 7) % 36 elements: every slab 5..29.
  U64 payload = 0, listed = 0, occupied = 0;
  for (U32 vlan = 1; vlan <= 200; ++vlan) payload += aclValue(vlan, 7).serializeLen();
  for (auto const& l : lines(show.out)) {
    if (l.rfind("slab", 0) != 0) continue;
    std::string name;
    U64 entries, occ, bytes;
    std::istringstream(l) >> name >> entries >> occ >> bytes;
    occupied += occ;
    listed += bytes;
  }
  EXPECT_EQ(occupied, 200u);
  EXPECT_EQ(listed, payload);
  EXPECT_EQ(expectRun("get vexaswitch/tables/test/acl 42", 0).out, fmt::format("{}\n", Zolm::show(aclValue(42, 7))));
  EXPECT_EQ(lines(expectRun("dump vexaswitch/tables/test/acl", 0).out).size(), 200u);
  expectRun("validate vexaswitch/tables/test/acl", 0);
}

}  // namespace

}  // namespace vexa_zolm_test
