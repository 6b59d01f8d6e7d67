#pragma once
// LAG group numbers and the LAG group table's entry.
#include <string_view>

#include "VexaSwitchLib/runtime/Hash.h"
#include "VexaSwitchLib/runtime/Lanx.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace VexaSwitch {

// A LAG group number 0..63; 63 (emptyId, the default) means no group.
class LagGroupId : public Kel::Scalar<LagGroupId, U32> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::LagGroupId";
  static constexpr std::string_view kelUpperName = "emptyId";
  static constexpr U32 emptyId = 63;
  static constexpr U32 kelUpper = emptyId;
  static constexpr bool kelHashable = true;
  using Scalar::Scalar;
  U32 hash(U32 seed) const { return Kel::hashSingleAttr(seed, value()); }
};
static_assert(Kel::imageIs<LagGroupId>(4, 0, {0}));

// Image (12 bytes): key at 0, lagIntf at 4.
class LagGroupIdEntry : public Kel::Record<LagGroupIdEntry> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::LagGroupIdEntry";
  static constexpr auto kelFields() { return std::make_tuple(KEL_FIELD(key), KEL_FIELD(lagIntf)); }
  static constexpr std::size_t kelCtorArgs = 2;
  LagGroupIdEntry() = default;
  LagGroupIdEntry(LagGroupId key, Lanx::IntfId lagIntf) : key_(key), lagIntf_(lagIntf) {}
  explicit LagGroupIdEntry(Kel::CharRange& r) { Kel::parseRecord(*this, r); }

  LagGroupId key() const { return key_; }
  KEL_ATTR(Lanx::IntfId, lagIntf)

 private:
  LagGroupId key_;
  Lanx::IntfId lagIntf_;
};
static_assert(Kel::imageIs<LagGroupIdEntry>(12, 0, {0, 4}));

KEL_VALUE_FUNCTIONS();

}  // namespace VexaSwitch
