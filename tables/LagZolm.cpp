#include "VexaSwitchLib/tables/LagZolm.h"
#include "VexaSwitchLib/KelZolm/CollectionImpl.h"

VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::LagGroupIdTableOps)

// Slot sizes are part of the file format that readers in other processes
// rely on.
static_assert(VexaSwitch::LagGroupIdTableOps::slotSize == 32);

// The collections.
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, LagGroupIdTable, LagGroupIdTableOps, 2, ::KelZolm::Attr::entry)
