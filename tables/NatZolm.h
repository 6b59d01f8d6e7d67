#pragma once
// The engine instantiations of the NAT session tables: one
// writer, reader and shadow per key/value pair, compiled once in the
// unit's source files.
#include "VexaSwitchLib/KelZolm/KelZolmMap.h"
#include "VexaSwitchLib/Zolm/ZolmForms.h"
#include "VexaSwitchLib/tables/L3Types.h"

namespace VexaSwitch {

using NatConfigOps = Zolm::Ops<VexaSwitch::EntryKey, VexaSwitch::NatSessionConfig>;
using NatStatusOps = Zolm::Ops<VexaSwitch::EntryKey, VexaSwitch::NatSessionStatus>;

}  // namespace VexaSwitch

VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::NatConfigOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::NatStatusOps)

// The collections of this unit (KelZolm/KelZolmMap.h: the pattern).
namespace VexaSwitch {

VEXA_KELZOLM_COLLECTION(NatConfig, natConfigFactory, NatConfigOps, 0, ::KelZolm::Attr::entry, "VexaSwitch::NatZolm")
VEXA_KELZOLM_COLLECTION(NatStatus, natStatusFactory, NatStatusOps, 1, ::KelZolm::Attr::entry, "VexaSwitch::NatZolm")

}  // namespace VexaSwitch

VEXA_KELZOLM_EXTERN(VexaSwitch, NatConfig, NatConfigOps, 0, ::KelZolm::Attr::entry)
VEXA_KELZOLM_EXTERN(VexaSwitch, NatStatus, NatStatusOps, 1, ::KelZolm::Attr::entry)
