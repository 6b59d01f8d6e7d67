#include "VexaSwitchLib/tables/StatusPacketTypes.h"

namespace VexaSwitch {

Kel::Ptr<StatusPacket> StatusPacket::StatusPacketIs() { return Kel::Ptr<StatusPacket>(new StatusPacket()); }

void StatusPacket::timestampIs(U64 t) {
  if (t == timestamp_) return;
  timestamp_ = t;
  notify(timestampId);
}

}  // namespace VexaSwitch
