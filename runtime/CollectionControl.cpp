#include "VexaSwitchLib/runtime/CollectionControl.h"

#include <algorithm>

#include "VexaSwitchLib/runtime/Exception.h"

namespace KelSharedMem {

CollectionControl::CollectionControl(ControlBase* base, Quiv::String name) : Entity(std::move(name)), base_(base) {
  hasNotificationActiveIs(true);
}

CollectionControl::~CollectionControl() {
  // The collection held here may go with us: it must not reach back into
  // a control that is being destroyed.
  dying_ = true;
  base_ = nullptr;
  entityRef_ = nullptr;
}

void CollectionControl::mountStatusIs(Mem::MountStatus s) {
  if (s == mountStatus_) return;
  mountStatus_ = s;
  notify(MOUNT_STATUS);
}

void CollectionControl::quiescedSet(bool q) {
  if (q == quiesced_) return;
  quiesced_ = q;
  notify(QUIESCED);
}

void CollectionControl::entityRefIs(Kel::Ptr<Kel::Entity> e) {
  Kel::Ptr<Kel::Entity> old = std::move(entityRef_);
  entityRef_ = std::move(e);
  // `old` goes last: its destruction may clear our base.
}

Mounter::~Mounter() {
  std::vector<Kel::Ptr<CollectionControl>> held = std::move(held_);
  for (auto const& c : held)
    if (ControlBase* b = c->controlBase()) b->controlDetach(false);
}

bool Mounter::holds(CollectionControl const* control) const {
  return std::any_of(held_.begin(), held_.end(), [&](auto const& c) { return c.ptr() == control; });
}

void Mounter::mount(Kel::Ptr<CollectionControl> const& control, Mem::CollectionDescriptor const& d,
                    std::string_view tableName) {
  if (!control || !control->controlBase())
    fmthrow(Quiv::InvalidInitializeException, "cannot mount {}: the control has no collection", tableName);
  ControlBase& base = *control->controlBase();
  std::string had = base.controlTableName();
  if (holds(control.ptr()) && had != tableName)
    fmthrow(Quiv::InvalidInitializeException, "cannot mount {}: the control is mounted as {}", tableName, had);
  base.controlInit(d, tableName, loop_);
  if (!holds(control.ptr())) held_.push_back(control);
}

bool Mounter::unmount(Kel::Ptr<CollectionControl> const& control, bool cleanup) {
  auto it = std::find(held_.begin(), held_.end(), control);
  if (it == held_.end()) return false;
  Kel::Ptr<CollectionControl> c = std::move(*it);
  held_.erase(it);
  if (ControlBase* b = c->controlBase()) b->controlDetach(cleanup);
  return true;  // `c` goes last, and with it a collection it held
}

}  // namespace KelSharedMem
