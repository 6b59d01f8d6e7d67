#include "VexaSwitchLib/tables/NatZolm.h"
#include "VexaSwitchLib/KelZolm/CollectionImpl.h"

VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::NatConfigOps)
VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::NatStatusOps)

// Slot sizes are part of the file format that readers in other processes
// rely on.
static_assert(VexaSwitch::NatConfigOps::slotSize == 176);
static_assert(VexaSwitch::NatStatusOps::slotSize == 40);

// The collections.
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, NatConfig, NatConfigOps, 0, ::KelZolm::Attr::entry)
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, NatStatus, NatStatusOps, 1, ::KelZolm::Attr::entry)
