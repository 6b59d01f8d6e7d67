#pragma once
// Where a table's files live.
//
// Every shared-memory table has one directory, <root>/<table path>, where
// <root> is the process's shared-memory root and <table path> the table's
// name (for example "vexaswitch/tables/l2/macTable"). The root is, in order
// of precedence:
//   1. the directory given to Mem::RootPath::shmRootIs() in this process;
//   2. the environment variable VEXA_SHM_ROOT, read when first needed;
//   3. "/dev/shm/vexa".
// Tests and tools use private roots so that tables can run side by side.
//
// A table path is relative, its components are non-empty and none of them
// is "." or ".."; it contains no NUL byte. Anything else could name a file
// outside the root and is refused with Quiv::InvalidInitializeException.
#include <string>
#include <string_view>

#include "VexaSwitchLib/runtime/Debug.h"

namespace Mem {

class RootPath {
 public:
  static constexpr char const* ENV_NAME = "VEXA_SHM_ROOT";
  static constexpr char const* DEFAULT_ROOT = "/dev/shm/vexa";

  RootPath() = default;
  RootPath(Quiv::DebugHandler* handler, std::string_view tablePath);

  // The shared-memory root of this process.
  static std::string shmRoot();
  // Replaces the root for the rest of the process (an empty string returns
  // to the environment/default). Existing RootPath objects keep theirs.
  static void shmRootIs(std::string_view root);
  // Throws Quiv::InvalidInitializeException when `tablePath` could escape
  // the root.
  static void checkTablePath(std::string_view tablePath);

  // The table path as given ("vexaswitch/tables/l2/macTable").
  std::string const& tablePath() const { return tablePath_; }
  // The table's directory, "<root>/<table path>".
  std::string const& dirName() const { return dirName_; }
  // "<dirName>/<file>"; `file` must be a plain file name.
  std::string filePath(std::string_view file) const;
  // Creates the directory and its parents (writers only).
  void createDirectory() const;
  // Removes one file of the table (absent is not an error); traces at
  // level 3. Returns whether a file was removed.
  bool removeFile(std::string_view file) const;
  bool fileExists(std::string_view file) const;
  bool empty() const { return dirName_.empty(); }

 private:
  Quiv::DebugHandler* handler_ = nullptr;
  std::string tablePath_;
  std::string dirName_;
};

}  // namespace Mem
