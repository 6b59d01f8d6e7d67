#include "VexaSwitchLib/Zolm/ZolmMap.h"

#include <cstdlib>

#include "VexaSwitchLib/runtime/Pokt.h"

namespace Zolm {

// --- MapDescriptor ----------------------------------------------------------------

namespace {
std::string typeText(ZolmType t) {
  return U32(t) <= U32(ZolmType::keyshadow) ? std::string(toString(t)) : std::to_string(U32(t));
}
}  // namespace

std::string MapDescriptor::toString() const {
  return fmt::format(
      "MapDescriptor(size:{} type:{} local:{} fixedSize:{} shrinkSlots:{} shrinkBuckets:{} nimbrOption:{} "
      "asyncExempt:{} heapAllocation:{} memoryTracking:{} cleanup:{} criticalTaskCheck:{} prevValue:{} coreDump:{})",
      size, typeText(type), local, fixedSize, shrinkSlots, shrinkBuckets, nimbrOption, asyncExempt, heapAllocation,
      memoryTracking, cleanup, criticalTaskCheck, prevValue, coreDump);
}

WriterConfig MapDescriptor::writerConfig() const {
  WriterConfig c;
  c.local = local;
  c.maxSlots = size;
  c.fixedSize = fixedSize;
  c.shrinkSlots = shrinkSlots;
  c.shrinkBuckets = shrinkBuckets;
  c.criticalTaskCheck = criticalTaskCheck;
  c.memory.heap = local && heapAllocation;
  c.memory.coreDump = coreDump;
  c.memory.track = memoryTracking;
  return c;
}

// --- placeholders -------------------------------------------------------------------

PlaceholderBase::PlaceholderBase(Quiv::DebugHandler* handler, std::string_view name, std::string replaced)
    : handler_(handler), root_(handler, name), name_(name), replaced_(std::move(replaced)) {}

void PlaceholderBase::traced(std::string_view what) const {
  fmtrace(handler_, 5, "{} {} (placeholder for {})", name_, what, replaced_);
}

void PlaceholderBase::strictInvoked(char const* what) const {
  Quiv::assertionFailed(what, "ZolmStrictDummy", __FILE__, __LINE__,
                        fmt::format("invoked, name:{} rootpath:{}{}", name_, root_.dirName(), ORPHAN_SUFFIX));
}

void PlaceholderBase::strictInvokedKey(char const* what, std::string const& key) const {
  Quiv::assertionFailed(what, "ZolmStrictDummy", __FILE__, __LINE__,
                        fmt::format("invoked, name:{} rootpath:{} key:{}{}", name_, root_.dirName(), key, ORPHAN_SUFFIX));
}

void PlaceholderBase::strictInitialize(std::string_view event) const {
  Quiv::assertionFailed("initialize", "ZolmStrictDummy", __FILE__, __LINE__,
                        fmt::format("{} rootPath:{} event:{}{}", name_, root_.dirName(), event, ORPHAN_SUFFIX));
}

// --- ZolmMapBase --------------------------------------------------------------------

namespace {
std::string traceNameOf(std::string_view name) { return fmt::format("Zolm:{}", name); }
}  // namespace

ZolmMapBase::ZolmMapBase(std::string_view name, Quiv::EventLoop* loop)
    : handler_(Quiv::Platform::getDebugHandler(traceNameOf(name))),
      name_(name),
      traceName_(traceNameOf(name)),
      loop_(loop),
      rootPath_(handler_, name) {}

ZolmMapBase::~ZolmMapBase() = default;

std::string_view ZolmMapBase::toString(Form f) {
  switch (f) {
    case Form::placeholder: return "placeholder";
    case Form::tmp: return "tmp";
    case Form::writer: return "writer";
    case Form::reader: return "reader";
    case Form::shadow: return "shadow";
  }
  return "unknown";
}

void ZolmMapBase::doCorruptionDetected(Quiv::String const& message) {
  ++corruptions_;
  fmtrace(handler_, 0, "corruption detected in {}: {}", rootPath_.dirName(), message);
  if (corruptionHandler_) corruptionHandler_(*this, message);
  // The default, and a handler that returned. Only the writer leaves the
  // marker: readers write nothing into a table.
  if (form_ == Form::writer && !desc_.local) markCorruptionDetected(rootPath_, message);
  Quiv::assertionFailed("corruption detected", "ZolmMap", __FILE__, __LINE__,
                        fmt::format("{} ({}): {}", name_, rootPath_.dirName(), message));
}

std::string ZolmMapBase::owner() const {
  try {
    SharedMem::ShocketInfo info = SharedMem::OwnerFile(rootPath_).shocketInfo();
    bool alive = Mem::WriterLock::ownerIsAlive(rootPath_);
    return fmt::format("{}:{}", Pokt::showSocketName(std::string(info.name.c_str(), info.name.size())), alive);
  } catch (Quiv::CorruptionDetectedException const& e) {
    fmtrace(handler_, 0, "corruption detected: {}", e.msg());
    return {};
  }
}

MapDescriptor const& ZolmMapBase::checkDescriptor(Mem::CollectionDescriptor const& d) const {
  auto const* md = dynamic_cast<MapDescriptor const*>(&d);
  if (!md) fmthrow(Kel::TypeException, "{}: not a Zolm::MapDescriptor: {}", name_, d.toString());
  return *md;
}

bool ZolmMapBase::alreadyInitialized(MapDescriptor const& d) const {
  if (!initialized_) return false;
  if (d == desc_) {
    fmtrace(handler_, 1, "name:{} already initialized, new {}", name_, d.toString());
    return true;
  }
  fmthrow(Quiv::InvalidInitializeException, "name:{} already initialized, old {}, new {}", name_, desc_.toString(),
          d.toString());
}

void ZolmMapBase::checkOptions(MapDescriptor const& d) const {
  fmtrace(handler_, 1, "name:{} {}", name_, d.toString());
  if (d.heapAllocation && !d.local)
    fmthrow(Quiv::InvalidInitializeException,
            "cannot initialize collection {} heap allocation in non-local mode not allowed", name_);
  if (d.type == ZolmType::writer && d.size == 0)
    fmthrow(Quiv::InvalidInitializeException, "0 is not a valid initialization size for collection {} in writer mode",
            name_);
}

void ZolmMapBase::adopt(MapDescriptor const& d, bool dynamicValues) {
  desc_ = d;
  traceName_ = traceNameOf(name_);
  handler_ = Quiv::Platform::getDebugHandler(traceName_);
  // The root as this process has it now (a test or tool may have moved it
  // since the map was made).
  rootPath_ = Mem::RootPath(handler_, name_);
  fmassert(!readerSentry_ && !writerSentry_, "ZolmMap", "Zolm mounter should not exist");
  fmassert(!d.prevValue, "ZolmMap",
           "prevValue mount-time option enabled without specifying `captureNotifyValues property");
  if (!d.readerType()) return;
  fmassert(U32(d.type) <= U32(ZolmType::keyshadow), "ZolmMap", "not a valid reader type:{}", U32(d.type));
  // A copy of every value would have to follow slab moves that change no
  // value and notify nothing; slab-stored values are read where they are.
  if (dynamicValues && d.type == ZolmType::shadow)
    fmthrow(Quiv::InvalidInitializeException,
            "{} mounted in 'shadow' mode not supported: only 'keyshadow' and 'reader' are currently supported for "
            "dynamic values",
            name_);
  fmassert(loop_ != nullptr, "ZolmMap", "{} mounted as {} needs an event loop", name_, typeText(d.type));
}

namespace {
// In a build environment (Z9_CHROOT set) a table is mounted even where the
// kernel refuses to watch its directory: nothing there would re-mount it.
template <class F>
void startWatcher(Quiv::DebugHandler* handler, std::string const& name, F&& start) {
  try {
    start();
  } catch (Quiv::Exception const& e) {
    if (!std::getenv("Z9_CHROOT")) throw;
    fmtrace(handler, 0, "{}: mount watcher not started (Z9_CHROOT set): {}", name, e.msg());
  }
}
}  // namespace

// The sentry is in place while it starts (its first look may attach, and
// a failed attach leaves it retrying); one that could not start is
// dropped, so that a later init makes a new one.
void ZolmMapBase::startReaderSentry() {
  readerSentry_ = std::make_unique<Mem::ReaderSentry>(*loop_, rootPath_, this, handler_);
  try {
    startWatcher(handler_, name_, [&] { readerSentry_->start(); });
  } catch (...) {
    readerSentry_.reset();
    throw;
  }
}

void ZolmMapBase::startWriterSentry() {
  if (!loop_) return;  // a writer without a loop is not watched
  writerSentry_ = std::make_unique<Mem::WriterSentry>(*loop_, rootPath_, this, handler_);
  try {
    startWatcher(handler_, name_, [&] { writerSentry_->start(); });
  } catch (...) {
    writerSentry_.reset();
    throw;
  }
}

void ZolmMapBase::stopSentries() {
  readerSentry_.reset();
  writerSentry_.reset();
}

}  // namespace Zolm
