#pragma once
// A private shared-memory root for one test: a fresh directory under
// /dev/shm, made the process's root, removed afterwards.
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "runtime/RootPath.h"

namespace VexaTest {

class ShmRoot {
 public:
  ShmRoot() {
    char tmpl[] = "/dev/shm/vexa_test.XXXXXX";
    if (::mkdtemp(tmpl)) dir_ = tmpl;
    Mem::RootPath::shmRootIs(dir_);
  }
  ~ShmRoot() {
    Mem::RootPath::shmRootIs("");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string const& dir() const { return dir_; }

 private:
  std::string dir_;
};

}  // namespace VexaTest
