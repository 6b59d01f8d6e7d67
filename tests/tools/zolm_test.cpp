// The installed zolm binary against real tables: a private install prefix,
// tables made by a writer in a private shared-memory root.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "Json.h"
#include "VexaSwitchLib/tables/Collections.h"
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

// A strict JSON reader, enough to tell whether the tool's output is JSON:
// objects, arrays, strings (escapes decoded; \u00XX to one byte), numbers,
// true/false/null. Throws std::runtime_error at the first fault.
struct Json {
  std::variant<std::nullptr_t, bool, double, std::string, std::vector<Json>, std::map<std::string, Json>> v;
};
class JsonParser {
 public:
  explicit JsonParser(std::string_view s) : s_(s) {}
  Json document() {
    Json j = value();
    ws();
    if (at_ != s_.size()) bad("trailing characters");
    return j;
  }

 private:
  [[noreturn]] void bad(char const* what) { throw std::runtime_error(fmt::format("{} at offset {}", what, at_)); }
  void ws() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\t' || s_[at_] == '\r')) ++at_;
  }
  bool eat(char c) {
    ws();
    if (at_ < s_.size() && s_[at_] == c) return ++at_, true;
    return false;
  }
  void need(char c) {
    if (!eat(c)) bad("unexpected character");
  }
  std::string string() {
    need('"');
    std::string out;
    for (;;) {
      if (at_ >= s_.size()) bad("unterminated string");
      unsigned char c = s_[at_++];
      if (c == '"') return out;
      if (c < 0x20 || c >= 0x80) bad("raw control or non-ASCII byte in string");
      if (c != '\\') {
        out += char(c);
        continue;
      }
      if (at_ >= s_.size()) bad("dangling escape");
      char e = s_[at_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (at_ + 4 > s_.size()) bad("short \\u escape");
          unsigned cp = 0;
          for (int i = 0; i < 4; ++i) {
            char h = s_[at_++];
            if (!std::isxdigit(static_cast<unsigned char>(h))) bad("bad \\u escape");
            cp = cp * 16 + unsigned(std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : (h | 0x20) - 'a' + 10);
          }
          if (cp > 0xff) bad("code point outside what the tool writes");
          out += char(cp);
          break;
        }
        default: bad("bad escape");
      }
    }
  }
  Json value() {
    ws();
    if (at_ >= s_.size()) bad("value expected");
    char c = s_[at_];
    if (c == '"') return Json{string()};
    if (c == '[') {
      ++at_;
      std::vector<Json> a;
      if (eat(']')) return Json{a};
      do a.push_back(value());
      while (eat(','));
      need(']');
      return Json{a};
    }
    if (c == '{') {
      ++at_;
      std::map<std::string, Json> o;
      if (eat('}')) return Json{o};
      do {
        ws();
        std::string k = string();
        need(':');
        if (!o.emplace(k, value()).second) bad("duplicate key");
      } while (eat(','));
      need('}');
      return Json{o};
    }
    for (auto [word, j] : {std::pair{"true", Json{true}}, {"false", Json{false}}, {"null", Json{nullptr}}})
      if (s_.substr(at_, std::strlen(word)) == word) return at_ += std::strlen(word), j;
    std::size_t begin = at_;
    if (s_[at_] == '-') ++at_;
    while (at_ < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[at_])) || std::strchr(".eE+-", s_[at_])))
      ++at_;
    if (at_ == begin) bad("value expected");
    return Json{std::stod(std::string(s_.substr(begin, at_ - begin)))};
  }

  std::string_view s_;
  std::size_t at_ = 0;
};

// Every file of a directory: its name, size and a hash of its bytes.
std::map<std::string, std::string> filesIn(std::string const& dir) {
  std::map<std::string, std::string> files;
  for (auto const& e : fs::directory_iterator(dir)) {
    std::ifstream in(e.path(), std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    files[e.path().filename().string()] =
        fmt::format("{} bytes, hash {:#x}", bytes.size(), std::hash<std::string>{}(bytes));
  }
  return files;
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
    NexthopWriter nh(nullptr, "vexaswitch/tables/test/nexthop", Zolm::WriterConfig{});
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
  Json doc;
  ASSERT_NO_THROW(doc = JsonParser(j.out).document()) << j.out.substr(0, 300);
  auto const* entries = std::get_if<std::vector<Json>>(&doc.v);
  ASSERT_NE(entries, nullptr);
  ASSERT_EQ(entries->size(), 300u);
  // One object per entry in the writer's order, the value as its text form,
  // each at its own slot inside the table.
  std::vector<std::string> order = writerOrder(*w);
  std::set<double> slots;
  for (std::size_t i = 0; i < entries->size(); ++i) {
    auto const& o = std::get<std::map<std::string, Json>>((*entries)[i].v);
    ASSERT_TRUE(o.count("slot") && o.count("value"));
    EXPECT_EQ(std::get<std::string>(o.at("value").v), order[i]);
    double slot = std::get<double>(o.at("slot").v);
    EXPECT_LT(slot, w->capacity());
    slots.insert(slot);
  }
  EXPECT_EQ(slots.size(), 300u);

  auto empty = floodTable("vexaswitch/tables/test/empty", 0);
  Result e = run("dump vexaswitch/tables/test/empty --json");
  EXPECT_EQ(e.out, "[]\n");
}

U64 ethernet(int n) {
  Kel::CharRange r(fmt::format("Ethernet{}", n));
  return Kel::AttrText<Lanx::IntfId>::parse(r, "key").raw();
}

TEST(ZolmJson, EveryByteIsEscapedSoTheStringReadsBack) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += char(c);
  all += "Value('x', ** {'s': 'a\\'b\"c'})";
  std::string literal = Zolm::Tool::jsonString(all);
  Json j;
  ASSERT_NO_THROW(j = JsonParser(literal).document()) << literal;
  EXPECT_EQ(std::get<std::string>(j.v), all);
}

TEST_F(ZolmTool, GetParsesTheKeyAndTellsFoundFromNotFound) {
  FloodWriter w(nullptr, "vexaswitch/tables/test/flood", Zolm::WriterConfig{});
  w.initialize();
  for (int n = 1; n <= 50; ++n) w.write(floodEntry(ethernet(n), U32(n)));
  Result hit = run("get vexaswitch/tables/test/flood Ethernet7");
  ASSERT_EQ(hit.code, 0) << hit.err;
  EXPECT_EQ(hit.out, fmt::format("{}\n", floodEntry(ethernet(7), 7)));
  Result miss = run("get vexaswitch/tables/test/flood Ethernet99");
  EXPECT_EQ(miss.code, 1);
  EXPECT_NE(miss.err.find("not found"), std::string::npos);
  Result bad = run("get vexaswitch/tables/test/flood 'no such key ('");
  EXPECT_EQ(bad.code, 2);
  EXPECT_NE(bad.err.find("bad key"), std::string::npos) << bad.err;
  Result outOfRange = run("get vexaswitch/tables/test/flood Ethernet70000");
  EXPECT_EQ(outOfRange.code, 2) << outOfRange.out;

  // A scalar key: its text form is the bare number.
  NexthopWriter nh(nullptr, "vexaswitch/tables/test/nexthop", Zolm::WriterConfig{});
  nh.initialize();
  for (U64 k = 1; k <= 200; ++k) nh.write(nexthop(k * 1000, U32(k)));
  Result nhHit = run("get vexaswitch/tables/test/nexthop 17000");
  ASSERT_EQ(nhHit.code, 0) << nhHit.err;
  EXPECT_EQ(nhHit.out, fmt::format("{}\n", nexthop(17000, 17)));
  EXPECT_EQ(run("get vexaswitch/tables/test/nexthop 17001").code, 1);
  EXPECT_EQ(run("get vexaswitch/tables/test/nexthop 0x10").code, 2);
  EXPECT_EQ(run("get vexaswitch/tables/test/nexthop 99999999999999999999999").code, 2);
  EXPECT_EQ(run("get vexaswitch/tables/test/nexthop ' 17000'").code, 2);
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
  for (U64 s = 0; s < 400; s += 9) {
    U64 off = 600 + FloodOps::slotSize + s * FloodOps::slotSize + 4;  // the link's target
    U32 target = U32(s * 7 % 400);
    ASSERT_TRUE(patchFile(slots, off, &target, 4));
  }
  std::string dir = root_.dir() + "/vexaswitch/tables/test/flood";
  auto before = filesIn(dir);
  Result damaged = run("validate vexaswitch/tables/test/flood");
  EXPECT_EQ(damaged.code, 1) << damaged.out;
  EXPECT_NE(damaged.err.find("not sound"), std::string::npos);
  // Reading a damaged table ends with an error, never a hang or a crash.
  Result dumped = run("dump vexaswitch/tables/test/flood");
  EXPECT_EQ(dumped.code, 1) << dumped.err;
  EXPECT_NE(dumped.err.find("corrupt"), std::string::npos) << dumped.err;

  EXPECT_EQ(filesIn(dir), before);

  fs::resize_file(slots, 1000);
  before = filesIn(dir);
  for (char const* cmd : {"validate", "dump", "show", "get"}) {
    Result truncated = run(fmt::format("{} vexaswitch/tables/test/flood{}", cmd, *cmd == 'g' ? " Ethernet1" : ""));
    EXPECT_EQ(truncated.code, 3) << cmd;
    EXPECT_NE(truncated.err.find("cannot attach"), std::string::npos) << cmd << ": " << truncated.err;
  }
  Result ls = run("ls");
  EXPECT_EQ(ls.code, 0);
  EXPECT_NE(ls.out.find("unreadable: bad shmem size:1000"), std::string::npos) << ls.out;
  // The tool is a reader: no file of the table changed, none was added (no
  // corruption marker either).
  EXPECT_EQ(filesIn(dir), before);
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

  // A slot file of a type this build does not know.
  fs::copy(root_.dir() + "/vexaswitch/tables/test/flood", root_.dir() + "/vexaswitch/tables/test/alien");
  ASSERT_TRUE(patchFile(root_.dir() + "/vexaswitch/tables/test/alien/slots", 48, "Foo::Bar\0", 9));
  Result alien = run("dump vexaswitch/tables/test/alien");
  EXPECT_EQ(alien.code, 2);
  EXPECT_NE(alien.err.find("unknown value type \"Foo::Bar\""), std::string::npos) << alien.err;
  Result noCommand = run("");
  EXPECT_EQ(noCommand.code, 2);
  for (char const* cmd : {"ls", "show", "dump", "get", "validate", "watch"}) {
    Result help = run(fmt::format("{} --help", cmd));
    EXPECT_EQ(help.code, 0) << cmd;
    EXPECT_NE(help.out.find("Usage"), std::string::npos) << cmd << ": " << help.out;
  }
}

// The per-VLAN ACL table keeps its values in slabs: show lists them, and
// dump and get read values out of them like any other table's.
TEST_F(ZolmTool, SlabTableShowsItsSlabsAndDumpsAndGetsItsValues) {
  AclWriter w(nullptr, "vexaswitch/tables/test/acl", Zolm::WriterConfig{});
  w.initialize();
  for (U32 vlan = 1; vlan <= 200; ++vlan) w.write(aclValue(vlan, 7));
  Result show = run("show vexaswitch/tables/test/acl");
  ASSERT_EQ(show.code, 0) << show.err;
  EXPECT_NE(show.out.find("members: 200"), std::string::npos) << show.out;
  // vlan v at version 7 has 1 + (3v + 7) % 36 elements: every slab 5..29.
  U64 payload = 0;
  for (U32 vlan = 1; vlan <= 200; ++vlan) payload += aclValue(vlan, 7).serializeLen();
  EXPECT_NE(show.out.find("SLAB       ENTRIES  OCCUPIED      PAYLOAD   USED\n"), std::string::npos) << show.out;
  U64 listed = 0, occupied = 0;
  for (auto const& l : lines(show.out)) {
    if (l.rfind("slab", 0) != 0) continue;
    std::istringstream in(l);
    std::string name;
    U64 entries, occ, bytes;
    in >> name >> entries >> occ >> bytes;
    occupied += occ;
    listed += bytes;
  }
  EXPECT_EQ(occupied, 200u);
  EXPECT_EQ(listed, payload);
  Result get = run("get vexaswitch/tables/test/acl 42");
  ASSERT_EQ(get.code, 0) << get.err;
  EXPECT_EQ(get.out, fmt::format("{}\n", Zolm::show(aclValue(42, 7))));
  Result dump = run("dump vexaswitch/tables/test/acl");
  ASSERT_EQ(dump.code, 0) << dump.err;
  EXPECT_EQ(lines(dump.out).size(), 200u);
  EXPECT_EQ(run("validate vexaswitch/tables/test/acl").code, 0);
}

}  // namespace
