#pragma once
// Mount watchers: what tells a mounted table that its writer's files came,
// went or were replaced, without anyone polling for them.
//
// Both watch the table's directory with inotify through a Quiv::DirWatcher
// on the caller's event loop; while the directory does not exist yet the
// watcher sits on its nearest existing ancestor and moves down as the path
// is made. Every wake-up is a kernel event; no timer looks at the files.
//
// What a reader needs to know is small and read whole at each event
// (WriterFiles): the fenix id (16 bytes, replaced by rename, so read old or
// new, never a mix) and the wake-up socket the owner file announces
// (written last by a starting writer, cleared by one that detaches, left
// behind by one that was killed). A writer is "present" when both are
// there: then every file was laid out under that fenix id (W7 in
// Zolm/ZolmWriter.h). The owner file is rewritten in place through the
// writer's open descriptor, so the reader's watcher asks for modification
// events too; a writer's slot and queue stores go through shared mappings,
// which the kernel does not report, so those events stay rare (creations,
// resizes, the owner record).
//
// Neither watcher writes anything, and neither keeps a file open.
// Thread: the loop's.
#include <memory>
#include <string>
#include <string_view>

#include "VexaSwitchLib/runtime/EventLoop.h"
#include "VexaSwitchLib/runtime/RootPath.h"
#include "VexaSwitchLib/runtime/SharedMem.h"

namespace Mem {

// What a collection is mounted with. Each engine derives its own kind; the
// mount machinery hands them around through this base.
class CollectionDescriptor {
 public:
  virtual ~CollectionDescriptor() = default;
  virtual std::string toString() const = 0;
  bool operator==(CollectionDescriptor const&) const = default;
};

// What a table's directory says about its writer at one moment.
struct WriterFiles {
  SharedMem::FenixId fenix;  // null: no table there (never made, removed, or garbled)
  std::string socket;        // the announced writer's wake-up socket; empty: none announced

  bool gone() const { return fenix.isNull(); }
  bool present() const { return !fenix.isNull() && !socket.empty(); }
  bool operator==(WriterFiles const&) const = default;
  std::string toString() const;  // "fenix:pid:12 incarnation:1 socket:@vexa.pokt.12.1.t"

  // Never throws: an unreadable owner record reads as no announcement
  // (traced at level 1), an unreadable fenix file as no table.
  static WriterFiles read(RootPath const& root, Quiv::DebugHandler* handler);
};

class ReaderSentryNotifiee {
 public:
  virtual ~ReaderSentryNotifiee() = default;
  // The writer's files as they are now. Called from the loop when they
  // changed since the last call, at start(), at check(), and at every
  // event while retry is set. `event` names the cause for traces.
  virtual void handleWriterFiles(WriterFiles const& files, std::string_view event) = 0;
};

// Watches a reader-type table's directory for its writer's files.
class ReaderSentry {
 public:
  ReaderSentry(Quiv::EventLoop& loop, RootPath const& root, ReaderSentryNotifiee* notifiee,
               Quiv::DebugHandler* handler);
  ~ReaderSentry();
  ReaderSentry(ReaderSentry const&) = delete;
  ReaderSentry& operator=(ReaderSentry const&) = delete;

  // Starts watching and tells the notifiee what is there now. Throws
  // Quiv::InvalidInitializeException when the kernel refuses the watch.
  void start();
  bool started() const { return watcher_ != nullptr; }
  // Reads the files now and tells the notifiee, changed or not.
  void check(std::string_view event = "check");
  // While set, every event is passed on even when nothing it reads has
  // changed: a notifiee whose attach failed tries again at the next one.
  void retryIs(bool on) { retry_ = on; }
  bool retry() const { return retry_; }

  WriterFiles const& last() const { return last_; }
  U64 events() const { return events_; }

 private:
  void onChange();

  Quiv::EventLoop& loop_;
  RootPath root_;
  ReaderSentryNotifiee* notifiee_;
  Quiv::DebugHandler* handler_;
  std::unique_ptr<Quiv::DirWatcher> watcher_;
  WriterFiles last_;
  bool retry_ = false;
  U64 events_ = 0;
};

class WriterSentryNotifiee {
 public:
  virtual ~WriterSentryNotifiee() = default;
  // Some other program removed the writer's directory or one of its
  // bookkeeping files (`what` says which). Told once per loss.
  virtual void handleWriterFilesLost(std::string_view what) = 0;
};

// Watches a live writer's own directory: a writer whose files are removed
// under it goes on writing into unlinked files no reader can find.
class WriterSentry {
 public:
  WriterSentry(Quiv::EventLoop& loop, RootPath const& root, WriterSentryNotifiee* notifiee,
               Quiv::DebugHandler* handler);
  ~WriterSentry();
  WriterSentry(WriterSentry const&) = delete;
  WriterSentry& operator=(WriterSentry const&) = delete;

  // Throws Quiv::InvalidInitializeException when the kernel refuses the
  // watch.
  void start();
  // What is missing now ("" when the directory and its files are there).
  std::string missing() const;

 private:
  void onChange();

  Quiv::EventLoop& loop_;
  RootPath root_;
  WriterSentryNotifiee* notifiee_;
  Quiv::DebugHandler* handler_;
  std::unique_ptr<Quiv::DirWatcher> watcher_;
  bool lost_ = false;
};

}  // namespace Mem
