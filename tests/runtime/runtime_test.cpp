// Tracing, the framework hash and local regions: the pieces every later
// unit leans on for diagnostics and storage (reference counting: every
// suite, under the sanitizers too).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "VexaSwitchLib/runtime/Runtime.h"
#include "testutil/Process.h"

namespace vexa_runtime_test {

namespace {

struct Captured {
  std::string handler;
  unsigned level;
  std::string msg;
};

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Quiv::traceSinkIs([this](Quiv::DebugHandler const& h, unsigned level, std::string_view msg) {
      lines.push_back({h.name(), level, std::string(msg)});
    });
  }
  void TearDown() override {
    Quiv::traceSinkIs({});
    Quiv::traceSpecIs("");
  }
  std::vector<Captured> lines;
};

// Bit N of a handler's mask enables level N, and a disabled level formats
// nothing; a trace setting applies to handlers made before and after it, by
// name or by wildcard.
TEST_F(TraceTest, LevelMaskAndSettingsForExistingAndFutureHandlers) {
  auto* before = Quiv::Platform::getDebugHandler("TraceB");
  Quiv::traceSpecIs("TraceA=0x5,TraceB=2,*=1");
  auto* h = Quiv::Platform::getDebugHandler("TraceA");
  int formatted = 0;
  for (unsigned level = 0; level < 4; ++level) fmtrace(h, level, "line {} {}", level, ++formatted);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].msg, "line 0 1");
  EXPECT_EQ(lines[1].level, 2u);
  EXPECT_EQ(formatted, 2) << "a disabled level formatted its arguments";
  EXPECT_EQ(before->flags(), 2u);
  EXPECT_EQ(Quiv::Platform::getDebugHandler("TraceC")->flags(), 1u);
  EXPECT_EQ(Quiv::Platform::getDebugHandler("TraceB"), before);
  EXPECT_EQ(Quiv::Platform::getDebugHandler("NeverMade", false), nullptr);
  EXPECT_THROW(Quiv::traceSpecIs("TraceB"), Kel::ParseException);
  EXPECT_THROW(Quiv::traceSpecIs("TraceB=zz"), Kel::ParseException);
}

// Run by TraceEnv below in a fresh process; does nothing on its own.
TEST(TraceEnvChild, Emit) {
  if (!std::getenv("VEXA_TRACE_CHILD")) GTEST_SKIP() << "only run as TraceEnv's child";
  fmtrace(Quiv::Platform::getDebugHandler("EnvHandler"), 3, "hello {}", 42);
  fmtrace(Quiv::Platform::getDebugHandler("EnvHandler"), 2, "level two is off");
}

TEST(TraceEnv, EnvironmentTurnsLevelsOnAndLinesReachStderr) {
  // This program again; under user-mode emulation its emulator re-runs it
  // (the kernel cannot exec an aarch64 program there).
  char const* emulator = std::getenv("VEXA_TEST_EMULATOR");
  std::string self = emulator ? emulator : "/proc/" + std::to_string(::getpid()) + "/exe";
  auto r = VexaTest::runCommand("VEXA_TRACE='EnvHandler=0x8' VEXA_TRACE_CHILD=1 " + self +
                                " --gtest_filter=TraceEnvChild.Emit");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "EnvHandler[3] hello 42\n");
}

// The key hash is part of the file format: every stored entry sits in the
// chain its hash chose. A changed hash would orphan them all silently.
TEST(Hash, GoldenValuesAndSeedSensitivity) {
  EXPECT_EQ(Kel::hashSingleAttr(0x9e3779b9u, U64(0x001c73000001ULL)), 462960962u);
  EXPECT_EQ(Kel::hashSingleAttr(0u, U32(1)), 3374285018u);
  EXPECT_EQ(Kel::hashSingleAttr(12345u, Quiv::String("Ethernet3/1")), 1669306142u);
  EXPECT_EQ(Kel::hashSingleAttr(7u, U32(12345)), Kel::hashSingleAttr(7u, U64(12345)));
  EXPECT_NE(Kel::hashSingleAttr(7u, U32(12345)), Kel::hashSingleAttr(8u, U32(12345)));
  EXPECT_NE(Kel::hashSingleAttr(0u, Quiv::String("ab")), Kel::hashSingleAttr(0u, Quiv::String("ba")));
}

TEST(LocalRegion, GrowsKeepsContentsAndZeroFillsNewBytes) {
  for (bool heap : {false, true}) {
    Mem::Local m;
    m.useHeapIs(heap);
    auto* p = static_cast<unsigned char*>(m.resize(100));
    for (int i = 0; i < 100; ++i) p[i] = static_cast<unsigned char>(i);
    m.resize(40);
    p = static_cast<unsigned char*>(m.resize(1 << 20));
    for (int i = 0; i < 40; ++i) ASSERT_EQ(p[i], i);
    for (int i = 40; i < 200; ++i) ASSERT_EQ(p[i], 0) << "byte " << i << (heap ? " heap" : " mapped");
  }
  EXPECT_THROW(Mem::multiplyOverflowCheck(U64(1) << 40, U64(1) << 30, 600), Quiv::MemoryResourceException);
  EXPECT_EQ(Mem::multiplyOverflowCheck(64, 32, 632), 632u + 64 * 32);
}

}  // namespace

}  // namespace vexa_runtime_test
