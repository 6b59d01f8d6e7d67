#pragma once
// The key/value pairs the engine is built for, one per table (the L2 and
// multicast-MAC tables share one). The ACL counter table has no
// notification queue. The per-VLAN ACL binding stores variable-size values
// through the slab and is instantiated with it.
#include "Zolm/Ops.h"
#include "Zolm/ZolmReader.h"
#include "Zolm/ZolmShadow.h"
#include "Zolm/ZolmWriter.h"
#include "tables/AclZolm.h"
#include "tables/L2Types.h"
#include "tables/L3Types.h"
#include "tables/LagTypes.h"
#include "tables/VlanTypes.h"

namespace Zolm {

#define VEXA_ZOLM_INSTANTIATIONS(X)                                               \
  X(AclCounterStatus, Nox::UniqueId, VexaSwitch::AclCounter, 0)                   \
  X(L2TableConfig, Bridging::MacVlanPair, VexaSwitch::L2LogicalEntry, 2)          \
  X(MlagIntfConfig, Lanx::IntfId, VexaSwitch::MlagIntfEntry, 2)                   \
  X(LpmTableConfig, VexaSwitch::EntryKey, VexaSwitch::LpmEntryConfig, 2)          \
  X(NexthopTableConfig, VexaSwitch::EntryKey, VexaSwitch::NexthopEntryConfig, 2)  \
  X(LpmTableStatus, VexaSwitch::EntryKey, VexaSwitch::LpmEntryStatus, 2)          \
  X(TableStatus, VexaSwitch::EntryKey, VexaSwitch::EntryStatusBase, 2)            \
  X(LpmHitTableStatus, VexaSwitch::LpmKey, VexaSwitch::LpmHitEntryStatus, 2)      \
  X(VlanGroupTableConfig, VexaSwitch::VlanGroupKey, VexaSwitch::VlanGroupEntryConfig, 2) \
  X(VlanGroupTableStatus, VexaSwitch::VlanGroupKey, VexaSwitch::VlanGroupEntryStatus, 2) \
  X(L3FloodTableConfig, Lanx::IntfId, VexaSwitch::L3FloodEntryConfig, 2)          \
  X(MrouteTableConfig, VexaSwitch::MrouteKey, VexaSwitch::MrouteEntryConfig, 2)   \
  X(MrouteTableStatus, VexaSwitch::MrouteKey, VexaSwitch::MrouteEntryStatus, 2)   \
  X(MrouteHitTableStatus, VexaSwitch::MrouteKey, VexaSwitch::MrouteHitEntryStatus, 2) \
  X(LagGroupIdTable, VexaSwitch::LagGroupId, VexaSwitch::LagGroupIdEntry, 2)      \
  X(NatConfig, VexaSwitch::EntryKey, VexaSwitch::NatSessionConfig, 2)             \
  X(NatStatus, VexaSwitch::EntryKey, VexaSwitch::NatSessionStatus, 2)             \
  X(VlanMembershipTableConfig, Bridging::VlanId, VexaSwitch::VlanMembershipEntryConfig, 2)

#define VEXA_ZOLM_OPS_ALIAS(table, K, V, flags) using table##Ops = Ops<K, V, flags>;
VEXA_ZOLM_INSTANTIATIONS(VEXA_ZOLM_OPS_ALIAS)
#undef VEXA_ZOLM_OPS_ALIAS

#define VEXA_ZOLM_EXTERN(table, K, V, flags)          \
  extern template class ZolmWriter<Ops<K, V, flags>>; \
  extern template class ZolmReader<Ops<K, V, flags>>; \
  extern template class ZolmShadow<Ops<K, V, flags>>;
VEXA_ZOLM_INSTANTIATIONS(VEXA_ZOLM_EXTERN)
#undef VEXA_ZOLM_EXTERN

}  // namespace Zolm
