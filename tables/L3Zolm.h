#pragma once
// The engine instantiations of the L3 route, nexthop, hit-bit, VLAN-group, flood and multicast-route tables: one
// writer, reader and shadow per key/value pair, compiled once in the
// unit's source files.
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
