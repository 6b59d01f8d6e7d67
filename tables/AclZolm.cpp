#include "VexaSwitchLib/tables/AclZolm.h"

VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::AclCounterStatusOps)

// Slot sizes are part of the file format that readers in other processes
// rely on.
static_assert(VexaSwitch::AclCounterStatusOps::slotSize == 32);
