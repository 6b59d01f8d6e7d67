#include "VexaSwitchLib/tables/L3Zolm.h"

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
