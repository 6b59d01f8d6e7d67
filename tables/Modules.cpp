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
#include "VexaSwitchLib/tables/Collections.h"

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

// What the generic operations reach of a collection class: every class
// of the pattern has the same members (KelZolm::Collection).
template <class C>
struct CollectionAccess {
  using Collection = C;
  using Key = typename C::Key;
  using Value = typename C::Value;
  using Control = KelZolm::CollectionControl;
  static constexpr std::string_view attr = C::ATTR_WORD;
  // Through the pattern's own names: a class may rename them for its
  // callers (AclCounterStatus: counterIs, ...).
  using Base = typename C::Collection;
  static Base& base(C& c) { return c; }
  static void set(C& c, Value const& v) { base(c).entryIs(v); }
  static Value del(C& c, Key const& k) { return base(c).entryDel(k); }
  static bool find(C& c, Key const& k, Value& out) { return base(c).entryFind(k, out); }
  static U32 count(C& c) { return base(c).entries(); }
  using Iterator = typename C::IteratorConst;
  static Iterator begin(C& c) { return base(c).entryIterConst(); }
  static Iterator from(C& c, Key const& k) { return base(c).entryIterConst(k); }
  static Kel::Ptr<Control> control(C& c) { return base(c).entryControl(); }
  static void controlIs(C& c, Kel::Ptr<Control> const& p) { base(c).entryControlIs(p); }
  [[noreturn]] static void corruptionDetected(C& c, Quiv::String const& msg) { c.map().doCorruptionDetected(msg); }
};

// A collection class's entry in its module: created through its static
// factory, as the free one does.
#define VEXA_COLLECTION_ACCESS(CLASS)                                      \
  struct CLASS##Access : CollectionAccess<VexaSwitch::CLASS> {             \
    static constexpr std::string_view typeName = "VexaSwitch::" #CLASS;    \
    static Kel::Ptr<VexaSwitch::CLASS> make(Quiv::String const& name) {    \
      return VexaSwitch::CLASS::CLASS##Is(name);                           \
    }                                                                      \
  };
VEXA_COLLECTION_ACCESS(VlanMembershipTableAclConfig)
VEXA_COLLECTION_ACCESS(AclCounterStatus)
VEXA_COLLECTION_ACCESS(MlagIntfConfig)
VEXA_COLLECTION_ACCESS(L2TableConfig)
VEXA_COLLECTION_ACCESS(McastMacTableConfig)
VEXA_COLLECTION_ACCESS(LpmTableConfig)
VEXA_COLLECTION_ACCESS(NexthopTableConfig)
VEXA_COLLECTION_ACCESS(LpmTableStatus)
VEXA_COLLECTION_ACCESS(TableStatus)
VEXA_COLLECTION_ACCESS(LpmHitTableStatus)
VEXA_COLLECTION_ACCESS(VlanGroupTableConfig)
VEXA_COLLECTION_ACCESS(VlanGroupTableStatus)
VEXA_COLLECTION_ACCESS(L3FloodTableConfig)
VEXA_COLLECTION_ACCESS(MrouteTableConfig)
VEXA_COLLECTION_ACCESS(MrouteTableStatus)
VEXA_COLLECTION_ACCESS(MrouteHitTableStatus)
VEXA_COLLECTION_ACCESS(LagGroupIdTable)
VEXA_COLLECTION_ACCESS(NatConfig)
VEXA_COLLECTION_ACCESS(NatStatus)
VEXA_COLLECTION_ACCESS(VlanMembershipTableConfig)
#undef VEXA_COLLECTION_ACCESS

template <class Access>
Kel::TypeSpec collection() {
  return Kel::CollectionTypeImpl<Access>::spec();
}

// One maker per module, in link order; each lays out its record when a
// client first looks at the registry.
Kel::Module const* aclModule() {
  return ModuleBuilder("ACL", {"Nox::UniqueId", "Bridging::VlanId", "Kel::String", "Kel::VoidPtr",
                               "Kel::VoidPtrConst", "U32"})
      .type(value<VlanMembershipAclEntryConfig>())
      .type(collection<VlanMembershipTableAclConfigAccess>())
      .type(value<AclCounter>())
      .type(collection<AclCounterStatusAccess>())
      .build();
}

Kel::Module const* l2TablesModule() {
  return ModuleBuilder("L2 tables", {"Kel::String"})
      .type(collection<MlagIntfConfigAccess>())
      .type(collection<L2TableConfigAccess>())
      .type(collection<McastMacTableConfigAccess>())
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
      .type(collection<LpmTableConfigAccess>())
      .type(collection<NexthopTableConfigAccess>())
      .type(collection<LpmTableStatusAccess>())
      .type(collection<TableStatusAccess>())
      .type(collection<LpmHitTableStatusAccess>())
      .type(collection<VlanGroupTableConfigAccess>())
      .type(collection<VlanGroupTableStatusAccess>())
      .type(collection<L3FloodTableConfigAccess>())
      .type(collection<MrouteTableConfigAccess>())
      .type(collection<MrouteTableStatusAccess>())
      .type(collection<MrouteHitTableStatusAccess>())
      .build();
}

Kel::Module const* lagModule() {
  return ModuleBuilder("LAG", {"Lanx::IntfId", "Kel::String", "U32"})
      .type(value<LagGroupId>())
      .type(value<LagGroupIdEntry>())
      .type(collection<LagGroupIdTableAccess>())
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
      .type(collection<NatConfigAccess>())
      .type(collection<NatStatusAccess>())
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
      .type(collection<VlanMembershipTableConfigAccess>())
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
