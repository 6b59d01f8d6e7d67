#pragma once
// Every table's engine instantiations (writer, reader, shadow).
#include "tables/AclZolm.h"
#include "tables/L2Zolm.h"
#include "tables/L3Zolm.h"
#include "tables/LagZolm.h"
#include "tables/NatZolm.h"
#include "tables/VlanZolm.h"

namespace VexaSwitch {

// Every table's key/value pair, once (the L2 and multicast-MAC tables share
// one).
template <class... Ops>
struct TableOpsList {
  // Calls f.template operator()<Ops>() for each pair in order until one
  // returns true; returns whether one did.
  template <class F>
  static bool any(F&& f) {
    return (f.template operator()<Ops>() || ...);
  }
};
using AllTableOps =
    TableOpsList<AclCounterStatusOps, L2TableConfigOps, MlagIntfConfigOps, LpmTableConfigOps, NexthopTableConfigOps,
                 LpmTableStatusOps, TableStatusOps, LpmHitTableStatusOps, VlanGroupTableConfigOps,
                 VlanGroupTableStatusOps, L3FloodTableConfigOps, MrouteTableConfigOps, MrouteTableStatusOps,
                 MrouteHitTableStatusOps, LagGroupIdTableOps, NatConfigOps, NatStatusOps,
                 VlanMembershipTableConfigOps>;

}  // namespace VexaSwitch
