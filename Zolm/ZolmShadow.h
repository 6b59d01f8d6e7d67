#pragma once
// A table followed into process memory: "shadow" (every value copied) or
// "keyshadow" (keys copied, values read from shared memory on demand).
//
// Never writes the shared files, nor anything else into the table's
// directory (a refused attach or a corruption is told through lastError(),
// the trace and the counters). It is fed by the writer's notification
// queue: a full synchronisation first (every slot read once, then the
// queue's records since the synchronisation started), then each record as
// it arrives. The writer wakes it through the wake-up socket; between
// wake-ups it blocks in the caller's event loop. Each key whose content
// changed is handed to the client's change callback.
//
// Life: constructed -> initialize (mount status 1, notifications flow)
// -> first syncComplete (status 2) -> detach: flushing (status 3, every
// local key replayed to the client) until flushComplete, or at once when
// forced.
//
// A writer that goes away (a clean detach or a crash) closes the wake-up
// socket. The shadow keeps serving what it has, and re-attaches when a
// writer is back (the owner's disconnect callback decides, or the shadow
// retries by itself): a new synchronisation compares every slot with the
// local copy, so the client is told exactly what changed meanwhile.
//
// Contract. Thread: the thread of its event loop, one per shadow object.
// It reads shared memory only through its ZolmReader (slots, buckets:
// the reader's contract, Zolm/ZolmReader.h) and its NimbrReader (the
// queue: Q1..Q5 in runtime/Nimbr.h), and writes nothing shared. It relies
// on W6: a slot's record is appended after the change's last store, so a
// record read with its acquire seq load (NimbrReader::next) is followed by
// a slot read that sees that change or a later one; and on Q2, Q4 for
// losing nothing when behind and starting over when regenerated (Syncer).
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "VexaSwitchLib/Zolm/ShadowStore.h"
#include "VexaSwitchLib/Zolm/Syncer.h"
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/runtime/EventLoop.h"
#include "VexaSwitchLib/runtime/Nimbr.h"
#include "VexaSwitchLib/runtime/Pokt.h"

namespace Zolm {

// The callbacks that do not name a key.
struct ShadowEvents {
  std::function<void(bool)> quiesced;
  std::function<void()> syncComplete;
  std::function<void()> deletionComplete;  // a deferred detach finished its flush
  // The writer went away. When set, the owner re-attaches (reattach) and
  // the shadow never retries on a timer; when unset, it retries by itself.
  std::function<void()> disconnected;
};

template <class Key>
struct ShadowCallbacks : ShadowEvents {
  std::function<void(Key const&)> changed;      // a key's content changed
  std::function<void(Key const&)> syncChanged;  // the same during the first synchronisation (unset: `changed`)
};

// Everything of a shadow that does not know the key/value types
// (ZolmShadow.cpp): the queue reader and the syncer over it, the
// connection to the writer's wake-up socket, mount statuses, servicing
// from the event loop, arms and their backstop, reconnection, detach and
// the flush, counters. The typed ZolmShadow owns the reader and makes the
// store; its reads go straight to the store.
class ZolmShadowBase : public SyncerClient {
 public:
  // The debug handler every shadow's wake-up connection (its notifier)
  // traces through, whatever handler the shadow itself has: wake-ups are
  // per write, too many to share a table's trace.
  static constexpr std::string_view NOTIFIER_NAME = "Zolm-DummyShadowNotifier";

  ZolmShadowBase(Quiv::DebugHandler* handler, Mem::RootPath const& root, Quiv::EventLoop& loop);
  ~ZolmShadowBase() override;

  Syncer const& syncer() const { return syncer_; }
  Nimbr::NimbrReader const& queue() const { return queue_; }
  Pokt::ReaderPoktSm const& pokt() const { return pokt_; }

  // Whether the form above is attached (its ZolmInterfaceBase state).
  virtual bool formInitialized() const = 0;

  bool doInitialize(std::string_view event);

  // --- hooks ---------------------------------------------------------------------
  bool doSlot(U32 slot, U64 seq, bool compare) override {
    bool ok = store_->doSlot(slot, seq, compare);
    if (!ok) ++counters_.failedNotifications;
    return ok;
  }
  void doFlushSlot(U32 slot) override { store_->doFlushSlot(slot); }
  U32 syncSlots() override;
  void syncComplete() override;
  void flushComplete() override;

  void handleQuiesced(bool q) {
    if (events_->quiesced) events_->quiesced(q);
  }
  void handleDisconnect();
  void corruptionDetected(Quiv::String const& message);

  // Services the queue now (normally the wake-up socket and the loop do).
  void service();
  // Lets go of the writer's files and queue, keeps the local copy, and
  // attaches afresh: the new synchronisation compares every slot with the
  // copy, so the client hears exactly what changed meanwhile (a writer
  // restarted on kept files, or a new incarnation that re-formatted them).
  bool reattach(std::string_view event);

  Quiv::String const& lastError() const { return lastError_; }
  std::string dumpHeaders() const;
  U32 localCapacity() const { return store_ ? store_->numSlots() : 0; }
  bool synchronised() const { return synchronised_; }

 protected:
  // The typed form's reader and callbacks, members of the form.
  void partsAre(ZolmReaderBase* reader, ShadowEvents const* events) {
    readerBase_ = reader;
    events_ = events;
  }
  virtual void formInitializedIs(bool) = 0;
  virtual std::unique_ptr<ShadowStoreCore> makeStore() = 0;

  bool initializeShadow(std::string_view event);
  void detachShadow(bool force);
  bool validateShadow();
  void notifying(bool on);
  void yieldTime(double seconds);
  Reader::Counters countersNow() const;
  Mem::MountStatus status() const {
    if (flushing_) return Mem::flushing;
    if (!formInitialized()) return Mem::notMounted;
    return synchronised_ ? Mem::synced : Mem::mounted;
  }
  bool isQuiesced() const { return formInitialized() && syncer_.done() && queue_.quiesced(); }
  void cancelTimers();

  bool initializeNimbr();
  // Connects to the socket the owner file names; false when nobody
  // listens there (yet).
  bool maybeConnect(Mem::RootPath const& root);

  Quiv::DebugHandler* handler_;
  Reader::Counters counters_;
  Nimbr::NimbrReader queue_;
  Syncer syncer_;
  Pokt::ReaderPoktSm pokt_;
  Quiv::EventLoop& loop_;
  std::unique_ptr<ShadowStoreCore> store_;
  bool synchronised_ = false;
  bool flushing_ = false;
  bool notifying_ = true;
  Quiv::String lastError_;

 private:
  // Every shared slot, and every local one that may still hold a key the
  // shared table has lost meanwhile.
  void startSync(bool compare);
  void scheduleService();
  void armBackstop(std::chrono::milliseconds after);
  void scheduleReconnect();
  void retryConnect();
  void connectRetryIn(std::chrono::milliseconds after);
  void cancelReconnect();

  ZolmReaderBase* readerBase_ = nullptr;
  ShadowEvents const* events_ = nullptr;
  std::chrono::nanoseconds yield_ = std::chrono::milliseconds(5);
  Quiv::EventLoop::TimerId serviceTimer_ = 0, backstopTimer_ = 0, reconnectTimer_ = 0;
};

template <class OpsT>
class ZolmShadow : public ZolmInterface<OpsT>, public ZolmShadowBase {
 public:
  using Ops = OpsT;
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using Callbacks = ShadowCallbacks<Key>;

  ZolmShadow(Quiv::DebugHandler* handler, std::string_view tablePath, Quiv::EventLoop& loop, bool keyShadow,
             Callbacks callbacks = {}, Ops const& ops = {})
      : ZolmShadowBase(handler, Mem::RootPath(handler, tablePath), loop),
        reader_(handler, tablePath, ops, &counters_),
        callbacks_(std::move(callbacks)),
        keyShadow_(keyShadow) {
    // A copy of every value would have to follow slab moves that change no
    // value and send no notification; slab-stored values are read where
    // they are (key shadow) instead.
    if constexpr (Ops::dynamic)
      if (!keyShadow)
        fmthrow(Quiv::InvalidInitializeException,
                "{} mounted in 'shadow' mode not supported: only 'keyshadow' and 'reader' are currently supported for "
                "dynamic values",
                tablePath);
    partsAre(&reader_, &callbacks_);
  }
  ~ZolmShadow() override {
    cancelTimers();
    if (this->initialized()) detach(true);
    store_.reset();  // before the reader it reads through
  }
  ZolmShadow(ZolmShadow const&) = delete;
  ZolmShadow& operator=(ZolmShadow const&) = delete;

  void callbacksIs(Callbacks c) { callbacks_ = std::move(c); }

  // --- lifecycle ----------------------------------------------------------------
  bool initialize(std::string_view event = "none") override { return initializeShadow(event); }
  void detach(bool force = false) override { detachShadow(force); }
  bool formInitialized() const override { return this->initialized(); }

  // --- reads ---------------------------------------------------------------------
  bool lookup(Key const& key, Value& out, IterHint&) const override {
    if (!store_ || flushing_) {
      out = Ops::defaultValue();
      return false;
    }
    return store()->lookup(key, out);
  }
  bool first(Value& out, IterHint& hint) const override {
    if (!store_ || flushing_) return (out = Ops::defaultValue(), false);
    return store()->first(out, hint);
  }
  bool next(Key const& key, Value& out, IterHint& hint) const override {
    if (!store_ || flushing_) return (out = Ops::defaultValue(), false);
    return store()->next(key, out, hint);
  }
  bool directLookup(Key const& key, Value& out, IterHint&) const override {
    bool found;
    self().reader_.lookup(key, found, &out);
    return found;
  }
  using ZolmInterface<OpsT>::lookup;

  // --- checks --------------------------------------------------------------------
  // The local index's links and order, and the shared headers.
  bool validate() override { return validateShadow(); }
  bool validateFiles() override { return reader_.validateFiles(); }
  void cleanup() override { fmthrow(Quiv::NoPermissionException, "cleanup of read-only Zolm table"); }

  bool validateVersionAnchor(Mem::VersionAnchor const& a) const override {
    return store_ && store_->validateVersionAnchor(a);
  }
  Mem::VersionAnchor getCacheVersionAnchor() const override {
    return store_ ? store_->getCacheVersionAnchor() : Mem::VersionAnchor{};
  }

  void notifyingIs(bool on) override { notifying(on); }
  // The longest the shadow services its queue before it returns to the
  // loop (it goes on from a timer).
  void yieldTimeIs(double seconds) override { yieldTime(seconds); }

  Reader::Counters readerCounters() const override { return countersNow(); }

  // --- accessors -----------------------------------------------------------------
  U32 capacity() const override { return reader_.initialized() ? reader_.capacity() : 0; }
  U32 members() const override { return store_ ? store_->entries() : 0; }
  U32 buckets() const override { return store_ ? store_->numBuckets() : 0; }
  U32 maxSize() const override { return reader_.maxSize(); }
  U32 minSize() const override { return 0; }
  ZolmType type() const override { return ZolmType::shadow; }
  bool keyShadow() const { return keyShadow_; }
  SharedMem::FenixId fenixId() const override { return reader_.fenixId(); }
  U64 sequence() const override { return store_ ? store_->lastSeq() : 0; }
  Mem::MountStatus mountStatus() const override { return status(); }
  bool quiesced() const override { return isQuiesced(); }
  bool connected() const override { return pokt_.connected(); }
  Mem::RootPath const& rootPath() const override { return reader_.rootPath(); }
  std::string const& zolmName() const override { return reader_.zolmName(); }
  ZolmReader<Ops>& reader() { return reader_; }

 protected:
  void formInitializedIs(bool v) override { this->initializedIs(v); }

 private:
  ZolmShadow& self() const { return const_cast<ZolmShadow&>(*this); }
  ShadowStoreBase<Ops>* store() const { return static_cast<ShadowStoreBase<Ops>*>(store_.get()); }

  std::unique_ptr<ShadowStoreCore> makeStore() override {
    auto onChange = [this](Key const& k) { changed(k); };
    if (keyShadow_)
      return std::make_unique<KeyShadowStore<Ops>>(handler_, reader_, queue_, counters_, onChange, true);
    return std::make_unique<ShadowStore<Ops, ValueShadowSlot<Ops>>>(handler_, reader_, queue_, counters_, onChange,
                                                                    true);
  }

  void changed(Key const& k) {
    if (!notifying_) return;
    auto const& fn = !synchronised_ && callbacks_.syncChanged ? callbacks_.syncChanged : callbacks_.changed;
    if (fn) fn(k);
  }

  ZolmReader<Ops> reader_;
  Callbacks callbacks_;
  bool keyShadow_;
};

}  // namespace Zolm
