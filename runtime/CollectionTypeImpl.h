#pragma once
// The type-erased operations of a table collection class, for generic
// clients: created by name, its entries written, read, counted, iterated and
// removed through genericIfAttributeOp and the iterator operations alone.
//
// A collection type has three attributes: `name` (id 2, the entity's name),
// its collection attribute (id 258: `entry`, or `counter`) keyed by "key",
// and its control attribute (id 259: `entryControl`, `counterControl`).
//
// The template is written against one small access struct per collection
// class, the only place that names the class's own members:
//
//   struct LagGroupIdTableAccess {
//     using Collection = VexaSwitch::LagGroupIdTable;
//     using Key = VexaSwitch::LagGroupId;
//     using Value = VexaSwitch::LagGroupIdEntry;
//     using Control = ...;                        // the control's class
//     static constexpr std::string_view typeName = "VexaSwitch::LagGroupIdTable";
//     static constexpr std::string_view attr = "entry";   // or "counter"
//     static Kel::Ptr<Collection> make(Quiv::String const& name);   // ...Is(name)
//     static void set(Collection&, Value const&);                    // entryIs
//     static Value del(Collection&, Key const&);                     // entryDel
//     static bool find(Collection&, Key const&, Value& out);        // lookup
//     static U32 count(Collection&);                                 // members
//     using Iterator = ...;  // valid(), key(), value(), advance()
//     static Iterator begin(Collection&);                            // first entry
//     static Iterator from(Collection&, Key const&);                 // key or after
//     static Kel::Ptr<Control> control(Collection&);                 // entryControl
//     static void controlIs(Collection&, Kel::Ptr<Control> const&);  // entryControlIs
//     [[noreturn]] static void corruptionDetected(Collection&, Quiv::String const& msg);
//   };
//
// CollectionTypeImpl<Access>::spec() is the class's entry in its unit's
// module; collectionSpec(name, word) describes a collection whose class is
// not compiled into the module (no operations).
#include <string>
#include <string_view>

#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/Reflection.h"

namespace Kel {

// The three attributes of a collection whose attribute word is `word`
// ("entry" or "counter"). `control` must outlive the module (a literal).
inline TypeSpec collectionSpec(std::string_view name, std::string_view word, std::string_view control,
                               std::string_view valueType, TypeOps const* ops = nullptr) {
  TypeSpec s{name, TypeKind::collection, 0, 0, {}, nullptr, ops, {}};
  s.attrs.push_back({"name", 0, AttrKind::field, 0, ValueKind::string, U16(sizeof(Quiv::String)), 0, "Kel::String",
                     {}, {}});
  s.attrs.push_back({word, COLLECTION_ATTR_ID, AttrKind::collection, SETTABLE, ValueKind::value, 0, 0, valueType, {},
                     "key"});
  s.attrs.push_back({control, CONTROL_ATTR_ID, AttrKind::control, SETTABLE, ValueKind::entity,
                     U16(sizeof(Ptr<PtrInterface>)), 0, "", {}, {}});
  return s;
}

template <class Access>
struct CollectionTypeImpl {
  using C = typename Access::Collection;
  using K = typename Access::Key;
  using V = typename Access::Value;

  static Type self() {
    static Type const t = findType(Access::typeName);
    return t;
  }

  static void constructFromArgs(void* dst, void const* const* args) {
    *static_cast<Ptr<Entity>*>(dst) = Ptr<Entity>(Access::make(*static_cast<Quiv::String const*>(args[0])).ptr());
  }
  static Ptr<Entity> newEntityForDir(Quiv::String const& name, void const* const* args, Type type) {
    if (args) throwNewEntityArgsException(type ? type : self());
    return Ptr<Entity>(Access::make(name).ptr());
  }

  static int collectionOp(C& c, int op, void* result, void const* key, void const* value) {
    switch (op) {
      case GET:
      case CONTAINS: {
        V v;
        bool found = false;
        try {
          found = Access::find(c, *static_cast<K const*>(key), v);
        } catch (Quiv::CorruptionDetectedException const& e) {
          Access::corruptionDetected(c, e.msg());
        }
        if (op == GET) *static_cast<V*>(result) = found ? v : V();
        else *static_cast<bool*>(result) = found;
        return ATTR_OK;
      }
      case SET: Access::set(c, *static_cast<V const*>(value)); return ATTR_OK;
      case DEL: {
        V old = Access::del(c, *static_cast<K const*>(key));
        if (result) *static_cast<V*>(result) = old;
        return ATTR_OK;
      }
      case COUNT: *static_cast<U32*>(result) = Access::count(c); return ATTR_OK;
      case ZERO: *static_cast<U32*>(result) = 0; return ATTR_OK;
      default: return ATTR_UNSUPPORTED;
    }
  }

  static int attributeOp(void* result, void* object, Attr const* attr, int op, void const* key, void const* value) {
    if (!attr) return ATTR_UNSUPPORTED;  // a collection is not a value
    Type t = self();
    if (!t || !t.owns(*attr)) return ATTR_NOT_OF_TYPE;
    C& c = *static_cast<C*>(object);
    switch (attr->id()) {
      case COLLECTION_ATTR_ID: return collectionOp(c, op, result, key, value);
      case CONTROL_ATTR_ID:
        if (op == GET) {
          *static_cast<Ptr<PtrInterface>*>(result) = Ptr<PtrInterface>(Access::control(c).ptr());
          return ATTR_OK;
        }
        if (op == SET) {
          auto const& p = *static_cast<Ptr<PtrInterface> const*>(value);
          auto* control = dynamic_cast<typename Access::Control*>(p.ptr());
          if (p && !control) fmthrow(TypeException, "{}: the control of a {} must be a collection control", attr->name(), t.name());
          Access::controlIs(c, Ptr<typename Access::Control>(control));
          return ATTR_OK;
        }
        return ATTR_UNSUPPORTED;
      default:  // name
        if (op != GET) return ATTR_UNSUPPORTED;
        *static_cast<Quiv::String*>(result) = c.nameString();
        return ATTR_OK;
    }
  }

  using Iterator = typename Access::Iterator;
  static Iterator& it(void* p) { return *static_cast<Iterator*>(p); }
  static Iterator const& it(void const* p) { return *static_cast<Iterator const*>(p); }
  static bool iterNonnull(Attr const&, void const* p) { return it(p).valid(); }
  static void iterKey(Attr const&, void const* p, void* key) { *static_cast<K*>(key) = it(p).key(); }
  static void iterObj(Attr const&, void const* p, void* obj) { *static_cast<V*>(obj) = it(p).value(); }
  static void iterInc(Attr const&, void* p) { it(p).advance(); }
  static void iterDel(Attr const&, void* p) { delete &it(p); }
  static constexpr IterOps iterOps{iterNonnull, iterKey, iterObj, iterInc, iterDel};

  // Only the collection attribute iterates.
  static void* iterator(void* object, void const* startKey, Attr const& attr, IterOps const** table) {
    if (!self() || !self().owns(attr) || attr.id() != COLLECTION_ATTR_ID) return nullptr;
    C& c = *static_cast<C*>(object);
    auto* i = new Iterator(startKey ? Access::from(c, *static_cast<K const*>(startKey)) : Access::begin(c));
    *table = &iterOps;
    return i;
  }

  static constexpr TypeOps ops{constructFromArgs, newEntityForDir, attributeOp, iterator, 1};

  static TypeSpec spec() {
    bool counter = Access::attr == "counter";
    return collectionSpec(Access::typeName, Access::attr, counter ? "counterControl" : "entryControl",
                          V::kelTypeName, &ops);
  }
};

}  // namespace Kel
