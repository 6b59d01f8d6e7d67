#pragma once
// The type-erased operations of a value type and its entry in a module's
// tables, both derived from the type's own description (ValueType.h:
// kelFields, kelViews, kelFunctions, kelConstants, kelCtorArgs, kelHashable).
//
//   Kel::ValueTypeImpl<T>::spec()   the TypeSpec a ModuleBuilder lays out
//   Kel::ValueTypeImpl<T>::methods  genericIfConstruct ... genericIfVoidPtrIs
//   Kel::ValueTypeImpl<T>::ops      genericIfConstructFromCtorArgs,
//                                   genericIfAttributeOp, genericIfIterator
//
// What generic clients pass for an attribute of C++ type M (Generic<M>): M
// itself, except that 64-bit numbers held as halves are a U64 and string
// constants a Quiv::String.
#include <concepts>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "VexaSwitchLib/runtime/Bridging.h"
#include "VexaSwitchLib/runtime/FixedArray.h"
#include "VexaSwitchLib/runtime/Lanx.h"
#include "VexaSwitchLib/runtime/Reflection.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace Kel {

// ---- names and kinds of attribute types ---------------------------------------------

template <class M>
struct TypeNameOf {
  static constexpr std::string_view value = "";
};
template <class M>
  requires requires { M::kelTypeName; }
struct TypeNameOf<M> {
  static constexpr std::string_view value = M::kelTypeName;
};
#define KEL_TYPE_NAME(T, N)                        \
  template <>                                      \
  struct TypeNameOf<T> {                           \
    static constexpr std::string_view value = N;   \
  }
KEL_TYPE_NAME(bool, "bool");
KEL_TYPE_NAME(U8, "U8");
KEL_TYPE_NAME(U16, "U16");
KEL_TYPE_NAME(U32, "U32");
KEL_TYPE_NAME(U64, "U64");
KEL_TYPE_NAME(U64Halves, "U64");
KEL_TYPE_NAME(double, "double");
KEL_TYPE_NAME(Quiv::String, "Kel::String");
KEL_TYPE_NAME(std::string_view, "Kel::String");
KEL_TYPE_NAME(Lanx::IntfId, "Lanx::IntfId");
KEL_TYPE_NAME(Bridging::EntryType, "Bridging::EntryType");
KEL_TYPE_NAME(Bridging::EthAddr, "Bridging::EthAddr");
#undef KEL_TYPE_NAME

template <class M>
struct IsFixedArray : std::false_type {};
template <class E, U32 N>
struct IsFixedArray<FixedArray<E, N>> : std::true_type {
  using Element = E;
};
template <class M>
concept MapAttr = requires { typename M::key_type; typename M::mapped_type; };
template <class M>
struct ElementOf {
  using Type = M;
};
template <class E, U32 N>
struct ElementOf<FixedArray<E, N>> {
  using Type = E;
};

// The C++ type a generic client passes for an attribute of type M.
template <class M>
struct Generic {
  using Out = M;
  static Out out(M const& m) { return m; }
  static M in(Out const& o) { return o; }
};
template <>
struct Generic<U64Halves> {
  using Out = U64;
  static Out out(U64Halves m) { return m.get(); }
  static U64Halves in(Out o) { return U64Halves::of(o); }
};
template <>
struct Generic<Unsigned64> {
  using Out = U64;
  static Out out(Unsigned64 m) { return m.value(); }
  static Unsigned64 in(Out o) { return Unsigned64(o); }
};
template <>
struct Generic<std::string_view> {
  using Out = Quiv::String;
  static Out out(std::string_view m) { return Quiv::String(m); }
};

template <class M>
constexpr ValueKind valueKindOf() {
  if constexpr (std::is_same_v<M, bool>) return ValueKind::boolean;
  else if constexpr (std::is_same_v<M, U8>) return ValueKind::u8;
  else if constexpr (std::is_same_v<M, U16>) return ValueKind::u16;
  else if constexpr (std::is_same_v<M, U32>) return ValueKind::u32;
  else if constexpr (std::is_same_v<M, U64> || std::is_same_v<M, U64Halves> || std::is_same_v<M, Unsigned64>)
    return ValueKind::u64;
  else if constexpr (std::is_same_v<M, Quiv::String> || std::is_same_v<M, std::string_view>) return ValueKind::string;
  else if constexpr (std::is_floating_point_v<M>) return ValueKind::real;
  else if constexpr (std::is_enum_v<M>) return ValueKind::enumeration;
  else if constexpr (IsFixedArray<M>::value) return ValueKind::array;
  else if constexpr (MapAttr<M>) return ValueKind::map;
  else return ValueKind::value;
}

// Calls f(std::integral_constant<size_t, I>) for the I == i; false when i is
// past the end.
template <std::size_t N, class F>
bool visitIndex(std::size_t i, F&& f) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return ((i == I ? (f(std::integral_constant<std::size_t, I>{}), true) : false) || ...);
  }(std::make_index_sequence<N>{});
}

// ---- a value type -----------------------------------------------------------------

template <class T>
struct ValueTypeImpl {
  static constexpr auto fields = fieldsOf<T>();
  static constexpr auto views = viewsOf<T>();
  static constexpr auto functions = functionsOf<T>();
  static constexpr auto constants = constantsOf<T>();
  static constexpr std::size_t nFields = std::tuple_size_v<decltype(fields)>;
  static constexpr std::size_t nViews = std::tuple_size_v<decltype(views)>;
  static constexpr std::size_t nFunctions = std::tuple_size_v<decltype(functions)>;
  static constexpr std::size_t nConstants = std::tuple_size_v<decltype(constants)>;
  static constexpr std::size_t nAttrs = nFields + nViews + nFunctions + nConstants;
  static constexpr std::string_view name = TypeNameOf<T>::value;

  static constexpr bool ordered = requires(T const& a) {
    { a < a } -> std::convertible_to<bool>;
  };
  static constexpr bool constantHolder = std::derived_from<T, ConstantHolder<T>>;
  // A value holding a collection has no text parser.
  static constexpr bool parseable = [] {
    return std::apply(
        [](auto const&... f) {
          return (!(IsFixedArray<typename std::remove_cvref_t<decltype(f)>::Type>::value ||
                    MapAttr<typename std::remove_cvref_t<decltype(f)>::Type>) &&
                  ...);
        },
        fields);
  }();

  // The index type of array attributes: the type's KelArrayIndex, else U32.
  static U32 arrayIndex(void const* key, U32 capacity) {
    if constexpr (requires { typename T::KelArrayIndex; }) {
      using Idx = typename T::KelArrayIndex;
      U64 i = static_cast<Idx const*>(key)->value();
      Idx::checkRange(i);
      return static_cast<U32>(i);
    } else {
      U32 i = *static_cast<U32 const*>(key);
      if (i >= capacity) throwFixedArrayRange(capacity, i);
      return i;
    }
  }
  static void arrayKeyOut(void* key, U32 i) {
    if constexpr (requires { typename T::KelArrayIndex; }) {
      using Idx = typename T::KelArrayIndex;
      *static_cast<Idx*>(key) = Idx(static_cast<typename Idx::ValueType>(i));
    } else {
      *static_cast<U32*>(key) = i;
    }
  }

  static Type self() {
    static Type const t = findType(name);
    return t;
  }

  // ---- value methods
  static void construct(void* dst, void const* src) {
    if (src) new (dst) T(*static_cast<T const*>(src));
    else new (dst) T();
  }
  static void destruct(void* obj) { static_cast<T*>(obj)->~T(); }
  static U32 hash(void const* obj, Type type) {
    if constexpr (hashableOf<T>()) {
      (void)type;
      return hashSingleAttr(0, static_cast<T const*>(obj)->value());
    } else {
      (void)obj;
      GenericIfImpl::throwUnhashableException(type ? type : self());
    }
  }
  static Quiv::String strRep(void const* obj, Type, int) {
    using Kel::valueToStrep;
    return valueToStrep(*static_cast<T const*>(obj));
  }
  static void strepToValue(void* dst, Quiv::String const& text, Type, int) {
    if constexpr (constantHolder) {
      if (!text.empty()) CharRange(text.view()).checkAllDataConsumed();
    } else {
      *static_cast<T*>(dst) = Kel::strepToValue<T>(text);
    }
  }
  static void const* voidPtrIs(void const* ptr, Type type, Type target) {
    if (!type) type = self();
    if (!KelTypeBase::isDerived(type, target)) GenericIfImpl::throwTypeException(type, target);
    return ptr;
  }
  static constexpr ValueMethods methods{construct, destruct, hash, strRep, strepToValue, voidPtrIs};

  // ---- type operations
  static void constructFromArgs(void* dst, void const* const* args) {
    if constexpr (ScalarType<T>) {
      using U = typename T::ValueType;
      new (dst) T(*static_cast<U const*>(args[0]));  // range-checked
    } else {
      T v;
      [&]<std::size_t... I>(std::index_sequence<I...>) {
        (([&] {
           auto const& f = std::get<I>(fields);
           using M = typename std::remove_cvref_t<decltype(f)>::Type;
           fieldSet(v, f, Generic<M>::in(*static_cast<typename Generic<M>::Out const*>(args[I])));
         }()),
         ...);
      }(std::make_index_sequence<ctorArgsOf<T>()>{});
      new (dst) T(std::move(v));
    }
  }

  static int valueOp(void* result, T const& obj, int op, void const* value) {
    switch (op) {
      case NONNULL: *static_cast<bool*>(result) = static_cast<bool>(obj); return ATTR_OK;
      case EQUAL: *static_cast<bool*>(result) = obj == *static_cast<T const*>(value); return ATTR_OK;
      case LESS:
        if constexpr (ordered) {
          *static_cast<bool*>(result) = obj < *static_cast<T const*>(value);
          return ATTR_OK;
        }
        return ATTR_UNSUPPORTED;
      default: return ATTR_UNSUPPORTED;
    }
  }

  template <class F>
  static int fieldOp(F const& f, T& obj, int op, void* result, void const* key, void const* value) {
    using M = typename F::Type;
    if constexpr (IsFixedArray<M>::value) {
      using E = typename IsFixedArray<M>::Element;
      typename F::Class& c = obj;
      M& a = c.*(f.member);
      switch (op) {
        case GET: {
          U32 i = arrayIndex(key, M::capacity);
          *static_cast<E*>(result) = i < a.count() ? a[i] : E();
          return ATTR_OK;
        }
        case COUNT: *static_cast<U32*>(result) = a.count(); return ATTR_OK;
        case CONTAINS: *static_cast<bool*>(result) = arrayIndex(key, M::capacity) < a.count(); return ATTR_OK;
        case SET:
          if (!f.writable) return ATTR_UNSUPPORTED;
          a.set(arrayIndex(key, M::capacity), *static_cast<E const*>(value), E());
          return ATTR_OK;
        case DEL: {
          if (!f.writable) return ATTR_UNSUPPORTED;
          E old = a.del(arrayIndex(key, M::capacity), E());
          if (result) *static_cast<E*>(result) = old;
          return ATTR_OK;
        }
        default: return ATTR_UNSUPPORTED;
      }
    } else if constexpr (MapAttr<M>) {
      return ATTR_UNSUPPORTED;
    } else {
      using G = Generic<M>;
      if (op == GET) {
        *static_cast<typename G::Out*>(result) = G::out(fieldGet(obj, f));
        return ATTR_OK;
      }
      if (op == SET && f.writable) {
        fieldSet(obj, f, G::in(*static_cast<typename G::Out const*>(value)));
        return ATTR_OK;
      }
      return ATTR_UNSUPPORTED;
    }
  }

  static int attributeOp(void* result, void* object, Attr const* attr, int op, void const* key, void const* value) {
    T& obj = *static_cast<T*>(object);
    if (!attr) return valueOp(result, obj, op, value);
    Type t = self();
    if (!t || !t.owns(*attr)) return ATTR_NOT_OF_TYPE;
    std::size_t local = attr->index() - t.desc().firstAttr;
    int status = ATTR_UNSUPPORTED;
    if (local < nFields) {
      visitIndex<nFields>(local, [&](auto I) { status = fieldOp(std::get<I>(fields), obj, op, result, key, value); });
    } else if (local < nFields + nViews) {
      visitIndex<nViews>(local - nFields, [&](auto I) {
        auto const& v = std::get<I>(views);
        using R = typename std::remove_cvref_t<decltype(v)>::Type;
        if (op != GET) return;
        *static_cast<typename Generic<R>::Out*>(result) = Generic<R>::out((obj.*(v.get))());
        status = ATTR_OK;
      });
    } else if (local >= nFields + nViews + nFunctions) {
      visitIndex<nConstants>(local - nFields - nViews - nFunctions, [&](auto I) {
        auto const& c = std::get<I>(constants);
        using V = typename std::remove_cvref_t<decltype(c)>::Type;
        if (op != GET) return;
        *static_cast<typename Generic<V>::Out*>(result) = Generic<V>::out(c.value);
        status = ATTR_OK;
      });
    }
    return status;
  }

  // Iteration over an array attribute: the index steps from the start
  // through the used slots; the key is the array's index type.
  struct ArrayIter {
    T const* obj;
    U32 i;
  };
  template <std::size_t I>
  struct ArrayIterOps {
    static auto const& array(void const* it) {
      auto const& f = std::get<I>(fields);
      typename std::remove_cvref_t<decltype(f)>::Class const& c = *static_cast<ArrayIter const*>(it)->obj;
      return c.*(f.member);
    }
    static bool nonnull(Attr const&, void const* it) { return static_cast<ArrayIter const*>(it)->i < array(it).count(); }
    static void key(Attr const&, void const* it, void* out) { arrayKeyOut(out, static_cast<ArrayIter const*>(it)->i); }
    static void obj(Attr const&, void const* it, void* out) {
      auto const& a = array(it);
      using E = typename IsFixedArray<std::remove_cvref_t<decltype(a)>>::Element;
      *static_cast<E*>(out) = a[static_cast<ArrayIter const*>(it)->i];
    }
    static void inc(Attr const&, void* it) { ++static_cast<ArrayIter*>(it)->i; }
    static void del(Attr const&, void* it) { delete static_cast<ArrayIter*>(it); }
    static constexpr IterOps table{nonnull, key, obj, inc, del};
  };

  static void* iterator(void* object, void const* startKey, Attr const& attr, IterOps const** table) {
    Type t = self();
    if (!t || !t.owns(attr)) return nullptr;
    std::size_t local = attr.index() - t.desc().firstAttr;
    void* it = nullptr;
    if (local >= nFields) return nullptr;
    visitIndex<nFields>(local, [&](auto I) {
      using M = typename std::remove_cvref_t<decltype(std::get<I>(fields))>::Type;
      if constexpr (IsFixedArray<M>::value) {
        U32 start = startKey ? arrayIndex(startKey, M::capacity) : 0;
        it = new ArrayIter{static_cast<T const*>(object), start};
        *table = &ArrayIterOps<I>::table;
      }
    });
    return it;
  }

  static constexpr TypeOps ops{constructFromArgs, nullptr, attributeOp, iterator, U32(ctorArgsOf<T>())};

  // ---- the type's entry in its module
  static TypeSpec spec() {
    TypeSpec s{name, kind(), flags(), U32(sizeof(T)), {}, &methods, &ops, {}};
    std::apply(
        [&](auto const&... f) {
          (([&] {
             using M = typename std::remove_cvref_t<decltype(f)>::Type;
             AttrKind k = IsFixedArray<M>::value ? AttrKind::array : MapAttr<M> ? AttrKind::map : AttrKind::field;
             // An array attribute yields (and is typed by) one element.
             using Shown = typename ElementOf<M>::Type;
             s.attrs.push_back({f.name, 0, k, U8(f.writable ? SETTABLE : 0), valueKindOf<M>(),
                                U16(sizeof(typename Generic<Shown>::Out)), U16(f.offset), TypeNameOf<Shown>::value,
                                {}, {}});
             if (f.name == "key") s.keyAttr = f.name;
           }()),
           ...);
        },
        fields);
    std::apply(
        [&](auto const&... v) {
          (([&] {
             using R = typename std::remove_cvref_t<decltype(v)>::Type;
             s.attrs.push_back({v.name, 0, AttrKind::view, 0, valueKindOf<R>(), U16(sizeof(typename Generic<R>::Out)),
                                0, TypeNameOf<R>::value, {}, {}});
           }()),
           ...);
        },
        views);
    std::apply(
        [&](auto const&... fn) {
          ((s.attrs.push_back({fn.name, 0, AttrKind::function, 0, ValueKind::none, 0, 0, {},
                               std::vector<std::string_view>(fn.params.begin(), fn.params.end()), {}})),
           ...);
        },
        functions);
    std::apply(
        [&](auto const&... c) {
          (([&] {
             using V = typename std::remove_cvref_t<decltype(c)>::Type;
             s.attrs.push_back({c.name, 0, AttrKind::constant, 0, valueKindOf<V>(),
                                U16(sizeof(typename Generic<V>::Out)), 0, TypeNameOf<V>::value, {}, {}});
           }()),
           ...);
        },
        constants);
    return s;
  }
  static constexpr TypeKind kind() {
    if constexpr (RecordType<T>) return TypeKind::record;
    else if constexpr (SingleType<T>) return TypeKind::single;
    else if constexpr (ScalarType<T>) return TypeKind::scalar;
    else if constexpr (constantHolder) return TypeKind::constants;
    else return TypeKind::opaque;
  }
  static constexpr U8 flags() {
    return U8((hashableOf<T>() ? HASHABLE : 0) | (ordered ? ORDERED : 0) | (parseable ? PARSEABLE : 0));
  }
};

// ---- entities that are not table collections -----------------------------------------

// Entities are described for generic clients (names, ids, kinds); their
// attributes are reached through the classes' own interfaces, so every
// attribute operation on them answers "unsupported".
template <class E>
struct EntityTypeImpl {
  static int attributeOp(void*, void*, Attr const* attr, int, void const*, void const*) {
    static Type const t = findType(E::kelTypeName);
    return attr && (!t || !t.owns(*attr)) ? ATTR_NOT_OF_TYPE : ATTR_UNSUPPORTED;
  }
  static void* iterator(void*, void const*, Attr const&, IterOps const**) { return nullptr; }
  static constexpr TypeOps ops{nullptr, nullptr, attributeOp, iterator, 0};
  static TypeSpec spec() {
    TypeSpec s{E::kelTypeName, TypeKind::entity, 0, 0, {}, nullptr, &ops, {}};
    for (EntityAttr const& a : E::kelAttributes())
      s.attrs.push_back({a.name, a.id, a.kind, 0, a.valueKind, 0, 0, a.type, {}, a.keyName});
    return s;
  }
};

}  // namespace Kel
