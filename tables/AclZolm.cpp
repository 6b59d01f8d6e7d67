#include "VexaSwitchLib/tables/AclZolm.h"
#include "VexaSwitchLib/KelZolm/CollectionImpl.h"

VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::AclCounterStatusOps)

// Slot sizes are part of the file format that readers in other processes
// rely on.
static_assert(VexaSwitch::AclCounterStatusOps::slotSize == 32);

// The collections.
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, AclCounterStatus, AclCounterStatusOps, 3, ::KelZolm::Attr::counter)
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, VlanMembershipTableAclConfig, VlanMembershipTableAclConfigOps, 1, ::KelZolm::Attr::entry)
