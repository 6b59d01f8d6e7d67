#pragma once
// Fixed mount paths, type names and limits used by the chip's agents.
#include <string_view>

#include "VexaSwitchLib/runtime/QuivString.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace VexaSwitch {

class MountConstants : public Kel::ConstantHolder<MountConstants> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::MountConstants";
  static constexpr std::string_view systemStatusPath = "hardware/vexaswitch/system/status";
  static constexpr std::string_view systemStatusType = "VexaSwitch::SystemStatus";
  static constexpr std::string_view systemConfigPath = "hardware/vexaswitch/system/config";
  static constexpr std::string_view systemConfigType = "VexaSwitch::SystemConfig";
  static constexpr std::string_view parityPath = "hardware/oka/parity/slice";
  static constexpr std::string_view parityType = "Kel::Dir";
  static constexpr std::string_view capacityBasePath = "hardware/capacity/status/%s";
  static constexpr std::string_view agentBackupPath = "/backup/agentBackup";
  static constexpr std::string_view agentBackupType = "VexaSwitch::AgentBackup";
  static constexpr std::string_view agentDataBasePath = "hardware/vexaswitch/agentdata/%s";
  static constexpr std::string_view agentDataType = "VexaSwitch::FeatureAgentData";
  static constexpr std::string_view readResultBasePath = "hardware/vexaswitch/hwtable/read/result/%s";
  static constexpr std::string_view readRequestPath = "hardware/vexaswitch/hwtable/read/request";

  static constexpr auto kelConstants() {
    return std::make_tuple(
        Kel::constant("systemStatusPath", systemStatusPath), Kel::constant("systemStatusType", systemStatusType),
        Kel::constant("systemConfigPath", systemConfigPath), Kel::constant("systemConfigType", systemConfigType),
        Kel::constant("parityPath", parityPath), Kel::constant("parityType", parityType),
        Kel::constant("capacityBasePath", capacityBasePath), Kel::constant("agentBackupPath", agentBackupPath),
        Kel::constant("agentBackupType", agentBackupType), Kel::constant("agentDataBasePath", agentDataBasePath),
        Kel::constant("agentDataType", agentDataType), Kel::constant("readResultBasePath", readResultBasePath),
        Kel::constant("readRequestPath", readRequestPath));
  }
  static constexpr auto kelFunctions() {
    return std::make_tuple(Kel::function("capacityPath", "dirName"), Kel::function("agentDataPath", "agentName"),
                           Kel::function("readResultPath", "agentName"));
  }
  MountConstants() = default;
  explicit MountConstants(Kel::CharRange& r) : ConstantHolder(r) {}

  static Quiv::String capacityPath(Quiv::String const& dirName) { return fill(capacityBasePath, dirName); }
  static Quiv::String agentDataPath(Quiv::String const& agentName) { return fill(agentDataBasePath, agentName); }
  static Quiv::String readResultPath(Quiv::String const& agentName) { return fill(readResultBasePath, agentName); }

 private:
  // Substitutes the one "%s" of a base path. The argument is inserted as
  // given: a '%' in it is not a conversion.
  static Quiv::String fill(std::string_view base, Quiv::String const& arg) {
    std::size_t at = base.find("%s");
    std::string out(base.substr(0, at));
    out += arg.view();
    out += base.substr(at + 2);
    return Quiv::String(std::move(out));
  }
};

class PlatformConstants : public Kel::ConstantHolder<PlatformConstants> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::PlatformConstants";
  static constexpr U32 maxSwitches = 7;
  static constexpr U32 maxInterfaces = 336;
  static constexpr auto kelConstants() {
    return std::make_tuple(Kel::constant("maxSwitches", maxSwitches), Kel::constant("maxInterfaces", maxInterfaces));
  }
  PlatformConstants() = default;
  explicit PlatformConstants(Kel::CharRange& r) : ConstantHolder(r) {}
};

}  // namespace VexaSwitch
