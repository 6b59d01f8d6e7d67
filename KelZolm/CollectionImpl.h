#pragma once
// The out-of-line half of KelZolm::Collection: included by the units that
// instantiate collection classes (once each, VEXA_KELZOLM_INSTANTIATE), so
// that users of a collection's header compile none of it.
#include "VexaSwitchLib/KelZolm/KelZolmMap.h"

namespace KelZolm {

// Construction in this order: entity, map (unattached), counters, the
// zero-references notifiee, the control over the map, then the map bound
// to its owner with the owner's private local table.
template <class D, class Z, class O, U16 I, Attr A>
Collection<D, Z, O, I, A>::Collection(Quiv::String const& name)
    : Entity(name),
      isCounter_(&Quiv::opCounter(fmt::format("{}Is", ATTR_WORD))),
      delCounter_(&Quiv::opCounter(fmt::format("{}Del", ATTR_WORD))),
      notifyCounter_(&Quiv::opCounter(fmt::format("{}Notify", ATTR_WORD))),
      map_(name.view()) {
  Kel::Ptr<Z> zero(new Z(static_cast<D*>(this)));
  zero->hasNotificationActiveIs(true);
  zeroReferencesNotifieeIs(zero);
  Kel::NotifieeList::newMember(notifiees(), this, zero.ptr(), false);
  entryControl_ = Kel::Ptr<CollectionControl>(new CollectionControl(&map_));
  control_ = entryControl_.ptr();
  control_->hasNotificationActiveIs(true);
  map_.entity(Quiv::String(ATTR_WORD), this, ATTR_COLLECTION, &Collection::entryNotify,
              &Collection::entryNotifyMountStatus, &Collection::entryNotifyQuiesced);
  hasNotificationActiveIs(true);
}

// Destruction: observers, the control, the map (it detaches), the
// zero-references notifiee, the entity.
template <class D, class Z, class O, U16 I, Attr A>
Collection<D, Z, O, I, A>::~Collection() {
  notifiees().deleteAll();
  // A control that outlives us must not reach into the map below.
  for (CollectionControl* c : {entryControl_.ptr(), handedTo_})
    if (c && !c->dying() && c->controlBase() == &map_) c->controlBaseIs(nullptr);
  entryControl_ = nullptr;
}

template <class D, class Z, class O, U16 I, Attr A>
void Collection<D, Z, O, I, A>::entryIs(Value const& value) {
  isCounter_->inc();
  Key key = Wrap::fwkKey(value);
  map_.safeWrite(value);
  notifiees().visit(ATTR_COLLECTION, key);
  notifyCounter_->inc();
}

template <class D, class Z, class O, U16 I, Attr A>
void Collection<D, Z, O, I, A>::entryCommit(Value const* value) {
  isCounter_->inc();
  Key key = Wrap::fwkKey(*value);
  map_.directCommitted();
  notifiees().visit(ATTR_COLLECTION, key);
  notifyCounter_->inc();
}

template <class D, class Z, class O, U16 I, Attr A>
typename Collection<D, Z, O, I, A>::Value Collection<D, Z, O, I, A>::entryDel(Key const& key) {
  delCounter_->inc();
  Value scratch;
  if (!map_.safeRemove(key, scratch)) return Ops::defaultValue();
  notifiees().visit(ATTR_COLLECTION, key);
  notifyCounter_->inc();
  return scratch;
}

template <class D, class Z, class O, U16 I, Attr A>
void Collection<D, Z, O, I, A>::entryDelAll() {
  Value v;
  Zolm::IterHint hint;
  try {
    for (bool more = map_.impl().first(v, hint); more;) {
      Key key = Wrap::fwkKey(v);
      entryDel(key);
      // From the key just removed: the entry after where it was.
      hint = Zolm::IterHint{};
      more = map_.impl().next(key, v, hint);
    }
  } catch (Quiv::CorruptionDetectedException const& e) {
    Map::corruptionIn(map_, "entryDelAll", e.msg());
  }
}

template <class D, class Z, class O, U16 I, Attr A>
void Collection<D, Z, O, I, A>::entryNotifyMountStatus() {
  Mem::RootPath const& root = map_.currentRoot();
  map_.traceMountStatus(root);
  if (control_) control_->mountStatusIs(map_.impl().mountStatus());
}

template <class D, class Z, class O, U16 I, Attr A>
void Collection<D, Z, O, I, A>::entryControlIs(Kel::Ptr<CollectionControl> const& control) {
  if (control == entryControl_) return;
  Kel::Ptr<CollectionControl> old = std::move(entryControl_);
  entryControl_ = control;
  control_ = control.ptr();
  old = nullptr;
  notifiees().visit(ATTR_CONTROL);
}

// The last reference went. While someone else (a mounter) holds the
// control, the collection hands itself to it: the control keeps it, and
// it lets its own reference to the control go (no cycle). Otherwise the
// collection simply goes.
template <class D, class Z, class O, U16 I, Attr A>
void Collection<D, Z, O, I, A>::zeroReferences(Kel::ZeroReferencesNotifiee* self) {
  notifiees().deleteMember(self);
  if (!entryControl_ || entryControl_->references() <= 1) return;
  handedTo_ = entryControl_.ptr();
  handedTo_->entityRefIs(Kel::Ptr<Kel::Entity>(this));
  entryControl_ = nullptr;
}

template <class D, class Z, class O, U16 I, Attr A>
void* Collection<D, Z, O, I, A>::operator new(std::size_t size) {
  Kel::AllocTrackTypeInfo::_trackAllocation(typeid(D), size);
  return ::operator new(size);
}

template <class D, class Z, class O, U16 I, Attr A>
void Collection<D, Z, O, I, A>::operator delete(void* p, std::size_t size) {
  Kel::AllocTrackTypeInfo::trackDeallocation(typeid(D), size);
  ::operator delete(p, size);
}

}  // namespace KelZolm
