#pragma once
// Drives a follower of a table's notification queue: first a full
// synchronisation (every slot read once), then the queue's records one by
// one, and at detach a flush of every local slot back to the client.
//
// Why a full synchronisation converges: the queue position is taken
// (resync) before the first slot is read, and the number of slots to read
// after it (syncSlots), so every change made while the slots are being
// read is also waiting in the queue and is replayed after them, and every
// slot a change up to the position names is read. (Counting the slots
// before the position is taken loses the slots a growth added between the
// two: their records are at or before the position, and no read covers
// them.) A follower that falls behind the queue's live window loses nothing
// (the queue keeps every unsuperseded record inside the window); a queue
// that was re-formatted (new generation) means starting over from the
// slots.
//
// The order that makes it so: resync's acquire load of tailSeq (Q3,
// pairs with the release store of tailSeq in NimbrWriter::append) comes
// before the slot count is read and before the first slot read, and the
// writer appends a record after its change's last store (W6), a growth's
// slot count included (S1). So a change whose record is at or before the
// synchronised position is in a slot the count covers and is seen by the
// slot reads; any other is replayed.
// Thread: one per syncer (its shadow's). It writes nothing shared.
//
// The syncer does bounded amounts of work per call (service), so that the
// thread's event loop stays responsive; forceSyncCompletion runs the
// current phase to its end.
#include <string_view>

#include "VexaSwitchLib/runtime/Debug.h"
#include "VexaSwitchLib/runtime/Nimbr.h"

namespace Zolm {

// What the syncer calls. `doSlot` re-reads one slot (with `compare`, an
// unchanged slot must not be reported as a change) and returns whether it
// consumed the notification; seq NO_SEQ marks a read that no record asked
// for (synchronisation). `syncSlots` is asked once per synchronisation,
// after the queue position was taken: the slots to read, at least the
// writer's slot count as of then.
class SyncerClient {
 public:
  static constexpr U64 NO_SEQ = ~U64(0);
  virtual ~SyncerClient() = default;
  virtual U32 syncSlots() = 0;
  virtual bool doSlot(U32 slot, U64 seq, bool compare) = 0;
  virtual void doFlushSlot(U32 slot) = 0;
  virtual void syncComplete() = 0;
  virtual void flushComplete() = 0;
};

class Syncer {
 public:
  enum class Mode : U8 { idle = 0, sync = 1, flush = 2, steady = 3 };

  Syncer(Quiv::DebugHandler* handler, Nimbr::NimbrReader& queue, SyncerClient& client)
      : handler_(handler), queue_(queue), client_(client) {}

  // Starts a full synchronisation over the client's syncSlots().
  void sync(bool compare = false);
  // Starts replaying `slotCount` local slots to the client (detach);
  // unless `async`, runs it to completion now.
  void flush(U32 slotCount, bool async);

  // Does at most about `budget` slot reads; true when work is left (call
  // again), false when the queue is drained or the syncer is idle.
  bool service(U32 budget = 4096);

  void forceSyncCompletion();

  // The queue was re-formatted: the caller re-attaches it and calls sync.
  bool needResync() const { return needResync_; }
  void needResyncClear() { needResync_ = false; }

  Mode mode() const { return mode_; }
  bool done() const { return mode_ == Mode::steady || mode_ == Mode::idle; }
  U64 syncSeq() const { return syncSeq_; }
  U64 lastSeq() const { return lastSeq_; }
  U64 records() const { return records_; }
  U64 failed() const { return failed_; }
  U64 behind() const { return behind_; }
  U64 syncs() const { return syncs_; }
  U64 regenerations() const { return regenerations_; }

 private:
  static constexpr U32 TOMBSTONE = 0xFFFFFFFFu;
  Quiv::DebugHandler* handler_;
  Nimbr::NimbrReader& queue_;
  SyncerClient& client_;
  Mode mode_ = Mode::idle;
  U32 cursor_ = 0;
  U32 count_ = 0;
  bool compare_ = false;
  bool needResync_ = false;
  U64 syncSeq_ = 0;
  U64 lastSeq_ = 0;
  U64 records_ = 0, failed_ = 0, behind_ = 0, syncs_ = 0, regenerations_ = 0;
};

}  // namespace Zolm
