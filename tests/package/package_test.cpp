// The installed package must be usable by another CMake project: install
// this build into a private prefix, build examples/consumer,
// examples/agent and examples/generic against it with find_package, and run them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

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
  EXPECT_TRUE(fs::exists(work / "prefix/include/VexaSwitchLib.h"));
  EXPECT_TRUE(fs::exists(work / "prefix/include/VexaSwitchValues.h"));
  ASSERT_EQ(run(cmake + " -S " VEXA_SOURCE_DIR "/examples/consumer -B " + (work / "build").string() +
                " -G Ninja -DCMAKE_PREFIX_PATH=" + prefix),
            0);
  ASSERT_EQ(run(cmake + " --build " + (work / "build").string()), 0);
  // The consumer finds the shared library through the installed target's
  // RPATH-less link; point the loader at the prefix.
  std::string const loader = "LD_LIBRARY_PATH=" + prefix + "/lib:" + prefix + "/lib64 ";
  ASSERT_EQ(run(loader + (work / "build/consumer").string()), 0);
  // The examples, as their readers copy them: collections mounted across two
  // processes (a private root, removed at the end), and a table reached by
  // its type name alone.
  for (std::string example : {"agent", "generic"}) {
    std::string dir = (work / example).string();
    ASSERT_EQ(run(cmake + " -S " VEXA_SOURCE_DIR "/examples/" + example + " -B " + dir + " -G Ninja -DCMAKE_PREFIX_PATH=" +
                  prefix),
              0);
    ASSERT_EQ(run(cmake + " --build " + dir), 0);
    ASSERT_EQ(run(loader + dir + "/" + example + "-example"), 0);
  }
  fs::remove_all(work);
}

}  // namespace
