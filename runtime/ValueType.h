#pragma once
// The value-type pattern.
//
// Every key and entry of the switch tables is a small copyable record. Its
// behaviour (equality, the "nonnull" test, the text form, the stream
// operator and parsing) follows from one description the type gives of
// itself, its field list: the attribute names in order, each bound to its
// member and to that member's byte offset. A value type is its fields plus a
// few lines:
//
//   // Image (16 bytes): key at 0, count at 8.
//   class AclCounter : public Kel::Record<AclCounter> {
//    public:
//     static constexpr std::string_view kelTypeName = "VexaSwitch::AclCounter";
//     static constexpr auto kelFields() { return std::make_tuple(KEL_FIELD(key), KEL_FIELD(count)); }
//     AclCounter() = default;
//     explicit AclCounter(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
//     Nox::UniqueId const& key() const { return key_; }
//     KEL_ATTR(U64, count)
//    private:
//     Nox::UniqueId key_;
//     U64 count_ = 0;
//   };
//   static_assert(Kel::imageIs<AclCounter>(16, 0, {0, 8}));
//
// Conventions: attribute `a` is the private member `a_`, read through a()
// and written through aIs(v) (KEL_ATTR writes both). KEL_FIELD(a) names the
// attribute after its member, so the text form, the accessors and the
// member cannot drift apart. Kel::imageIs pins the image other processes
// read (size, unnamed bytes, every field's offset) beside the type.
//
// Kinds:
//   Kel::Record<T>          attributes listed by kelFields(); text form
//                           "Value('<kelTypeName>', ** {'a': <a>, 'b': <b>})"
//   Kel::Single<T>          exactly one attribute; text form is that
//                           attribute's own text (a table entry that is its
//                           key, for instance).
//   Kel::Scalar<T, U>       one unsigned attribute (default name "value");
//                           text form is the bare decimal number. With
//                           T::kelUpper (and T::kelUpperName, optionally
//                           T::kelLowerName) it is a bounded identifier whose
//                           default is its upper bound. Its field list comes
//                           from the base.
//   Kel::ConstantHolder<T>  no attributes; empty text form; all equal.
//
// Attribute text follows the attribute's type: unsigned integers decimal,
// bool True/False, strings quoted (CharRange.h), nested value types their
// own text form. A RangeException from a nested value is re-raised naming
// the outer attribute.
//
// The bases are empty, so a value's size and field offsets are exactly its
// members': the stored images that other processes read stay as drawn.
#include <fmt/format.h>

#include <array>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <new>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "VexaSwitchLib/runtime/CharRange.h"
#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/QuivString.h"
#include "VexaSwitchLib/runtime/Types.h"

namespace Kel {

// One attribute: its name, its member and the member's byte offset in the
// value's image (what a generic client reads and writes).
// `writable`: a generic client may set it (Reflection.h); attributes are
// read-only to generic clients unless the field list says settable().
template <class C, class M>
struct Field {
  std::string_view name;
  M C::*member;
  std::size_t offset;
  bool writable = false;
  using Type = M;
  using Class = C;
  static constexpr std::size_t size = sizeof(M);
  constexpr Field settable() const {
    Field f = *this;
    f.writable = true;
    return f;
  }
};

template <class C, class M>
constexpr Field<C, M> field(std::string_view name, M C::*member, std::size_t offset) {
  return {name, member, offset};
}

// Pins a value type's image: `size` bytes, of which `unnamed` belong to no
// field (padding), with the fields of kelFields() at `offsets`, in order.
// Every field must be listed, lie inside the image and not overlap the next.
// Used as static_assert(Kel::imageIs<T>(...)) beside the type.
template <class T, std::size_t N>
consteval bool imageIs(std::size_t size, std::size_t unnamed, std::size_t const (&offsets)[N]) {
  constexpr auto fields = T::kelFields();
  if (sizeof(T) != size || std::tuple_size_v<decltype(fields)> != N) return false;
  std::size_t starts[N + 1] = {};
  std::size_t ends[N + 1] = {};
  std::size_t named = 0;
  std::size_t i = 0;
  std::apply(
      [&](auto const&... f) {
        ((starts[i] = f.offset, ends[i] = f.offset + f.size, named += f.size, ++i), ...);
      },
      fields);
  for (i = 0; i < N; ++i) {
    if (starts[i] != offsets[i] || ends[i] > size) return false;
    if (i + 1 < N && ends[i] > starts[i + 1]) return false;
  }
  return named + unnamed == size;
}

// Attribute accessors (KEL_ATTR): the member is held in its stored form, the
// accessor speaks the attribute's type. They differ only for 64-bit numbers
// held on 4-byte boundaries (Kel::Unsigned64 read and written as U64).
template <class A, class M>
constexpr A attrOut(M m) {
  if constexpr (std::is_same_v<A, M>) return m;
  else return A(m.value());
}
template <class M, class A>
constexpr M attrIn(A v) {
  if constexpr (std::is_same_v<A, M>) return v;
  else return M(v);
}

template <class T>
  requires(std::unsigned_integral<T> && !std::same_as<T, bool> && !std::same_as<T, unsigned long long>)
Quiv::String valueToStrep(T v) {
  return valueToStrep(static_cast<unsigned long long>(v));
}

// Field access through a member pointer. Stored images keep 64-bit fields
// on 4-byte boundaries (packed records), and a member pointer does not
// carry the packing: such fields are copied bytewise rather than bound to
// a misaligned reference.
// The value may be of a type derived from the field's class (a Scalar's
// field belongs to its base).
template <class V, class C, class M>
  requires std::derived_from<V, C>
M fieldGet(V const& v, Field<C, M> const& f) {
  C const& c = v;
  if constexpr (alignof(M) > alignof(C)) {
    static_assert(std::is_trivially_copyable_v<M>);
    alignas(M) unsigned char raw[sizeof(M)];
    std::memcpy(raw, static_cast<void const*>(&(c.*(f.member))), sizeof(M));
    return *std::launder(reinterpret_cast<M*>(raw));
  } else {
    return c.*(f.member);
  }
}

template <class V, class C, class M>
  requires std::derived_from<V, C>
void fieldSet(V& value, Field<C, M> const& f, M const& v) {
  C& c = value;
  if constexpr (alignof(M) > alignof(C)) {
    std::memcpy(static_cast<void*>(&(c.*(f.member))), &v, sizeof(M));
  } else {
    c.*(f.member) = v;
  }
}

// ---- attribute text ---------------------------------------------------------

// Primary: a nested value type with its own valueToStrep and parsing
// constructor. Enumerations and other foreign types specialise AttrText.
template <class M>
struct AttrText {
  static void append(std::string& out, M const& v) { out += valueToStrep(v).view(); }
  static M parse(CharRange& r, std::string_view name) {
    try {
      return M(r);
    } catch (RangeException const&) {
      rethrowFromDeserializeAttr(name);
    }
  }
};

template <class M>
  requires(std::unsigned_integral<M> && !std::same_as<M, bool>)
struct AttrText<M> {
  static void append(std::string& out, M v) { fmt::format_to(std::back_inserter(out), "{}", v); }
  static M parse(CharRange& r, std::string_view name) { return deserializeAttr<M>(r, name); }
};

template <>
struct AttrText<bool> {
  static void append(std::string& out, bool v) { out += v ? "True" : "False"; }
  static bool parse(CharRange& r, std::string_view name) { return deserializeAttr<bool>(r, name); }
};

template <>
struct AttrText<Quiv::String> {
  static void append(std::string& out, Quiv::String const& v) { appendQuoted(out, v.view()); }
  static Quiv::String parse(CharRange& r, std::string_view name) {
    return deserializeAttr<Quiv::String>(r, name);
  }
};

// ---- what a type shows generic clients beyond its fields --------------------
//
// Besides kelFields() a type may list, in the same class:
//   kelViews()      read-only attributes computed from the value:
//                   Kel::view("way", &L2HashTableIndex::way)
//   kelFunctions()  functions by name and parameter names (not callable
//                   generically, named in the type's attribute table):
//                   Kel::function("fromWayIndex", "way", "index", ...)
//   kelConstants()  named constants: Kel::constant("emptyId", emptyId)
//   kelCtorArgs     how many leading fields the generic constructor takes
//   kelHashable     hashed by generic clients (genericIfHash)
// The attribute table of a type (Reflection.h) is derived from these lists:
// ids from 2 in the order fields, views, functions, constants.

template <class C, class R>
struct View {
  std::string_view name;
  R (C::*get)() const;
  using Type = std::remove_cvref_t<R>;
};
template <class C, class R>
constexpr View<C, R> view(std::string_view name, R (C::*get)() const) {
  return {name, get};
}

template <std::size_t N>
struct Function {
  std::string_view name;
  std::array<std::string_view, N> params;
};
template <class... P>
constexpr Function<sizeof...(P)> function(std::string_view name, P... params) {
  return {name, {std::string_view(params)...}};
}

template <class V>
struct Constant {
  std::string_view name;
  V value;
  using Type = V;
};
template <class V>
constexpr Constant<V> constant(std::string_view name, V value) {
  return {name, value};
}

template <class T>
constexpr auto fieldsOf() {
  if constexpr (requires { T::kelFields(); }) return T::kelFields();
  else return std::tuple<>();
}
template <class T>
constexpr auto viewsOf() {
  if constexpr (requires { T::kelViews(); }) return T::kelViews();
  else return std::tuple<>();
}
template <class T>
constexpr auto functionsOf() {
  if constexpr (requires { T::kelFunctions(); }) return T::kelFunctions();
  else return std::tuple<>();
}
template <class T>
constexpr auto constantsOf() {
  if constexpr (requires { T::kelConstants(); }) return T::kelConstants();
  else return std::tuple<>();
}
template <class T>
constexpr std::size_t ctorArgsOf() {
  if constexpr (requires { T::kelCtorArgs; }) return T::kelCtorArgs;
  else return 0;
}
template <class T>
constexpr bool hashableOf() {
  if constexpr (requires { T::kelHashable; }) return T::kelHashable;
  else return false;
}

// ---- records ----------------------------------------------------------------

template <class T>
class Record {
 public:
  friend bool operator==(T const& a, T const& b) {
    return std::apply([&](auto const&... f) { return ((fieldGet(a, f) == fieldGet(b, f)) && ...); },
                      T::kelFields());
  }
  // True when the value differs from its type's default.
  explicit operator bool() const { return !(static_cast<T const&>(*this) == T()); }

 protected:
  using KelSelf = T;
  Record() = default;
};

template <class T>
concept RecordType = std::derived_from<T, Record<T>> && requires {
  T::kelTypeName;
  T::kelFields();
};

template <RecordType T>
void appendStrep(std::string& out, T const& v) {
  out += "Value('";
  out += T::kelTypeName;
  out += "', ** {";
  bool first = true;
  std::apply(
      [&](auto const&... f) {
        (([&] {
           if (!first) out += ", ";
           first = false;
           out += '\'';
           out += f.name;
           out += "': ";
           using M = typename std::remove_cvref_t<decltype(f)>::Type;
           AttrText<M>::append(out, fieldGet(v, f));
         }()),
         ...);
      },
      T::kelFields());
  out += "})";
}

template <RecordType T>
Quiv::String valueToStrep(T const& v) {
  std::string out;
  appendStrep(out, v);
  return Quiv::String(std::move(out));
}

template <RecordType T>
std::ostream& operator<<(std::ostream& os, T const& v) {
  return os << valueToStrep(v).view();
}

// The exact inverse of valueToStrep. Parses into `v` (already defaulted by
// its constructor); on failure raises and the caller gets no value.
template <RecordType T>
void parseRecord(T& v, CharRange& r) {
  std::string opening = "Value('";
  opening += T::kelTypeName;
  opening += "', ** {";
  r.needString(opening);
  bool first = true;
  std::apply(
      [&](auto const&... f) {
        (([&] {
           std::string label = first ? "'" : ", '";
           first = false;
           label += f.name;
           label += "': ";
           r.needString(label);
           using M = typename std::remove_cvref_t<decltype(f)>::Type;
           fieldSet(v, f, AttrText<M>::parse(r, f.name));
         }()),
         ...);
      },
      T::kelFields());
  r.needString("})");
}

// ---- single attribute ---------------------------------------------------------

template <class T>
class Single {
 public:
  friend bool operator==(T const& a, T const& b) {
    auto const f = std::get<0>(T::kelFields());
    return fieldGet(a, f) == fieldGet(b, f);
  }
  explicit operator bool() const { return !(static_cast<T const&>(*this) == T()); }

 protected:
  using KelSelf = T;
  Single() = default;
};

template <class T>
concept SingleType = std::derived_from<T, Single<T>> && requires {
  T::kelTypeName;
  T::kelFields();
} && std::tuple_size_v<decltype(T::kelFields())> == 1;

template <SingleType T>
Quiv::String valueToStrep(T const& v) {
  auto const f = std::get<0>(T::kelFields());
  using M = typename decltype(f)::Type;
  std::string out;
  AttrText<M>::append(out, fieldGet(v, f));
  return Quiv::String(std::move(out));
}

template <SingleType T>
std::ostream& operator<<(std::ostream& os, T const& v) {
  return os << valueToStrep(v).view();
}

// The exact inverse of valueToStrep for a single-attribute value; a range
// failure names the attribute.
template <SingleType T>
void parseSingle(T& v, CharRange& r) {
  auto const f = std::get<0>(T::kelFields());
  using M = typename decltype(f)::Type;
  fieldSet(v, f, AttrText<M>::parse(r, f.name));
}

// ---- single unsigned attribute ------------------------------------------------

// A 64-bit number held as two 32-bit halves, low first, so that its image is
// the little-endian U64 on a 4-byte boundary. Text form: the decimal number.
struct U64Halves {
  U32 lo = 0;
  U32 hi = 0;
  static constexpr U64Halves of(U64 v) { return {static_cast<U32>(v), static_cast<U32>(v >> 32)}; }
  constexpr U64 get() const { return (U64(hi) << 32) | lo; }
  friend constexpr bool operator==(U64Halves const&, U64Halves const&) = default;
};

template <>
struct AttrText<U64Halves> {
  static void append(std::string& out, U64Halves v) { fmt::format_to(std::back_inserter(out), "{}", v.get()); }
  static U64Halves parse(CharRange& r, std::string_view name) { return U64Halves::of(deserializeAttr<U64>(r, name)); }
};

template <class T, class U>
class Scalar {
 public:
  using ValueType = U;
  constexpr U value() const { return load(); }

  friend constexpr bool operator==(T const& a, T const& b) { return a.value() == b.value(); }
  explicit constexpr operator bool() const { return value() != defaultValue(); }

  static constexpr bool bounded() { return requires { T::kelUpper; }; }
  static constexpr U defaultValue() {
    if constexpr (requires { T::kelDefault; }) return T::kelDefault;
    else if constexpr (bounded()) return T::kelUpper;
    else return U(0);
  }
  static constexpr std::string_view attrName() {
    if constexpr (requires { T::kelAttrName; }) return T::kelAttrName;
    else return "value";
  }
  // Raises the type's range exception when v is above its upper bound.
  static constexpr void checkRange(U64 v) {
    if constexpr (bounded()) {
      if (v > U64(T::kelUpper)) throwRangeException(rangeMessage());
    } else if constexpr (sizeof(U) < sizeof(U64)) {
      if (v <= std::numeric_limits<U>::max()) return;
      throwRangeException(fmt::format("{}::{} {} is above {}", T::kelTypeName, attrName(), v,
                                      std::numeric_limits<U>::max()));
    }
  }
  static std::string rangeMessage() {
    if constexpr (requires { T::kelLowerName; })
      return fmt::format("{0}::{1} < {0}::{2} or > {0}::{3} not allowed", T::kelTypeName,
                         attrName(), T::kelLowerName, T::kelUpperName);
    else
      return fmt::format("{0}::{1} < 0 or > {0}::{2} not allowed", T::kelTypeName, attrName(),
                         T::kelUpperName);
  }

  constexpr Scalar() { store(defaultValue()); }
  explicit constexpr Scalar(U v) {
    checkRange(v);
    store(v);
  }
  explicit Scalar(CharRange& r) {
    store(defaultValue());
    // Read the widest number so that a value past U's width still gets the
    // type's own range message rather than a truncation.
    U64 v = deserializeAttr<U64>(r, attrName());
    checkRange(v);
    store(static_cast<U>(v));
  }

 protected:
  // Bit views of the value for the wrappers' read-only accessors.
  constexpr U bits(unsigned lo, unsigned width) const {
    return static_cast<U>((U64(value()) >> lo) & ((U64(1) << width) - 1));
  }
  constexpr bool bit(unsigned n) const { return (U64(value()) >> n) & 1; }

 private:
  // A 64-bit value is held as two 32-bit halves (low first, so the image is
  // the little-endian U64): stored images keep 64-bit fields on 4-byte
  // boundaries, and an alignment of 4 lets these types sit there without
  // packing.
  static constexpr bool split = sizeof(U) == 8;
  using Storage = std::conditional_t<split, U64Halves, U>;
  constexpr void store(U v) {
    if constexpr (split) value_ = U64Halves::of(v);
    else value_ = v;
  }
  constexpr U load() const {
    if constexpr (split) return static_cast<U>(value_.get());
    else return value_;
  }
  Storage value_{};

 public:
  // The one attribute, at the start of the image.
  static constexpr auto kelFields() {
    return std::make_tuple(field(attrName(), &Scalar::value_, offsetof(Scalar, value_)));
  }
  // A bounded identifier's bounds are its named constants (the lower one
  // only when it has a name); the generic constructor takes the raw value.
  static constexpr auto kelConstants() {
    if constexpr (requires { T::kelLowerName; })
      return std::make_tuple(Kel::constant(T::kelLowerName, U(0)), Kel::constant(T::kelUpperName, U(T::kelUpper)));
    else if constexpr (requires { T::kelUpperName; })
      return std::make_tuple(Kel::constant(T::kelUpperName, U(T::kelUpper)));
    else
      return std::tuple<>();
  }
  static constexpr std::size_t kelCtorArgs = 1;
};

template <class T>
concept ScalarType = std::derived_from<T, Scalar<T, typename T::ValueType>>;

template <ScalarType T>
Quiv::String valueToStrep(T const& v) {
  return valueToStrep(static_cast<unsigned long long>(v.value()));
}

template <ScalarType T>
std::ostream& operator<<(std::ostream& os, T const& v) {
  return os << static_cast<unsigned long long>(v.value());
}

template <ScalarType T>
  requires(T::bounded())
constexpr bool operator<(T const& a, T const& b) {
  return a.value() < b.value();
}

// A plain 64-bit unsigned attribute held on a 4-byte boundary (two 32-bit
// halves), for stored images whose 64-bit fields are not 8-aligned. Its
// text form is the decimal number, as for a U64 attribute.
class Unsigned64 : public Scalar<Unsigned64, U64> {
 public:
  static constexpr std::string_view kelTypeName = "U64";
  using Scalar::Scalar;
};
static_assert(sizeof(Unsigned64) == 8 && alignof(Unsigned64) == 4);

// ---- constant holders ---------------------------------------------------------

template <class T>
class ConstantHolder {
 public:
  friend constexpr bool operator==(T const&, T const&) { return true; }
  explicit constexpr operator bool() const { return false; }

 protected:
  constexpr ConstantHolder() = default;
  explicit ConstantHolder(CharRange&) {}
};

template <class T>
  requires std::derived_from<T, ConstantHolder<T>>
Quiv::String valueToStrep(T const&) {
  return Quiv::String();
}

template <class T>
  requires std::derived_from<T, ConstantHolder<T>>
std::ostream& operator<<(std::ostream& os, T const&) {
  return os;
}

}  // namespace Kel

// The field-list entry of attribute `name`, held in member name_ of the type
// being declared (KelSelf, from its base). For use inside kelFields().
#define KEL_FIELD(name) ::Kel::field(#name, &KelSelf::name##_, offsetof(KelSelf, name##_))

// Reader name() and setter nameIs(v) of attribute `name` (member name_),
// speaking `type`.
#define KEL_ATTR(type, name)                                       \
  type name() const { return ::Kel::attrOut<type>(name##_); }      \
  void name##Is(type v) { name##_ = ::Kel::attrIn<decltype(name##_)>(v); }

// Makes the value functions callable qualified by a value type's namespace
// (VexaSwitch::valueToStrep(x)), as well as through argument lookup.
#define KEL_VALUE_FUNCTIONS() \
  using ::Kel::valueToStrep;  \
  using ::Kel::operator<<

template <class T>
  requires(Kel::RecordType<T> || Kel::SingleType<T> || Kel::ScalarType<T>)
struct fmt::formatter<T> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(T const& v, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(valueToStrep(v).view(), ctx);
  }
};
