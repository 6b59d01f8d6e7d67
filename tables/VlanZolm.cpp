#include "VexaSwitchLib/tables/VlanZolm.h"
#include "VexaSwitchLib/KelZolm/CollectionImpl.h"

VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::VlanMembershipTableConfigOps)
VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::VlanMembershipTableAclConfigOps)

// Slot sizes are part of the file format that readers in other processes
// rely on.
static_assert(VexaSwitch::VlanMembershipTableConfigOps::slotSize == 40);
static_assert(VexaSwitch::VlanMembershipTableAclConfigOps::slotSize == 24);
static_assert(VexaSwitch::VlanMembershipTableAclConfigOps::headerFlags == 3);
static_assert(VexaSwitch::VlanMembershipTableAclConfigOps::valueSize == 88);

// The collections.
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, VlanMembershipTableConfig, VlanMembershipTableConfigOps, 0, ::KelZolm::Attr::entry)
