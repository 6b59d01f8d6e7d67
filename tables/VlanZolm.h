#pragma once
// The engine instantiations of the VLAN membership tables: one
// writer, reader and shadow per key/value pair, compiled once in the
// unit's source files.
#include "VexaSwitchLib/KelZolm/KelZolmMap.h"
#include "VexaSwitchLib/Zolm/ZolmForms.h"
#include "VexaSwitchLib/tables/VlanTypes.h"

namespace VexaSwitch {

using VlanMembershipTableConfigOps = Zolm::Ops<Bridging::VlanId, VexaSwitch::VlanMembershipEntryConfig>;
// The per-VLAN ACL bindings: a variable-size value (its serialized form in
// VlanTypes.h), kept in slabs; the slot holds the entry's offset.
using VlanMembershipTableAclConfigOps = Zolm::Ops<Bridging::VlanId, VexaSwitch::VlanMembershipAclEntryConfig>;

}  // namespace VexaSwitch

VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::VlanMembershipTableConfigOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::VlanMembershipTableAclConfigOps)

// The collections of this unit (KelZolm/KelZolmMap.h: the pattern).
namespace VexaSwitch {

VEXA_KELZOLM_COLLECTION(VlanMembershipTableConfig, vlanMembershipTableConfigFactory, VlanMembershipTableConfigOps, 0, ::KelZolm::Attr::entry, "VexaSwitch::VlanZolm")

}  // namespace VexaSwitch

VEXA_KELZOLM_EXTERN(VexaSwitch, VlanMembershipTableConfig, VlanMembershipTableConfigOps, 0, ::KelZolm::Attr::entry)
