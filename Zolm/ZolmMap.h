#pragma once
// The facade through which a collection owns one table: it takes a mount
// descriptor, picks the form (writer, reader, shadow, key shadow, or a
// local writer in process memory), owns exactly one implementation behind
// ZolmInterface and the mount watcher that tells it when the writer's
// files come and go, and forwards every operation. It does no table work.
//
// Life of a map:
//   constructed      a placeholder (ZolmDummy), not initialized; or the
//                    private local table of createDefaultLocalWriter
//   init (writer)    a ZolmWriter on the table's files, a WriterSentry
//   init (local)     a ZolmWriter in process memory, no watcher
//   init (readers)   a Tmp and a ReaderSentry; the sentry's first look, and
//                    every event after it, mounts the reader or shadow as
//                    soon as the writer has announced itself (attach)
//   mounted reader   follows its writer: a new incarnation (fenix id) is
//                    re-attached, a writer restarted on the kept files is
//                    reconnected (shadows), files removed by the writer's
//                    cleanup send the map back to Tmp
//   detach           the form is let go (a shadow flushes its last
//                    notifications first and lives until the flush is
//                    done) and a placeholder answers: ZolmDummy, or
//                    ZolmStrictDummy when the collection was orphaned with
//                    assertOnOrphanAccess set
//
// A reader-type map whose attach failed stays on Tmp and the sentry passes
// it every following event until an attach succeeds; nothing polls.
//
// Callbacks of shadow and key-shadow mounts (asynchronous types) are not
// called from inside the engine: the map queues them and delivers them
// from its event loop, in order, so a client may call back into the map
// (look up, iterate, even detach) from any of them.
//
// Failures: misuse at init raises Quiv::InvalidInitializeException;
// programming errors assert. Corruption found by a read or write goes to
// ZolmMapBase::doCorruptionDetected, which never returns normally.
//
// Thread: the collection's owner, which also runs the map's event loop.
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "VexaSwitchLib/Zolm/ZolmInterface.h"
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/Zolm/ZolmShadow.h"
#include "VexaSwitchLib/Zolm/ZolmWriter.h"
#include "VexaSwitchLib/runtime/EventLoop.h"
#include "VexaSwitchLib/runtime/Sentry.h"

namespace Zolm {

// Whether a pair stores its values outside the slot (variable-size values
// kept in slab files). Read from the pair's own `dynamic` constant when it
// declares one; fixed-size pairs need not.
template <class Ops>
inline constexpr bool isDynamicValue = [] {
  if constexpr (requires { Ops::dynamic; }) return bool(Ops::dynamic);
  else return false;
}();

// How a table is mounted. Members in the order the engine reads them.
struct MapDescriptor final : Mem::CollectionDescriptor {
  U32 size = 0;  // requested table size in slots; a writer must not get 0
  ZolmType type = ZolmType::writer;
  bool local = false;          // process memory, always a writer
  bool fixedSize = false;      // exactly `size` slots, never grown or shrunk
  bool shrinkSlots = true;
  bool shrinkBuckets = true;
  U8 nimbrOption = 0;          // handed to the queue writer
  U8 asyncExempt = 0;          // set: shadow types keep their callbacks synchronous
  bool heapAllocation = false; // local tables only
  bool memoryTracking = false;
  bool cleanup = false;        // remove the table's files before mounting
  bool criticalTaskCheck = false;
  bool prevValue = false;
  bool coreDump = false;

  bool operator==(MapDescriptor const&) const = default;
  // "MapDescriptor(size:100 type:writer local:false ...)", every member.
  std::string toString() const override;
  // Mounted through a reader, shadow or key shadow (any non-writer type,
  // valid or not).
  bool readerType() const { return !local && type != ZolmType::writer; }
  bool asyncType() const { return !local && (type == ZolmType::shadow || type == ZolmType::keyshadow); }
  WriterConfig writerConfig() const;
};

// --- placeholders -------------------------------------------------------------

// The texts and traces of the placeholders, compiled once.
class PlaceholderBase {
 public:
  static constexpr std::string_view ORPHAN_SUFFIX =
      ". If you're seeing this, you're trying to operate on an orphan zolm entity";

  PlaceholderBase(Quiv::DebugHandler* handler, std::string_view name, std::string replaced);
  // The form it stands in for ("writer", "reader", "shadow", "none", ...).
  std::string const& replaced() const { return replaced_; }

 protected:
  void traced(std::string_view what) const;
  [[noreturn]] void strictInvoked(char const* what) const;
  [[noreturn]] void strictInvokedKey(char const* what, std::string const& key) const;
  [[noreturn]] void strictInitialize(std::string_view event) const;

  Quiv::DebugHandler* handler_;
  Mem::RootPath root_;
  std::string name_;
  std::string replaced_;
};

// Answers as an empty, unmounted table: finds nothing, capacity 0,
// refuses writes (ZolmInterface's defaults).
template <class OpsT>
class ZolmDummy : public ZolmInterface<OpsT>, public PlaceholderBase {
 public:
  using Key = typename OpsT::Key;
  using Value = typename OpsT::Value;
  ZolmDummy(Quiv::DebugHandler* handler, std::string_view name, std::string replaced = "none",
            ZolmType type = ZolmType::writer)
      : PlaceholderBase(handler, name, std::move(replaced)), type_(type) {}

  bool initialize(std::string_view event) override {
    fmtrace(handler_, 1, "{} event:{}", name_, event);
    return true;
  }
  void detach(bool) override { traced("detach"); }
  void cleanup() override { traced("cleanup"); }
  bool validate() override { return true; }
  bool validateFiles() override { return true; }
  U32 members() const override { return 0; }
  U32 buckets() const override { return 0; }
  U32 minSize() const override { return 0; }
  U32 maxSize() const override { return 0; }
  U32 capacity() const override { return 0; }
  ZolmType type() const override { return type_; }
  bool quiesced() const override { return true; }
  U64 sequence() const override { return 0; }
  Mem::RootPath const& rootPath() const override { return root_; }
  std::string const& zolmName() const override { return name_; }
  Mem::MountStatus mountStatus() const override { return Mem::notMounted; }
  SharedMem::FenixId fenixId() const override { return {}; }
  bool lookup(Key const&, Value& out, IterHint&) const override {
    out = OpsT::defaultValue();
    return false;
  }
  bool first(Value& out, IterHint& hint) const override {
    out = OpsT::defaultValue();
    hint = IterHint{};
    return false;
  }
  bool next(Key const&, Value& out, IterHint&) const override {
    out = OpsT::defaultValue();
    return false;
  }
  using ZolmInterface<OpsT>::lookup;

 private:
  ZolmType type_;
};

// Stands for a reader-type mount whose writer is not there (yet): holds the
// table's root path until attach, mount status 0.
template <class OpsT>
class Tmp final : public ZolmDummy<OpsT> {
 public:
  Tmp(Quiv::DebugHandler* handler, std::string_view name, ZolmType type)
      : ZolmDummy<OpsT>(handler, name, "none", type) {}
};

// Every use but mountStatus and detach is a programming error: the
// collection was orphaned while it asked to assert on orphan access.
template <class OpsT>
class ZolmStrictDummy final : public ZolmInterface<OpsT>, public PlaceholderBase {
 public:
  using Key = typename OpsT::Key;
  using Value = typename OpsT::Value;
  ZolmStrictDummy(Quiv::DebugHandler* handler, std::string_view name, std::string replaced)
      : PlaceholderBase(handler, name, std::move(replaced)) {}
  [[noreturn]] void invokedKey(char const* what, Key const& key) const { strictInvokedKey(what, show(key)); }

  bool initialize(std::string_view event) override { strictInitialize(event); }
  void detach(bool) override { traced("detach"); }
  void cleanup() override { strictInvoked("cleanup"); }
  bool validate() override { strictInvoked("validate"); }
  bool validateFiles() override { strictInvoked("validateFiles"); }
  U32 members() const override { strictInvoked("members"); }
  U32 buckets() const override { strictInvoked("buckets"); }
  U32 minSize() const override { strictInvoked("minSize"); }
  U32 maxSize() const override { strictInvoked("maxSize"); }
  U32 capacity() const override { strictInvoked("capacity"); }
  ZolmType type() const override { strictInvoked("type"); }
  bool quiesced() const override { strictInvoked("quiesced"); }
  U64 sequence() const override { strictInvoked("sequence"); }
  Mem::RootPath const& rootPath() const override { strictInvoked("rootPath"); }
  std::string const& zolmName() const override { strictInvoked("zolmName"); }
  Mem::MountStatus mountStatus() const override { return Mem::notMounted; }
  SharedMem::FenixId fenixId() const override { strictInvoked("fenixId"); }
  bool lookup(Key const& key, Value&, IterHint&) const override { return invokedKey("lookup", key), false; }
  bool first(Value&, IterHint&) const override { strictInvoked("first"); }
  bool next(Key const& key, Value&, IterHint&) const override { return invokedKey("next", key), false; }
  Value const* write(Value const& v, bool) override { invokedKey("write", OpsT::keyOf(v)); }
  bool remove(Key const& key, Value*) override { return invokedKey("remove", key), false; }
  using ZolmInterface<OpsT>::lookup;
};

// --- the facade ---------------------------------------------------------------

// Everything of the facade that does not depend on the key and value
// types (ZolmMap.cpp): the descriptor's checks and messages, the mount
// watchers, the corruption handler, counter snapshots, the owner query.
class ZolmMapBase : public Mem::ReaderSentryNotifiee, public Mem::WriterSentryNotifiee {
 public:
  // Receives each corruption report. To keep the process (an agent that
  // re-mounts instead of restarting) it throws; if it returns, the process
  // stops as with the default handler.
  using CorruptionHandler = std::function<void(ZolmMapBase& map, Quiv::String const& message)>;
  enum class Form : U8 { placeholder, tmp, writer, reader, shadow };

  ZolmMapBase(std::string_view name, Quiv::EventLoop* loop);
  ~ZolmMapBase() override;
  ZolmMapBase(ZolmMapBase const&) = delete;
  ZolmMapBase& operator=(ZolmMapBase const&) = delete;

  // Never returns normally. Counts the report, hands it to the installed
  // handler, and otherwise records it (a writer leaves the table's
  // "corruption-detected" marker; readers write nothing) and stops the
  // process with the message.
  [[noreturn]] void doCorruptionDetected(Quiv::String const& message);
  void corruptionHandlerIs(CorruptionHandler handler) { corruptionHandler_ = std::move(handler); }
  U64 corruptions() const { return corruptions_; }

  void zolmMapUpdateWriterCounters(Writer::Counters const& c) { writerSnapshot_ = c; }
  void zolmMapUpdateReaderCounters(Reader::Counters const& c) { readerSnapshot_ = c; }
  Writer::Counters const& writerCountersSnapshot() const { return writerSnapshot_; }
  Reader::Counters const& readerCountersSnapshot() const { return readerSnapshot_; }

  // The table's writer as "<socket>:<alive>" from its owner file; empty
  // when the owner file is garbled.
  std::string owner() const;

  std::string const& collName() const { return name_; }
  bool initialized() const { return initialized_; }
  bool orphanStrict() const { return orphanStrict_; }
  bool notifying() const { return notifying_; }
  bool keyNotifications() const { return keyNotifications_; }
  MapDescriptor const& descriptor() const { return desc_; }
  Form form() const { return form_; }
  Quiv::DebugHandler* handler() const { return handler_; }
  Mem::ReaderSentry const* readerSentry() const { return readerSentry_.get(); }
  static std::string_view toString(Form f);

 protected:
  // init, the steps that know no types. Returns the descriptor (2).
  MapDescriptor const& checkDescriptor(Mem::CollectionDescriptor const& d) const;
  // 4: true when already initialized with an equal descriptor; throws for
  // another one.
  bool alreadyInitialized(MapDescriptor const& d) const;
  // 5, 6, 7.
  void checkOptions(MapDescriptor const& d) const;
  // 9 (after the form was deleted), 10, 11, and the type check of 12.
  void adopt(MapDescriptor const& d, bool dynamicValues);
  // 12/13 and 14: creates and starts the watcher for the mounted form.
  void startReaderSentry();
  void startWriterSentry();
  void stopSentries();

  Quiv::DebugHandler* handler_;
  MapDescriptor desc_;
  std::unique_ptr<Mem::ReaderSentry> readerSentry_;
  std::unique_ptr<Mem::WriterSentry> writerSentry_;
  bool initialized_ = false;
  std::string name_;
  std::string traceName_;
  bool notifying_ = true;
  bool keyNotifications_ = false;
  bool orphanStrict_ = false;
  Form form_ = Form::placeholder;
  Quiv::EventLoop* loop_;
  Mem::RootPath rootPath_;

 private:
  CorruptionHandler corruptionHandler_;
  U64 corruptions_ = 0;
  Writer::Counters writerSnapshot_;
  Reader::Counters readerSnapshot_;
};

template <class OpsT>
class ZolmMap : public ZolmMapBase {
 public:
  using Ops = OpsT;
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using Interface = ZolmInterface<Ops>;
  using Shadow = ZolmShadow<Ops>;

  struct Callbacks {
    std::function<void(Key const&)> changed;  // a key's content changed
    std::function<void()> quiesced;           // the follower caught up
    std::function<void(bool)> mountStatus;    // mounted / no longer mounted
  };

  // `loop` runs the watchers and the shadows; reader types need one.
  explicit ZolmMap(std::string_view name, Quiv::EventLoop* loop = nullptr)
      : ZolmMapBase(name, loop), impl_(std::make_unique<ZolmDummy<Ops>>(handler_, name_)) {
    writerMountStatus_ = [this](bool up) {
      if (client_.mountStatus) client_.mountStatus(up);
    };
    writerQuiesced_ = [this] {
      if (client_.quiesced) client_.quiesced();
    };
  }
  ~ZolmMap() override;
  ZolmMap(ZolmMap const&) = delete;
  ZolmMap& operator=(ZolmMap const&) = delete;

  // The client's callbacks; with `keyNotifications` they are the ones the
  // asynchronous types deliver from the loop (step 8 of init).
  void callbacksIs(Callbacks cb, bool keyNotifications) {
    client_ = std::move(cb);
    keyNotifications_ = keyNotifications;
  }
  // What a writer mount reports through (by default: the client's).
  void writerCallbacksIs(std::function<void(bool)> mountStatus, std::function<void()> quiesced) {
    writerMountStatus_ = std::move(mountStatus);
    writerQuiesced_ = std::move(quiesced);
  }

  // --- mounting -----------------------------------------------------------------
  // Mounts the table, in these steps:
  //    1  a map orphaned with assertOnOrphanAccess asserts
  //    2  `d` must be a MapDescriptor (Kel::TypeException)
  //    3  with d.cleanup the current form cleans up first
  //    4  already initialized: an equal descriptor is a no-op, another one
  //       raises Quiv::InvalidInitializeException naming both
  //    5  traced
  //    6  heap allocation only for a local table
  //    7  a writer needs a size
  //    8  shadow types (unless d.asyncExempt) with keyNotifications: the
  //       client's callbacks move behind forwarders that deliver from the
  //       loop; notifications must be on
  //    9  the current form goes; the descriptor and handler are taken
  //   10  no watcher may exist yet; 11 prevValue is not supported
  //   12  reader types: a Tmp and a started ReaderSentry (a type above 3
  //       asserts; a slab-stored pair refuses 'shadow')
  //   13  writer or local: a ZolmWriter, initialized (with d.cleanup the
  //       table's files are removed first); a WriterSentry unless local
  //   14  a watcher that cannot start fails init, unless Z9_CHROOT is set
  //       (a build environment)
  //   15  initialized; a writer reports mounted, then quiesced
  void init(Mem::CollectionDescriptor const& d);
  void attach() {
    if (form_ != Form::tmp) {
      fmtrace(handler_, 1, "{} is already mounted, mountStatus:{}", rootPath_.dirName(), impl_->mountStatus());
      return;
    }
    attachAs("attach");
  }
  void tryAttach();
  void detach();
  void cleanup();
  void cleanupAndDetach() {
    fmassert(initialized_, "ZolmMap", "{} trying to cleanup uninitialized zolm.", name_);
    cleanup();
    detach();
  }
  Interface& createDefaultLocalWriter(Quiv::DebugHandler* handler = nullptr);
  void installDummy();
  // The collection lost its parent; with `assertOnOrphanAccess` every later
  // use asserts.
  void orphanIs(bool assertOnOrphanAccess) {
    orphanStrict_ = assertOnOrphanAccess;
    detach();
  }
  void notifyingIs(bool on);

  // --- forwarded ----------------------------------------------------------------
  void yieldTimeIs(double seconds) {
    fmtrace(handler_, 5, "{} yieldTime:{}", rootPath_.dirName(), seconds);
    impl_->yieldTimeIs(seconds);
  }
  bool quiesced() const { return traced(impl_->quiesced()); }
  bool clientQuiesced(std::string_view readerName) const {
    fmtrace(handler_, 5, "{} readerName:{}", rootPath_.dirName(), readerName);
    return impl_->clientQuiesced(readerName);
  }
  Mem::MountStatus mountStatus() const {
    fmtrace(handler_, 5, "{} type:{}", rootPath_.dirName(), Zolm::toString(desc_.type));
    return impl_->mountStatus();
  }
  bool validate() { return traced(impl_->validate()); }
  bool validateFiles() { return traced(impl_->validateFiles()); }
  U64 sequence() const { return traced(impl_->sequence()); }
  U32 capacity() const { return traced(impl_->capacity()); }
  U32 maxSize() const { return traced(impl_->maxSize()); }
  U32 members() const { return impl_->members(); }
  U32 buckets() const { return impl_->buckets(); }
  bool connected() const { return traced(impl_->connected()); }
  SharedMem::FenixId fenixId() const { return traced(impl_->fenixId()); }
  Mem::RootPath const& rootPath() const { return traced(impl_->rootPath()); }
  ZolmType type() const { return impl_->type(); }
  bool criticalTaskCheck() const { return traced(impl_->criticalTaskCheck()); }
  void criticalTaskCheckIs(bool v) {
    traceRoot();
    impl_->criticalTaskCheckIs(v);
  }
  U32 scratchpad() const { return traced(impl_->scratchpad()); }
  void scratchpadIs(U32 v) {
    traceRoot();
    impl_->scratchpadIs(v);
  }
  bool validateVersionAnchor(Mem::VersionAnchor const& a) const { return traced(impl_->validateVersionAnchor(a)); }
  void validateVersionAnchorHookIs(typename Interface::AnchorHook h) {
    traceRoot();
    impl_->validateVersionAnchorHookIs(std::move(h));
  }
  Mem::VersionAnchor getCacheVersionAnchor() const { return traced(impl_->getCacheVersionAnchor()); }
  // Whether the last value read came from the same slot, at the same
  // version, as the one a caller cached the (version, offset) of: equal
  // means the value it holds is still what the table has.
  bool compareVersionAnchor(Mem::CacheVersionAnchor const& cached) const {
    Mem::VersionAnchor now = impl_->getCacheVersionAnchor();
    return traced(now.valid() && now.offset == cached.offset && now.version == cached.version);
  }
  Writer::Counters writerCounters() {
    Writer::Counters c = impl_->writerCounters();
    zolmMapUpdateWriterCounters(c);
    return c;
  }
  Reader::Counters readerCounters() {
    Reader::Counters c = impl_->readerCounters();
    zolmMapUpdateReaderCounters(c);
    return c;
  }

  Value const* write(Value const& v, bool overwrite = true) {
    return guarded([&] { return impl_->write(v, overwrite); });
  }
  bool remove(Key const& k, Value* previous = nullptr) {
    return guarded([&] { return impl_->remove(k, previous); });
  }
  bool lookup(Key const& k, Value& out, IterHint& hint) const {
    return guarded([&] { return impl_->lookup(k, out, hint); });
  }
  bool lookup(Key const& k, Value& out) const {
    IterHint hint;
    return lookup(k, out, hint);
  }
  // n keys at once (ZolmInterface::lookupBatch): the entry point for
  // callers that resolve many keys together.
  U32 lookupBatch(Key const* keys, U32 n, Value* outs, bool* found) const {
    return guarded([&] { return impl_->lookupBatch(keys, n, outs, found); });
  }
  bool first(Value& out, IterHint& hint) const {
    return guarded([&] { return impl_->first(out, hint); });
  }
  bool next(Key const& k, Value& out, IterHint& hint) const {
    return guarded([&] { return impl_->next(k, out, hint); });
  }
  Value* directWrite(Value const& v) {
    return guarded([&] { return impl_->directWrite(v); });
  }
  Value* directUpdate(Key const& k) {
    return guarded([&] { return impl_->directUpdate(k); });
  }
  void directCommit() {
    guarded([&] { impl_->directCommit(); });
  }
  bool directLookup(Key const& k, Value& out, IterHint& hint) const {
    return guarded([&] { return impl_->directLookup(k, out, hint); });
  }

  // The implementation now (never null).
  Interface& impl() const { return *impl_; }
  // Shadows still flushing after they were let go.
  std::size_t flushingShadows() const { return flushing_.size(); }

 private:
  struct Pending {
    enum Kind : U8 { key, quiesced, mountStatus } kind;
    bool up = false;
    Key k{};
  };

  void handleWriterFiles(Mem::WriterFiles const& files, std::string_view event) override;
  void handleWriterFilesLost(std::string_view what) override;

  void attachAs(std::string_view event);
  std::unique_ptr<Interface> makeReaderForm();
  // Lets the current form go (a flushing shadow is kept until its flush
  // completes) and leaves `next` in its place.
  void replaceImpl(std::unique_ptr<Interface> next, Form form);
  void backToTmp();
  void mountStatusChanged(bool up) {
    if (client_.mountStatus) client_.mountStatus(up);
  }
  void post(Pending p);
  void deliver();
  void flushDone();
  // On the loop, not inside the engine call that asked for it.
  void later(Quiv::EventLoop::TimerId& timer, std::function<void()> fn);
  // After a read or write reported corruption, a reader-type form attaches
  // afresh once: files that a restarting writer is re-formatting under it
  // fail the new attach (it then waits on Tmp for the sentry's next event),
  // and files laid out anew pass it. Only a failure that survives a sound
  // attach is corruption. True when the operation may run again.
  bool remountAfterFailure();

  template <class F>
  auto guarded(F&& f) const -> decltype(f()) {
    for (int attempt = 0;; ++attempt) {
      try {
        return f();
      } catch (Quiv::CorruptionDetectedException const& e) {
        if (attempt == 0 && self().remountAfterFailure()) continue;
        self().doCorruptionDetected(e.msg());
      }
    }
  }
  void traceRoot() const { fmtrace(handler_, 5, "{}", rootPath_.dirName()); }
  template <class T>
  T const& traced(T const& v) const {
    traceRoot();
    return v;
  }
  ZolmMap& self() const { return const_cast<ZolmMap&>(*this); }

  Callbacks client_;
  Callbacks async_;  // the client's, while the forwarding ones stand in client_
  std::function<void(bool)> writerMountStatus_;
  std::function<void()> writerQuiesced_;
  std::unique_ptr<Interface> impl_;
  std::vector<std::unique_ptr<Interface>> flushing_;
  std::deque<Pending> pending_;
  Quiv::EventLoop::TimerId deliverTimer_ = 0, reapTimer_ = 0, recheckTimer_ = 0;
  std::string attachedSocket_;  // the writer socket a mounted shadow was attached under
};

// --- ZolmMap, out of line ---------------------------------------------------------

template <class Ops>
ZolmMap<Ops>::~ZolmMap() {
  // Nothing reaches the client from here on; a shadow detached below
  // replays its keys into the void.
  client_ = async_ = Callbacks{};
  writerMountStatus_ = nullptr;
  writerQuiesced_ = nullptr;
  stopSentries();
  impl_.reset();
  // Shadows still flushing when their map goes: the flush is cut short.
  for (auto& s : flushing_) static_cast<Shadow&>(*s).detach(true);
  flushing_.clear();
  if (loop_)
    for (auto t : {deliverTimer_, reapTimer_, recheckTimer_})
      if (t) loop_->timerDel(t);
}

template <class Ops>
void ZolmMap<Ops>::init(Mem::CollectionDescriptor const& descIn) {
  fmassert(!orphanStrict_, "ZolmMap",
           "Re-initializing a collection that has already become an orphan and has assertOnOrphanAccess set");
  MapDescriptor const d = checkDescriptor(descIn);
  if (d.cleanup) impl_->cleanup();
  if (alreadyInitialized(d)) return;
  checkOptions(d);
  if (d.asyncType() && !d.asyncExempt) {
    if (keyNotifications_) {
      async_ = std::move(client_);
      client_ = Callbacks{};
      client_.changed = [this](Key const& k) { post({Pending::key, false, k}); };
      client_.quiesced = [this] { post({Pending::quiesced, false, Key{}}); };
      client_.mountStatus = [this](bool up) { post({Pending::mountStatus, up, Key{}}); };
      keyNotifications_ = false;
    }
    fmassert(notifying_, "ZolmMap", "notifications unexpectedly disabled prior to initialization with asynchronous mode");
  }
  replaceImpl(std::make_unique<ZolmDummy<Ops>>(handler_, name_), Form::placeholder);
  adopt(d, isDynamicValue<Ops>);
  if (desc_.readerType()) {
    impl_ = std::make_unique<Tmp<Ops>>(handler_, name_, desc_.type);
    form_ = Form::tmp;
    startReaderSentry();
  } else {
    auto w = std::make_unique<ZolmWriter<Ops>>(handler_, name_, desc_.writerConfig());
    w->quiescedCallbackIs([this](bool q) {
      if (q && writerQuiesced_) writerQuiesced_();
    });
    if (loop_ && !desc_.local) w->pokt().loopIs(loop_);
    if (desc_.cleanup && !desc_.local) w->cleanup();
    if (!w->initialize("none")) fmthrow(Quiv::InvalidInitializeException, "failed to initialize collection {}", name_);
    if (!notifying_) w->notifyingIs(false);
    impl_ = std::move(w);
    form_ = Form::writer;
    if (!desc_.local) startWriterSentry();
  }
  initialized_ = true;
  if (desc_.type == ZolmType::writer || desc_.local) {
    fmassert(bool(writerMountStatus_), "ZolmMap", "{} mounted as writer without a mount status callback", name_);
    writerMountStatus_(true);
    if (writerQuiesced_) writerQuiesced_();
  }
}

template <class Ops>
void ZolmMap<Ops>::tryAttach() {
  if (impl_->mountStatus() != Mem::notMounted) {
    fmtrace(handler_, 1, "{} is already mounted, mountStatus:{}", rootPath_.dirName(), impl_->mountStatus());
    return;
  }
  if (readerSentry_) readerSentry_->check("tryAttach");
  if (impl_->mountStatus() != Mem::notMounted)
    fmtrace(handler_, 1, "mounted {} mountStatus:{}", rootPath_.dirName(), impl_->mountStatus());
}

template <class Ops>
void ZolmMap<Ops>::detach() {
  fmtrace(handler_, 1, "detaching {} ({})", rootPath_.dirName(), toString(form_));
  stopSentries();
  Form was = form_;
  installDummy();
  initialized_ = false;
  if (was == Form::writer && !desc_.local) {
    if (writerMountStatus_) writerMountStatus_(false);
  } else if (was == Form::reader || was == Form::shadow) {
    mountStatusChanged(false);
  }
}

template <class Ops>
void ZolmMap<Ops>::cleanup() {
  // The writer's own removal of its files is no loss to report.
  writerSentry_.reset();
  impl_->cleanup();
}

template <class Ops>
typename ZolmMap<Ops>::Interface& ZolmMap<Ops>::createDefaultLocalWriter(Quiv::DebugHandler* handler) {
  std::unique_ptr<Interface> w = Zolm::createDefaultLocalWriter<Ops>(name_, handler);
  replaceImpl(std::move(w), Form::writer);
  desc_ = MapDescriptor{};
  desc_.size = 100;
  desc_.local = true;
  return *impl_;
}

template <class Ops>
void ZolmMap<Ops>::installDummy() {
  std::string replaced(toString(form_));
  if (orphanStrict_) replaceImpl(std::make_unique<ZolmStrictDummy<Ops>>(handler_, name_, replaced), Form::placeholder);
  else replaceImpl(std::make_unique<ZolmDummy<Ops>>(handler_, name_, replaced), Form::placeholder);
}

template <class Ops>
void ZolmMap<Ops>::notifyingIs(bool on) {
  fmassert(!initialized_ || keyNotifications_, "ZolmMap", "not allowed at this time, initialized:{} keyNotifications:{}",
           initialized_, keyNotifications_);
  fmtrace(handler_, 5, "{} notifying:{}", rootPath_.dirName(), on);
  notifying_ = on;
  impl_->notifyingIs(on);
  if (on && readerSentry_) readerSentry_->check("notifying");
}

template <class Ops>
void ZolmMap<Ops>::handleWriterFiles(Mem::WriterFiles const& files, std::string_view event) {
  if (!desc_.readerType() || form_ == Form::placeholder) return;
  if (files.gone()) {
    if (form_ != Form::tmp) {
      fmtrace(handler_, 1, "{}: the writer's files are gone", rootPath_.dirName());
      backToTmp();
      mountStatusChanged(false);
    }
    return;
  }
  if (!files.present()) return;  // laid out, not (or no longer) announced
  if (form_ == Form::tmp) {
    attachAs(event);
  } else if (form_ == Form::reader) {
    if (impl_->fenixId() == files.fenix) return;
    // A new incarnation re-formatted the files: attach to them afresh.
    fmtrace(handler_, 1, "{}: writer replaced, {} -> {}", rootPath_.dirName(), impl_->fenixId(), files.fenix);
    impl_->detach(false);
    if (!impl_->initialize(event)) {
      fmtrace(handler_, 0, "initialize failed for {}", rootPath_.dirName());
      backToTmp();
      mountStatusChanged(false);
    }
  } else if (form_ == Form::shadow) {
    // A shadow still connected has its writer; one whose writer went away
    // re-attaches once another has announced itself (on the kept files, or
    // on files it re-formatted under a new seed, which the local index
    // follows) and re-synchronises against what it holds, telling the
    // client exactly what changed meanwhile.
    if (impl_->connected()) return;
    bool reformatted = files.fenix != impl_->fenixId() && !impl_->fenixId().isNull();
    if (reformatted)
      fmtrace(handler_, 1, "{}: writer replaced, {} -> {}", rootPath_.dirName(), impl_->fenixId(), files.fenix);
    bool sameWriter = files.socket == attachedSocket_;
    if (sameWriter && !reformatted && impl_->mountStatus() != Mem::notMounted) return;
    fmtrace(handler_, 1, "{}: re-attaching to {}", rootPath_.dirName(), files.toString());
    attachedSocket_ = files.socket;
    bool ok = static_cast<Shadow&>(*impl_).reattach(event);
    if (readerSentry_) readerSentry_->retryIs(!ok);
  }
}

template <class Ops>
void ZolmMap<Ops>::handleWriterFilesLost(std::string_view what) {
  fmtrace(handler_, 0, "{}: writer's files lost: {}", rootPath_.dirName(), what);
  if (writerMountStatus_) writerMountStatus_(false);
}

template <class Ops>
void ZolmMap<Ops>::attachAs(std::string_view event) {
  fmassert(desc_.readerType(), "ZolmMap", "invoked for a writer");
  fmtrace(handler_, 1, "attempting to attach {} as {}", rootPath_.dirName(), Zolm::toString(desc_.type));
  std::unique_ptr<Interface> next = makeReaderForm();
  bool ok = false;
  try {
    ok = next->initialize(event);
  } catch (Quiv::Exception const& e) {
    fmtrace(handler_, 0, "{}", e.msg());
  }
  if (!ok) {
    fmtrace(handler_, 0, "initialize failed for {}", rootPath_.dirName());
    next.reset();
    bool wasMounted = form_ != Form::tmp;
    backToTmp();
    if (wasMounted) mountStatusChanged(false);
    if (readerSentry_) readerSentry_->retryIs(true);
    return;
  }
  fmtrace(handler_, 1, "successful");
  if (readerSentry_) {
    readerSentry_->retryIs(false);
    attachedSocket_ = readerSentry_->last().socket;
  }
  bool wasMounted = form_ != Form::tmp;
  replaceImpl(std::move(next), desc_.type == ZolmType::reader ? Form::reader : Form::shadow);
  if (!wasMounted) mountStatusChanged(true);
}

template <class Ops>
std::unique_ptr<ZolmInterface<Ops>> ZolmMap<Ops>::makeReaderForm() {
  if (desc_.type == ZolmType::reader) return std::make_unique<ZolmReader<Ops>>(handler_, name_);
  typename Shadow::Callbacks cb;
  cb.changed = [this](Key const& k) {
    if (client_.changed) client_.changed(k);
  };
  cb.quiesced = [this](bool q) {
    if (q && client_.quiesced) client_.quiesced();
  };
  // Set: the map decides when to re-attach (its sentry sees the next
  // writer announce itself), so the shadow does not retry on a timer.
  // A new writer may have announced itself before the old one's socket
  // was seen closed: look at the files once more.
  cb.disconnected = [this] {
    fmtrace(handler_, 1, "{}: writer went away", rootPath_.dirName());
    later(recheckTimer_, [this] {
      if (readerSentry_) readerSentry_->check("disconnect");
    });
  };
  cb.deletionComplete = [this] { flushDone(); };
  auto s = std::make_unique<Shadow>(handler_, name_, *loop_, desc_.type == ZolmType::keyshadow, cb);
  if (!notifying_) s->notifyingIs(false);
  return s;
}

template <class Ops>
void ZolmMap<Ops>::replaceImpl(std::unique_ptr<Interface> next, Form form) {
  std::unique_ptr<Interface> old = std::move(impl_);
  Form was = form_;
  impl_ = std::move(next);
  form_ = form;
  if (!old) return;
  if (was == Form::shadow) {
    auto& s = static_cast<Shadow&>(*old);
    s.detach(false);
    if (s.mountStatus() == Mem::flushing) {
      fmtrace(handler_, 1, "not deleting Zolm, waiting for flush to complete");
      flushing_.push_back(std::move(old));
      return;
    }
  } else if (was == Form::writer || was == Form::reader) {
    old->detach(false);
  }
}

template <class Ops>
void ZolmMap<Ops>::backToTmp() {
  replaceImpl(std::make_unique<Tmp<Ops>>(handler_, name_, desc_.type), Form::tmp);
  attachedSocket_.clear();
}

template <class Ops>
void ZolmMap<Ops>::post(Pending p) {
  pending_.push_back(std::move(p));
  later(deliverTimer_, [this] { deliver(); });
}

template <class Ops>
void ZolmMap<Ops>::deliver() {
  // One batch: what the callbacks cause meanwhile goes to the next round.
  std::deque<Pending> batch;
  batch.swap(pending_);
  for (Pending const& p : batch) {
    switch (p.kind) {
      case Pending::key:
        if (async_.changed) async_.changed(p.k);
        break;
      case Pending::quiesced:
        if (async_.quiesced) async_.quiesced();
        break;
      case Pending::mountStatus:
        if (async_.mountStatus) async_.mountStatus(p.up);
        break;
    }
  }
}

template <class Ops>
void ZolmMap<Ops>::later(Quiv::EventLoop::TimerId& timer, std::function<void()> fn) {
  if (timer) return;
  timer = loop_->timerIs(std::chrono::nanoseconds::zero(), [this, &timer, fn = std::move(fn)] {
    timer = 0;
    fn();
  });
}

// Called from inside the shadow's own service when its flush completed:
// the shadow is deleted from the loop, with any other that is done.
template <class Ops>
void ZolmMap<Ops>::flushDone() {
  later(reapTimer_, [this] {
    std::erase_if(flushing_, [](auto const& s) { return s->mountStatus() != Mem::flushing; });
  });
}

template <class Ops>
bool ZolmMap<Ops>::remountAfterFailure() {
  if (form_ != Form::reader && form_ != Form::shadow) return false;
  fmtrace(handler_, 1, "{}: attaching afresh after a failed read", rootPath_.dirName());
  bool ok = false;
  try {
    if (form_ == Form::shadow) {
      ok = static_cast<Shadow&>(*impl_).reattach("corruption");
    } else {
      impl_->detach(false);
      ok = impl_->initialize("corruption");
    }
  } catch (Quiv::Exception const& e) {
    fmtrace(handler_, 0, "{}", e.msg());
  }
  if (!ok) {
    fmtrace(handler_, 0, "initialize failed for {}", rootPath_.dirName());
    backToTmp();
    mountStatusChanged(false);
    if (readerSentry_) readerSentry_->retryIs(true);
  }
  return true;
}

}  // namespace Zolm
