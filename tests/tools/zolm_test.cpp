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
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "Json.h"
#include "VexaSwitchLib/tables/Collections.h"
#include "Zolm/TestTables.h"
#include "testutil/Process.h"

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
    return shell(fmt::format("exec {} {} --root {}", bin_, args, root_.dir()), uid);
  }
  static Result shell(std::string const& cmd, uid_t uid = 0) {
    Result r;
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return r;
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
      if (uid && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(121);
      ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    // stderr is short; the pipe holds it while stdout is read.
    for (auto [fd, text] : {std::pair{out[0], &r.out}, {err[0], &r.err}}) {
      char buf[4096];
      for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text->append(buf, std::size_t(n));
      ::close(fd);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.code = !WIFEXITED(status) ? -1 : uid && WEXITSTATUS(status) == 121 ? -2 : WEXITSTATUS(status);
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
  Zolm::markCorruptionDetected(Mem::RootPath(nullptr, "vexaswitch/tables/test/nexthop"), "bad link\x01 at 7");
  Result r = run("ls");
  ASSERT_EQ(r.code, 0) << r.err;
  auto ls = lines(r.out);
  ASSERT_EQ(ls.size(), 4u) << r.out;
  EXPECT_NE(ls[0].find("TABLE"), std::string::npos);
  EXPECT_NE(ls[0].find("REQUESTED"), std::string::npos) << ls[0];
  EXPECT_NE(ls[3].find("corruption reported: bad link\\x01 at 7"), std::string::npos) << ls[3];
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
  std::string dir = root_.dir() + "/vexaswitch/tables/test/flood";
  // An old report is shown, not taken for the table's state.
  Zolm::markCorruptionDetected(Mem::RootPath(nullptr, "vexaswitch/tables/test/flood"), "walked too far");
  Result noted = run("validate vexaswitch/tables/test/flood");
  EXPECT_EQ(noted.code, 0) << noted.err;
  EXPECT_NE(noted.out.find("corruption was reported earlier: walked too far"), std::string::npos) << noted.out;
  fs::remove(dir + "/corruption-detected");
  // A queue record at a position its sequence does not map to.
  std::string queue = dir + "/nimbr";
  auto saved = readFile(queue);
  U64 bogus = 3;
  ASSERT_TRUE(patchFile(queue, (128 + 4 * rawAt<U32>(saved, 28) + 15) / 16 * 16, &bogus, 8));  // record 0
  Result badQueue = run("validate vexaswitch/tables/test/flood");
  EXPECT_EQ(badQueue.code, 1) << badQueue.out;
  EXPECT_NE(badQueue.err.find("not sound: queue: nimbr pos:0 holds seq:3"), std::string::npos) << badQueue.err;
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
  EXPECT_EQ(alien.code, 3);
  EXPECT_NE(alien.err.find("unknown value type \"Foo::Bar\""), std::string::npos) << alien.err;
  // Random bytes where the type name is: shown escaped, never raw.
  std::string noise;
  for (int i = 0; i < 128; ++i) noise += char(i * 37 % 255 + 1);
  for (std::size_t len : {std::size_t(128), std::size_t(40)}) {
    ASSERT_TRUE(patchFile(root_.dir() + "/vexaswitch/tables/test/alien/slots", 48, noise.data(), len));
    for (char const* cmd : {"dump vexaswitch/tables/test/alien", "ls"}) {
      Result r = run(cmd);
      EXPECT_EQ(r.code, *cmd == 'd' ? 3 : 0) << r.err;
      for (char c : r.out + r.err) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << int(c);
      if (*cmd == 'd') {
        EXPECT_NE(r.err.find("\"\\x01&K"), std::string::npos) << r.err;
      }
    }
  }
  Result noCommand = run("");
  EXPECT_EQ(noCommand.code, 2);
  Result frob = run("frob");
  EXPECT_EQ(frob.code, 2);
  EXPECT_NE(frob.err.find("unknown command \"frob\""), std::string::npos) << frob.err;
  Result negative = run("watch vexaswitch/tables/test/flood --count -1");
  EXPECT_EQ(negative.code, 2) << negative.out;
  // The registered types, and one type's attributes with ids and whether
  // they are settable; an unknown type is "not found".
  Result types = run("types");
  EXPECT_EQ(types.code, 0) << types.err;
  EXPECT_NE(types.out.find("VexaSwitch::LagGroupIdTable"), std::string::npos) << types.out;
  Result counter = run("types VexaSwitch::AclCounter");
  EXPECT_EQ(counter.code, 0) << counter.err;
  EXPECT_TRUE(std::regex_search(counter.out, std::regex("\n +2  key +field +Nox::UniqueId +no\n +3  count +field +U64 +yes\n")))
      << counter.out;
  Result fn = run("types VexaSwitch::L2McastFlags");
  EXPECT_NE(fn.out.find("fromFields(joinsToCpu, dataToCpu, joinsToEgressPorts)"), std::string::npos) << fn.out;
  Result unknownType = run("types Foo::Bar");
  EXPECT_EQ(unknownType.code, 1);
  EXPECT_NE(unknownType.err.find("no registered type \"Foo::Bar\""), std::string::npos) << unknownType.err;
  for (char const* cmd : {"ls", "show", "dump", "get", "validate", "watch", "types"}) {
    Result help = run(fmt::format("{} --help", cmd));
    EXPECT_EQ(help.code, 0) << cmd;
    EXPECT_NE(help.out.find("Usage"), std::string::npos) << cmd << ": " << help.out;
    EXPECT_NE(help.out.find("4 validate: the table changed"), std::string::npos) << cmd << ": " << help.out;
  }
  // Output that cannot be written is an error, whatever the command.
  for (char const* cmd : {"ls", "show vexaswitch/tables/test/flood", "dump vexaswitch/tables/test/flood"}) {
    Result full = run(fmt::format("{} >/dev/full", cmd));
    EXPECT_EQ(full.code, 5) << cmd;
    EXPECT_NE(full.err.find("cannot write the output"), std::string::npos) << cmd << ": " << full.err;
  }
  // A root that is a file, or a table's own directory.
  for (std::string bad : {"/vexaswitch/tables/test/flood/slots", "/vexaswitch/tables/test/flood"}) {
    Result r = shell(fmt::format("exec {} ls --root {}{}", bin_, root_.dir(), bad));
    EXPECT_EQ(r.code, 2) << bad;
    EXPECT_NE(r.err.find(bad.ends_with("s") ? "is not a directory" : "a table's own directory"), std::string::npos)
        << r.err;
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
    for (char const* cmd : {"show", "dump", "validate", "watch", "get"}) {
      Result r = run(fmt::format("{} vexaswitch/tables/test/fifo-{}{}", cmd, file, *cmd == 'g' ? " Ethernet1" : ""));
      EXPECT_EQ(r.code, 3) << cmd << " " << file;
      EXPECT_NE(r.err.find(fmt::format("{}fifo-{}/{} is not a regular file", t, file, file)), std::string::npos)
          << cmd << ": " << r.err;
    }
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
  EXPECT_NE(ls.out.find("private/  "), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find("not listed: permission denied"), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find(fmt::format("unreadable: permission denied: {}locked/slots", t)), std::string::npos) << ls.out;
  std::string live = ls.out.substr(ls.out.find("tables/test/flood "));
  live = live.substr(0, live.find('\n'));
  EXPECT_EQ(live.find("(gone)"), std::string::npos) << "a live writer taken for gone: " << live;
  EXPECT_NE(live.find(fmt::format("unknown) [owner file permission denied: {}flood/owner]", t)), std::string::npos)
      << live;
  EXPECT_NE(ls.err.find("1 directory under"), std::string::npos) << ls.err;
  Result locked = run("dump vexaswitch/tables/test/locked", 65534);
  EXPECT_EQ(locked.code, 3);
  EXPECT_NE(locked.err.find(fmt::format("permission denied: {}locked/slots", t)), std::string::npos) << locked.err;
  Result hidden = run("show private/t", 65534);
  EXPECT_EQ(hidden.code, 3);
  EXPECT_NE(hidden.err.find("permission denied: "), std::string::npos) << hidden.err;
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
  std::map<int, int> codes;
  std::string errors;
  for (int i = 0; i < 10; ++i) {
    Result r = run("validate vexaswitch/tables/test/busy");
    ++codes[r.code];
    if (r.code != 0) errors += r.err;
  }
  ::kill(writer, SIGKILL);
  VexaTest::reap(writer);
  EXPECT_EQ(codes[0] + codes[4], 10) << errors;
  EXPECT_EQ(errors.find("not sound"), std::string::npos) << errors;
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
