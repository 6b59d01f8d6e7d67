// The command-line tools as a user runs them: their version, their exit
// status convention (0 ok, 1 a failed check, 2 usage or malformed input,
// 3 a table or root that cannot be made or attached), vexa-l2's refusal of fields its words cannot
// hold, and a second table demo on a root whose table another demo is
// writing; the agent demo keeps the same convention.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>

#include <fmt/format.h>

#include "VexaSwitchLib/runtime/Version.h"
#include "testutil/Process.h"
#include "testutil/ShmRoot.h"

namespace vexa_tools_test {

namespace {

using Result = VexaTest::CommandResult;
Result run(std::string const& tool, std::string const& args) { return VexaTest::runCommand(tool + " " + args); }

constexpr char L2[] = VEXA_L2_BIN;
constexpr char DEMO[] = VEXA_DEMO_BIN;
constexpr char ZOLM[] = VEXA_ZOLM_BIN;
constexpr char AGENTS[] = VEXA_AGENT_DEMO_BIN;

TEST(Tools, VersionAndTheExitStatusFooter) {
  for (auto [bin, name] : {std::pair{L2, "vexa-l2"}, {DEMO, "vexa-table-demo"}, {ZOLM, "zolm"},
                           {AGENTS, "vexa-agent-demo"}}) {
    Result v = run(bin, "--version");
    EXPECT_EQ(v.code, 0) << name << v.err;
    EXPECT_EQ(v.out, fmt::format("{} {}\n", name, VEXA_SWITCH_LIB_VERSION_STRING));
    if (bin == ZOLM) continue;  // its footer: zolm_test.cpp
    Result h = run(bin, "--help");
    EXPECT_EQ(h.code, 0) << bin;
    EXPECT_NE(h.out.find("Exit status: 0 ok, 1 "), std::string::npos) << h.out;
  }
}

// Each refusal: the status and the words of its message.
TEST(Tools, L2RefusesWhatItsWordsCannotHoldAndStatusesFollowTheConvention) {
  struct Case {
    char const* args;
    int code;
    char const* says;
  };
  constexpr char E[] = "encode 01:02:03:04:05:06";
  for (Case c : {
           Case{"{} 10 0x1f 5 42 --ports 3", 2, "MASK 0x1f is above 0xf"},
           Case{"{} 10 0x2000000000000 5 42", 2, "MASK 0x2000000000000 is above 0x1ffffffffffff"},
           Case{"{} 4096 1 5 42", 2, "VLAN 4096 is above 4095"},
           Case{"{} 10 1 8 42", 2, "FLAGS 8 is above 0x7"},
           Case{"{} 10 1 5 0x1ff", 2, "LASTSEEN 0x1ff is above 0xff"},
           Case{"{} 10 1x 5 42", 2, "MASK '1x' is not a number"},
           Case{"encode 01:02:03 1 2 3 4", 2, "MAC '01:02:03' is not an Ethernet address"},
           Case{"decode 0x1g 0", 2, "QWORD0 '0x1g' is not a number"},
           Case{"decode 0 0xffffffffffffffff --ports 55", 2, "IngressPortMask"},
           Case{"decode 0xF01020304050600A 0x0055A00000000000 --parity", 1, ""},
           Case{"table vexaswitch/tables/x", 2, "is not a table name"},
           Case{"frobnicate", 2, "unknown command"},
       }) {
    std::string args = fmt::format(fmt::runtime(c.args), E);
    Result r = run(L2, args);
    EXPECT_EQ(r.code, c.code) << args << "\n" << r.out << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << args << "\n" << r.err;
  }
  // What encode takes comes back from decode unchanged, at the edge of
  // each field (a mask holds bits 0..N, and 48 bits at most); a leading
  // zero is decimal.
  for (auto [mask, ports] : {std::pair{"0xf", 3}, std::pair{"0x1ffffffffffff", 48}, std::pair{"0x1ffffffffffff", 55}})
    for (char const* parity : {"--parity", "--no-parity"}) {
      Result e = run(L2, fmt::format("{} 010 {} 7 0xff --ports {} {}", E, mask, ports, parity));
      ASSERT_EQ(e.code, 0) << e.err;
      std::smatch m;
      ASSERT_TRUE(std::regex_search(e.out, m, std::regex("qword0 (0x[0-9a-f]+)\n  qword1 (0x[0-9a-f]+)"))) << e.out;
      Result d = run(L2, fmt::format("decode {} {} --ports {} {}", m.str(1), m.str(2), ports, parity));
      EXPECT_EQ(d.code, 0) << d.out << d.err;
      EXPECT_NE(d.out.find(fmt::format("vlan 10  ports {}  mcast 7", mask)), std::string::npos) << d.out;
      EXPECT_NE(d.out.find("lastSeen 255"), std::string::npos) << d.out;
    }
}

TEST(Tools, DemoOptionErrorsAreUsageAndAnUnusableRootIsNoTable) {
  for (auto [bin, args] : {std::pair{DEMO, "--readers 0"}, {DEMO, "--size 12x"}, {DEMO, "--shadows 5"},
                           {DEMO, "--duration"}, {DEMO, "--bogus"}, {DEMO, "stray"}, {AGENTS, "--size 999"},
                           {AGENTS, "--size 12x"}, {AGENTS, "--duration 0"}, {AGENTS, "--readers 1"},
                           {AGENTS, "stray"}}) {
    Result r = run(bin, args);
    EXPECT_EQ(r.code, 2) << bin << " " << args << "\n" << r.err;
    EXPECT_FALSE(r.err.empty()) << bin << " " << args;
  }
  for (char const* bin : {DEMO, AGENTS}) EXPECT_EQ(run(bin, "--root /proc/version/x").code, 3) << bin;
}

// A second demo on a root whose table a first demo is writing stops with
// the writer's error before any reader runs, and the first runs on clean.
TEST(Tools, SecondDemoOnOneRootStopsAndLeavesTheFirstAlone) {
  VexaTest::ShmRoot shm;
  std::string root = shm.dir() + "/demo";
  std::string errFile = shm.dir() + "/first.err";
  FILE* first = ::popen(
      fmt::format("{} --root {} --size 5000 --readers 1 --duration 3 2>{}", DEMO, root, errFile).c_str(), "r");
  ASSERT_NE(first, nullptr);
  std::string firstOut;
  char line[4096];
  while (firstOut.find("filled ") == std::string::npos && std::fgets(line, sizeof line, first)) firstOut += line;
  ASSERT_NE(firstOut.find("filled "), std::string::npos) << firstOut;

  Result second = run(DEMO, fmt::format("--root {} --size 5000 --readers 2 --duration 1", root));
  EXPECT_EQ(second.code, 3) << second.out << second.err;
  EXPECT_NE(second.err.find("already has a live writer (pid "), std::string::npos) << second.err;
  EXPECT_EQ(second.out.find("torn reads"), std::string::npos) << second.out;

  while (std::fgets(line, sizeof line, first)) firstOut += line;
  int status = ::pclose(first);
  std::ifstream e(errFile);
  std::string firstErr(std::istreambuf_iterator<char>(e), {});
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << firstOut << firstErr;
  EXPECT_NE(firstOut.find("torn reads: 0\n"), std::string::npos) << firstOut;
  EXPECT_NE(firstOut.find("result: ok"), std::string::npos) << firstOut;
}

}  // namespace

}  // namespace vexa_tools_test
