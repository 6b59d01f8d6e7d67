#pragma once
// VexaSwitchLib's value types alone: the runtime basics and every table's
// key and value types, without the shared-memory engine and its table
// collections. For programs that build, parse, print or hash entries but
// open no tables; <VexaSwitchLib.h> has everything.
#include "VexaSwitchLib/runtime/Runtime.h"
#include "VexaSwitchLib/tables/Tables.h"
