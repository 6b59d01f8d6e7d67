#pragma once
// Framework entities: named, reference-counted objects whose observers
// (notifiees) are told synchronously of every real change, placed in a
// tree (a Directory holds its children by name; a child knows its parent
// and its full name, "agent/l2/mac", and is told of a new parent through
// handleParent).
//
// The last reference of an entity may not be its end: its
// zero-references notifiee, asked once, may hand it to another owner.
//
// An observer implements Kel::Notifiee: onAttr(id) for a scalar attribute,
// onAttr(id, key) for an entry of a keyed collection. The notifiee list
// holds non-owning pointers; an observer removes itself before it dies.
// Delivery is safe against an observer that removes itself (or another)
// while being called: the list is walked over a snapshot, and removed
// members are skipped.
#include <algorithm>
#include <any>
#include <string>
#include <string_view>
#include <typeinfo>
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
  void newMember(Notifiee* n) { add(n, true); }
  // Registration as an entity does it for one of its own members:
  // newMember(list, owner, notifiee, observes). A member that does not
  // observe (the zero-references notifiee) is kept on the list, so that it
  // can be found and removed with the others, but told nothing; a list
  // without observers delivers nothing and boxes no key.
  static void newMember(NotifieeList& list, void const* owner, Notifiee* n, bool observes) {
    (void)owner;
    list.add(n, observes);
  }
  void deleteMember(Notifiee* n) {
    for (Member& m : members_)
      if (m.n == n) {
        if (m.observes) --observers_;
        m = Member{};  // compacted after delivery
      }
    compact();
  }
  void deleteAll() {
    std::fill(members_.begin(), members_.end(), Member{});
    observers_ = 0;
    compact();
  }
  bool empty() const { return size() == 0; }
  std::size_t size() const {
    return static_cast<std::size_t>(std::count_if(members_.begin(), members_.end(), [](Member m) { return m.n; }));
  }
  bool has(Notifiee const* n) const {
    return std::any_of(members_.begin(), members_.end(), [&](Member m) { return m.n == n; });
  }
  // Members that are told of attributes.
  std::size_t observers() const { return observers_; }
  void visit(U32 attrId) {
    if (observers_ == 0) return;
    deliver([&](Notifiee* n) { n->onAttr(attrId); });
  }
  template <class K>
  void visit(U32 attrId, K const& key) {
    if (observers_ == 0) return;
    std::any boxed(key);
    deliver([&](Notifiee* n) { n->onAttr(attrId, boxed); });
  }

 private:
  struct Member {
    Notifiee* n = nullptr;
    bool observes = false;
  };
  void add(Notifiee* n, bool observes) {
    if (has(n)) return;
    members_.push_back({n, observes});
    if (observes) ++observers_;
  }
  template <class F>
  void deliver(F&& f) {
    ++depth_;
    // Index loop: members added during delivery are not called this time,
    // members removed (nulled) are skipped.
    std::size_t n = members_.size();
    for (std::size_t i = 0; i < n && i < members_.size(); ++i)
      if (Member m = members_[i]; m.n && m.observes) f(m.n);
    --depth_;
    compact();
  }
  void compact() {
    if (depth_ == 0)
      members_.erase(std::remove_if(members_.begin(), members_.end(), [](Member m) { return !m.n; }), members_.end());
  }
  std::vector<Member> members_;
  std::size_t observers_ = 0;
  int depth_ = 0;
};

class Entity;

// Told when the last reference of its entity goes. It may keep the entity
// alive by handing a reference to another owner (a mounted collection hands
// one to its control); then the entity lives on, and is destroyed when that
// owner lets it go. Each notifiee is asked once: the entity forgets it
// before asking.
class ZeroReferencesNotifiee : public PtrInterface, public Notifiee {
 public:
  virtual void onZeroReferences() = 0;
  bool hasNotificationActive() const { return active_; }
  void hasNotificationActiveIs(bool b) { active_ = b; }

 private:
  bool active_ = false;
};

class Entity : public PtrInterface {
 public:
  explicit Entity(Quiv::String name = {}) : name_(std::move(name)) {}
  ~Entity() override;
  Quiv::String const& nameString() const { return name_; }
  bool hasNotificationActive() const { return notificationActive_; }
  void hasNotificationActiveIs(bool b) { notificationActive_ = b; }
  NotifieeList& notifiees() { return notifiees_; }
  NotifieeList& notifieeList() { return notifiees_; }

  // The entity tree. The parent holds its children; a child knows its
  // parent without a reference. A parent change reaches the child through
  // handleParent, after parent() already answers the new parent.
  Entity* parent() const { return parent_; }
  // The path from the root: "agent/l2/mac" (the plain name without parent).
  Quiv::String fullName() const;
  virtual void handleParent(Ptr<Entity> const& parent) { (void)parent; }

  void zeroReferencesNotifieeIs(Ptr<ZeroReferencesNotifiee> n) { zeroReferences_ = std::move(n); }
  ZeroReferencesNotifiee* zeroReferencesNotifiee() const { return zeroReferences_.ptr(); }

 protected:
  // Tells observers, when notification is active.
  void notify(U32 attrId) {
    if (notificationActive_) notifiees_.visit(attrId);
  }
  template <class K>
  void notify(U32 attrId, K const& key) {
    if (notificationActive_) notifiees_.visit(attrId, key);
  }
  // The last reference went: the zero-references notifiee (once) may hand
  // the entity to another owner; otherwise it is destroyed.
  void handleZeroRef() override;

 private:
  friend class Directory;
  Quiv::String name_;
  bool notificationActive_ = false;
  Entity* parent_ = nullptr;
  Ptr<ZeroReferencesNotifiee> zeroReferences_;
  NotifieeList notifiees_;
};

// An entity that holds others by name: what collections are placed under,
// so that they have a parent and a full name. Placing and removing tell the
// child through handleParent; a child that refuses its placement (it
// throws) is not placed, and the directory is as it was.
class Directory : public Entity {
 public:
  explicit Directory(Quiv::String name) : Entity(std::move(name)) {}
  ~Directory() override;

  // Places `child`; throws Quiv::InvalidInitializeException when the name
  // is taken or the child has a parent already, and whatever the child's
  // handleParent throws.
  void entityIs(Ptr<Entity> const& child);
  // Removes the child of that name (it becomes an orphan); false when none.
  bool entityDel(std::string_view name);
  Ptr<Entity> entity(std::string_view name) const;
  std::size_t entities() const { return children_.size(); }

 private:
  std::vector<Ptr<Entity>> children_;
};

// Tracked allocation: live objects and bytes per type, bookkeeping only.
struct AllocTrackTypeInfo {
  static void _trackAllocation(std::type_info const& type, std::size_t size);
  static void trackDeallocation(std::type_info const& type, std::size_t size);
  // Live objects of that type now.
  static U64 live(std::type_info const& type);
};

// A type's demangled name ("VexaSwitch::LpmTableConfig").
std::string demangle(std::type_info const& type);

}  // namespace Kel
