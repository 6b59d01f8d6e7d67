#include "VexaSwitchLib/runtime/Entity.h"

#include <cxxabi.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "VexaSwitchLib/runtime/Exception.h"

namespace Kel {

Entity::~Entity() = default;

Quiv::String Entity::fullName() const {
  if (!parent_) return name_;
  return fmt::format("{}/{}", parent_->fullName(), name_);
}

void Entity::handleZeroRef() {
  // Forgotten before it is asked, so that a second drop to zero (after a
  // hand-over) destroys the entity.
  Ptr<ZeroReferencesNotifiee> z = std::move(zeroReferences_);
  if (z) {
    z->onZeroReferences();
    z = nullptr;
    if (references() > 0) return;  // handed over
  }
  onZeroReferences();
  delete this;
}

Directory::~Directory() {
  // The children outlive their parent only as orphans.
  std::vector<Ptr<Entity>> children = std::move(children_);
  for (auto const& c : children) {
    c->parent_ = nullptr;
    c->handleParent(nullptr);
  }
}

void Directory::entityIs(Ptr<Entity> const& child) {
  if (!child) fmthrow(Quiv::InvalidInitializeException, "{}: cannot place a null entity", fullName());
  if (entity(child->nameString()))
    fmthrow(Quiv::InvalidInitializeException, "{}: an entity named {} is already here", fullName(), child->nameString());
  if (child->parent_)
    fmthrow(Quiv::InvalidInitializeException, "{}: {} already has a parent", fullName(), child->fullName());
  child->parent_ = this;
  children_.push_back(child);
  try {
    child->handleParent(Ptr<Entity>(this));
  } catch (...) {
    child->parent_ = nullptr;
    children_.pop_back();
    throw;
  }
}

bool Directory::entityDel(std::string_view name) {
  for (auto it = children_.begin(); it != children_.end(); ++it) {
    if ((*it)->nameString().view() != name) continue;
    Ptr<Entity> c = *it;  // alive until it has been told
    children_.erase(it);
    c->parent_ = nullptr;
    c->handleParent(nullptr);
    return true;
  }
  return false;
}

Ptr<Entity> Directory::entity(std::string_view name) const {
  for (auto const& c : children_)
    if (c->nameString().view() == name) return c;
  return nullptr;
}

namespace {
struct Tracked {
  std::mutex mutex;
  std::map<std::string, U64, std::less<>> live;
};
// Never destroyed: an entity held in an object with static storage is freed
// at exit, possibly after a registry with static storage would have gone.
Tracked& tracked() {
  static Tracked* t = new Tracked;
  return *t;
}
}  // namespace

void AllocTrackTypeInfo::_trackAllocation(std::type_info const& type, std::size_t) {
  Tracked& t = tracked();
  std::lock_guard lock(t.mutex);
  ++t.live[type.name()];
}

void AllocTrackTypeInfo::trackDeallocation(std::type_info const& type, std::size_t) {
  Tracked& t = tracked();
  std::lock_guard lock(t.mutex);
  auto it = t.live.find(type.name());
  if (it != t.live.end() && it->second > 0) --it->second;
}

U64 AllocTrackTypeInfo::live(std::type_info const& type) {
  Tracked& t = tracked();
  std::lock_guard lock(t.mutex);
  auto it = t.live.find(type.name());
  return it == t.live.end() ? 0 : it->second;
}

std::string demangle(std::type_info const& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> d(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && d ? std::string(d.get()) : std::string(type.name());
}

}  // namespace Kel
