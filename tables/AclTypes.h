#pragma once
// AclCounter: one ACL counter, the entry of the ACL counter status table.
// Image (16 bytes): key at 0, count at 8.
#include <string_view>

#include "VexaSwitchLib/runtime/Nox.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace VexaSwitch {

class AclCounter : public Kel::Record<AclCounter> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::AclCounter";
  static constexpr auto kelFields() { return std::make_tuple(KEL_FIELD(key), KEL_FIELD(count).settable()); }
  static constexpr std::size_t kelCtorArgs = 1;
  AclCounter() = default;
  explicit AclCounter(Nox::UniqueId key, U64 count = 0) : key_(key), count_(count) {}
  explicit AclCounter(Kel::CharRange& r) { Kel::parseRecord(*this, r); }

  Nox::UniqueId const& key() const { return key_; }
  KEL_ATTR(U64, count)

 private:
  Nox::UniqueId key_;
  U64 count_ = 0;
};
static_assert(Kel::imageIs<AclCounter>(16, 0, {0, 8}));

KEL_VALUE_FUNCTIONS();

}  // namespace VexaSwitch
