#include "VexaSwitchLib/tables/L2Zolm.h"

VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::L2TableConfigOps)
VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::MlagIntfConfigOps)

// Slot sizes are part of the file format that readers in other processes
// rely on.
static_assert(VexaSwitch::L2TableConfigOps::slotSize == 72);
static_assert(VexaSwitch::MlagIntfConfigOps::slotSize == 24);
