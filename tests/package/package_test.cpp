// The installed package must be usable by other CMake projects: install
// this build into a private prefix, build examples/consumer, examples/agent
// and examples/generic against it with find_package, and run them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "testutil/Process.h"

namespace vexa_package_test {

namespace {

// Empty when `cmd` succeeds, else its exit status and output.
std::string failureOf(std::string const& cmd) {
  VexaTest::CommandResult r = VexaTest::runCommand(cmd + " 2>&1");
  return r.code == 0 ? "" : "exit " + std::to_string(r.code) + ":\n" + r.out;
}

TEST(InstalledPackage, ConsumerBuildsAndRuns) {
  namespace fs = std::filesystem;
  fs::path work = fs::temp_directory_path() / ("vexa-package-" + std::to_string(::getpid()));
  fs::remove_all(work);
  fs::create_directories(work);
  std::shared_ptr<void> removed(nullptr, [&](void*) {  // also when an ASSERT ends the test
    std::error_code ec;
    fs::remove_all(work, ec);
  });
  std::string const cmake = CMAKE_COMMAND_PATH, prefix = (work / "prefix").string(), build = (work / "build").string();
  ASSERT_EQ(failureOf(cmake + " --install " VEXA_BINARY_DIR " --prefix " + prefix), "");
  EXPECT_TRUE(fs::exists(work / "prefix/include/VexaSwitchValues.h")) << "no example includes it";
  // The examples as their readers copy them, each its own project with its
  // own find_package; one parent project probes the compiler once for all.
  {
    std::ofstream top(work / "CMakeLists.txt");
    top << "cmake_minimum_required(VERSION 3.25)\nproject(VexaExamples LANGUAGES CXX)\n";
    for (char const* example : {"consumer", "agent", "generic"})
      top << "add_subdirectory(" << VEXA_SOURCE_DIR "/examples/" << example << " " << example << ")\n";
  }
  ASSERT_EQ(failureOf(cmake + " -S " + work.string() + " -B " + build + " -G Ninja -DCMAKE_PREFIX_PATH=" + prefix), "");
  ASSERT_EQ(failureOf(cmake + " --build " + build), "");
  // The installed library has no RPATH: the loader is pointed at the prefix.
  for (char const* program : {"consumer/consumer", "agent/agent-example", "generic/generic-example"})
    EXPECT_EQ(failureOf("LD_LIBRARY_PATH=" + prefix + "/lib:" + prefix + "/lib64 " + build + "/" + program), "");
}

}  // namespace

}  // namespace vexa_package_test
