#pragma once
// Random values of the table types, for tests that need many of any type:
// every field listed by the type's kelFields() gets a random value of its
// own kind (bounded ids within their range, fixed arrays a random count).
#include <random>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "VexaSwitchLib/runtime/Bridging.h"
#include "VexaSwitchLib/runtime/FixedArray.h"
#include "VexaSwitchLib/runtime/Lanx.h"
#include "VexaSwitchLib/runtime/ValueType.h"
#include "VexaSwitchLib/tables/LagTypes.h"

namespace VexaTest {

template <class M>
M randomValue(std::mt19937_64& rng);

template <class M>
struct FixedArrayOf {
  static constexpr bool yes = false;
};
template <class E, U32 N>
struct FixedArrayOf<Kel::FixedArray<E, N>> {
  static constexpr bool yes = true;
  using Elem = E;
};

template <class T>
T randomRecord(std::mt19937_64& rng) {
  T v;
  std::apply([&](auto const&... f) { (Kel::fieldSet(v, f, randomValue<typename std::remove_cvref_t<decltype(f)>::Type>(rng)), ...); },
             T::kelFields());
  return v;
}

template <class M>
M randomValue(std::mt19937_64& rng) {
  if constexpr (std::is_same_v<M, bool>) return rng() % 2;
  else if constexpr (std::is_unsigned_v<M>) return static_cast<M>(rng());
  else if constexpr (std::is_same_v<M, Bridging::VlanId>) return Bridging::VlanId(static_cast<U16>(rng() % 4096));
  else if constexpr (std::is_same_v<M, Bridging::EthAddr>) return Bridging::EthAddr::fromU48(rng() & 0xFFFFFFFFFFFFULL);
  else if constexpr (std::is_same_v<M, Lanx::IntfId>) {
    // Named ids and any image at all: every one must read back inside a record.
    static char const* const names[] = {"", "Ethernet1", "Ethernet4/2", "Port-Channel7", "Vlan20", "Cpu"};
    return rng() % 2 ? Lanx::IntfId(names[rng() % 6]) : Lanx::IntfId::fromRaw(rng());
  } else if constexpr (std::is_same_v<M, VexaSwitch::LagGroupId>) return VexaSwitch::LagGroupId(static_cast<U32>(rng() % 64));
  else if constexpr (std::is_same_v<M, Bridging::EntryType>) return static_cast<Bridging::EntryType>(rng() % 8);
  else if constexpr (std::is_same_v<M, Kel::U64Halves>) return Kel::U64Halves::of(rng());
  else if constexpr (FixedArrayOf<M>::yes) {
    // A fixed array: a random count of random elements.
    using E = typename FixedArrayOf<M>::Elem;
    M a;
    for (U32 i = 0, n = U32(rng() % (M::capacity + 1)); i < n; ++i) a.set(i, randomValue<E>(rng), E());
    return a;
  } else if constexpr (Kel::ScalarType<M>) {
    if constexpr (M::bounded()) return M(static_cast<typename M::ValueType>(rng() % (U64(M::kelUpper) + 1)));
    else return M(static_cast<typename M::ValueType>(rng()));
  }
  else return randomRecord<M>(rng);
}

// `v` with its key field set to `key`.
template <class V, class K>
V withKey(V v, K const& key) {
  std::apply(
      [&](auto const&... f) {
        auto one = [&](auto const& field) {
          if constexpr (std::is_same_v<typename std::remove_cvref_t<decltype(field)>::Type, K>)
            if (field.name == "key") Kel::fieldSet(v, field, key);
        };
        (one(f), ...);
      },
      V::kelFields());
  return v;
}

// Up to `n` random values of distinct keys (fewer when the key space is
// smaller), key by `keyOf`.
template <class V, class KeyOf>
std::vector<V> distinctValues(std::mt19937_64& rng, std::size_t n, KeyOf keyOf) {
  std::vector<V> out;
  for (std::size_t tries = 0; out.size() < n && tries < 50 * n; ++tries) {
    V v = randomRecord<V>(rng);
    bool seen = false;
    for (V const& o : out) seen = seen || keyOf(o) == keyOf(v);
    if (!seen) out.push_back(v);
  }
  return out;
}

}  // namespace VexaTest
