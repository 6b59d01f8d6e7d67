#include "VexaSwitchLib/runtime/Sentry.h"

#include <sys/stat.h>

#include "VexaSwitchLib/runtime/Pokt.h"

namespace Mem {

std::string WriterFiles::toString() const {
  return fmt::format("fenix:{} socket:{}", fenix, socket.empty() ? std::string("none") : Pokt::showSocketName(socket));
}

WriterFiles WriterFiles::read(RootPath const& root, Quiv::DebugHandler* handler) {
  WriterFiles f;
  // The socket first: a starting writer writes the fenix file before it
  // announces the socket (W7), so a socket read before the fenix id
  // belongs to that id or an earlier one, and "present" never pairs a new
  // announcement with files not yet laid out.
  try {
    SharedMem::ShocketInfo info = SharedMem::OwnerFile(root).shocketInfo();
    f.socket.assign(info.name.c_str(), info.name.size());
  } catch (Quiv::Exception const& e) {
    fmtrace(handler, 1, "{}: owner file unreadable: {}", root.dirName(), e.msg());
  }
  f.fenix = SharedMem::FenixFile(root).read();
  return f;
}

// --- ReaderSentry ---------------------------------------------------------------

ReaderSentry::ReaderSentry(Quiv::EventLoop& loop, RootPath const& root, ReaderSentryNotifiee* notifiee,
                           Quiv::DebugHandler* handler)
    : loop_(loop), root_(root), notifiee_(notifiee), handler_(handler) {}

ReaderSentry::~ReaderSentry() = default;

void ReaderSentry::start() {
  // Watch first, read second: a change made between the two is then both
  // read here and reported by an event, never lost between them.
  watcher_ = std::make_unique<Quiv::DirWatcher>(loop_, root_.dirName(), [this] { onChange(); }, true);
  fmtrace(handler_, 1, "watching {} (at {})", root_.dirName(), watcher_->watching());
  check("start");
}

void ReaderSentry::check(std::string_view event) {
  last_ = WriterFiles::read(root_, handler_);
  fmtrace(handler_, 5, "{} {} {}", root_.dirName(), event, last_.toString());
  notifiee_->handleWriterFiles(last_, event);
}

void ReaderSentry::onChange() {
  ++events_;
  WriterFiles now = WriterFiles::read(root_, handler_);
  if (now == last_ && !retry_) return;
  last_ = now;
  fmtrace(handler_, 5, "{} changed: {}", root_.dirName(), last_.toString());
  notifiee_->handleWriterFiles(last_, "inotify");
}

// --- WriterSentry ---------------------------------------------------------------

WriterSentry::WriterSentry(Quiv::EventLoop& loop, RootPath const& root, WriterSentryNotifiee* notifiee,
                           Quiv::DebugHandler* handler)
    : loop_(loop), root_(root), notifiee_(notifiee), handler_(handler) {}

WriterSentry::~WriterSentry() = default;

void WriterSentry::start() {
  watcher_ = std::make_unique<Quiv::DirWatcher>(loop_, root_.dirName(), [this] { onChange(); });
  onChange();
}

std::string WriterSentry::missing() const {
  struct stat st;
  if (::stat(root_.dirName().c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "directory removed";
  for (char const* f : {SharedMem::OwnerFile::FILENAME, SharedMem::FenixFile::FENIX_NAME, "slots"})
    if (!root_.fileExists(f)) return fmt::format("file {} removed", f);
  return {};
}

void WriterSentry::onChange() {
  std::string what = missing();
  if (what.empty()) {
    lost_ = false;
    return;
  }
  if (lost_) return;
  lost_ = true;
  fmtrace(handler_, 0, "{}: {} under its live writer", root_.dirName(), what);
  notifiee_->handleWriterFilesLost(what);
}

}  // namespace Mem
