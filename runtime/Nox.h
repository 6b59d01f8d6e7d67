#pragma once
// Nox-module value types: process-unique ids and 32-bit sequence numbers.
#include <compare>
#include <string_view>

#include "VexaSwitchLib/runtime/Hash.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace Nox {

// A unique id: the issuing process and a per-process counter. The initial
// (default) id is all-zero. Image: 8 bytes, pid at 0, counter at 4.
class UniqueId : public Kel::Record<UniqueId> {
 public:
  static constexpr std::string_view kelTypeName = "Nox::UniqueId";
  static constexpr auto kelFields() { return std::make_tuple(KEL_FIELD(pid), KEL_FIELD(counter)); }
  constexpr UniqueId() = default;
  constexpr UniqueId(U32 pid, U32 counter) : pid_(pid), counter_(counter) {}
  explicit UniqueId(Kel::CharRange& r) { Kel::parseRecord(*this, r); }

  constexpr U32 pid() const { return pid_; }
  constexpr U32 counter() const { return counter_; }
  constexpr U64 packed() const { return (U64(pid_) << 32) | counter_; }
  U32 hash(U32 seed) const { return Kel::hashSingleAttr(seed, packed()); }
  friend constexpr bool operator<(UniqueId const& a, UniqueId const& b) { return a.packed() < b.packed(); }

 private:
  U32 pid_ = 0;
  U32 counter_ = 0;
};
static_assert(Kel::imageIs<UniqueId>(8, 0, {0, 4}));

// A 32-bit sequence number (wraps); text form is the bare number.
class Seqno32 : public Kel::Scalar<Seqno32, U32> {
 public:
  static constexpr std::string_view kelTypeName = "Nox::Seqno32";
  using Scalar::Scalar;
};
static_assert(Kel::imageIs<Seqno32>(4, 0, {0}));

KEL_VALUE_FUNCTIONS();

}  // namespace Nox
