#include "VexaSwitchLib/tables/L3Zolm.h"
#include "VexaSwitchLib/KelZolm/CollectionImpl.h"

VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::VlanGroupTableConfigOps)
VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::VlanGroupTableStatusOps)
VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::L3FloodTableConfigOps)
VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::MrouteTableConfigOps)
VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::MrouteTableStatusOps)
VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::MrouteHitTableStatusOps)

// Slot sizes are part of the file format that readers in other processes
// rely on.
static_assert(VexaSwitch::VlanGroupTableConfigOps::slotSize == 48);
static_assert(VexaSwitch::VlanGroupTableStatusOps::slotSize == 32);
static_assert(VexaSwitch::L3FloodTableConfigOps::slotSize == 32);
static_assert(VexaSwitch::MrouteTableConfigOps::slotSize == 56);
static_assert(VexaSwitch::MrouteTableStatusOps::slotSize == 56);
static_assert(VexaSwitch::MrouteHitTableStatusOps::slotSize == 48);

// The collections.
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, VlanGroupTableConfig, VlanGroupTableConfigOps, 5, ::KelZolm::Attr::entry)
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, VlanGroupTableStatus, VlanGroupTableStatusOps, 6, ::KelZolm::Attr::entry)
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, L3FloodTableConfig, L3FloodTableConfigOps, 7, ::KelZolm::Attr::entry)
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, MrouteTableConfig, MrouteTableConfigOps, 8, ::KelZolm::Attr::entry)
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, MrouteTableStatus, MrouteTableStatusOps, 9, ::KelZolm::Attr::entry)
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, MrouteHitTableStatus, MrouteHitTableStatusOps, 10, ::KelZolm::Attr::entry)
