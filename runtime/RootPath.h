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
//
// A table's directory holds its files (TABLE_FILES) and nothing else: no
// table lives inside another's directory. So no component of a table path
// is a table file's name ("m/owner" would need m's owner file to be a
// directory), and a writer refuses a table whose directory lies inside
// another table's or holds one (checkNotNested), whichever came first.
#include <string>
#include <string_view>

#include "VexaSwitchLib/runtime/Debug.h"

namespace Mem {

class RootPath {
 public:
  static constexpr char const* ENV_NAME = "VEXA_SHM_ROOT";
  static constexpr char const* DEFAULT_ROOT = "/dev/shm/vexa";
  // Every file a table's directory may hold, and the prefix of the fenix
  // file's temporary copy ("fenix.tmp.<pid>"). The classes that own the
  // files assert that their names are listed here.
  static constexpr std::string_view TABLE_FILES[] = {"slots", "buckets",             "nimbr",        "fenix",
                                                     "owner", "corruption-detected", "clone-control"};
  static constexpr std::string_view TEMP_FILE_PREFIX = "fenix.tmp.";
  // A table whose values live in slabs also has "slab0".."slab31".
  static constexpr std::string_view SLAB_FILE_PREFIX = "slab";
  static constexpr bool isSlabFileName(std::string_view name) {
    if (!name.starts_with(SLAB_FILE_PREFIX)) return false;
    std::string_view n = name.substr(SLAB_FILE_PREFIX.size());
    if (n.empty() || n.size() > 2 || (n.size() == 2 && n[0] == '0')) return false;
    unsigned v = 0;
    for (char c : n) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + unsigned(c - '0');
    }
    return v < 32;
  }
  static constexpr bool isTableFileName(std::string_view name) {
    for (std::string_view f : TABLE_FILES)
      if (name == f) return true;
    return name.starts_with(TEMP_FILE_PREFIX) || isSlabFileName(name);
  }

  RootPath() = default;
  RootPath(Quiv::DebugHandler* handler, std::string_view tablePath);

  // The shared-memory root of this process.
  static std::string shmRoot();
  // Replaces the root for the rest of the process (an empty string returns
  // to the environment/default). Existing RootPath objects keep theirs.
  static void shmRootIs(std::string_view root);
  // Throws Quiv::InvalidInitializeException when `tablePath` could escape
  // the root or has a component named as a table's file.
  static void checkTablePath(std::string_view tablePath);

  // The table path as given ("vexaswitch/tables/l2/macTable").
  std::string const& tablePath() const { return tablePath_; }
  // The table's directory, "<root>/<table path>".
  std::string const& dirName() const { return dirName_; }
  // "<dirName>/<file>"; `file` must be a plain file name.
  std::string filePath(std::string_view file) const;
  // Creates the directory and its parents (writers only).
  void createDirectory() const;
  // Throws Quiv::InvalidInitializeException, naming the other table, when
  // a directory above this table's (up to the root) holds a table's files,
  // or when a directory below it does. A writer calls it before it makes
  // or takes a table. Not atomic with a writer of the other table starting
  // at the same moment; it catches every layout made one after the other.
  void checkNotNested() const;
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
