#include "VexaSwitchLib/KelZolm/KelZolmMap.h"

namespace KelZolm {

void KelZolmMapBase::bind(std::string_view attrName, Kel::Entity const* owner) {
  fmassert(owner != nullptr, "KelZolmMap", "{}: a collection map needs its owner", attrName);
  owner_ = owner;
  attrName_ = std::string(attrName);
  debug_ = Quiv::Platform::getDebugHandler("ZolmTemp");
  kelTrace_ = fmt::format("{}/{}", owner_->nameString(), attrName_);
}

KelZolmMapBase::ParentChange KelZolmMapBase::parentChanged() {
  std::string old = kelTrace_;
  bool hasParent = owner_->parent() != nullptr;
  kelTrace_ = fmt::format("{}/{}", hasParent ? owner_->fullName() : owner_->nameString(), attrName_);
  if (!hasParent) {
    fmtrace(debug_, 5, "{} is now an orphan", kelTrace_);
    return ParentChange::orphaned;
  }
  // Never cleared: a collection is placed once in its life.
  if (parentSeen_) fmthrow(Quiv::InvalidInitializeException, "Entity {} already initialized", owner_->nameString());
  parentSeen_ = true;
  fmtrace(debug_, 5, "old:{} new:{}", old, kelTrace_);
  return ParentChange::placed;
}

void KelZolmMapBase::checkTableName(bool initialized, std::string const& mounted, std::string_view wanted) const {
  if (wanted.empty()) fmthrow(Quiv::InvalidInitializeException, "{}: cannot mount without a table name", kelTrace_);
  if (initialized && mounted != wanted)
    fmthrow(Quiv::InvalidInitializeException, "{}: cannot mount {}, mounted as {}", kelTrace_, wanted, mounted);
}

void KelZolmMapBase::corruptionIn(Zolm::ZolmMapBase& map, char const* site, Quiv::String const& message) {
  map.doCorruptionDetected(message);
  // doCorruptionDetected does not return; if it ever did, nothing after
  // this point could be trusted.
  Quiv::assertionFailed("in no man's land", site, __FILE__, __LINE__, "in no man's land");
}

void KelZolmMapBase::traceDeleting() const { fmtrace(debug_, 2, "{} deleting state", kelTrace_); }

void KelZolmMapBase::traceValidateFiles() const { fmtrace(debug_, 5, "delegating to ZolmMap::validateFiles"); }

void KelZolmMapBase::traceMountStatus(Mem::RootPath const& root) const {
  fmtrace(debug_, 5, "{} mountStatus {}", kelTrace_, root.dirName());
}

}  // namespace KelZolm
