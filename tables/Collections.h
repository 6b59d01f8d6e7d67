#pragma once
// Every table's engine instantiations (writer, reader, shadow).
#include "VexaSwitchLib/tables/AclZolm.h"
#include "VexaSwitchLib/tables/L2Zolm.h"
#include "VexaSwitchLib/tables/L3Zolm.h"
#include "VexaSwitchLib/tables/LagZolm.h"
#include "VexaSwitchLib/tables/NatZolm.h"
#include "VexaSwitchLib/tables/VlanZolm.h"

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
                 VlanMembershipTableConfigOps, VlanMembershipTableAclConfigOps>;

}  // namespace VexaSwitch
