#pragma once
// The adapter between a table collection and its engine map, and the one
// pattern all 20 collection classes are generated from.
//
//   ValWrap         a stored value with fwkKey(): the key as the engine
//                   takes it, through the value's key accessor
//   Entity          a collection's base: a named, reference-counted
//                   entity with a parent (runtime/Entity.h), tracked
//   CollectionControl
//                   the control the mount machinery holds
//                   (runtime/CollectionControl.h) over a collection's map,
//                   with the table's quiesced state
//   KelZolmMap      the engine map (Zolm::ZolmMap) embedded in a
//                   collection: binds it to its owner, turns the engine's
//                   callbacks into the owner's notifications, gives the
//                   collection its private local table until it is
//                   mounted, and is the control base through which the
//                   table is mounted under a table name
//   Collection      the pattern: entryIs / entryDel / entryDelAll /
//                   entryCommit, observers told of every changed key
//                   (attribute 258, the key only), the control
//                   (attribute 259), parent handling, lifetime
//
// Life of a collection:
//   created     a default local writer (process memory, size 100): writes
//               and lookups work before anything is mounted
//   placed      under a parent (once, ever): its trace name becomes
//               "<full name>/<attribute>", and its local table is
//               replaced by an empty one
//   mounted     a mounter calls the control base with a descriptor and a
//               table name; from then on every operation reaches the
//               shared-memory form (writer, reader, shadow, key shadow)
//   orphaned    removed from its parent: the map detaches (ZolmDummy)
//   last reference dropped while a mounter holds the control: the
//               collection hands itself to the control and lives on,
//               mounted, until the control lets it go
//
// Thread: the collection's owner, which also runs the mount loop.
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>

#include "VexaSwitchLib/Zolm/ZolmMap.h"
#include "VexaSwitchLib/runtime/CollectionControl.h"
#include "VexaSwitchLib/runtime/Entity.h"
#include "VexaSwitchLib/runtime/OpCounter.h"

namespace KelZolm {

// Attribute ids a collection's observers are told of.
inline constexpr U32 ATTR_COLLECTION = 258;  // `entry` (`counter`): with the changed key
inline constexpr U32 ATTR_CONTROL = 259;     // `entryControl` (`counterControl`): no key

// The framework type of a collection class: its unit's module and its
// index within that module.
struct FwkType {
  std::string_view module;
  U16 index = 0;
  bool operator==(FwkType const&) const = default;
};

// The value as the engine stores it, with the key the engine takes
// (`Accessor`, the value's own key() unless a base's). Adds no state: a
// ValWrap is its value.
template <class V, class K, auto Accessor = &V::key, bool Flag = false>
struct ValWrap : V {
  using Value = V;
  using Key = K;
  using V::V;
  ValWrap() = default;
  ValWrap(V const& v) : V(v) {}  // NOLINT: the value wrapped
  K fwkKey() const { return (static_cast<V const&>(*this).*Accessor)(); }
  static K fwkKey(V const& v) { return (v.*Accessor)(); }
};

// A collection's base.
class Entity : public Kel::Entity {
 public:
  explicit Entity(Quiv::String name) : Kel::Entity(std::move(name)) {}
  virtual FwkType fwkType() const = 0;
};

class CollectionControl final : public KelSharedMem::CollectionControl {
 public:
  explicit CollectionControl(KelSharedMem::ControlBase* map, Quiv::String name = "control")
      : KelSharedMem::CollectionControl(map, std::move(name)) {}
  void quiescedIs(bool q) { quiescedSet(q); }
};

// The type-independent half of KelZolmMap (KelZolmMap.cpp).
class KelZolmMapBase {
 public:
  std::string const& traceName() const { return kelTrace_; }
  std::string const& attrName() const { return attrName_; }
  bool parentSeen() const { return parentSeen_; }
  Quiv::DebugHandler* debugHandler() const { return debug_; }

 protected:
  // entity, steps 1-3 and 5.
  void bind(std::string_view attrName, Kel::Entity const* owner);
  // handleParent without the form change: the new trace name, and whether
  // a new local table is due (first placement) or the map is orphaned.
  enum class ParentChange { placed, orphaned };
  ParentChange parentChanged();
  // A table name refused by controlInit, or the previous one put back.
  void checkTableName(bool initialized, std::string const& mounted, std::string_view wanted) const;
  void traceDeleting() const;
  void traceValidateFiles() const;

 public:
  // Corruption during a forwarded write: the map's handler never returns;
  // reaching the end of this is a fatal assertion.
  [[noreturn]] static void corruptionIn(Zolm::ZolmMapBase& map, char const* site, Quiv::String const& message);
  void traceMountStatus(Mem::RootPath const& root) const;

 protected:

  Kel::Entity const* owner_ = nullptr;
  std::string kelTrace_;
  std::string attrName_;
  Quiv::DebugHandler* debug_ = nullptr;
  bool parentSeen_ = false;
};

template <class Owner, class Wrap, class Key, class Ops>
class KelZolmMap final : public Zolm::ZolmMap<Ops>, public KelSharedMem::ControlBase, public KelZolmMapBase {
 public:
  using Value = typename Ops::Value;
  using Map = Zolm::ZolmMap<Ops>;

  explicit KelZolmMap(std::string_view name) : Map(name) {}
  ~KelZolmMap() override { traceDeleting(); }

  // Binds the map to its owner: trace name, the owner's notifications as
  // the engine's callbacks, and the owner's private local table.
  void entity(Quiv::String const& attrName, Owner* owner, U32 attrId, void (Owner::*notify)(Key const&),
              void (Owner::*notifyMountStatus)(), void (Owner::*notifyQuiesced)(bool)) {
    (void)attrId;
    bind(attrName.view(), owner);
    // The shadow types deliver these from the loop, never from inside the
    // engine (keyNotifications).
    this->callbacksIs({[owner, notify](Key const& k) { (owner->*notify)(k); },
                       [owner, notifyQuiesced] { (owner->*notifyQuiesced)(true); },
                       [owner, notifyMountStatus](bool) { (owner->*notifyMountStatus)(); }},
                      true);
    newLocalTable();
  }

  void handleParent() {
    if (parentChanged() == ParentChange::orphaned) return controlDetach(false);
    // A table mounted before its collection was placed stays mounted.
    if (this->initialized()) fmtrace(debug_, 5, "{}: mounted, the table is kept", kelTrace_);
    else newLocalTable();
  }

  // The owner class's name, as "VexaSwitch::LpmTableConfig".
  Quiv::String classType() const { return Kel::demangle(typeid(*owner_)); }
  bool validateFiles(Quiv::String const& path, unsigned flags) {
    (void)path;
    (void)flags;
    traceValidateFiles();
    return Map::validateFiles();
  }
  Mem::RootPath const& currentRoot() const { return this->impl().rootPath(); }

  // Writes and removes through the current form; corruption goes to the
  // map's handler (which never returns), everything else propagates.
  void safeWrite(Value const& v) {
    try {
      this->impl().write(v, true);
    } catch (Quiv::CorruptionDetectedException const& e) {
      corruptionIn(*this, "safeWrite", e.msg());
    }
  }
  void directCommitted() {
    try {
      this->impl().directCommit();
    } catch (Quiv::CorruptionDetectedException const& e) {
      corruptionIn(*this, "directCommit", e.msg());
    }
  }
  bool safeRemove(Key const& k, Value& scratch) {
    try {
      return this->impl().remove(k, &scratch);
    } catch (Quiv::CorruptionDetectedException const& e) {
      corruptionIn(*this, "safeRemove", e.msg());
    }
  }

  // Entries in the engine's order: from the first, or from a key (the
  // entry with that key, or the one after where it would be).
  class IteratorConst {
   public:
    explicit IteratorConst(Map const& m) : map_(&m) { valid_ = map_->first(value_, hint_); }
    IteratorConst(Map const& m, Key const& k) : map_(&m) {
      valid_ = map_->lookup(k, value_, hint_);
      if (!valid_) {
        hint_ = Zolm::IterHint{};
        valid_ = map_->next(k, value_, hint_);
      }
    }
    bool valid() const { return valid_; }
    explicit operator bool() const { return valid_; }
    Value const& value() const { return value_; }
    Value const& operator*() const { return value_; }
    Value const* operator->() const { return &value_; }
    Key key() const { return Wrap::fwkKey(value_); }
    void advance() {
      if (valid_) valid_ = map_->next(Wrap::fwkKey(value_), value_, hint_);
    }
    IteratorConst& operator++() {
      advance();
      return *this;
    }

   private:
    Map const* map_;
    Zolm::IterHint hint_{};
    Value value_{};
    bool valid_ = false;
  };

  // --- control base -----------------------------------------------------------
  void controlInit(Mem::CollectionDescriptor const& d, std::string_view tableName, Quiv::EventLoop& loop) override {
    checkTableName(this->initialized(), this->name_, tableName);
    std::string oldName = this->name_;
    Quiv::EventLoop* oldLoop = this->loop_;
    this->name_ = std::string(tableName);
    this->loop_ = &loop;
    try {
      this->init(d);
    } catch (...) {
      if (!this->initialized()) {
        this->name_ = oldName;
        this->loop_ = oldLoop;
      }
      throw;
    }
  }
  void controlDetach(bool cleanup) override {
    fmtrace(debug_, 5, "{} detaching{}", kelTrace_, cleanup ? " with cleanup" : "");
    if (cleanup && this->initialized() && this->form() == Zolm::ZolmMapBase::Form::writer) this->cleanup();
    this->detach();
  }
  Mem::MountStatus controlMountStatus() const override { return this->impl().mountStatus(); }
  std::string controlTableName() const override { return this->initialized() ? this->name_ : std::string(); }

 private:
  void newLocalTable() {
    fmtrace(debug_, 5, "creating local ZolmWriter {}", kelTrace_);
    this->createDefaultLocalWriter(debug_);
  }
};

// A collection's zero-references notifiee: hands its collection to the
// control when a mounter still holds it.
template <class C>
class ZeroReferencesNotifiee : public Kel::ZeroReferencesNotifiee {
 public:
  explicit ZeroReferencesNotifiee(C* owner) : owner_(owner) {}
  void onZeroReferences() override { owner_->zeroReferences(this); }

 private:
  C* owner_;
};

enum class Attr : U8 { entry, counter };

template <class Derived, class ZeroRefs, class OpsT, U16 Index, Attr A = Attr::entry>
class Collection : public Entity {
 public:
  using Ops = OpsT;
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using Wrap = ValWrap<Value, Key>;
  using Map = KelZolmMap<Collection, Wrap, Key, Ops>;
  using IteratorConst = typename Map::IteratorConst;
  static constexpr std::string_view ATTR_WORD = A == Attr::entry ? "entry" : "counter";

  explicit Collection(Quiv::String const& name);
  ~Collection() override;

  void entryIs(Value const& value);
  void entryCommit(Value const* value);
  // The removed value; the default value when the key was absent (then no
  // one is told).
  Value entryDel(Key const& key);
  // One removal, counted and told, per entry.
  void entryDelAll();
  void entryNotify(Key const& key) {
    notifiees().visit(ATTR_COLLECTION, key);
    notifyCounter_->inc();
  }
  void entryNotifyMountStatus();
  void entryNotifyQuiesced(bool q) {
    if (control_) control_->quiescedIs(q);
  }

  Kel::Ptr<CollectionControl> const& entryControl() const { return entryControl_; }
  void entryControlIs(Kel::Ptr<CollectionControl> const& control);

  // Lookups through the current form.
  bool entryFind(Key const& key, Value& out) const { return map_.lookup(key, out); }
  Value entry(Key const& key) const {
    Value v;
    return map_.lookup(key, v) ? v : Ops::defaultValue();
  }
  U32 entries() const { return map_.members(); }
  // n keys at once (a route batch, a MAC sync): what n entryFind calls
  // give, with the lookups' memory fetched ahead; returns the hits.
  U32 entryFindBatch(Key const* keys, U32 n, Value* outs, bool* found) const {
    return map_.lookupBatch(keys, n, outs, found);
  }
  IteratorConst entryIterConst() const { return IteratorConst(map_); }
  IteratorConst entryIterConst(Key const& key) const { return IteratorConst(map_, key); }

  void handleParent(Kel::Ptr<Kel::Entity> const& parent) override {
    (void)parent;
    map_.handleParent();
  }
  FwkType fwkType() const override { return {Derived::MODULE, Index}; }
  Map& map() { return map_; }
  Map const& map() const { return map_; }
  Quiv::OpCounter const& isCounter() const { return *isCounter_; }
  Quiv::OpCounter const& delCounter() const { return *delCounter_; }
  Quiv::OpCounter const& notifyCounter() const { return *notifyCounter_; }

  static void* operator new(std::size_t size);
  static void operator delete(void* p, std::size_t size);

 private:
  friend class ZeroReferencesNotifiee<Derived>;
  void zeroReferences(Kel::ZeroReferencesNotifiee* self);

  Quiv::OpCounter* isCounter_;
  Quiv::OpCounter* delCounter_;
  Quiv::OpCounter* notifyCounter_;
  Map map_;
  Kel::Ptr<CollectionControl> entryControl_;
  CollectionControl* control_ = nullptr;  // the callbacks' control, also after the hand-over
  CollectionControl* handedTo_ = nullptr;
};

}  // namespace KelZolm

// One collection class of the pattern: CLASS over the pair OPS, with its
// zero-references notifiee CLASS##ZeroReferencesNotifiee, the static
// CLASS##Is and the free FACTORY; INDEX is its place in the unit's module
// MODULE_NAME, ATTRWORD its attribute word (KelZolm::Attr). Extra public
// members follow (a class's own operations). The unit's source
// instantiates it once with VEXA_KELZOLM_INSTANTIATE.
#define VEXA_KELZOLM_COLLECTION(CLASS, FACTORY, OPS, INDEX, ATTRWORD, MODULE_NAME, ...)                      \
  class CLASS##ZeroReferencesNotifiee;                                                                \
  class CLASS final : public ::KelZolm::Collection<CLASS, CLASS##ZeroReferencesNotifiee, OPS, INDEX, ATTRWORD> { \
   public:                                                                                            \
    static constexpr std::string_view MODULE = MODULE_NAME;                                           \
    using Collection::Collection;                                                                     \
    static ::Kel::Ptr<CLASS> CLASS##Is(::Quiv::String const& name) { return ::Kel::Ptr<CLASS>(new CLASS(name)); } \
    __VA_ARGS__                                                                                       \
  };                                                                                                  \
  class CLASS##ZeroReferencesNotifiee final : public ::KelZolm::ZeroReferencesNotifiee<CLASS> {       \
   public:                                                                                            \
    using ZeroReferencesNotifiee::ZeroReferencesNotifiee;                                             \
  };                                                                                                  \
  inline ::Kel::Ptr<CLASS> FACTORY(::Quiv::String const& name) { return CLASS::CLASS##Is(name); }

// At global scope, after the namespace NS that holds CLASS: its pattern is
// compiled once, in its unit's source (INSTANTIATE), never by its users.
#define VEXA_KELZOLM_EXTERN(NS, CLASS, OPS, INDEX, ATTRWORD) \
  extern template class ::KelZolm::Collection<NS::CLASS, NS::CLASS##ZeroReferencesNotifiee, NS::OPS, INDEX, ATTRWORD>;
#define VEXA_KELZOLM_INSTANTIATE(NS, CLASS, OPS, INDEX, ATTRWORD) \
  template class ::KelZolm::Collection<NS::CLASS, NS::CLASS##ZeroReferencesNotifiee, NS::OPS, INDEX, ATTRWORD>;
