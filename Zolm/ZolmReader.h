#pragma once
// The reader form of a shared-memory table: maps the writer's slot and
// bucket files read-only and answers lookups, ordered iteration and reads
// by slot index without a lock and without a copy of the table.
//
// Every read runs under one rule: when it meets an integrity failure, or
// when it returns and the writer has resized either file meanwhile, the
// reader remaps and runs it again; an integrity failure with nothing to
// remap is passed to the caller. The answer of a read is therefore always
// one the table held at some moment during the call.
#include <chrono>
#include <ctime>
#include <string>
#include <string_view>

#include "Zolm/SlotReader.h"
#include "Zolm/ZolmInterface.h"
#include "ZolmCore/ReaderHashMap.h"
#include "ZolmCore/BucketFile.h"
#include "runtime/SharedMem.h"

namespace Zolm {

namespace Util {
// Leaves the marker file "corruption-detected" with `error` in the table's
// directory, for operators; best effort (a reader may not be allowed to).
void writeCorruptionFile(Quiv::DebugHandler* handler, Mem::RootPath const& root, std::string_view error);
}  // namespace Util

template <class OpsT>
class ZolmReader : public ZolmInterface<OpsT> {
 public:
  using Ops = OpsT;
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using SlotReader = SlotReaderTable<Ops>;
  using HashMap = ZolmCore::ReaderHashMap<Ops, SlotReaderTable<Ops>>;

  ZolmReader(Quiv::DebugHandler* handler, std::string_view tablePath, Ops const& ops = {},
             Reader::Counters* counters = nullptr)
      : handler_(handler),
        rootPath_(handler, tablePath),
        name_(tablePath),
        ownCounters_(counters ? nullptr : new Reader::Counters{}),
        counters_(counters ? *counters : *ownCounters_),
        ops_(ops),
        slots_(handler, rootPath_, ops_, counters_),
        buckets_(handler, rootPath_),
        hashMap_(handler, slots_, buckets_, ops_, counters_) {}
  ~ZolmReader() override {
    if (this->initialized()) detach(true);
    delete ownCounters_;
  }
  ZolmReader(ZolmReader const&) = delete;
  ZolmReader& operator=(ZolmReader const&) = delete;

  bool initialize(std::string_view event = "none") override {
    if (!Mem::Atomics::checkCpuSupport()) fmthrow(Quiv::InvalidInitializeException, "Hardware does not support Atomics");
    if (this->initialized()) return true;
    if (!buckets_.attach()) {
      fmtrace(handler_, 0, "failed to attach to buckets");
      lastError_ = fmt::format("failed to attach to buckets in {}", rootPath_.dirName());
      return false;
    }
    if (!slots_.attach()) {
      fmtrace(handler_, 0, "failed to attach to slots");
      lastError_ = fmt::format("failed to attach to slots in {}", rootPath_.dirName());
      buckets_.detach();
      return false;
    }
    SharedMem::FenixFile fenix(rootPath_);
    fenixId_ = fenix.read();
    std::time_t mtime = fenix.mtime();
    auto fail = [&](char const* what, Quiv::String const* error) {
      fmtrace(handler_, 0, "{}", what);
      fmtracestr(handler_, 0, dumpHeaders());
      if (error) Util::writeCorruptionFile(handler_, rootPath_, *error);
      lastError_ = error ? fmt::format("{}: {}", what, *error) : Quiv::String(what);
      slots_.detach();
      buckets_.detach();
      return false;
    };
    if (fenixId_.isNull()) return fail("failed to read fenix file", nullptr);
    Quiv::String error;
    if (!buckets_.validate(fenixId_.value(), error)) return fail("failed to validate buckets", &error);
    SlotHeaderCommon h = slots_.snapshot();
    if (!SlotTable::validateHeader(handler_, h, slots_.fileSize(), fenixId_.value(), Ops::slotSize, Ops::valueSize,
                                   Ops::typeName(), error))
      return fail("failed to validate slots", &error);
    hashMap_.reset();
    // Map the slots and buckets now rather than at the first read, so that
    // capacity() and buckets() mean something from the start.
    try {
      doResize();
    } catch (Quiv::CorruptionDetectedException const& e) {
      Quiv::String msg = e.msg();
      return fail("failed to map the table", &msg);
    }
    this->initializedIs(true);
    long delay = mtime ? long(std::time(nullptr) - mtime) : 0;
    fmtrace(handler_, 1, "success {} capacity:{} fenixId:{} mtime:{} delay:{} event:{}", rootPath_.dirName(),
            capacity(), fenixId_, mtime, delay, event);
    return true;
  }

  void detach(bool /*force*/ = false) override {
    if (!this->initialized()) {
      fmtrace(handler_, 5, "already detached");
      return;
    }
    buckets_.detach();
    hashMap_.reset();
    fmtrace(handler_, 5, "delegating to SlotTable::detach()");
    slots_.detach();
    this->initializedIs(false);
    fmtrace(handler_, 1, "{} detached", rootPath_.dirName());
  }

  // --- reads ----------------------------------------------------------------------
  // On a hit copies the value to `out` (when given) and points at it; on a
  // miss points at the default value (also given to `out`).
  Value const* lookup(Key const& keyIn, bool& found, Value* out = nullptr) {
    Key const key = keyIn;  // the caller's key may live inside *out
    Value* dst = out ? out : &buffer_;
    found = retry([&] { return hashMap_.lookup(key, *dst); }, nullptr);
    if (!found) {
      slots_.anchorClear();
      return &Ops::defaultValue();
    }
    return dst;
  }
  bool lookup(Key const& key, Value& out, IterHint& /*hint*/) const override {
    bool found;
    self().lookup(key, found, &out);
    return found;
  }
  using ZolmInterface<Ops>::lookup;

  bool first(Value& out, IterHint& hint) const override {
    ZolmReader& r = self();
    bool ok = r.retry([&] { return r.hashMap_.first(out, hint); }, &hint);
    if (!ok) r.slots_.anchorClear();
    return ok;
  }
  bool next(Key const& keyIn, Value& out, IterHint& hint) const override {
    Key const key = keyIn;  // usually the key of `out` itself
    ZolmReader& r = self();
    bool ok = r.retry([&] { return r.hashMap_.next(key, out, hint); }, &hint);
    if (!ok) r.slots_.anchorClear();
    return ok;
  }

  // Reads slot `slotIndex` directly (the shadows follow notifications by
  // slot index). False when the index is past the table or the slot is free.
  bool getValue(U32 slotIndex, Value& value, Value* out = nullptr) {
    U32 flags = 0;
    bool inRange = retry(
        [&] {
          if (slotIndex >= slots_.capacity()) return false;
          U32 rh;
          flags = slots_.read(slotIndex, rh, value);
          return true;
        },
        nullptr);
    if (!inRange || !(flags & SLOT_OCCUPIED)) {
      slots_.anchorClear();
      value = Ops::defaultValue();
      if (out) *out = value;
      return false;
    }
    if (out) *out = value;
    return true;
  }

  // Follows the writer's resizes of both files; true when anything changed.
  bool doResize() {
    bool changed = slots_.doResize();
    if (hashMap_.bucketCountChanged() || hashMap_.numBuckets() == 0) changed = hashMap_.syncBuckets() || changed;
    return changed;
  }

  // --- version anchors -----------------------------------------------------------
  // Throws Mem::VersionMismatchException when the value last read is no
  // longer current.
  void validateVersionAnchor() const {
    Mem::VersionAnchor const& a = slots_.anchor();
    fmassert(a.offset != Mem::VersionAnchor::NONE, "ZolmReader",
             "should not be called on a default-constructed VersionAnchor");
    if (a.offset == Mem::VersionAnchor::INVALIDATED || !slots_.anchorCurrent(a))
      throw Mem::VersionMismatchException("");
  }
  bool validateVersionAnchor(Mem::VersionAnchor const& a) const override { return slots_.anchorCurrent(a); }
  Mem::VersionAnchor getCacheVersionAnchor() const override { return slots_.anchor(); }

  // --- checks ---------------------------------------------------------------------
  // A read-only check of the whole table as this reader sees it: headers,
  // every entry found again by its key, (rhash, key) strictly ascending,
  // and as many entries as the header counts. Meant for a quiet table.
  bool validate() override {
    lastError_ = Quiv::String();
    try {
      if (!validateFiles()) return false;
      Value v;
      IterHint hint;
      U32 count = 0;
      bool havePrev = false;
      U32 prevRh = 0;
      Key prevKey{};
      for (bool more = first(v, hint); more; more = next(Ops::keyOf(v), v, hint)) {
        Key k = Ops::keyOf(v);
        U32 rh = reverseBits32(ops_.hash(k));
        if (havePrev && (rh < prevRh || (rh == prevRh && !Ops::less(prevKey, k)))) {
          lastError_ = fmt::format("entry {} at slot {} out of order", show(k), hint.slot);
          return false;
        }
        Value again;
        bool found;
        lookup(k, found, &again);
        if (!found) {
          lastError_ = fmt::format("entry {} at slot {} is not found by its key", show(k), hint.slot);
          return false;
        }
        if (++count > capacity()) {
          lastError_ = fmt::format("walked {} entries in a table of {} slots", count, capacity());
          return false;
        }
        havePrev = true;
        prevRh = rh;
        prevKey = k;
      }
      if (count != members()) {
        lastError_ = fmt::format("walked {} entries but the header counts {}", count, members());
        return false;
      }
      return true;
    } catch (Quiv::Exception const& e) {
      lastError_ = e.msg();
      return false;
    }
  }
  // The headers of both files against the fenix file.
  bool validateFiles() override {
    if (!this->initialized()) {
      lastError_ = "not attached";
      return false;
    }
    Quiv::String error;
    SharedMem::FenixId current = SharedMem::FenixFile(rootPath_).read();
    if (current.value() != fenixId_.value()) {
      lastError_ = fmt::format("writer changed from {} to {}", fenixId_, current);
      return false;
    }
    if (!buckets_.validate(fenixId_.value(), error)) {
      lastError_ = error;
      return false;
    }
    if (!SlotTable::validateHeader(handler_, slots_.snapshot(), slots_.fileSize(), fenixId_.value(), Ops::slotSize,
                                   Ops::valueSize, Ops::typeName(), error)) {
      lastError_ = error;
      return false;
    }
    return true;
  }
  void cleanup() override { fmthrow(Quiv::NoPermissionException, "cleanup of read-only Zolm table"); }
  Quiv::String const& lastError() const { return lastError_; }

  std::string dumpHeaders() const {
    return fmt::format("Zolm table \"{}\"\n\n\n{}\n\n{}\n\n", rootPath_.dirName(), slots_.headerString(),
                       buckets_.toString());
  }

  Reader::Counters readerCounters() const override {
    counters_.capacity = slots_.capacity();
    counters_.buckets = hashMap_.numBuckets();
    return counters_;
  }

  // --- accessors ------------------------------------------------------------------
  U32 capacity() const override { return slots_.capacity(); }
  U32 members() const override {
    return slots_.header() ? Mem::load32(&slots_.header()->occupiedSlots) : 0;
  }
  U32 maxSize() const override { return slots_.header() ? slots_.header()->maxSlots : 0; }
  U32 minSize() const override { return 0; }
  U32 buckets() const override { return hashMap_.numBuckets(); }
  ZolmType type() const override { return ZolmType::reader; }
  SharedMem::FenixId fenixId() const override { return fenixId_; }
  Mem::MountStatus mountStatus() const override { return this->initialized() ? Mem::mounted : Mem::notMounted; }
  bool quiesced() const override { return this->initialized(); }
  U64 sequence() const override { return 0; }
  Mem::RootPath const& rootPath() const override { return rootPath_; }
  std::string const& zolmName() const override { return name_; }
  SlotHeaderCommon header() const { return slots_.header() ? slots_.snapshot() : SlotHeaderCommon{}; }
  Ops const& ops() const { return ops_; }

 private:
  ZolmReader& self() const { return const_cast<ZolmReader&>(*this); }

  // Runs `op` until it returns without the writer having resized anything
  // meanwhile. An integrity failure with nothing to remap goes to the caller.
  template <class F>
  bool retry(F&& op, IterHint* hint) {
    if (!this->initialized()) fmthrow(Quiv::InvalidInitializeException, "Zolm reader {} is not attached", name_);
    if (hashMap_.numBuckets() == 0 || slots_.capacity() == 0) doResize();
    for (;;) {
      bool result;
      try {
        result = op();
      } catch (Quiv::CorruptionDetectedException const&) {
        bool changed;
        try {
          changed = doResize();
        } catch (Quiv::CorruptionDetectedException const&) {
          ++counters_.corruptions;
          throw;
        }
        if (!changed) {
          ++counters_.corruptions;
          throw;
        }
        ++counters_.retries;
        if (hint) hint->bucket = 0xFFFFFFFFu;
        continue;
      }
      if (!doResize()) return result;
      ++counters_.retries;
      if (hint) hint->bucket = 0xFFFFFFFFu;
    }
  }

  Quiv::DebugHandler* handler_;
  Mem::RootPath rootPath_;
  std::string name_;
  Reader::Counters* ownCounters_;
  Reader::Counters& counters_;
  Ops ops_;
  SlotReader slots_;
  ZolmCore::BucketReader<SlotLink> buckets_;
  HashMap hashMap_;
  SharedMem::FenixId fenixId_;
  Value buffer_{};
  Quiv::String lastError_;
};

}  // namespace Zolm
