#pragma once
// The engine instantiations of the VLAN membership table: one
// writer, reader and shadow per key/value pair, compiled once in the
// unit's source files.
#include "VexaSwitchLib/Zolm/ZolmForms.h"
#include "VexaSwitchLib/tables/VlanTypes.h"

namespace VexaSwitch {

using VlanMembershipTableConfigOps = Zolm::Ops<Bridging::VlanId, VexaSwitch::VlanMembershipEntryConfig>;

}  // namespace VexaSwitch

VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::VlanMembershipTableConfigOps)
