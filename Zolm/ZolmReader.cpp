#include "VexaSwitchLib/Zolm/ZolmReader.h"

#include <sched.h>

#include "VexaSwitchLib/Zolm/ZolmWriter.h"

namespace Zolm {

ZolmReaderBase::ZolmReaderBase(Quiv::DebugHandler* handler, std::string_view tablePath, KeyOps const& keyOps,
                               Reader::Counters* counters)
    : handler_(handler),
      rootPath_(handler, tablePath),
      name_(tablePath),
      keyOps_(keyOps),
      ownCounters_(counters ? nullptr : new Reader::Counters{}),
      counters_(counters ? *counters : *ownCounters_),
      buckets_(handler, rootPath_) {}

ZolmReaderBase::~ZolmReaderBase() { delete ownCounters_; }

bool ZolmReaderBase::initializeReader(std::string_view event) {
  if (!Mem::Atomics::checkCpuSupport()) fmthrow(Quiv::InvalidInitializeException, "Hardware does not support Atomics");
  if (formInitialized()) return true;
  if (!buckets_.attach()) {
    fmtrace(handler_, 0, "failed to attach to buckets");
    lastError_ = fmt::format("failed to attach to buckets in {}", rootPath_.dirName());
    return false;
  }
  if (!slots_->attach()) {
    fmtrace(handler_, 0, "failed to attach to slots");
    lastError_ = fmt::format("failed to attach to slots in {}", rootPath_.dirName());
    buckets_.detach();
    return false;
  }
  // W7: the writer writes the fenix file (a rename) after every file is
  // laid out. It is read here with read(2), and the kernel orders the two
  // calls, so every check below, made after this read, sees the files as
  // laid out under the id read (or under a later one, which fails them).
  SharedMem::FenixFile fenix(rootPath_);
  fenixId_ = fenix.read();
  std::time_t mtime = fenix.mtime();
  // Refused: said in the trace and lastError(), nothing written.
  auto fail = [&](char const* what, Quiv::String const* error) {
    fmtrace(handler_, 0, "{}", what);
    fmtracestr(handler_, 0, dumpHeaders());
    lastError_ = error ? fmt::format("{}: {}", what, *error) : Quiv::String(what);
    slots_->detach();
    buckets_.detach();
    return false;
  };
  if (fenixId_.isNull()) return fail("failed to read fenix file", nullptr);
  Quiv::String error;
  if (!buckets_.validate(fenixId_.value(), error)) return fail("failed to validate buckets", &error);
  SlotHeaderCommon h = slots_->snapshot();
  if (!SlotTable::validateHeader(handler_, h, slots_->fileSize(), fenixId_.value(), keyOps_.slotSize,
                                 keyOps_.valueSize, keyOps_.typeName, error))
    return fail("failed to validate slots", &error);
  // The seed of the header just validated, not of attach()'s copy, which
  // was taken before the fenix file was read and may be of a format then
  // under way: lookups hashed with it would miss keys that are there.
  slots_->seedFrom(h);
  map_->reset();
  // Map the slots and buckets now rather than at the first read, so that
  // capacity() and buckets() mean something from the start.
  try {
    remapFiles();
  } catch (Quiv::CorruptionDetectedException const& e) {
    Quiv::String msg = e.msg();
    return fail("failed to map the table", &msg);
  }
  formInitializedIs(true);
  long delay = mtime ? long(std::time(nullptr) - mtime) : 0;
  fmtrace(handler_, 1, "success {} capacity:{} fenixId:{} mtime:{} delay:{} event:{}", rootPath_.dirName(),
          slotCapacity(), fenixId_, mtime, delay, event);
  return true;
}

void ZolmReaderBase::detachReader() {
  if (!formInitialized()) {
    fmtrace(handler_, 5, "already detached");
    return;
  }
  buckets_.detach();
  map_->reset();
  fmtrace(handler_, 5, "delegating to SlotTable::detach()");
  slots_->detach();
  formInitializedIs(false);
  fmtrace(handler_, 1, "{} detached", rootPath_.dirName());
}

bool ZolmReaderBase::again(ZolmCore::ReadResult r, U32& stalls) {
  bool resized;
  try {
    resized = remapFiles();
  } catch (Quiv::CorruptionDetectedException const&) {
    ++counters_.corruptions;  // a header the files cannot hold
    throw;
  }
  if (ZolmCore::answered(r)) {
    if (!resized) return false;
    stalls = 0;
  } else if (resized) {
    stalls = 0;
  } else {
    ++stalls;
    fmtrace(handler_, 5, "failed check with nothing resized ({} in a row): {}", stalls,
            r == ZolmCore::ReadResult::corrupt ? map_->reason() : std::string("retry"));
    if (stalls > MAX_STALLS) {
      ++counters_.corruptions;
      if (r == ZolmCore::ReadResult::corrupt)
        fmthrow(Quiv::CorruptionDetectedException, "{}", map_->reason());
      fmthrow(Quiv::CorruptionDetectedException, "reads failed {} times with nothing resized", stalls);
    }
    ++counters_.stalls;
    // A writer caught in the middle of a change may complete it meanwhile.
    ::sched_yield();
  }
  ++counters_.retries;
  return true;
}

void ZolmReaderBase::notAttached() const {
  fmthrow(Quiv::InvalidInitializeException, "Zolm reader {} is not attached", name_);
}

bool ZolmReaderBase::checkFiles() {
  if (!formInitialized()) {
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
  if (!SlotTable::validateHeader(handler_, slots_->snapshot(), slots_->fileSize(), fenixId_.value(), keyOps_.slotSize,
                                 keyOps_.valueSize, keyOps_.typeName, error)) {
    lastError_ = error;
    return false;
  }
  return true;
}

bool ZolmReaderBase::markCorruption(std::string_view report) const {
  fmtrace(handler_, 1, "writing {} in {}: {}", CORRUPTION_MARKER, rootPath_.dirName(), report);
  return markCorruptionDetected(rootPath_, report);
}

std::string ZolmReaderBase::dumpHeaders() const {
  return fmt::format("Zolm table \"{}\"\n\n\n{}\n\n{}\n\n", rootPath_.dirName(), slots_->headerString(),
                     buckets_.toString());
}

Reader::Counters ZolmReaderBase::countersNow() const {
  counters_.capacity = slots_->capacity();
  counters_.buckets = map_->numBuckets();
  return counters_;
}

}  // namespace Zolm
