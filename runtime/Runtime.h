#pragma once
// The runtime: basic types, strings, exceptions, tracing, counters,
// reference counting, parsing, hashing, the value-type pattern and the
// sibling modules' value types.
#include "runtime/Bridging.h"
#include "runtime/CharRange.h"
#include "runtime/Debug.h"
#include "runtime/Entity.h"
#include "runtime/Exception.h"
#include "runtime/Hash.h"
#include "runtime/Lanx.h"
#include "runtime/Mem.h"
#include "runtime/Nox.h"
#include "runtime/Oka.h"
#include "runtime/OpCounter.h"
#include "runtime/ProfileHwProperties.h"
#include "runtime/Ptr.h"
#include "runtime/QuivString.h"
#include "runtime/Types.h"
#include "runtime/ValueType.h"
