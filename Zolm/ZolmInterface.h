#pragma once
// The interface every form of a table provides (writer, reader, shadow and
// the placeholders), so that the collection above it never knows which one
// it talks to. Forms that cannot write keep the defaults, which refuse.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Zolm/Ops.h"
#include "runtime/Exception.h"
#include "runtime/RootPath.h"
#include "runtime/SharedMem.h"

namespace Mem {

// What a table's mount looks like to its client: 0 not mounted, 1 mounted,
// 2 mounted and synchronised, 3 detaching while notifications are still
// being flushed.
using MountStatus = U32;
inline constexpr MountStatus notMounted = 0;
inline constexpr MountStatus mounted = 1;
inline constexpr MountStatus synced = 2;
inline constexpr MountStatus flushing = 3;

// Recorded with a value read from a slot: the slot's runtimeFlags at the
// time, where that word lives, and the mapping it was read through. The
// value is still current while the word is unchanged.
struct VersionAnchor {
  static constexpr U64 NONE = 0xFFFFFFFEu;         // nothing was read
  static constexpr U64 INVALIDATED = 0xFFFFFFFFu;  // dropped by a remap
  U32 version = 0;
  U64 offset = 0;
  void const* base = nullptr;
  bool valid() const { return base != nullptr; }
};

// The (version, offset) half of an anchor, for callers that keep it.
struct CacheVersionAnchor {
  U32 version = 0;
  U64 offset = 0;
};

// A local copy of a (resizeSeq, count) pair read from a header.
template <class T>
struct VersionedRef {
  U32 seq = 0xFFFFFFFFu;
  T value{};
};

}  // namespace Mem

namespace Zolm {

enum class ZolmType : U8 { writer = 0, shadow = 1, reader = 2, keyshadow = 3 };

inline std::string_view toString(ZolmType t) {
  switch (t) {
    case ZolmType::writer: return "writer";
    case ZolmType::shadow: return "shadow";
    case ZolmType::reader: return "reader";
    case ZolmType::keyshadow: return "keyshadow";
  }
  return "unknown";
}

namespace Reader {
// What one reader did: reads and how often they had to be repeated.
struct Counters {
  U64 lookups = 0;
  U64 slowPaths = 0;      // `next` calls that re-walked a bucket run
  U64 restarts = 0;       // walks restarted because a link changed under them
  U64 criticalReads = 0;  // slot reads served from the critical-section image
  U64 bucketSkips = 0;    // empty buckets passed while iterating
  U64 retries = 0;        // operations repeated after a remap
  U64 remaps = 0;         // remaps that moved the slot mapping
  U64 resizes = 0;        // slot-table resizes followed
  U64 bucketResizes = 0;  // bucket-table resizes followed
  U64 corruptions = 0;    // integrity failures passed to the caller
  U32 capacity = 0;       // refreshed by readerCounters()
  U32 buckets = 0;        // refreshed by readerCounters()
  // Shadows only.
  U64 notifications = 0;        // slot notifications handled
  U64 failedNotifications = 0;  // dropped: the queue record was superseded
  U64 localSlotGrows = 0, localSlotShrinks = 0;
  U64 localBucketGrows = 0, localBucketShrinks = 0, moves = 0;
  U64 keyReuses = 0;  // key-shadow reads that found the slot reused
  U64 syncSeq = 0;    // queue position of the last full synchronisation
  U64 syncs = 0, resyncs = 0, disconnects = 0;
  U64 wakeups = 0, arms = 0;    // wake-ups received, sequences sent to the writer
  U64 nimbrMappedSize = 0, shadowMappedSize = 0;  // refreshed by readerCounters()
};
}  // namespace Reader

// Holds what every form shares: whether it was brought up.
class ZolmInterfaceBase {
 public:
  virtual ~ZolmInterfaceBase() = default;
  bool initialized() const { return initialized_; }

 protected:
  void initializedIs(bool v) { initialized_ = v; }

 private:
  bool initialized_ = false;
};

template <class OpsT>
class ZolmInterface : public ZolmInterfaceBase {
 public:
  using Ops = OpsT;
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using AnchorHook = std::function<bool(Mem::VersionAnchor const&)>;

  ~ZolmInterface() override = default;

  virtual bool initialize(std::string_view event) = 0;

  virtual void detach(bool force) = 0;
  virtual bool validate() = 0;
  virtual bool validateFiles() = 0;
  virtual void cleanup() = 0;

  virtual U32 members() const = 0;
  virtual U32 buckets() const = 0;
  virtual U32 minSize() const = 0;
  virtual U32 maxSize() const = 0;
  virtual U32 capacity() const = 0;
  virtual ZolmType type() const = 0;

  virtual bool quiesced() const = 0;
  virtual bool connected() const { return false; }
  virtual Writer::Counters writerCounters() const { return {}; }
  virtual Reader::Counters readerCounters() const { return {}; }
  virtual void notifyingIs(bool) {}
  // Seconds a follower waits at least between two wake-ups.
  virtual void yieldTimeIs(double) {}
  virtual U64 sequence() const = 0;
  virtual bool clientQuiesced(std::string_view) const { return false; }

  virtual Mem::RootPath const& rootPath() const = 0;
  virtual std::string const& zolmName() const = 0;
  virtual Mem::MountStatus mountStatus() const = 0;
  virtual SharedMem::FenixId fenixId() const = 0;

  virtual bool validateVersionAnchor(Mem::VersionAnchor const&) const { return true; }
  virtual void validateVersionAnchorHookIs(AnchorHook) {}
  virtual Mem::VersionAnchor getCacheVersionAnchor() const { return {}; }

  virtual void criticalTaskCheckIs(bool) {}
  virtual bool criticalTaskCheck() const { return false; }
  virtual void scratchpadIs(U32) {}
  virtual U32 scratchpad() const { return 0; }

  // Returns the stored value (null where nothing is stored).
  virtual Value const* write(Value const&, bool /*overwrite*/) {
    fmthrow(Quiv::NoPermissionException, "write to read-only Zolm table");
  }
  virtual bool remove(Key const&, Value* /*previous*/) {
    fmthrow(Quiv::NoPermissionException, "remove to read-only Zolm table");
  }
  virtual bool lookup(Key const& key, Value& out, IterHint& hint) const = 0;
  virtual bool first(Value& out, IterHint& hint) const = 0;
  virtual bool next(Key const& key, Value& out, IterHint& hint) const = 0;

  virtual Value* directWrite(Value const&) {
    fmthrow(Quiv::NoPermissionException, "write to read-only Zolm table");
  }
  virtual Value* directUpdate(Key const&) {
    fmthrow(Quiv::NoPermissionException, "write to read-only Zolm table");
  }
  virtual void directCommit() { fmthrow(Quiv::NoPermissionException, "write to read-only Zolm table"); }
  virtual bool directLookup(Key const& key, Value& out, IterHint& hint) const { return lookup(key, out, hint); }

  // Convenience for callers that iterate nothing.
  bool lookup(Key const& key, Value& out) const {
    IterHint hint;
    return lookup(key, out, hint);
  }
};

}  // namespace Zolm
