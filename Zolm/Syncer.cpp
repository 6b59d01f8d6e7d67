#include "VexaSwitchLib/Zolm/Syncer.h"

namespace Zolm {

void Syncer::sync(bool compare) {
  // Before the slot count and any slot read (see the top of Syncer.h):
  // both come after resync's acquire load of tailSeq.
  syncSeq_ = queue_.resync();
  U32 slotCount = client_.syncSlots();
  mode_ = Mode::sync;
  cursor_ = 0;
  count_ = slotCount;
  compare_ = compare;
  ++syncs_;
  fmtrace(handler_, 2, "sync of {} slots from seq:{}", slotCount, syncSeq_);
}

void Syncer::flush(U32 slotCount, bool async) {
  mode_ = Mode::flush;
  cursor_ = 0;
  count_ = slotCount;
  if (!async) forceSyncCompletion();
}

bool Syncer::service(U32 budget) {
  switch (mode_) {
    case Mode::idle: return false;
    case Mode::sync: {
      U32 end = count_ - cursor_ > budget ? cursor_ + budget : count_;
      for (; cursor_ < end; ++cursor_) client_.doSlot(cursor_, SyncerClient::NO_SEQ, compare_);
      if (cursor_ < count_) return true;
      mode_ = Mode::steady;
      client_.syncComplete();
      return true;
    }
    case Mode::flush: {
      U32 end = count_ - cursor_ > budget ? cursor_ + budget : count_;
      for (; cursor_ < end; ++cursor_) client_.doFlushSlot(cursor_);
      if (cursor_ < count_) return true;
      mode_ = Mode::idle;
      client_.flushComplete();
      return false;
    }
    case Mode::steady: {
      for (U32 n = 0; n < budget; ++n) {
        Nimbr::Record r;
        switch (queue_.next(r)) {
          case Nimbr::NimbrReader::Status::empty: return false;
          case Nimbr::NimbrReader::Status::behind: ++behind_; continue;
          case Nimbr::NimbrReader::Status::regenerated:
            ++regenerations_;
            needResync_ = true;
            return false;
          case Nimbr::NimbrReader::Status::record:
            if (r.slot == TOMBSTONE) continue;
            ++records_;
            if (!client_.doSlot(r.slot, r.seq, true)) ++failed_;
            lastSeq_ = r.seq;
            continue;
        }
      }
      return true;
    }
  }
  return false;
}

void Syncer::forceSyncCompletion() {
  while (mode_ == Mode::sync || mode_ == Mode::flush) service(~0u);
}

}  // namespace Zolm
