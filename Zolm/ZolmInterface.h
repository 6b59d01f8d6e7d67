#pragma once
// The interface every form of a table provides (writer, reader, shadow and
// the placeholders), so that the collection above it never knows which one
// it talks to. Forms that cannot write keep the defaults, which refuse.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "VexaSwitchLib/ZolmCore/Ops.h"
#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/RootPath.h"
#include "VexaSwitchLib/runtime/SharedMem.h"
#include "VexaSwitchLib/runtime/VersionAnchor.h"


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
  // n lookups at once: found[i] as lookup(keys[i], outs[i]) gives it,
  // outs[i] the value found or, for a miss, the default value; returns the
  // number of hits. Forms whose lookups wait on memory (reader, writer)
  // fetch the keys' lines ahead; the others look up one key after the
  // other.
  virtual U32 lookupBatch(Key const* keys, U32 n, Value* outs, bool* found) const {
    U32 hits = 0;
    for (U32 i = 0; i < n; ++i) {
      Key const k = keys[i];
      IterHint hint;
      found[i] = lookup(k, outs[i], hint);
      if (!found[i]) outs[i] = OpsT::defaultValue();
      hits += found[i];
    }
    return hits;
  }

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
