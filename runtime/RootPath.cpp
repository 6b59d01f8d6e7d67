#include "VexaSwitchLib/runtime/RootPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace Mem {

namespace {

std::mutex rootMutex;
std::string rootOverride;  // set by shmRootIs

[[noreturn]] void badPath(std::string_view path, std::string_view why) {
  std::string shown;
  for (char c : path) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
  fmthrow(Quiv::InvalidInitializeException, "bad table path '{}': {}", shown, why);
}

void checkFileName(std::string_view file) {
  if (file.empty() || file == "." || file == ".." || file.find('/') != std::string_view::npos ||
      file.find('\0') != std::string_view::npos)
    fmthrow(Quiv::InvalidInitializeException, "bad file name '{}' in a table directory", file);
}

// Whether `dir` holds any of a table's files (the directory of a table,
// live or left behind).
bool holdsTable(std::string const& dir) {
  struct stat st;
  for (std::string_view f : RootPath::TABLE_FILES)
    if (::lstat((dir + "/" + std::string(f)).c_str(), &st) == 0) return true;
  return false;
}

}  // namespace

std::string RootPath::shmRoot() {
  std::lock_guard<std::mutex> lock(rootMutex);
  if (!rootOverride.empty()) return rootOverride;
  if (char const* env = std::getenv(ENV_NAME); env && *env) return env;
  return DEFAULT_ROOT;
}

void RootPath::shmRootIs(std::string_view root) {
  if (root.find('\0') != std::string_view::npos)
    fmthrow(Quiv::InvalidInitializeException, "bad shared-memory root: contains a NUL byte");
  std::lock_guard<std::mutex> lock(rootMutex);
  rootOverride = std::string(root);
  while (rootOverride.size() > 1 && rootOverride.back() == '/') rootOverride.pop_back();
}

void RootPath::checkTablePath(std::string_view path) {
  if (path.empty()) badPath(path, "empty");
  if (path.find('\0') != std::string_view::npos) badPath(path, "contains a NUL byte");
  if (path.front() == '/') badPath(path, "absolute paths are not allowed");
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (part.empty()) badPath(path, "empty path component");
    if (part == "." || part == "..") badPath(path, "'.' and '..' are not allowed");
    if (isTableFileName(part))
      badPath(path, fmt::format("'{}' is the name of a table's file: a table cannot live inside another table's "
                                "directory",
                                part));
    start = end + 1;
  }
}

RootPath::RootPath(Quiv::DebugHandler* handler, std::string_view tablePath) : handler_(handler) {
  checkTablePath(tablePath);
  tablePath_ = std::string(tablePath);
  dirName_ = shmRoot() + "/" + tablePath_;
}

std::string RootPath::filePath(std::string_view file) const {
  checkFileName(file);
  return dirName_ + "/" + std::string(file);
}

void RootPath::createDirectory() const {
  // mkdir -p, component by component.
  std::string path;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dirName_.find('/', pos + 1);
    path = dirName_.substr(0, pos);
    if (path.empty()) continue;
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
      fmthrow(Quiv::InvalidInitializeException, "cannot create directory {}: {}", path, std::strerror(errno));
  }
}

void RootPath::checkNotNested() const {
  std::string const root = dirName_.substr(0, dirName_.size() - tablePath_.size() - 1);
  for (std::size_t slash = tablePath_.find('/'); slash != std::string::npos; slash = tablePath_.find('/', slash + 1)) {
    std::string_view outer = std::string_view(tablePath_).substr(0, slash);
    if (holdsTable(root + "/" + std::string(outer)))
      fmthrow(Quiv::InvalidInitializeException,
              "table '{}' cannot be made under {}: it would lie inside the directory of table '{}'; a table cannot "
              "live inside another table's directory",
              tablePath_, root, outer);
  }
  // Below: every directory under this one (symbolic links are not followed).
  namespace fs = std::filesystem;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dirName_, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_directory(ec) || it->is_symlink(ec) || !holdsTable(it->path().string())) continue;
    fmthrow(Quiv::InvalidInitializeException,
            "table '{}' cannot be made under {}: its directory holds table '{}'; a table cannot live inside another "
            "table's directory",
            tablePath_, root, tablePath_ + "/" + it->path().lexically_relative(dirName_).string());
  }
}

bool RootPath::removeFile(std::string_view file) const {
  std::string path = filePath(file);
  if (::unlink(path.c_str()) == 0) {
    fmtrace(handler_, 3, "removed {}", path);
    return true;
  }
  if (errno != ENOENT) fmtrace(handler_, 0, "cannot remove {}: {}", path, std::strerror(errno));
  return false;
}

bool RootPath::fileExists(std::string_view file) const {
  struct stat st;
  return ::stat(filePath(file).c_str(), &st) == 0;
}

}  // namespace Mem
