// The installed package must be usable by other CMake projects: install
// this build into a private prefix, build examples/consumer, examples/agent
// and examples/generic against it with find_package, and run them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace vexa_package_test {

namespace {

int run(std::string const& cmd) {
  int rc = std::system((cmd + " >package_test.log 2>&1").c_str());
  if (rc != 0) std::system("cat package_test.log");
  return rc;
}

TEST(InstalledPackage, ConsumerBuildsAndRuns) {
  namespace fs = std::filesystem;
  fs::path work = fs::temp_directory_path() / ("vexa-package-" + std::to_string(::getpid()));
  fs::remove_all(work);
  fs::create_directories(work);
  std::string cmake = CMAKE_COMMAND_PATH;
  std::string prefix = (work / "prefix").string();
  ASSERT_EQ(run(cmake + " --install " VEXA_BINARY_DIR " --prefix " + prefix), 0);
  EXPECT_TRUE(fs::exists(work / "prefix/include/VexaSwitchValues.h")) << "no example includes it";
  // The examples as their readers copy them, each its own project with its
  // own find_package; one parent project probes the compiler once for all.
  std::string const src = VEXA_SOURCE_DIR "/examples/";
  {
    std::ofstream top(work / "CMakeLists.txt");
    top << "cmake_minimum_required(VERSION 3.25)\nproject(VexaExamples LANGUAGES CXX)\n";
    for (char const* example : {"consumer", "agent", "generic"})
      top << "add_subdirectory(" << src << example << " " << example << ")\n";
  }
  std::string const build = (work / "build").string();
  ASSERT_EQ(run(cmake + " -S " + work.string() + " -B " + build + " -G Ninja -DCMAKE_PREFIX_PATH=" + prefix), 0);
  ASSERT_EQ(run(cmake + " --build " + build), 0);
  // The installed library has no RPATH: the loader is pointed at the prefix.
  std::string const loader = "LD_LIBRARY_PATH=" + prefix + "/lib:" + prefix + "/lib64 ";
  for (char const* program : {"consumer/consumer", "agent/agent-example", "generic/generic-example"})
    EXPECT_EQ(run(loader + build + "/" + program), 0) << program;
  fs::remove_all(work);
}

}  // namespace

}  // namespace vexa_package_test
