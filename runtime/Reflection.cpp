#include "VexaSwitchLib/runtime/Reflection.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "VexaSwitchLib/runtime/Debug.h"

namespace Kel {

std::string_view toString(TypeKind k) {
  switch (k) {
    case TypeKind::record: return "record";
    case TypeKind::single: return "single";
    case TypeKind::scalar: return "scalar";
    case TypeKind::constants: return "constants";
    case TypeKind::opaque: return "value";
    case TypeKind::entity: return "entity";
    case TypeKind::collection: return "collection";
  }
  return "?";
}

std::string_view toString(AttrKind k) {
  switch (k) {
    case AttrKind::field: return "field";
    case AttrKind::view: return "view";
    case AttrKind::function: return "function";
    case AttrKind::constant: return "constant";
    case AttrKind::array: return "array";
    case AttrKind::map: return "map";
    case AttrKind::collection: return "collection";
    case AttrKind::control: return "control";
  }
  return "?";
}

namespace {

std::vector<std::string_view> splitPool(char const* pool, U32 size) {
  std::vector<std::string_view> out;
  for (U32 at = 0; at < size;) {
    std::string_view name(pool + at);
    out.push_back(name);
    at += static_cast<U32>(name.size()) + 1;
  }
  return out;
}

// Sorted, unique names laid out NUL-separated; offsetOf finds a name's
// offset in the laid-out pool.
struct Pool {
  std::vector<std::string_view> names;
  std::string bytes;
  std::vector<U16> offsets;

  explicit Pool(std::vector<std::string_view> all) : names(std::move(all)) {
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    for (auto n : names) {
      offsets.push_back(static_cast<U16>(bytes.size()));
      bytes.append(n);
      bytes.push_back('\0');
    }
    fmassert(bytes.size() < NO_INDEX, "Reflection", "name pool of {} bytes", bytes.size());
  }
  U16 offsetOf(std::string_view n) const {
    auto it = std::lower_bound(names.begin(), names.end(), n);
    fmassert(it != names.end() && *it == n, "Reflection", "name {} not in its pool", n);
    return offsets[static_cast<std::size_t>(it - names.begin())];
  }
  // Copied to storage that lives as long as the process.
  char const* keep() const {
    char* p = new char[bytes.size() + 1];
    std::memcpy(p, bytes.data(), bytes.size());
    p[bytes.size()] = '\0';
    return p;
  }
};

// The registry: filled at load by the modules' static initialiser (makers,
// or records made already), read afterwards. Function-local so that it
// exists before the first module. The first look makes the pending records
// in order, under the lock, so concurrent first looks see them once.
struct Registry {
  std::mutex lock;
  std::vector<Module const* (*)()> pending;  // makers of the records after `made`, in order
  std::vector<Module const*> made;
};
// Never destroyed: a generic client destroyed at exit may still look up
// its types.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

Type findIn(std::vector<Module const*> const& mods, std::string_view name) {
  for (Module const* m : mods)
    for (U32 i = 0; i < m->numTypes; ++i)
      if (name == m->typeNames + m->types[i].name) return Type(m, static_cast<U16>(i));
  return {};
}

void add(std::vector<Module const*>& mods, Module const* m) {
  for (U32 i = 0; i < m->numTypes; ++i) {
    Type t(m, static_cast<U16>(i));
    fmassert(!findIn(mods, t.name()), "Reflection", "type {} registered twice (module {})", t.name(), m->unit);
  }
  mods.push_back(m);
}

// The registered records; pending ones are made first.
std::vector<Module const*> const& made() {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  if (!r.pending.empty()) {
    auto start = std::chrono::steady_clock::now();
    std::size_t n = r.pending.size();
    for (auto make : r.pending) add(r.made, make());
    r.pending.clear();
    fmtrace(Quiv::Platform::getDebugHandler("Reflection"), 1, "made {} module records in {} us", n,
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
  }
  return r.made;
}

}  // namespace

std::vector<std::string_view> Module::typeNameList() const { return splitPool(typeNames, typeNamesSize); }
std::vector<std::string_view> Module::attrNameList() const { return splitPool(attrNames, attrNamesSize); }

std::vector<std::string_view> Attr::params() const {
  std::vector<std::string_view> out;
  if (kind() != AttrKind::function) return out;
  for (U8 i = 0; i < desc().paramCount; ++i) out.push_back(module_->attrNames + module_->params[desc().aux + i]);
  return out;
}

std::string_view Attr::keyName() const {
  if (kind() != AttrKind::collection && kind() != AttrKind::array) return {};
  return module_->attrNames + desc().aux;
}

Attr Type::attribute(std::string_view name) const {
  for (U16 i = 0; i < attrCount(); ++i)
    if (attr(i).name() == name) return attr(i);
  return {};
}

Attr Type::attributeById(AttributeId id) const {
  for (U16 i = 0; i < attrCount(); ++i)
    if (attr(i).id() == id) return attr(i);
  return {};
}

bool KelTypeBase::isDerived(Type type, Type target) {
  for (Type t = type; t; t = t.base())
    if (t == target) return true;
  return false;
}

void kelModuleIs(Module const* m) {
  made();  // keeps the order: after the pending records
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  add(r.made, m);
}

void kelModuleIs(Module const* (*make)()) {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  r.pending.push_back(make);
}

std::span<Module const* const> modules() { return made(); }

Type findType(std::string_view name) { return findIn(made(), name); }

std::vector<Type> types() {
  std::vector<Type> out;
  for (Module const* m : made())
    for (U32 i = 0; i < m->numTypes; ++i) out.emplace_back(m, static_cast<U16>(i));
  return out;
}

void GenericIfImpl::throwUnhashableException(Type type) {
  fmthrow(UnhashableTypeException, "type {} is not hashable", type ? type.name() : "(unregistered)");
}

void GenericIfImpl::throwTypeException(Type type, Type expected) {
  fmthrow(TypeException, "a {} is not a {}", type ? type.name() : "(unregistered)",
          expected ? expected.name() : "(unregistered)");
}

void throwNewEntityArgsException(Type type) {
  fmthrow(NewEntityArgsException, "type {} takes no arguments when created in a directory",
          type ? type.name() : "(unregistered)");
}

// ---- ModuleBuilder ----------------------------------------------------------------

ModuleBuilder::ModuleBuilder(std::string_view unit, std::vector<std::string_view> referenced, bool library)
    : unit_(unit), referenced_(std::move(referenced)), library_(library) {}

ModuleBuilder& ModuleBuilder::type(TypeSpec spec) {
  types_.push_back(std::move(spec));
  return *this;
}

ModuleBuilder& ModuleBuilder::withoutValueMethods() {
  valueMethods_ = false;
  return *this;
}

Module const* ModuleBuilder::build() const {
  std::vector<std::string_view> typeNames = referenced_;
  std::vector<std::string_view> attrNames{std::string_view()};
  for (auto const& t : types_) {
    typeNames.push_back(t.name);
    for (auto const& a : t.attrs) {
      attrNames.push_back(a.name);
      attrNames.insert(attrNames.end(), a.params.begin(), a.params.end());
      if (!a.keyName.empty()) attrNames.push_back(a.keyName);
    }
  }
  Pool typePool(std::move(typeNames));
  Pool attrPool(std::move(attrNames));

  auto* types = new TypeDesc[types_.size()];
  std::vector<AttrDesc> attrs;
  std::vector<U16> params;
  auto** methods = valueMethods_ ? new ValueMethods const*[types_.size()] : nullptr;
  auto** ops = new TypeOps const*[types_.size()];
  for (std::size_t i = 0; i < types_.size(); ++i) {
    TypeSpec const& t = types_[i];
    TypeDesc& d = types[i];
    d.name = typePool.offsetOf(t.name);
    d.firstAttr = static_cast<U16>(attrs.size());
    d.attrCount = static_cast<U16>(t.attrs.size());
    d.kind = static_cast<U8>(t.kind);
    d.flags = t.flags;
    d.size = t.size;
    d.base = NO_INDEX;
    d.keyAttr = NO_INDEX;
    AttributeId next = 2;
    for (std::size_t j = 0; j < t.attrs.size(); ++j) {
      AttrSpec const& a = t.attrs[j];
      AttrDesc ad{};
      ad.id = static_cast<U16>(a.id ? a.id : next++);
      ad.name = attrPool.offsetOf(a.name);
      ad.kind = static_cast<U8>(a.kind);
      ad.flags = a.flags;
      ad.valueKind = static_cast<U8>(a.valueKind);
      ad.size = a.size;
      ad.aux = a.offset;
      ad.type = a.type;
      if (a.kind == AttrKind::function) {
        ad.aux = static_cast<U16>(params.size());
        ad.paramCount = static_cast<U8>(a.params.size());
        for (auto p : a.params) params.push_back(attrPool.offsetOf(p));
      } else if (a.kind == AttrKind::collection || a.kind == AttrKind::array) {
        ad.aux = a.keyName.empty() ? 0 : attrPool.offsetOf(a.keyName);
      }
      if (!t.keyAttr.empty() && a.name == t.keyAttr) d.keyAttr = static_cast<U16>(j);
      attrs.push_back(ad);
    }
    if (methods) methods[i] = t.methods;
    ops[i] = t.ops;
  }
  auto* attrTable = new AttrDesc[attrs.size() + 1];
  std::copy(attrs.begin(), attrs.end(), attrTable);
  auto* paramTable = new U16[params.size() + 1];
  std::copy(params.begin(), params.end(), paramTable);

  auto* m = new Module{};
  m->types = types;
  m->attrs = attrTable;
  m->params = paramTable;
  m->typeNames = typePool.keep();
  m->attrNames = attrPool.keep();
  m->valueMethods = methods;
  m->typeOps = ops;
  m->numTypes = static_cast<U32>(types_.size());
  m->unit = unit_;
  m->typeNamesSize = static_cast<U32>(typePool.bytes.size());
  m->attrNamesSize = static_cast<U32>(attrPool.bytes.size());
  m->numAttrs = static_cast<U32>(attrs.size());
  m->numParams = static_cast<U32>(params.size());
  m->library = library_;
  return m;
}

}  // namespace Kel
