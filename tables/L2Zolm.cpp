#include "VexaSwitchLib/tables/L2Zolm.h"
#include "VexaSwitchLib/KelZolm/CollectionImpl.h"

VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::L2TableConfigOps)
VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::MlagIntfConfigOps)

// Slot sizes are part of the file format that readers in other processes
// rely on.
static_assert(VexaSwitch::L2TableConfigOps::slotSize == 72);
static_assert(VexaSwitch::MlagIntfConfigOps::slotSize == 24);

// The collections.
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, L2TableConfig, L2TableConfigOps, 1, ::KelZolm::Attr::entry)
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, McastMacTableConfig, L2TableConfigOps, 2, ::KelZolm::Attr::entry)
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, MlagIntfConfig, MlagIntfConfigOps, 0, ::KelZolm::Attr::entry)
