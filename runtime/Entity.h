#pragma once
// Framework entities: named, reference-counted objects whose observers
// (notifiees) are told synchronously of every real change.
//
// An observer implements Kel::Notifiee: onAttr(id) for a scalar attribute,
// onAttr(id, key) for an entry of a keyed collection. The notifiee list
// holds non-owning pointers; an observer removes itself before it dies.
// Delivery is safe against an observer that removes itself (or another)
// while being called: the list is walked over a snapshot, and removed
// members are skipped.
#include <algorithm>
#include <any>
#include <vector>

#include "VexaSwitchLib/runtime/Ptr.h"
#include "VexaSwitchLib/runtime/QuivString.h"
#include "VexaSwitchLib/runtime/Types.h"

namespace Kel {

class Notifiee {
 public:
  virtual ~Notifiee() = default;
  virtual void onAttr(U32 attrId) { (void)attrId; }
  // `key` holds the changed entry's key (its type is the collection's).
  virtual void onAttr(U32 attrId, std::any const& key) { (void)attrId; (void)key; }
};

class NotifieeList {
 public:
  void newMember(Notifiee* n) {
    if (std::find(members_.begin(), members_.end(), n) == members_.end()) members_.push_back(n);
  }
  void deleteMember(Notifiee* n) {
    auto it = std::find(members_.begin(), members_.end(), n);
    if (it != members_.end()) *it = nullptr;  // compacted after delivery
    compact();
  }
  void deleteAll() {
    std::fill(members_.begin(), members_.end(), nullptr);
    compact();
  }
  bool empty() const {
    return std::none_of(members_.begin(), members_.end(), [](Notifiee* n) { return n != nullptr; });
  }
  std::size_t size() const {
    return static_cast<std::size_t>(std::count_if(members_.begin(), members_.end(), [](Notifiee* n) { return n; }));
  }
  void visit(U32 attrId) {
    deliver([&](Notifiee* n) { n->onAttr(attrId); });
  }
  template <class K>
  void visit(U32 attrId, K const& key) {
    std::any boxed(key);
    deliver([&](Notifiee* n) { n->onAttr(attrId, boxed); });
  }

 private:
  template <class F>
  void deliver(F&& f) {
    ++depth_;
    // Index loop: members added during delivery are not called this time,
    // members removed (nulled) are skipped.
    std::size_t n = members_.size();
    for (std::size_t i = 0; i < n && i < members_.size(); ++i)
      if (Notifiee* m = members_[i]) f(m);
    --depth_;
    compact();
  }
  void compact() {
    if (depth_ == 0) members_.erase(std::remove(members_.begin(), members_.end(), nullptr), members_.end());
  }
  std::vector<Notifiee*> members_;
  int depth_ = 0;
};

class Entity : public PtrInterface {
 public:
  explicit Entity(Quiv::String name = {}) : name_(std::move(name)) {}
  Quiv::String const& nameString() const { return name_; }
  bool hasNotificationActive() const { return notificationActive_; }
  void hasNotificationActiveIs(bool b) { notificationActive_ = b; }
  NotifieeList& notifiees() { return notifiees_; }

 protected:
  // Tells observers, when notification is active.
  void notify(U32 attrId) {
    if (notificationActive_) notifiees_.visit(attrId);
  }
  template <class K>
  void notify(U32 attrId, K const& key) {
    if (notificationActive_) notifiees_.visit(attrId, key);
  }

 private:
  Quiv::String name_;
  bool notificationActive_ = false;
  NotifieeList notifiees_;
};

}  // namespace Kel
