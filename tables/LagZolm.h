#pragma once
// The engine instantiations of the LAG group-id table: one
// writer, reader and shadow per key/value pair, compiled once in the
// unit's source files.
#include "VexaSwitchLib/KelZolm/KelZolmMap.h"
#include "VexaSwitchLib/Zolm/ZolmForms.h"
#include "VexaSwitchLib/tables/LagTypes.h"

namespace VexaSwitch {

using LagGroupIdTableOps = Zolm::Ops<VexaSwitch::LagGroupId, VexaSwitch::LagGroupIdEntry>;

}  // namespace VexaSwitch

VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::LagGroupIdTableOps)

// The collections of this unit (KelZolm/KelZolmMap.h: the pattern).
namespace VexaSwitch {

VEXA_KELZOLM_COLLECTION(LagGroupIdTable, lagGroupIdTableFactory, LagGroupIdTableOps, 2, ::KelZolm::Attr::entry, "VexaSwitch::LagZolm")

}  // namespace VexaSwitch

VEXA_KELZOLM_EXTERN(VexaSwitch, LagGroupIdTable, LagGroupIdTableOps, 2, ::KelZolm::Attr::entry)
