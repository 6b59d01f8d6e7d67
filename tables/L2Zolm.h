#pragma once
// The engine instantiations of the L2 MAC and MLAG interface tables: one
// writer, reader and shadow per key/value pair, compiled once in the
// unit's source files. The multicast-MAC table shares the L2 table's.
#include "VexaSwitchLib/Zolm/ZolmForms.h"
#include "VexaSwitchLib/tables/L2Types.h"

namespace VexaSwitch {

using L2TableConfigOps = Zolm::Ops<Bridging::MacVlanPair, VexaSwitch::L2LogicalEntry>;
using MlagIntfConfigOps = Zolm::Ops<Lanx::IntfId, VexaSwitch::MlagIntfEntry>;

}  // namespace VexaSwitch

VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::L2TableConfigOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::MlagIntfConfigOps)
