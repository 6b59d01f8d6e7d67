#pragma once
// The runtime: basic types, strings, exceptions, tracing, counters,
// reference counting, parsing, hashing, the value-type pattern and the
// sibling modules' value types.
#include "VexaSwitchLib/runtime/Bridging.h"
#include "VexaSwitchLib/runtime/CharRange.h"
#include "VexaSwitchLib/runtime/Debug.h"
#include "VexaSwitchLib/runtime/Entity.h"
#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/Hash.h"
#include "VexaSwitchLib/runtime/Lanx.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/Nox.h"
#include "VexaSwitchLib/runtime/Oka.h"
#include "VexaSwitchLib/runtime/OpCounter.h"
#include "VexaSwitchLib/runtime/ProfileHwProperties.h"
#include "VexaSwitchLib/runtime/Ptr.h"
#include "VexaSwitchLib/runtime/QuivString.h"
#include "VexaSwitchLib/runtime/Types.h"
#include "VexaSwitchLib/runtime/ValueType.h"
#include "VexaSwitchLib/runtime/Version.h"
