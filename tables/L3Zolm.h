#pragma once
// The engine instantiations of the L3 route, nexthop, hit-bit, VLAN-group, flood and multicast-route tables: one
// writer, reader and shadow per key/value pair, compiled once in the
// unit's source files.
#include "VexaSwitchLib/KelZolm/KelZolmMap.h"
#include "VexaSwitchLib/Zolm/ZolmForms.h"
#include "VexaSwitchLib/tables/L3Types.h"

namespace VexaSwitch {

using LpmTableConfigOps = Zolm::Ops<VexaSwitch::EntryKey, VexaSwitch::LpmEntryConfig>;
using NexthopTableConfigOps = Zolm::Ops<VexaSwitch::EntryKey, VexaSwitch::NexthopEntryConfig>;
using LpmTableStatusOps = Zolm::Ops<VexaSwitch::EntryKey, VexaSwitch::LpmEntryStatus>;
using TableStatusOps = Zolm::Ops<VexaSwitch::EntryKey, VexaSwitch::EntryStatusBase>;
using LpmHitTableStatusOps = Zolm::Ops<VexaSwitch::LpmKey, VexaSwitch::LpmHitEntryStatus>;
using VlanGroupTableConfigOps = Zolm::Ops<VexaSwitch::VlanGroupKey, VexaSwitch::VlanGroupEntryConfig>;
using VlanGroupTableStatusOps = Zolm::Ops<VexaSwitch::VlanGroupKey, VexaSwitch::VlanGroupEntryStatus>;
using L3FloodTableConfigOps = Zolm::Ops<Lanx::IntfId, VexaSwitch::L3FloodEntryConfig>;
using MrouteTableConfigOps = Zolm::Ops<VexaSwitch::MrouteKey, VexaSwitch::MrouteEntryConfig>;
using MrouteTableStatusOps = Zolm::Ops<VexaSwitch::MrouteKey, VexaSwitch::MrouteEntryStatus>;
using MrouteHitTableStatusOps = Zolm::Ops<VexaSwitch::MrouteKey, VexaSwitch::MrouteHitEntryStatus>;

}  // namespace VexaSwitch

VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::LpmTableConfigOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::NexthopTableConfigOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::LpmTableStatusOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::TableStatusOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::LpmHitTableStatusOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::VlanGroupTableConfigOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::VlanGroupTableStatusOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::L3FloodTableConfigOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::MrouteTableConfigOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::MrouteTableStatusOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::MrouteHitTableStatusOps)

// The collections of this unit (KelZolm/KelZolmMap.h: the pattern).
namespace VexaSwitch {

VEXA_KELZOLM_COLLECTION(LpmTableConfig, lpmTableConfigFactory, LpmTableConfigOps, 0, ::KelZolm::Attr::entry, "VexaSwitch::L3Zolm")
VEXA_KELZOLM_COLLECTION(NexthopTableConfig, nexthopTableConfigFactory, NexthopTableConfigOps, 1, ::KelZolm::Attr::entry, "VexaSwitch::L3Zolm")
VEXA_KELZOLM_COLLECTION(LpmTableStatus, lpmTableStatusFactory, LpmTableStatusOps, 2, ::KelZolm::Attr::entry, "VexaSwitch::L3Zolm")
VEXA_KELZOLM_COLLECTION(TableStatus, tableStatusFactory, TableStatusOps, 3, ::KelZolm::Attr::entry, "VexaSwitch::L3Zolm")
VEXA_KELZOLM_COLLECTION(LpmHitTableStatus, lpmHitTableStatusFactory, LpmHitTableStatusOps, 4, ::KelZolm::Attr::entry, "VexaSwitch::L3Zolm")
VEXA_KELZOLM_COLLECTION(VlanGroupTableConfig, vlanGroupTableConfigFactory, VlanGroupTableConfigOps, 5, ::KelZolm::Attr::entry, "VexaSwitch::L3Zolm")
VEXA_KELZOLM_COLLECTION(VlanGroupTableStatus, vlanGroupTableStatusFactory, VlanGroupTableStatusOps, 6, ::KelZolm::Attr::entry, "VexaSwitch::L3Zolm")
VEXA_KELZOLM_COLLECTION(L3FloodTableConfig, l3FloodTableConfigFactory, L3FloodTableConfigOps, 7, ::KelZolm::Attr::entry, "VexaSwitch::L3Zolm")
VEXA_KELZOLM_COLLECTION(MrouteTableConfig, mrouteTableConfigFactory, MrouteTableConfigOps, 8, ::KelZolm::Attr::entry, "VexaSwitch::L3Zolm")
VEXA_KELZOLM_COLLECTION(MrouteTableStatus, mrouteTableStatusFactory, MrouteTableStatusOps, 9, ::KelZolm::Attr::entry, "VexaSwitch::L3Zolm")
VEXA_KELZOLM_COLLECTION(MrouteHitTableStatus, mrouteHitTableStatusFactory, MrouteHitTableStatusOps, 10, ::KelZolm::Attr::entry, "VexaSwitch::L3Zolm")

}  // namespace VexaSwitch

VEXA_KELZOLM_EXTERN(VexaSwitch, LpmTableConfig, LpmTableConfigOps, 0, ::KelZolm::Attr::entry)
VEXA_KELZOLM_EXTERN(VexaSwitch, NexthopTableConfig, NexthopTableConfigOps, 1, ::KelZolm::Attr::entry)
VEXA_KELZOLM_EXTERN(VexaSwitch, LpmTableStatus, LpmTableStatusOps, 2, ::KelZolm::Attr::entry)
VEXA_KELZOLM_EXTERN(VexaSwitch, TableStatus, TableStatusOps, 3, ::KelZolm::Attr::entry)
VEXA_KELZOLM_EXTERN(VexaSwitch, LpmHitTableStatus, LpmHitTableStatusOps, 4, ::KelZolm::Attr::entry)
VEXA_KELZOLM_EXTERN(VexaSwitch, VlanGroupTableConfig, VlanGroupTableConfigOps, 5, ::KelZolm::Attr::entry)
VEXA_KELZOLM_EXTERN(VexaSwitch, VlanGroupTableStatus, VlanGroupTableStatusOps, 6, ::KelZolm::Attr::entry)
VEXA_KELZOLM_EXTERN(VexaSwitch, L3FloodTableConfig, L3FloodTableConfigOps, 7, ::KelZolm::Attr::entry)
VEXA_KELZOLM_EXTERN(VexaSwitch, MrouteTableConfig, MrouteTableConfigOps, 8, ::KelZolm::Attr::entry)
VEXA_KELZOLM_EXTERN(VexaSwitch, MrouteTableStatus, MrouteTableStatusOps, 9, ::KelZolm::Attr::entry)
VEXA_KELZOLM_EXTERN(VexaSwitch, MrouteHitTableStatus, MrouteHitTableStatusOps, 10, ::KelZolm::Attr::entry)
