#pragma once
// The switch tables' value types.
#include "tables/VexaSwitchUtil.h"
#include "tables/VexaSwitchTypes.h"
#include "tables/ZolmTypes.h"
#include "tables/AclZolm.h"
#include "tables/LagTypes.h"
#include "tables/TrailerTypes.h"
#include "tables/StatusPacketTypes.h"
#include "tables/VlanTypes.h"
#include "tables/VexaIntfFilter.h"
#include "tables/VexaSwitchProfileTypes.h"
#include "tables/NatZolm.h"
#include "tables/L2Types.h"
