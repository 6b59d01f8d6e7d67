#pragma once
// The engine instantiations of the NAT session tables: one
// writer, reader and shadow per key/value pair, compiled once in the
// unit's source files.
#include "VexaSwitchLib/Zolm/ZolmForms.h"
#include "VexaSwitchLib/tables/L3Types.h"

namespace VexaSwitch {

using NatConfigOps = Zolm::Ops<VexaSwitch::EntryKey, VexaSwitch::NatSessionConfig>;
using NatStatusOps = Zolm::Ops<VexaSwitch::EntryKey, VexaSwitch::NatSessionStatus>;

}  // namespace VexaSwitch

VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::NatConfigOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::NatStatusOps)
