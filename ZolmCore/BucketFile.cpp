#include "VexaSwitchLib/ZolmCore/BucketFile.h"

namespace ZolmCore {

bool BucketHeader::validate(U64 fileSize, U32 fenix, Quiv::String& error) const {
  if (fileSize < SIZE) {
    error = fmt::format("bucket file too short: {} bytes", fileSize);
    return false;
  }
  // A reader checks the header in place while the writer may store into
  // it: numBuckets changes at every resize (B1) and a re-format rewrites
  // the rest (B4). B4: the magic is an acquire load, pairing with its
  // release store at the end of BucketWriterBase::format, so the fields
  // read after it are the format's (or a later re-format's, which cleared
  // the magic first and changes the fenix id the caller checks). The
  // count is loaded once, whole (relaxed): the checks compare that one
  // value, and the mapping follows it only through doResize's acquire
  // load. The other fields are constant under one fenix id.
  U32 m = Mem::load32(&magic);
  if (m != MAGIC) {
    error = fmt::format("not a bucket file: bad magic {:#x}", m);
    return false;
  }
  if (formatVersion != FORMAT_VERSION) {
    error = fmt::format("bucket file format version {} not supported (this library reads version {})",
                        formatVersion, FORMAT_VERSION);
    return false;
  }
  if (fenix && fenixId != fenix) {
    error = fmt::format("bucket fenixId mismatch: file {:#x} wanted:{:#x}", fenixId, fenix);
    return false;
  }
  U32 n = Mem::loadRelaxed32(&numBuckets);
  if (n == 0 || (n & (n - 1)) != 0 || n > MAX_BUCKETS) {
    error = fmt::format("bad numBuckets:{}", n);
    return false;
  }
  if (minBuckets == 0 || (minBuckets & (minBuckets - 1)) != 0 || minBuckets > n) {
    error = fmt::format("bad minBuckets:{} numBuckets:{}", minBuckets, n);
    return false;
  }
  if (fileSize < fileSizeFor(n)) {
    error = fmt::format("bad bucket file size:{} wanted:{} for {} buckets", fileSize, fileSizeFor(n), n);
    return false;
  }
  return true;
}

std::string BucketHeader::toString() const {
  return fmt::format("BucketHeader magic:{:#x} version:{} fenixId:{:#x} minBuckets:{} numBuckets:{} resizeSeq:{}",
                     magic, formatVersion, fenixId, minBuckets, numBuckets, resizeSeq);
}

BucketWriterBase::BucketWriterBase(Quiv::DebugHandler* handler, Mem::RootPath const& root, bool local)
    : handler_(handler), region_(root, FILENAME, local) {}

bool BucketWriterBase::keep(U32 fenixId) {
  detach();
  U64 have = region_.fileSize();
  if (have < BucketHeader::SIZE) return false;
  header_ = static_cast<BucketHeader*>(region_.attach(0));
  Quiv::String error;
  if (header_ && header_->validate(have, fenixId, error)) {
    doResize(header_->numBuckets);
    fmtrace(handler_, 1, "attach() to existing {} numBuckets:{}", region_.name(), header_->numBuckets);
    return true;
  }
  fmtrace(handler_, 0, "bucket file {} not kept: {}", region_.name(), error);
  detach();
  return false;
}

void BucketWriterBase::format(U32 fenixId, U32 initialBuckets) {
  if (initialBuckets == 0 || (initialBuckets & (initialBuckets - 1)) != 0)
    fmthrow(Quiv::InvalidInitializeException, "bucket count {} is not a power of two", initialBuckets);
  U64 size = BucketHeader::fileSizeFor(initialBuckets);
  if (!header_) header_ = static_cast<BucketHeader*>(region_.attach(size));
  else header_ = static_cast<BucketHeader*>(region_.resize(size));
  if (!header_) fmthrow(Quiv::InvalidInitializeException, "cannot map bucket file {}", region_.name());
  // B4: invalidate first so that a crash while formatting leaves no file
  // that looks valid; the stores up to the magic are plain.
  Mem::store32(&header_->magic, 0);
  header_->formatVersion = BucketHeader::FORMAT_VERSION;
  header_->reserved = 0;
  header_->fenixId = fenixId;
  header_->minBuckets = initialBuckets;
  U32 bits = Zolm::log2Exact(initialBuckets);
  U64* b = header_->buckets();
  for (U32 i = 0; i < initialBuckets; ++i) {
    U32 succ = initialBuckets == 1 ? 0 : Zolm::bitReversedSuccessor(i, bits);
    Zolm::SlotLink::store(&b[i], Zolm::SlotLink::make(0, succ == 0 ? Zolm::SlotLink::END : Zolm::SlotLink::marker(succ)));
  }
  Mem::store64(header_->resizeWord(), U64(initialBuckets) << 32);  // B1
  // Release: the header and bucket words above are complete for a reader
  // that sees the magic (BucketHeader::validate after an attach).
  Mem::store32(&header_->magic, BucketHeader::MAGIC);
  fmtrace(handler_, 1, "attach() to new file {} numBuckets:{}", region_.name(), initialBuckets);
}

bool BucketWriterBase::validate(U32 fenixId, Quiv::String& error) const {
  if (!header_) {
    error = "bucket file not attached";
    return false;
  }
  return header_->validate(region_.memSize(), fenixId, error);
}

void BucketWriterBase::doResize(U32 numBuckets) {
  U64 size = BucketHeader::fileSizeFor(numBuckets);
  if (size == region_.memSize()) return;
  header_ = static_cast<BucketHeader*>(region_.resize(size));
}

void BucketWriterBase::detach() {
  region_.detach();
  header_ = nullptr;
}

void BucketWriterBase::cleanup() {
  header_ = nullptr;
  if (region_.remove()) fmtrace(handler_, 3, "removing file: {}", region_.name());
}

std::string BucketWriterBase::toString() const {
  return header_ ? header_->toString() : std::string("BucketHeader (not attached)");
}

// --- reader -------------------------------------------------------------------
// Contract: relies on B1 (the count is published by one release store,
// after the words it makes addressable), B2 (every bucket below a count
// seen is in the file, which never gets shorter) and B4 (a re-format
// changes the fenix id). Maps read-only and writes nothing. One thread
// per reader object.

BucketReaderBase::BucketReaderBase(Quiv::DebugHandler* handler, Mem::RootPath const& root)
    : handler_(handler), region_(root, BucketWriterBase::FILENAME, Mem::SharedMemWrapper::Mode::readOnly) {}

bool BucketReaderBase::attach() {
  detach();
  U64 have = region_.fileSize();
  if (have < BucketHeader::SIZE) return false;
  header_ = static_cast<BucketHeader const*>(region_.attach(BucketHeader::SIZE));
  mappedBuckets_ = 0;
  return header_ != nullptr;
}

bool BucketReaderBase::validate(U32 fenixId, Quiv::String& error) const {
  if (!header_) {
    error = "bucket file not attached";
    return false;
  }
  return header_->validate(region_.fileSize(), fenixId, error);
}

bool BucketReaderBase::doResize() {
  if (!header_) return false;
  // B1: the count half of the resize word; acquire, pairs with the
  // writer's release store of the word (growBuckets, shrinkBuckets): the
  // upper half's words of a doubled count are filled (B5) before the
  // walks read them through the new mapping.
  U32 n = Mem::load32(&header_->numBuckets);
  if (n == mappedBuckets_) return false;
  if (n == 0 || (n & (n - 1)) != 0 || n > BucketHeader::MAX_BUCKETS)
    fmthrow(Quiv::CorruptionDetectedException, "bad numBuckets:{} in bucket file", n);
  // Map at least what the file holds for both the old and the new count,
  // so that words of a concurrent resize stay addressable.
  U64 want = BucketHeader::fileSizeFor(n);
  U64 have = region_.fileSize();
  if (want > have)
    fmthrow(Quiv::CorruptionDetectedException, "bucket file holds {} bytes, {} buckets need {}", have, n, want);
  header_ = static_cast<BucketHeader const*>(region_.resize(want));
  fmtrace(handler_, 2, "buckets from {} to {}", mappedBuckets_, n);
  mappedBuckets_ = n;
  return true;
}

void BucketReaderBase::detach() {
  region_.detach();
  header_ = nullptr;
  mappedBuckets_ = 0;
}

std::string BucketReaderBase::toString() const {
  return header_ ? header_->toString() : std::string("BucketHeader (not attached)");
}

}  // namespace ZolmCore
