#pragma once
// The framework's deterministic hash.
//
// hashSingleAttr(seed, v) widens an integer attribute to 64 bits, combines
// it with the seed and runs MurmurHash3's 64-bit finaliser ("fmix64"), then
// folds the result to 32 bits. fmix64 is a bijection with full avalanche, so
// for a fixed seed distinct 64-bit values never collide before the fold and
// every input bit affects every output bit with probability close to 1/2;
// the cost is two multiplies and three shift-xors. Byte strings are hashed
// 8 bytes at a time through the same mixer.
//
// The result is the same on every run, process and machine: shared-memory
// tables store their seed and rely on writers and readers computing equal
// hashes.
#include <concepts>
#include <cstddef>
#include <string_view>

#include "VexaSwitchLib/runtime/QuivString.h"
#include "VexaSwitchLib/runtime/Types.h"

namespace Kel {

constexpr U64 fmix64(U64 k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  k ^= k >> 33;
  return k;
}

constexpr U64 seedWord(U32 seed) { return 0x9E3779B97F4A7C15ULL * (U64(seed) + 1); }
constexpr U32 fold32(U64 h) { return static_cast<U32>(h ^ (h >> 32)); }

template <class T>
  requires std::unsigned_integral<T>
constexpr U32 hashSingleAttr(U32 seed, T value) {
  return fold32(fmix64(U64(value) ^ seedWord(seed)));
}

U32 hashBytes(U32 seed, void const* data, std::size_t len);
inline U32 hashSingleAttr(U32 seed, Quiv::String const& s) { return hashBytes(seed, s.data(), s.size()); }
inline U32 hashSingleAttr(U32 seed, std::string_view s) { return hashBytes(seed, s.data(), s.size()); }

// Combines a further 32-bit word into a running hash (for composite keys).
constexpr U32 hashCombine(U32 h, U64 word) { return fold32(fmix64(word ^ seedWord(h))); }

struct HashHelper {
  // The framework's hash seed for in-process keyed collections.
  static constexpr U32 hashSeed32() { return 0x5bd1e995u; }
};

}  // namespace Kel
