#pragma once
// VexaSwitchLib: value types of the switch chip's tables and shared-memory
// table collections. Include this one header.
#include "runtime/Runtime.h"
#include "tables/Tables.h"
#include "tables/Collections.h"
