#pragma once
// Types reachable by name: module records, the registry of the process, and
// the type-erased operations through which generic clients (tools, the mount
// machinery, agents not compiled against a type) use a type.
//
// Every source unit that defines types describes them in one module record,
// registered once at load (Kel::kelModuleIs, from one static initialiser so
// the order is fixed). A type is then (module, index): Kel::Type. Its
// attributes are Kel::Attr handles into the module's attribute table.
//
// Module record (the first eight words are the record proper, the rest is
// bookkeeping of this runtime):
//   types         TypeDesc[numTypes], in declaration order (the index is the
//                 type's fwkType index)
//   attrs         AttrDesc[numAttrs], each type's attributes contiguous
//   params        U16[numParams]: attribute-pool offsets of the parameter
//                 names of the functions a type lists
//   typeNames     pool of qualified type names, NUL-separated, sorted
//                 bytewise: the types the module defines and those it refers
//                 to
//   attrNames     pool of attribute names, NUL-separated, sorted, beginning
//                 with the empty name (offset 0)
//   valueMethods  per type the value methods (null for entities), or null
//                 for a module of constant holders only
//   typeOps       per type the type operations
//   numTypes
//
// TypeDesc (16 bytes):  U16 name (offset in typeNames), U16 firstAttr,
//   U16 attrCount, U8 kind (TypeKind), U8 flags (TypeFlag), U32 size (bytes
//   of a value, 0 for an entity), U16 base (index of the base type in the
//   module, NO_INDEX for none), U16 keyAttr (index of the key attribute
//   among the type's, NO_INDEX when it has none).
// AttrDesc (32 bytes):  U16 id, U16 name (offset in attrNames), U8 kind
//   (AttrKind), U8 flags (AttrFlag), U8 valueKind (what operation 0 yields),
//   U8 paramCount, U16 size (bytes of what operation 0 yields), U16 aux
//   (field: byte offset in the value's image; function: first index in
//   params; collection: offset of the key's name in attrNames), then the
//   qualified name of the attribute's type as a view of a static string
//   (empty for functions) so that a client can find that type by name even
//   when the module's pool does not list it.
//
// The tables are built from each type's own description (its field list,
// views, functions and constants, ValueType.h; TypeImpl.h derives them), not
// written a second time.
#include <span>
#include <string_view>
#include <vector>

#include "VexaSwitchLib/runtime/Entity.h"
#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/Ptr.h"
#include "VexaSwitchLib/runtime/QuivString.h"
#include "VexaSwitchLib/runtime/Types.h"

namespace Kel {

using AttributeId = U32;
constexpr U16 NO_INDEX = 0xFFFF;
// The ids of a table collection's two attributes, also those of its
// notifications.
constexpr AttributeId COLLECTION_ATTR_ID = 258;
constexpr AttributeId CONTROL_ATTR_ID = 259;

enum class TypeKind : U8 { record, single, scalar, constants, opaque, entity, collection };
enum TypeFlag : U8 { HASHABLE = 1, ORDERED = 2, PARSEABLE = 4 };
enum class AttrKind : U8 { field, view, function, constant, array, map, collection, control };
enum AttrFlag : U8 { SETTABLE = 1 };
enum class ValueKind : U8 { none, u8, u16, u32, u64, boolean, string, real, value, enumeration, array, map, entity };

std::string_view toString(TypeKind k);
std::string_view toString(AttrKind k);

struct TypeDesc {
  U16 name;
  U16 firstAttr;
  U16 attrCount;
  U8 kind;
  U8 flags;
  U32 size;
  U16 base;
  U16 keyAttr;
};
static_assert(sizeof(TypeDesc) == 16);

struct AttrDesc {
  U16 id;
  U16 name;
  U8 kind;
  U8 flags;
  U8 valueKind;
  U8 paramCount;
  U16 size;
  U16 aux;
  std::string_view type;
};
static_assert(sizeof(AttrDesc) == 32);

struct ValueMethods;
struct TypeOps;

struct Module {
  TypeDesc const* types;
  AttrDesc const* attrs;
  U16 const* params;
  char const* typeNames;
  char const* attrNames;
  ValueMethods const* const* valueMethods;
  TypeOps const* const* typeOps;
  U32 numTypes;
  // Bookkeeping: the unit's name, the pools' sizes in bytes (with their
  // final NUL), the tables' lengths, and whether the module is one of this
  // library's own (false: a sibling module's types, registered so that
  // generic clients can read the keys and values that our tables hold).
  std::string_view unit;
  U32 typeNamesSize;
  U32 attrNamesSize;
  U32 numAttrs;
  U32 numParams;
  bool library;

  // The pools as lists of names, in pool order (the attribute pool's first,
  // empty name included).
  std::vector<std::string_view> typeNameList() const;
  std::vector<std::string_view> attrNameList() const;
};

class Type;

// One attribute of a registered type.
class Attr {
 public:
  Attr() = default;
  Attr(Module const* m, U16 index) : module_(m), index_(index) {}
  explicit operator bool() const { return module_ != nullptr; }
  Module const* module() const { return module_; }
  U16 index() const { return index_; }
  AttrDesc const& desc() const { return module_->attrs[index_]; }
  AttributeId id() const { return desc().id; }
  std::string_view name() const { return module_->attrNames + desc().name; }
  AttrKind kind() const { return AttrKind(desc().kind); }
  ValueKind valueKind() const { return ValueKind(desc().valueKind); }
  bool settable() const { return desc().flags & SETTABLE; }
  std::string_view typeName() const { return desc().type; }
  // A function's parameter names; a collection's key name (empty when none).
  std::vector<std::string_view> params() const;
  std::string_view keyName() const;
  friend bool operator==(Attr const& a, Attr const& b) { return a.module_ == b.module_ && a.index_ == b.index_; }

 private:
  Module const* module_ = nullptr;
  U16 index_ = 0;
};

struct KelAttrBase {
  static AttributeId attributeId(Attr const& a) { return a.id(); }
};

// A registered type: the framework type (fwkType) of a class.
class Type {
 public:
  Type() = default;
  Type(Module const* m, U16 index) : module_(m), index_(index) {}
  explicit operator bool() const { return module_ != nullptr; }
  Module const* module() const { return module_; }
  U16 index() const { return index_; }
  TypeDesc const& desc() const { return module_->types[index_]; }
  std::string_view name() const { return module_->typeNames + desc().name; }
  TypeKind kind() const { return TypeKind(desc().kind); }
  U32 size() const { return desc().size; }
  bool hashable() const { return desc().flags & HASHABLE; }
  bool ordered() const { return desc().flags & ORDERED; }
  bool parseable() const { return desc().flags & PARSEABLE; }
  Type base() const { return desc().base == NO_INDEX ? Type() : Type(module_, desc().base); }

  U16 attrCount() const { return desc().attrCount; }
  Attr attr(U16 i) const { return Attr(module_, static_cast<U16>(desc().firstAttr + i)); }
  // Null when the type has no attribute of that name (id).
  Attr attribute(std::string_view name) const;
  Attr attributeById(AttributeId id) const;
  Attr keyAttr() const { return desc().keyAttr == NO_INDEX ? Attr() : attr(desc().keyAttr); }
  bool owns(Attr const& a) const {
    return a.module() == module_ && a.index() >= desc().firstAttr && a.index() < desc().firstAttr + desc().attrCount;
  }

  // Null for types without them (entities have no value methods).
  ValueMethods const* methods() const { return module_->valueMethods ? module_->valueMethods[index_] : nullptr; }
  TypeOps const* ops() const { return module_->typeOps[index_]; }

  friend bool operator==(Type const& a, Type const& b) { return a.module_ == b.module_ && a.index_ == b.index_; }

 private:
  Module const* module_ = nullptr;
  U16 index_ = 0;
};

struct KelTypeBase {
  // True when `type` is `target` or derives from it.
  static bool isDerived(Type type, Type target);
};

// ---- the registry -------------------------------------------------------------

// Registers a module: once per module, at load. A type name defined twice is
// a fatal assertion.
void kelModuleIs(Module const* m);
// Registers a module whose record `make` lays out. Registering costs a
// pointer; the records are made, in registration order, when a client first
// looks at the registry, so a program that never does pays nothing more.
void kelModuleIs(Module const* (*make)());
// The registered modules in registration order.
std::span<Module const* const> modules();
// The type defined under that qualified name, or a null Type.
Type findType(std::string_view qualifiedName);
// Every registered type, modules in registration order, types by index.
std::vector<Type> types();

// The registered type of a value type T (its kelTypeName), looked up once.
template <class T>
Type typeOf() {
  static Type const t = findType(T::kelTypeName);
  return t;
}

// ---- errors -------------------------------------------------------------------

class UnhashableTypeException : public TypeException { using TypeException::TypeException; };
class NewEntityArgsException : public TypeException { using TypeException::TypeException; };

struct GenericIfImpl {
  [[noreturn]] static void throwUnhashableException(Type type);
  // `type` used where `expected` (or a type derived from it) was needed.
  [[noreturn]] static void throwTypeException(Type type, Type expected);
};
[[noreturn]] void throwNewEntityArgsException(Type type);

// ---- operations -----------------------------------------------------------------

// Status of genericIfAttributeOp.
enum AttrStatus : int { ATTR_OK = 0, ATTR_UNSUPPORTED = 1, ATTR_NOT_OF_TYPE = 2 };
// Operations of genericIfAttributeOp. On a value's attribute: GET copies it
// into *result, SET assigns it from *value (settable attributes only). On a
// collection (258): GET the entry of *key (the default value when absent),
// SET writes *value, DEL removes *key (*result: the removed value), COUNT
// (*result: U32), ZERO (*result: U32 0), CONTAINS (*result: bool). On a
// control (259): GET (*result: Ptr<PtrInterface>), SET. With a null
// attribute, on the value itself: NONNULL, EQUAL (to *value), LESS (than
// *value; ordered types only); *result is a bool.
enum AttrOp : int { GET = 0, SET = 1, DEL = 2, COUNT = 3, ZERO = 4, CONTAINS = 5, NONNULL = 11, EQUAL = 12, LESS = 13 };

// Values and results are passed as pointers to objects of the C++ type that
// the attribute's or type's valueKind names: U8..U64, bool, Quiv::String for
// strings, double, and for a value type that type itself (a constructed
// object: operations assign into it). A failure leaves the destination as it
// was.
struct ValueMethods {
  // Copy-constructs at dst from src, or default-constructs when src is null.
  void (*genericIfConstruct)(void* dst, void const* src);
  void (*genericIfDestruct)(void* obj);
  // Raises the unhashable-type error for types that are not hashable.
  U32 (*genericIfHash)(void const* obj, Type type);
  Quiv::String (*genericIfStrRep)(void const* obj, Type type, int kind);
  // Parses the whole text into the constructed value at dst.
  void (*genericIfStrepToValue)(void* dst, Quiv::String const& text, Type type, int kind);
  // Checks that a pointer to a `type` may be held as a pointer to `target`;
  // returns it, or raises the type error.
  void const* (*genericIfVoidPtrIs)(void const* ptr, Type type, Type target);
};

// The operations of an iterator over a collection attribute (or a value's
// array attribute). The iterator is the opaque pointer genericIfIterator
// returned; iterKey/iterObj assign into constructed objects of the key's and
// entry's types.
struct IterOps {
  bool (*iterNonnull)(Attr const& attr, void const* it);
  void (*iterKey)(Attr const& attr, void const* it, void* key);
  void (*iterObj)(Attr const& attr, void const* it, void* obj);
  void (*iterInc)(Attr const& attr, void* it);
  void (*iterDel)(Attr const& attr, void* it);
};

struct TypeOps {
  // args: pointers to the values of the type's constructor attributes in
  // declared order (count: the type's ctorArgs). A value is constructed at
  // dst (raw storage of size()); a collection is created by its factory
  // with *args[0] (a Quiv::String) as its name and assigned to the
  // Ptr<Entity> at dst.
  void (*genericIfConstructFromCtorArgs)(void* dst, void const* const* args);
  // Collections only: creates one named `name`; args must be null.
  Ptr<Entity> (*newEntityForDir)(Quiv::String const& name, void const* const* args, Type type);
  // attr null: the value-level operations. Returns an AttrStatus.
  int (*genericIfAttributeOp)(void* result, void* object, Attr const* attr, int op, void const* key,
                              void const* value);
  // An iterator over `attr` from the first entry (startKey null) or from
  // *startKey or the entry after it; null for attributes that do not
  // iterate. *table receives the iterator's operations.
  void* (*genericIfIterator)(void* object, void const* startKey, Attr const& attr, IterOps const** table);
  // How many constructor arguments genericIfConstructFromCtorArgs takes.
  U32 ctorArgs;
};

// An attribute of an entity (not a value type) as its class lists it in
// kelAttributes().
struct EntityAttr {
  std::string_view name;
  AttrKind kind;
  ValueKind valueKind;
  std::string_view type;
  AttributeId id = 0;  // 0: the next in order
  std::string_view keyName = {};
};

// ---- building module records ------------------------------------------------------

// One attribute as a type describes it; the builder turns names into pool
// offsets and ids.
struct AttrSpec {
  std::string_view name;
  AttributeId id;  // 0: the next id in order (from 2)
  AttrKind kind;
  U8 flags;
  ValueKind valueKind;
  U16 size;
  U16 offset;
  std::string_view type;
  std::vector<std::string_view> params;  // function parameters
  std::string_view keyName;              // collection key
};

struct TypeSpec {
  std::string_view name;
  TypeKind kind;
  U8 flags;
  U32 size;
  std::vector<AttrSpec> attrs;
  ValueMethods const* methods;
  TypeOps const* ops;
  std::string_view keyAttr;  // name of the key attribute, empty for none
};

// Collects a unit's types in declaration order and lays out its record. The
// record and its tables live for the whole process.
class ModuleBuilder {
 public:
  // `referenced`: the names of types the module refers to without defining
  // them, for its type-name pool.
  ModuleBuilder(std::string_view unit, std::vector<std::string_view> referenced, bool library = true);
  ModuleBuilder& type(TypeSpec spec);
  // A module of constant holders only carries no value methods.
  ModuleBuilder& withoutValueMethods();
  Module const* build() const;

 private:
  std::string_view unit_;
  std::vector<std::string_view> referenced_;
  bool library_;
  bool valueMethods_ = true;
  std::vector<TypeSpec> types_;
};

}  // namespace Kel
