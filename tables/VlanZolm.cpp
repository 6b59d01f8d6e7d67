#include "VexaSwitchLib/tables/VlanZolm.h"

VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::VlanMembershipTableConfigOps)

// Slot sizes are part of the file format that readers in other processes
// rely on.
static_assert(VexaSwitch::VlanMembershipTableConfigOps::slotSize == 40);
