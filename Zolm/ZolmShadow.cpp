#include "VexaSwitchLib/Zolm/ZolmShadow.h"

namespace Zolm {

ZolmShadowBase::ZolmShadowBase(Quiv::DebugHandler* handler, Mem::RootPath const& root, Quiv::EventLoop& loop)
    : handler_(handler), queue_(handler, root), syncer_(handler, queue_, *this), pokt_(Quiv::Platform::getDebugHandler(NOTIFIER_NAME), loop), loop_(loop) {
  pokt_.onWakeIs([this](U64) {
    ++counters_.wakeups;
    service();
  });
  pokt_.onDisconnectIs([this] { handleDisconnect(); });
}

ZolmShadowBase::~ZolmShadowBase() = default;

bool ZolmShadowBase::initializeNimbr() {
  Quiv::String error;
  if (!queue_.attach(error)) {
    fmtrace(handler_, 0, "failed to attach to the notification queue: {}", error);
    return false;
  }
  return true;
}

bool ZolmShadowBase::maybeConnect(Mem::RootPath const& root) {
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

// --- lifecycle ----------------------------------------------------------------

bool ZolmShadowBase::initializeShadow(std::string_view event) {
  try {
    return doInitialize(event);
  } catch (Quiv::CorruptionDetectedException const& e) {
    fmtrace(handler_, 0, "{}", e.msg());
    corruptionDetected(e.msg());
    return false;
  }
}

bool ZolmShadowBase::doInitialize(std::string_view event) {
  ZolmReaderBase& reader = *readerBase_;
  if (formInitialized()) {
    if (!maybeConnect(reader.root())) retryConnect();
    return true;
  }
  if (!reader.initializeReader(event)) {
    fmtrace(handler_, 0, "zolm.initialize() Failed");
    return false;
  }
  // A store that survived a disconnect keeps its entries: the new
  // synchronisation compares against them.
  bool resync = store_ && !flushing_;
  if (!resync) {
    store_ = makeStore();
    store_->initialize();
  } else {
    store_->followSeed();
  }
  if (!initializeNimbr()) {
    reader.detachReader();
    return false;
  }
  formInitializedIs(true);
  startSync(resync);
  if (maybeConnect(reader.root())) cancelReconnect();
  else retryConnect();
  service();
  return true;
}

bool ZolmShadowBase::reattach(std::string_view event) {
  cancelReconnect();
  if (formInitialized()) {
    cancelTimers();
    pokt_.disconnect();
    queue_.detach();
    readerBase_->detachReader();
    formInitializedIs(false);
  }
  return initializeShadow(event);
}

void ZolmShadowBase::retryConnect() {
  if (!events_->disconnected) {
    scheduleReconnect();
    return;
  }
  // An owner that takes disconnects (events_->disconnected) decides when
  // to attach again. Its shadow stays attached, but until it is connected
  // it neither arms nor services: it would never follow its writer. So
  // the connect alone is tried again (a full listen backlog refuses it
  // while the writer is sound), backing off to a second; once connected
  // the shadow catches up with what was published meanwhile.
  connectRetryIn(std::chrono::milliseconds(10));
}

void ZolmShadowBase::connectRetryIn(std::chrono::milliseconds after) {
  if (reconnectTimer_) loop_.timerDel(reconnectTimer_);
  reconnectTimer_ = loop_.timerIs(after, [this, after] {
    reconnectTimer_ = 0;
    if (!formInitialized()) return;
    if (maybeConnect(readerBase_->root())) service();
    else connectRetryIn(std::min(after * 2, std::chrono::milliseconds(1000)));
  });
}

void ZolmShadowBase::detachShadow(bool force) {
  if (flushing_) {
    fmassert(syncer_.mode() == Syncer::Mode::flush, "ZolmShadow",
             "expected Syncer in flush mode during asynchronous flush");
    fmassert(force, "ZolmShadow", "expected only forced detach during asynchronous flush");
    syncer_.forceSyncCompletion();
    return;
  }
  if (!formInitialized()) {
    // A shadow whose writer went away keeps its copy (handleDisconnect);
    // letting it go still tells the client every key it held.
    if (!store_ || store_->entries() == 0) {
      fmtrace(handler_, 5, "already detached");
      return;
    }
    cancelTimers();
    flushing_ = true;
    fmtrace(handler_, 2, "{} let go while disconnected{}", readerBase_->root().dirName(), force ? "" : ", flushing");
    syncer_.flush(store_->numSlots(), !force);
    if (flushing_) scheduleService();
    return;
  }
  cancelTimers();
  pokt_.disconnect();
  queue_.detach();
  readerBase_->detachReader();
  flushing_ = true;
  formInitializedIs(false);
  fmtrace(handler_, 2, "{} detached{}", readerBase_->root().dirName(), force ? "" : ", flushing");
  syncer_.flush(store_ ? store_->numSlots() : 0, !force);
  if (flushing_) scheduleService();
}

// --- hooks ---------------------------------------------------------------------

void ZolmShadowBase::syncComplete() {
  counters_.syncSeq = syncer_.syncSeq();
  fmtrace(handler_, 1, "Synchronization complete, seq:{}", syncer_.syncSeq());
  if (!synchronised_) {
    synchronised_ = true;
    if (events_->syncComplete) events_->syncComplete();
  }
  handleQuiesced(queue_.quiesced());
}

void ZolmShadowBase::flushComplete() {
  fmtrace(handler_, 1, "Flush complete");
  if (store_) store_->disable();
  store_.reset();
  flushing_ = false;
  synchronised_ = false;
  if (!formInitialized() && events_->deletionComplete) events_->deletionComplete();
}

void ZolmShadowBase::handleDisconnect() {
  ++counters_.disconnects;
  if (!notifying_)
    fmtrace(handler_, 1, "disconnected while pokt processing is disabled, syncer mode:{} done:{}", int(syncer_.mode()),
            syncer_.done());
  if (status() == Mem::flushing) return;
  fmtrace(handler_, 1, "{}: writer went away", readerBase_->root().dirName());
  // Let go of the old writer's files; keep the local copy.
  cancelTimers();
  queue_.detach();
  readerBase_->detachReader();
  formInitializedIs(false);
  if (events_->disconnected) events_->disconnected();
  else scheduleReconnect();
}

void ZolmShadowBase::corruptionDetected(Quiv::String const& message) {
  if (status() == Mem::flushing) return;
  ++counters_.corruptions;
  lastError_ = message;
  fmtrace(handler_, 0, "corruption detected in {}: {}", readerBase_->root().dirName(), message);
}

void ZolmShadowBase::service() {
  if (serviceTimer_) {
    loop_.timerDel(serviceTimer_);
    serviceTimer_ = 0;
  }
  if (!formInitialized() && !flushing_) return;
  auto until = std::chrono::steady_clock::now() + yield_;
  try {
    for (;;) {
      while (syncer_.service(4096)) {
        if (std::chrono::steady_clock::now() >= until) {
          scheduleService();  // let the loop breathe, then go on
          return;
        }
      }
      if (flushing_ || !formInitialized()) return;
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

// --- checks and settings --------------------------------------------------------

bool ZolmShadowBase::validateShadow() {
  std::string error;
  if (store_ && !store_->check(error)) {
    lastError_ = error;
    return false;
  }
  if (!formInitialized()) return true;
  if (!readerBase_->checkFiles()) {
    lastError_ = readerBase_->lastError();
    return false;
  }
  return true;
}

void ZolmShadowBase::notifying(bool on) {
  fmtrace(handler_, 5, "notifying:{}", on);
  bool was = notifying_;
  notifying_ = on;
  pokt_.notifyingIs(on);
  // While off the shadow sent no arm, so no writer will wake it for what
  // was published meanwhile: look now, and arm.
  if (on && !was && formInitialized()) scheduleService();
}

void ZolmShadowBase::yieldTime(double seconds) {
  pokt_.yieldTimeIs(seconds);
  yield_ = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
  if (yield_ <= std::chrono::nanoseconds::zero()) yield_ = std::chrono::milliseconds(5);
}

Reader::Counters ZolmShadowBase::countersNow() const {
  Reader::Counters c = readerBase_->countersNow();
  c.nimbrMappedSize = queue_.mappedSize();
  c.shadowMappedSize = store_ ? store_->shadowMappedSize() + store_->fenixMappedSize() : 0;
  c.wakeups = pokt_.wakes();
  c.arms = pokt_.arms();
  c.syncs = syncer_.syncs();
  if (store_) store_->addCountersTo(c);
  return c;
}

std::string ZolmShadowBase::dumpHeaders() const { return readerBase_->dumpHeaders() + queue_.toString(); }

// --- timers ----------------------------------------------------------------------

void ZolmShadowBase::startSync(bool compare) { syncer_.sync(compare); }

// Asked by the syncer after it took the queue position: the slot count is
// the writer's as of then (remapped now; the reader's mapping may be from
// before a growth whose new slots hold changes at or before the position),
// and every local slot, which may hold a key the shared table has lost.
U32 ZolmShadowBase::syncSlots() {
  readerBase_->remapFiles();
  return std::max(readerBase_->slotCapacity(), store_->numSlots());
}

void ZolmShadowBase::scheduleService() {
  if (serviceTimer_) return;
  serviceTimer_ = loop_.timerIs(std::chrono::nanoseconds::zero(), [this] {
    serviceTimer_ = 0;
    service();
  });
}

// A writer reads arm messages from its writes at most once per its poll
// interval (and from its loop, if it runs one), so an arm sent after its
// last poll may go unread while records published before its next poll
// wait. Those records are out before the first check after the arm: a few
// timer checks after each arm, backing off to a quarter of a second, catch
// them. The checks stop only after one found nothing pending; a record
// published later reaches the writer's next poll, which reads the arm and
// wakes this shadow, so an idle shadow blocks in its loop. Re-armed at
// every arm, the check costs one system call (Quiv::EventLoop leaves its
// timer descriptor alone when a timer is removed).
void ZolmShadowBase::armBackstop(std::chrono::milliseconds after) {
  if (backstopTimer_) loop_.timerDel(backstopTimer_);
  backstopTimer_ = loop_.timerIs(after, [this, after] {
    backstopTimer_ = 0;
    if (!formInitialized()) return;
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
void ZolmShadowBase::scheduleReconnect() {
  if (reconnectTimer_) return;
  reconnectTimer_ = loop_.timerIs(
      std::chrono::milliseconds(10),
      [this] {
        if (!maybeConnect(readerBase_->root())) return;
        cancelReconnect();
        if (formInitialized()) {
          queue_.detach();
          readerBase_->detachReader();
          formInitializedIs(false);
        }
        if (!initializeShadow("reconnect")) scheduleReconnect();
      },
      std::chrono::milliseconds(20));
}

void ZolmShadowBase::cancelReconnect() {
  if (reconnectTimer_) loop_.timerDel(reconnectTimer_);
  reconnectTimer_ = 0;
}

void ZolmShadowBase::cancelTimers() {
  cancelReconnect();
  for (auto* t : {&serviceTimer_, &backstopTimer_}) {
    if (*t) loop_.timerDel(*t);
    *t = 0;
  }
}

}  // namespace Zolm
