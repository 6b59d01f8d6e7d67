#include "Zolm/ZolmReader.h"

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
  SharedMem::FenixFile fenix(rootPath_);
  fenixId_ = fenix.read();
  std::time_t mtime = fenix.mtime();
  auto fail = [&](char const* what, Quiv::String const* error) {
    fmtrace(handler_, 0, "{}", what);
    fmtracestr(handler_, 0, dumpHeaders());
    if (error) Util::writeCorruptionFile(handler_, rootPath_, *error);
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

void ZolmReaderBase::afterCorruption() {
  bool changed;
  try {
    changed = remapFiles();
  } catch (Quiv::CorruptionDetectedException const&) {
    ++counters_.corruptions;
    throw;
  }
  if (!changed) {
    ++counters_.corruptions;
    throw;  // the exception being handled by the caller
  }
  ++counters_.retries;
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
