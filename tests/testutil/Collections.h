#pragma once
// The 20 collection classes as one type list for typed tests, and what
// such a test needs of each: its pattern operations whatever its
// attribute word (AclCounterStatus names them counter...), random values
// of distinct keys, and an observer that records what it is told.
#include <gtest/gtest.h>

#include <any>
#include <random>
#include <vector>

#include "VexaSwitchLib/tables/Collections.h"
#include "testutil/Values.h"

namespace VexaTest {

using AllCollections = ::testing::Types<
    VexaSwitch::AclCounterStatus, VexaSwitch::VlanMembershipTableAclConfig, VexaSwitch::L2TableConfig,
    VexaSwitch::McastMacTableConfig, VexaSwitch::MlagIntfConfig, VexaSwitch::LpmTableConfig,
    VexaSwitch::NexthopTableConfig, VexaSwitch::LpmTableStatus, VexaSwitch::TableStatus, VexaSwitch::LpmHitTableStatus,
    VexaSwitch::VlanGroupTableConfig, VexaSwitch::VlanGroupTableStatus, VexaSwitch::L3FloodTableConfig,
    VexaSwitch::MrouteTableConfig, VexaSwitch::MrouteTableStatus, VexaSwitch::MrouteHitTableStatus,
    VexaSwitch::LagGroupIdTable, VexaSwitch::NatConfig, VexaSwitch::NatStatus, VexaSwitch::VlanMembershipTableConfig>;

// The pattern's operations of any collection class (through its base,
// where AclCounterStatus keeps them under its own names).
template <class C>
typename C::Collection& ops(Kel::Ptr<C> const& c) {
  return *c;
}

template <class C>
std::vector<typename C::Value> valuesFor(U64 seed, std::size_t n) {
  std::mt19937_64 rng(seed);
  return distinctValues<typename C::Value>(rng, n, [](auto const& v) { return C::Wrap::fwkKey(v); });
}

// Every key the collection told of (attribute 258), and how often the
// control changed (259).
template <class C>
struct Observer : Kel::Notifiee {
  using Key = typename C::Key;
  std::vector<Key> keys;
  U32 controls = 0;
  Kel::NotifieeList* list;
  explicit Observer(Kel::Ptr<C> const& c) : list(&c->notifieeList()) { list->newMember(this); }
  ~Observer() override { list->deleteMember(this); }
  void onAttr(U32 id) override { controls += id == KelZolm::ATTR_CONTROL; }
  void onAttr(U32 id, std::any const& key) override {
    if (id == KelZolm::ATTR_COLLECTION) keys.push_back(std::any_cast<Key>(key));
  }
};

// The entries of a collection in its iteration order.
template <class C>
std::vector<typename C::Value> contentsOf(C const& c) {
  std::vector<typename C::Value> out;
  for (auto it = c.entryIterConst(); it; ++it) out.push_back(*it);
  return out;
}

}  // namespace VexaTest
