#pragma once
// A table followed into process memory: "shadow" (every value copied) or
// "keyshadow" (keys copied, values read from shared memory on demand).
//
// Never writes the shared files. It is fed by the writer's notification
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
#include <chrono>
#include <memory>

#include "Zolm/ShadowStore.h"
#include "Zolm/Syncer.h"
#include "Zolm/ZolmReader.h"
#include "runtime/EventLoop.h"
#include "runtime/Nimbr.h"
#include "runtime/Pokt.h"

namespace Zolm {

template <class Key>
struct ShadowCallbacks {
  std::function<void(Key const&)> changed;      // a key's content changed
  std::function<void(Key const&)> syncChanged;  // the same during the first synchronisation (unset: `changed`)
  std::function<void(bool)> quiesced;
  std::function<void()> syncComplete;
  std::function<void()> deletionComplete;  // a deferred detach finished its flush
  // The writer went away. When set, the owner re-attaches (initialize);
  // when unset, the shadow retries by itself.
  std::function<void()> disconnected;
};

// The queue reader and the syncer over it, and the reconnection to the
// writer's wake-up socket.
class ZolmShadowBase : public SyncerClient {
 public:
  ZolmShadowBase(Quiv::DebugHandler* handler, Mem::RootPath const& root, Quiv::EventLoop& loop)
      : handler_(handler), queue_(handler, root), syncer_(handler, queue_, *this), pokt_(handler, loop), loop_(loop) {}

  Syncer const& syncer() const { return syncer_; }
  Nimbr::NimbrReader const& queue() const { return queue_; }
  Pokt::ReaderPoktSm const& pokt() const { return pokt_; }

 protected:
  bool initializeNimbr() {
    Quiv::String error;
    if (!queue_.attach(error)) {
      fmtrace(handler_, 0, "failed to attach to the notification queue: {}", error);
      return false;
    }
    return true;
  }
  // Connects to the socket the owner file names; false when nobody
  // listens there (yet).
  bool maybeConnect(Mem::RootPath const& root) {
    if (pokt_.connected()) return true;
    SharedMem::ShocketInfo info;
    try {
      info = SharedMem::OwnerFile(root).shocketInfo();
    } catch (Quiv::Exception const& e) {
      fmtrace(handler_, 1, "{}", e.msg());
      return false;
    }
    if (info.name.empty()) return false;
    return pokt_.connect(std::string(info.name.c_str(), info.name.size()));
  }

  Quiv::DebugHandler* handler_;
  Nimbr::NimbrReader queue_;
  Syncer syncer_;
  Pokt::ReaderPoktSm pokt_;
  Quiv::EventLoop& loop_;
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
    pokt_.onWakeIs([this](U64) {
      ++counters_.wakeups;
      service();
    });
    pokt_.onDisconnectIs([this] { handleDisconnect(); });
  }
  ~ZolmShadow() override {
    cancelTimers();
    if (this->initialized()) detach(true);
  }
  ZolmShadow(ZolmShadow const&) = delete;
  ZolmShadow& operator=(ZolmShadow const&) = delete;

  void callbacksIs(Callbacks c) { callbacks_ = std::move(c); }

  // --- lifecycle ----------------------------------------------------------------
  bool initialize(std::string_view event = "none") override {
    try {
      return doInitialize(event);
    } catch (Quiv::CorruptionDetectedException const& e) {
      fmtrace(handler_, 0, "{}", e.msg());
      corruptionDetected(e.msg());
      return false;
    }
  }

  bool doInitialize(std::string_view event) {
    if (this->initialized()) {
      if (!maybeConnect(reader_.rootPath())) scheduleReconnect();
      return true;
    }
    if (!reader_.initialize(event)) {
      fmtrace(handler_, 0, "zolm.initialize() Failed");
      return false;
    }
    // A store that survived a disconnect keeps its entries: the new
    // synchronisation compares against them.
    bool resync = store_ && !flushing_;
    if (!resync) {
      store_ = makeStore();
      store_->initialize();
    }
    if (!initializeNimbr()) {
      reader_.detach();
      return false;
    }
    this->initializedIs(true);
    startSync(resync);
    if (maybeConnect(reader_.rootPath())) cancelReconnect();
    else scheduleReconnect();
    service();
    return true;
  }

  void detach(bool force = false) override {
    if (flushing_) {
      fmassert(syncer_.mode() == Syncer::Mode::flush, "ZolmShadow",
               "expected Syncer in flush mode during asynchronous flush");
      fmassert(force, "ZolmShadow", "expected only forced detach during asynchronous flush");
      syncer_.forceSyncCompletion();
      return;
    }
    if (!this->initialized()) {
      fmtrace(handler_, 5, "already detached");
      return;
    }
    cancelTimers();
    pokt_.disconnect();
    queue_.detach();
    reader_.detach();
    flushing_ = true;
    this->initializedIs(false);
    fmtrace(handler_, 2, "{} detached{}", reader_.rootPath().dirName(), force ? "" : ", flushing");
    syncer_.flush(store_ ? store_->numSlots() : 0, !force);
    if (flushing_) scheduleService();
  }

  // --- hooks ---------------------------------------------------------------------
  bool doSlot(U32 slot, U64 seq, bool compare) override {
    bool ok = store_->doSlot(slot, seq, compare);
    if (!ok) ++counters_.failedNotifications;
    return ok;
  }
  void doFlushSlot(U32 slot) override { store_->doFlushSlot(slot); }

  void syncComplete() override {
    counters_.syncSeq = syncer_.syncSeq();
    fmtrace(handler_, 1, "Synchronization complete, seq:{}", syncer_.syncSeq());
    if (!synchronised_) {
      synchronised_ = true;
      if (callbacks_.syncComplete) callbacks_.syncComplete();
    }
    handleQuiesced(queue_.quiesced());
  }

  void flushComplete() override {
    fmtrace(handler_, 1, "Flush complete");
    if (store_) store_->disable();
    store_.reset();
    flushing_ = false;
    synchronised_ = false;
    if (!this->initialized() && callbacks_.deletionComplete) callbacks_.deletionComplete();
  }

  void handleQuiesced(bool q) {
    if (callbacks_.quiesced) callbacks_.quiesced(q);
  }

  void handleDisconnect() {
    ++counters_.disconnects;
    if (!notifying_)
      fmtrace(handler_, 1, "disconnected while pokt processing is disabled, syncer mode:{} done:{}",
              int(syncer_.mode()), syncer_.done());
    if (mountStatus() == Mem::flushing) return;
    fmtrace(handler_, 1, "{}: writer went away", reader_.rootPath().dirName());
    // Let go of the old writer's files; keep the local copy.
    cancelTimers();
    queue_.detach();
    reader_.detach();
    this->initializedIs(false);
    if (callbacks_.disconnected) callbacks_.disconnected();
    else scheduleReconnect();
  }

  void corruptionDetected(Quiv::String const& message) {
    if (mountStatus() == Mem::flushing) return;
    ++counters_.corruptions;
    lastError_ = message;
    fmtrace(handler_, 0, "corruption detected in {}: {}", reader_.rootPath().dirName(), message);
  }

  // Services the queue now (normally the wake-up socket and the loop do).
  void service() {
    if (serviceTimer_) {
      loop_.timerDel(serviceTimer_);
      serviceTimer_ = 0;
    }
    if (!this->initialized() && !flushing_) return;
    auto until = std::chrono::steady_clock::now() + yield_;
    try {
      for (;;) {
        while (syncer_.service(4096)) {
          if (std::chrono::steady_clock::now() >= until) {
            scheduleService();  // let the loop breathe, then go on
            return;
          }
        }
        if (flushing_ || !this->initialized()) return;
        if (syncer_.needResync()) {
          syncer_.needResyncClear();
          ++counters_.resyncs;
          startSync(true);
          continue;
        }
        if (!pokt_.connected()) return;
        // Arm, then look once more: a record published between the last
        // read and the arm would otherwise wait for the next write.
        pokt_.arm(queue_.position() - 1);
        ++counters_.arms;
        if (queue_.tailSeq() < queue_.position()) break;
      }
    } catch (Quiv::CorruptionDetectedException const& e) {
      corruptionDetected(e.msg());
      return;
    }
    armBackstop(std::chrono::milliseconds(1));
  }

  // --- reads ---------------------------------------------------------------------
  bool lookup(Key const& key, Value& out, IterHint&) const override {
    if (!store_ || flushing_) {
      out = Ops::defaultValue();
      return false;
    }
    return self().store_->lookup(key, out);
  }
  bool first(Value& out, IterHint& hint) const override {
    if (!store_ || flushing_) return (out = Ops::defaultValue(), false);
    return self().store_->first(out, hint);
  }
  bool next(Key const& key, Value& out, IterHint& hint) const override {
    if (!store_ || flushing_) return (out = Ops::defaultValue(), false);
    return self().store_->next(key, out, hint);
  }
  bool directLookup(Key const& key, Value& out, IterHint&) const override {
    bool found;
    self().reader_.lookup(key, found, &out);
    return found;
  }
  using ZolmInterface<OpsT>::lookup;

  // --- checks --------------------------------------------------------------------
  // The local index's links and order, and the shared headers.
  bool validate() override {
    std::string error;
    if (store_ && !store_->check(error)) {
      lastError_ = error;
      return false;
    }
    if (!this->initialized()) return true;
    if (!reader_.validateFiles()) {
      lastError_ = reader_.lastError();
      return false;
    }
    return true;
  }
  bool validateFiles() override { return reader_.validateFiles(); }
  void cleanup() override { fmthrow(Quiv::NoPermissionException, "cleanup of read-only Zolm table"); }
  Quiv::String const& lastError() const { return lastError_; }

  bool validateVersionAnchor(Mem::VersionAnchor const& a) const override {
    return store_ && store_->validateVersionAnchor(a);
  }
  Mem::VersionAnchor getCacheVersionAnchor() const override {
    return store_ ? store_->getCacheVersionAnchor() : Mem::VersionAnchor{};
  }

  void notifyingIs(bool on) override {
    fmtrace(handler_, 5, "notifying:{}", on);
    notifying_ = on;
    pokt_.notifyingIs(on);
  }
  // The longest the shadow services its queue before it returns to the
  // loop (it goes on from a timer).
  void yieldTimeIs(double seconds) override {
    pokt_.yieldTimeIs(seconds);
    yield_ = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
    if (yield_ <= std::chrono::nanoseconds::zero()) yield_ = std::chrono::milliseconds(5);
  }

  Reader::Counters readerCounters() const override {
    Reader::Counters c = reader_.readerCounters();
    c.nimbrMappedSize = queue_.mappedSize();
    c.shadowMappedSize = store_ ? store_->shadowMappedSize() + store_->fenixMappedSize() : 0;
    c.wakeups = pokt_.wakes();
    c.arms = pokt_.arms();
    c.syncs = syncer_.syncs();
    if (store_) store_->addCountersTo(c);
    return c;
  }

  std::string dumpHeaders() const { return reader_.dumpHeaders() + queue_.toString(); }

  // --- accessors -----------------------------------------------------------------
  U32 capacity() const override { return reader_.initialized() ? reader_.capacity() : 0; }
  U32 localCapacity() const { return store_ ? store_->numSlots() : 0; }
  U32 members() const override { return store_ ? store_->entries() : 0; }
  U32 buckets() const override { return store_ ? store_->numBuckets() : 0; }
  U32 maxSize() const override { return reader_.maxSize(); }
  U32 minSize() const override { return 0; }
  ZolmType type() const override { return ZolmType::shadow; }
  bool keyShadow() const { return keyShadow_; }
  SharedMem::FenixId fenixId() const override { return reader_.fenixId(); }
  U64 sequence() const override { return store_ ? store_->lastSeq() : 0; }
  Mem::MountStatus mountStatus() const override {
    if (flushing_) return Mem::flushing;
    if (!this->initialized()) return Mem::notMounted;
    return synchronised_ ? Mem::synced : Mem::mounted;
  }
  bool quiesced() const override { return this->initialized() && syncer_.done() && queue_.quiesced(); }
  bool connected() const override { return pokt_.connected(); }
  bool synchronised() const { return synchronised_; }
  Mem::RootPath const& rootPath() const override { return reader_.rootPath(); }
  std::string const& zolmName() const override { return reader_.zolmName(); }
  ZolmReader<Ops>& reader() { return reader_; }

 private:
  ZolmShadow& self() const { return const_cast<ZolmShadow&>(*this); }

  std::unique_ptr<ShadowStoreBase<Ops>> makeStore() {
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

  // Every shared slot, and every local one that may still hold a key the
  // shared table has lost meanwhile.
  void startSync(bool compare) {
    U32 n = std::max(reader_.capacity(), store_->numSlots());
    syncer_.sync(n, compare);
  }

  void scheduleService() {
    if (serviceTimer_) return;
    serviceTimer_ = loop_.timerIs(std::chrono::nanoseconds::zero(), [this] {
      serviceTimer_ = 0;
      service();
    });
  }

  // A writer that runs no event loop reads arm messages only now and then
  // (at most once per its poll interval, from its writes), so the last arm
  // of a burst may go unanswered. A few timer checks after each arm,
  // backing off to a quarter of a second and then stopping, catch that;
  // an idle shadow is then blocked in its loop.
  void armBackstop(std::chrono::milliseconds after) {
    if (backstopTimer_) loop_.timerDel(backstopTimer_);
    backstopTimer_ = loop_.timerIs(after, [this, after] {
      backstopTimer_ = 0;
      if (!this->initialized()) return;
      if (queue_.tailSeq() >= queue_.position()) {
        service();
      } else if (after < std::chrono::milliseconds(256)) {
        armBackstop(after * 2);
      }
    });
  }

  // Retries while no writer is reachable. Files found without a writer
  // may be a dead writer's; the writer that comes next may re-format or
  // re-create them, so once one answers, the shadow attaches afresh and
  // re-synchronises (comparing against what it has).
  void scheduleReconnect() {
    if (reconnectTimer_) return;
    reconnectTimer_ = loop_.timerIs(
        std::chrono::milliseconds(10),
        [this] {
          if (!maybeConnect(reader_.rootPath())) return;
          cancelReconnect();
          if (this->initialized()) {
            queue_.detach();
            reader_.detach();
            this->initializedIs(false);
          }
          if (!initialize("reconnect")) scheduleReconnect();
        },
        std::chrono::milliseconds(20));
  }
  void cancelReconnect() {
    if (reconnectTimer_) loop_.timerDel(reconnectTimer_);
    reconnectTimer_ = 0;
  }
  void cancelTimers() {
    cancelReconnect();
    for (auto* t : {&serviceTimer_, &backstopTimer_}) {
      if (*t) loop_.timerDel(*t);
      *t = 0;
    }
  }

  Reader::Counters counters_;
  ZolmReader<Ops> reader_;
  Callbacks callbacks_;
  std::unique_ptr<ShadowStoreBase<Ops>> store_;
  bool keyShadow_;
  bool synchronised_ = false;
  bool flushing_ = false;
  bool notifying_ = true;
  std::chrono::nanoseconds yield_ = std::chrono::milliseconds(5);
  Quiv::EventLoop::TimerId serviceTimer_ = 0, backstopTimer_ = 0, reconnectTimer_ = 0;
  Quiv::String lastError_;
};

}  // namespace Zolm
