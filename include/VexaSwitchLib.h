#pragma once
// VexaSwitchLib: value types of the switch chip's tables and shared-memory
// table collections. Include this one header. <VexaSwitchValues.h> is the
// value types alone.
#include "VexaSwitchValues.h"
#include "VexaSwitchLib/tables/Collections.h"
