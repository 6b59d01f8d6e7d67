#pragma once
// AclCounter: one ACL counter, the entry of the ACL counter status table.
// Image (16 bytes): key at 0, count at 8.
#include <string_view>

#include "runtime/Nox.h"
#include "runtime/ValueType.h"

namespace VexaSwitch {

class AclCounter : public Kel::Record<AclCounter> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::AclCounter";
  static constexpr auto kelFields() {
    return std::make_tuple(Kel::field("key", &AclCounter::key_), Kel::field("count", &AclCounter::count_));
  }
  AclCounter() = default;
  explicit AclCounter(Nox::UniqueId key, U64 count = 0) : key_(key), count_(count) {}
  explicit AclCounter(Kel::CharRange& r) { Kel::parseRecord(*this, r); }

  Nox::UniqueId const& key() const { return key_; }
  U64 count() const { return count_; }
  void countIs(U64 c) { count_ = c; }

 private:
  Nox::UniqueId key_;
  U64 count_ = 0;
};
static_assert(sizeof(AclCounter) == 16);

KEL_VALUE_FUNCTIONS();

}  // namespace VexaSwitch
