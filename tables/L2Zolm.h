#pragma once
// The engine instantiations of the L2 MAC and MLAG interface tables: one
// writer, reader and shadow per key/value pair, compiled once in the
// unit's source files. The multicast-MAC table shares the L2 table's.
#include "VexaSwitchLib/KelZolm/KelZolmMap.h"
#include "VexaSwitchLib/Zolm/ZolmForms.h"
#include "VexaSwitchLib/tables/L2Types.h"

namespace VexaSwitch {

using L2TableConfigOps = Zolm::Ops<Bridging::MacVlanPair, VexaSwitch::L2LogicalEntry>;
using MlagIntfConfigOps = Zolm::Ops<Lanx::IntfId, VexaSwitch::MlagIntfEntry>;

}  // namespace VexaSwitch

VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::L2TableConfigOps)
VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::MlagIntfConfigOps)

// The collections of this unit (KelZolm/KelZolmMap.h: the pattern).
namespace VexaSwitch {

VEXA_KELZOLM_COLLECTION(L2TableConfig, l2TableConfigFactory, L2TableConfigOps, 1, ::KelZolm::Attr::entry, "VexaSwitch::L2Zolm")
VEXA_KELZOLM_COLLECTION(McastMacTableConfig, mcastMacTableConfigFactory, L2TableConfigOps, 2, ::KelZolm::Attr::entry, "VexaSwitch::L2Zolm")
VEXA_KELZOLM_COLLECTION(MlagIntfConfig, mlagIntfConfigFactory, MlagIntfConfigOps, 0, ::KelZolm::Attr::entry, "VexaSwitch::L2Zolm",
    /* The value by value (it is one word). */
    void entryIs(MlagIntfEntry value) { Collection::entryIs(value); })

}  // namespace VexaSwitch

VEXA_KELZOLM_EXTERN(VexaSwitch, L2TableConfig, L2TableConfigOps, 1, ::KelZolm::Attr::entry)
VEXA_KELZOLM_EXTERN(VexaSwitch, McastMacTableConfig, L2TableConfigOps, 2, ::KelZolm::Attr::entry)
VEXA_KELZOLM_EXTERN(VexaSwitch, MlagIntfConfig, MlagIntfConfigOps, 0, ::KelZolm::Attr::entry)
