// The module records of the library's units, registered with the runtime
// once, when the library is loaded.
//
// All modules are registered from this one static initialiser so that their
// order is the units' link order whatever the linker does with the object
// files: ACL, L2 tables, L2 types, L3 tables, LAG, (interface filter: no
// types), profile, switch constants, (hash utilities: no types), NAT tables,
// table ids, status packet, trailer, VLAN table, VLAN types. After them comes
// one module that is not the library's own: the sibling modules' types and
// the helper scalars that our tables hold (keys, L3 entries), so that a
// generic client can read any table's keys and values by name.
//
// Each module lists its types in declaration order (the index is a type's
// fwkType index; the collection indices are fixed by the collection units)
// and the names it refers to without defining them. Everything else — the
// pools, attribute ids, descriptor tables — is derived from the types' own
// descriptions (runtime/TypeImpl.h). Registering at load hands the runtime
// one maker per module; the records are laid out when a client first looks
// at the registry (about 0.2 ms, warm), so programs that never do pay
// nothing for them.
//
// The collection classes are described by name and attributes; their
// operations are added here (Kel::CollectionTypeImpl) with their units.
#include "VexaSwitchLib/runtime/CollectionTypeImpl.h"
#include "VexaSwitchLib/runtime/Nox.h"
#include "VexaSwitchLib/runtime/Oka.h"
#include "VexaSwitchLib/runtime/TypeImpl.h"
#include "VexaSwitchLib/tables/AclTypes.h"
#include "VexaSwitchLib/tables/L2Types.h"
#include "VexaSwitchLib/tables/L3Types.h"
#include "VexaSwitchLib/tables/LagTypes.h"
#include "VexaSwitchLib/tables/NatTypes.h"
#include "VexaSwitchLib/tables/StatusPacketTypes.h"
#include "VexaSwitchLib/tables/TrailerTypes.h"
#include "VexaSwitchLib/tables/VexaSwitchProfileTypes.h"
#include "VexaSwitchLib/tables/VexaSwitchTypes.h"
#include "VexaSwitchLib/tables/VlanTypes.h"
#include "VexaSwitchLib/tables/ZolmTypes.h"

namespace {

using namespace VexaSwitch;
using Kel::ModuleBuilder;
template <class T>
Kel::TypeSpec value() {
  return Kel::ValueTypeImpl<T>::spec();
}
template <class E>
Kel::TypeSpec entity() {
  return Kel::EntityTypeImpl<E>::spec();
}
Kel::TypeSpec table(std::string_view name, std::string_view valueType) {
  return Kel::collectionSpec(name, "entry", "entryControl", valueType);
}

// One maker per module, in link order; each lays out its record when a
// client first looks at the registry.
Kel::Module const* aclModule() {
  return ModuleBuilder("ACL", {"Nox::UniqueId", "Bridging::VlanId", "Kel::String", "Kel::VoidPtr",
                               "Kel::VoidPtrConst", "U32"})
      .type(value<VlanMembershipAclEntryConfig>())
      .type(table("VexaSwitch::VlanMembershipTableAclConfig", VlanMembershipAclEntryConfig::kelTypeName))
      .type(value<AclCounter>())
      .type(Kel::collectionSpec("VexaSwitch::AclCounterStatus", "counter", "counterControl", AclCounter::kelTypeName))
      .build();
}

Kel::Module const* l2TablesModule() {
  return ModuleBuilder("L2 tables", {"Kel::String"})
      .type(table("VexaSwitch::MlagIntfConfig", MlagIntfEntry::kelTypeName))
      .type(table("VexaSwitch::L2TableConfig", L2LogicalEntry::kelTypeName))
      .type(table("VexaSwitch::McastMacTableConfig", L2LogicalEntry::kelTypeName))
      .build();
}

Kel::Module const* l2TypesModule() {
  return ModuleBuilder("L2 types", {"Lanx::IntfId", "Bridging::MacVlanPair", "ProfileHwProperties", "U8", "U16",
                                    "U32", "U64", "bool"})
      .type(value<L2Constants>())
      .type(value<L2HashTableControl>())
      .type(value<L2HashTableHwEntry>())
      .type(value<L2HashTableIndex>())
      .type(value<L2HwLastSeen>())
      .type(value<L2LogicalEntry>())
      .type(value<L2McastFlags>())
      .type(value<L2PortControl>())
      .type(value<MlagIntfEntry>())
      .build();
}

Kel::Module const* l3TablesModule() {
  return ModuleBuilder("L3 tables", {"Kel::String"})
      .type(table("VexaSwitch::LpmTableConfig", LpmEntryConfig::kelTypeName))
      .type(table("VexaSwitch::NexthopTableConfig", NexthopEntryConfig::kelTypeName))
      .type(table("VexaSwitch::LpmTableStatus", LpmEntryStatus::kelTypeName))
      .type(table("VexaSwitch::TableStatus", EntryStatusBase::kelTypeName))
      .type(table("VexaSwitch::LpmHitTableStatus", LpmHitEntryStatus::kelTypeName))
      .type(table("VexaSwitch::VlanGroupTableConfig", VlanGroupEntryConfig::kelTypeName))
      .type(table("VexaSwitch::VlanGroupTableStatus", VlanGroupEntryStatus::kelTypeName))
      .type(table("VexaSwitch::L3FloodTableConfig", L3FloodEntryConfig::kelTypeName))
      .type(table("VexaSwitch::MrouteTableConfig", MrouteEntryConfig::kelTypeName))
      .type(table("VexaSwitch::MrouteTableStatus", MrouteEntryStatus::kelTypeName))
      .type(table("VexaSwitch::MrouteHitTableStatus", MrouteHitEntryStatus::kelTypeName))
      .build();
}

Kel::Module const* lagModule() {
  return ModuleBuilder("LAG", {"Lanx::IntfId", "Kel::String", "U32"})
      .type(value<LagGroupId>())
      .type(value<LagGroupIdEntry>())
      .type(table("VexaSwitch::LagGroupIdTable", LagGroupIdEntry::kelTypeName))
      .build();
}

Kel::Module const* profileModule() {
  return ModuleBuilder("profile", {"ProfileName", "Kel::String"})
      .type(entity<ChipInfo>())
      .type(entity<ProfileInfoDir>())
      .build();
}

Kel::Module const* switchConstantsModule() {
  return ModuleBuilder("switch constants", {"Kel::String"})
      .type(value<MountConstants>())
      .type(value<PlatformConstants>())
      .withoutValueMethods()
      .build();
}

Kel::Module const* natTablesModule() {
  return ModuleBuilder("NAT tables", {"Kel::String"})
      .type(table("VexaSwitch::NatConfig", NatSessionConfig::kelTypeName))
      .type(table("VexaSwitch::NatStatus", NatSessionStatus::kelTypeName))
      .build();
}

Kel::Module const* tableIdsModule() {
  return ModuleBuilder("table ids", {"Kel::String"}).type(value<TableId>()).build();
}

Kel::Module const* statusPacketModule() {
  return ModuleBuilder("status packet", {}).type(entity<StatusPacket>()).build();
}

Kel::Module const* trailerModule() {
  return ModuleBuilder("trailer", {"U32"}).type(value<VexaEgressTrailer>()).build();
}

Kel::Module const* vlanTableModule() {
  return ModuleBuilder("VLAN table", {"Kel::String"})
      .type(table("VexaSwitch::VlanMembershipTableConfig", VlanMembershipEntryConfig::kelTypeName))
      .build();
}

Kel::Module const* vlanTypesModule() {
  return ModuleBuilder("VLAN types", {"Bridging::VlanId", "PipeId", "Kel::String"})
      .type(value<VlanMembershipEntryConfig>())
      .type(entity<VlanMembershipNatConfig>())
      .type(value<VlanMembershipNatConfig::NatPipeConfig>())
      .type(value<VlanMembershipNatConfig::NatVlanConfig>())
      .build();
}

Kel::Module const* referencedModule() {
  return ModuleBuilder("referenced types", {}, false)
      .type(value<Bridging::VlanId>())
      .type(value<Bridging::MacVlanPair>())
      .type(value<Lanx::IntfId>())
      .type(value<Nox::UniqueId>())
      .type(value<Nox::Seqno32>())
      .type(value<Oka::Central::DeviceId>())
      .type(value<IngressPortMask>())
      .type(value<VlanMembershipTableAclIndex>())
      .type(value<PipeAclId>())
      .type(value<PipeAclEnable>())
      .type(value<PipeAclDefaultPermit>())
      .type(value<PipeId>())
      .type(value<NatId>())
      .type(value<EntryKey>())
      .type(value<LpmKey>())
      .type(value<MrouteKey>())
      .type(value<VlanGroupKey>())
      .type(value<EntryStatusBase>())
      .type(value<LpmEntryConfig>())
      .type(value<LpmEntryStatus>())
      .type(value<LpmHitEntryStatus>())
      .type(value<NexthopEntryConfig>())
      .type(value<VlanGroupEntryConfig>())
      .type(value<VlanGroupEntryStatus>())
      .type(value<L3FloodEntryConfig>())
      .type(value<MrouteEntryConfig>())
      .type(value<MrouteEntryStatus>())
      .type(value<MrouteHitEntryStatus>())
      .type(value<NatSessionConfig>())
      .type(value<NatSessionStatus>())
      .build();
}

// At load: the makers in link order, a pointer each.
struct Registration {
  Registration() {
    for (auto make : {aclModule, l2TablesModule, l2TypesModule, l3TablesModule, lagModule, profileModule,
                      switchConstantsModule, natTablesModule, tableIdsModule, statusPacketModule, trailerModule,
                      vlanTableModule, vlanTypesModule, referencedModule})
      Kel::kelModuleIs(make);
  }
} const registration;

}  // namespace
