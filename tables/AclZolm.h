#pragma once
// The engine instantiations of the ACL counter table: one
// writer, reader and shadow per key/value pair, compiled once in the
// unit's source files.
#include "VexaSwitchLib/Zolm/ZolmForms.h"
#include "VexaSwitchLib/tables/AclTypes.h"

namespace VexaSwitch {

// No notification queue: counters change too often to be followed.
using AclCounterStatusOps = Zolm::Ops<Nox::UniqueId, VexaSwitch::AclCounter, 0>;

}  // namespace VexaSwitch

VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::AclCounterStatusOps)
