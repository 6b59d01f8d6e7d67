#include "VexaSwitchLib/tables/LagZolm.h"

VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::LagGroupIdTableOps)

// Slot sizes are part of the file format that readers in other processes
// rely on.
static_assert(VexaSwitch::LagGroupIdTableOps::slotSize == 32);
