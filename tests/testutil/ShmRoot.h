#pragma once
// A private shared-memory root for one test: a fresh directory under
// /dev/shm, made the process's root, removed afterwards.
//
// Names are /dev/shm/vexa_test.<tag>.<pid>.<random>: the tag names the build
// directory whose tests made the root (VEXA_TEST_SHM_TAG, from the build),
// the pid the process that made it. The destructor does not always run: a
// threadsafe death test's child re-runs the fixture and dies by abort, ctest
// kills a test at its timeout, a failing ASSERT in a forked child ends it
// with _exit. So a root whose maker is gone is garbage, and is removed
//   - by its own process at exit, if it is still registered then;
//   - by any test process of the same tag at exit (dead makers only);
//   - by the ctest cleanup fixture after the suites (testutil/ShmCleanup.cmake).
// A forked child never removes its parent's roots: only the maker's pid does.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "VexaSwitchLib/runtime/RootPath.h"

#ifndef VEXA_TEST_SHM_TAG
#define VEXA_TEST_SHM_TAG "adhoc"
#endif

namespace VexaTest {

inline constexpr char SHM_PARENT[] = "/dev/shm";
inline constexpr char SHM_PREFIX[] = "vexa_test.";

// "vexa_test.<tag>.": every root this build's tests make starts so.
inline std::string shmRootTagPrefix() { return fmt::format("{}{}.", SHM_PREFIX, VEXA_TEST_SHM_TAG); }

// The maker's pid from a root's name, or 0 when the name is not one of this
// tag's roots.
inline pid_t shmRootMaker(std::string_view name) {
  std::string const prefix = shmRootTagPrefix();
  if (name.substr(0, prefix.size()) != prefix) return 0;
  name.remove_prefix(prefix.size());
  pid_t pid = 0;
  size_t i = 0;
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9' && pid < 100000000; ++i) pid = pid * 10 + (name[i] - '0');
  return (i > 0 && i < name.size() && name[i] == '.') ? pid : 0;
}

inline bool processIsGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// Removes this tag's roots whose maker has exited; returns how many.
inline int sweepOrphanShmRoots() {
  namespace fs = std::filesystem;
  std::error_code ec;
  int removed = 0;
  for (fs::directory_iterator it(SHM_PARENT, ec), end; !ec && it != end; it.increment(ec)) {
    pid_t maker = shmRootMaker(it->path().filename().string());
    if (maker <= 0 || maker == ::getpid() || !processIsGone(maker)) continue;
    std::error_code rec;
    if (fs::remove_all(it->path(), rec) > 0) ++removed;
  }
  return removed;
}

namespace detail {

struct ShmRootRegistry {
  std::mutex mutex;
  std::vector<std::pair<std::string, pid_t>> roots;

  static ShmRootRegistry& get() {
    // Never destroyed: the exit handler below runs after static destructors
    // of objects made later, and must still find it.
    static ShmRootRegistry* registry = [] {
      auto* r = new ShmRootRegistry;
      ::atexit(&ShmRootRegistry::atExit);
      return r;
    }();
    return *registry;
  }
  void add(std::string const& dir) {
    std::lock_guard lock(mutex);
    roots.emplace_back(dir, ::getpid());
  }
  void remove(std::string const& dir) {
    std::lock_guard lock(mutex);
    std::erase_if(roots, [&](auto const& r) { return r.first == dir; });
  }
  static void atExit() {
    auto& self = get();
    {
      std::lock_guard lock(self.mutex);
      for (auto const& [dir, pid] : self.roots) {
        std::error_code ec;
        if (pid == ::getpid()) std::filesystem::remove_all(dir, ec);
      }
    }
    sweepOrphanShmRoots();
  }
};

}  // namespace detail

class ShmRoot {
 public:
  ShmRoot() : maker_(::getpid()) {
    std::string tmpl = fmt::format("{}/{}{}.XXXXXX", SHM_PARENT, shmRootTagPrefix(), maker_);
    // Without its own root a test would write into the default one.
    if (!::mkdtemp(tmpl.data())) throw std::system_error(errno, std::generic_category(), "ShmRoot: mkdtemp " + tmpl);
    dir_ = tmpl;
    detail::ShmRootRegistry::get().add(dir_);
    Mem::RootPath::shmRootIs(dir_);
  }
  ShmRoot(ShmRoot const&) = delete;
  ShmRoot& operator=(ShmRoot const&) = delete;
  ~ShmRoot() {
    // A forked child that leaves the scope must not take its parent's root.
    if (::getpid() != maker_) return;
    Mem::RootPath::shmRootIs("");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    detail::ShmRootRegistry::get().remove(dir_);
  }
  std::string const& dir() const { return dir_; }

 private:
  pid_t maker_;
  std::string dir_;
};

}  // namespace VexaTest
