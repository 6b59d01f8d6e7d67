#include "VexaSwitchLib/tables/L3Zolm.h"
#include "VexaSwitchLib/KelZolm/CollectionImpl.h"

VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::LpmTableConfigOps)
VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::NexthopTableConfigOps)
VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::LpmTableStatusOps)
VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::TableStatusOps)
VEXA_ZOLM_INSTANTIATE_FORMS(VexaSwitch::LpmHitTableStatusOps)

// Slot sizes are part of the file format that readers in other processes
// rely on.
static_assert(VexaSwitch::LpmTableConfigOps::slotSize == 56);
static_assert(VexaSwitch::NexthopTableConfigOps::slotSize == 64);
static_assert(VexaSwitch::LpmTableStatusOps::slotSize == 48);
static_assert(VexaSwitch::TableStatusOps::slotSize == 40);
static_assert(VexaSwitch::LpmHitTableStatusOps::slotSize == 40);

// The collections.
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, LpmTableConfig, LpmTableConfigOps, 0, ::KelZolm::Attr::entry)
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, NexthopTableConfig, NexthopTableConfigOps, 1, ::KelZolm::Attr::entry)
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, LpmTableStatus, LpmTableStatusOps, 2, ::KelZolm::Attr::entry)
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, TableStatus, TableStatusOps, 3, ::KelZolm::Attr::entry)
VEXA_KELZOLM_INSTANTIATE(VexaSwitch, LpmHitTableStatus, LpmHitTableStatusOps, 4, ::KelZolm::Attr::entry)
