#pragma once
// The topology library's interface filter for this chip: accepts the
// interfaces that exist on its ports (connected Ethernet ports, LAGs, the
// CPU port) and nothing else.
#include "VexaSwitchLib/runtime/Lanx.h"

namespace Topology::Library {

class FilterIntf {
 public:
  virtual bool isValidIntf(Lanx::IntfId intf) const = 0;
  virtual ~FilterIntf() = default;
};

class VexaIntfFilter : public FilterIntf {
 public:
  bool isValidIntf(Lanx::IntfId intf) const override {
    return (Lanx::EthIntfId::isEthIntfId(intf) && !Lanx::EthIntfId::isUnconnected(intf)) ||
           Lanx::PortChannelIntfId::isPortChannelIntfId(intf) || Lanx::CpuIntfId::isCpuIntfId(intf);
  }
};

}  // namespace Topology::Library
