#pragma once
// VlanMembershipNatConfig: the in-process per-VLAN NAT settings. Each VLAN's
// NatVlanConfig holds one NatPipeConfig per pipeline. Observers of the
// collection are told the VLAN id of every real change, never of a no-op.
#include <string_view>
#include <unordered_map>

#include "VexaSwitchLib/runtime/Bridging.h"
#include "VexaSwitchLib/runtime/Entity.h"
#include "VexaSwitchLib/runtime/Hash.h"
#include "VexaSwitchLib/runtime/Reflection.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace VexaSwitch {

class PipeId : public Kel::Scalar<PipeId, U8> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::PipeId";
  static constexpr U8 kelDefault = 13;  // no pipeline
  using Scalar::Scalar;
};
class NatId : public Kel::Scalar<NatId, U8> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::NatId";
  static constexpr U8 kelDefault = 9;  // no NAT instance
  using Scalar::Scalar;
};

class VlanMembershipNatConfig : public Kel::Entity {
 public:
  static constexpr U32 entryId = 258;
  static constexpr std::string_view kelTypeName = "VexaSwitch::VlanMembershipNatConfig";
  static constexpr auto kelAttributes() {
    return std::array<Kel::EntityAttr, 2>{{
        {"name", Kel::AttrKind::field, Kel::ValueKind::string, "Kel::String"},
        {"entry", Kel::AttrKind::collection, Kel::ValueKind::value,
         "VexaSwitch::VlanMembershipNatConfig::NatVlanConfig", entryId, "vlanId"},
    }};
  }

  class NatPipeConfig : public Kel::Record<NatPipeConfig> {
   public:
    static constexpr std::string_view kelTypeName = "VexaSwitch::VlanMembershipNatConfig::NatPipeConfig";
    static constexpr auto kelFields() {
      return std::make_tuple(KEL_FIELD(pipeId), KEL_FIELD(natId), KEL_FIELD(natEnable));
    }
    NatPipeConfig() = default;
    NatPipeConfig(PipeId p, NatId n, bool enable) : pipeId_(p), natId_(n), natEnable_(enable) {}
    explicit NatPipeConfig(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
    PipeId pipeId() const { return pipeId_; }
    NatId natId() const { return natId_; }
    bool natEnable() const { return natEnable_; }

   private:
    PipeId pipeId_;
    NatId natId_;
    bool natEnable_ = false;
  };

  class NatVlanConfig : public Kel::Record<NatVlanConfig> {
   public:
    struct PipeHash {
      std::size_t operator()(PipeId p) const {
        return Kel::hashSingleAttr(Kel::HashHelper::hashSeed32() ^ 0x03F91A37u, p.value());
      }
    };
    using PipeMap = std::unordered_map<PipeId, NatPipeConfig, PipeHash>;

    static constexpr std::string_view kelTypeName = "VexaSwitch::VlanMembershipNatConfig::NatVlanConfig";
    static constexpr auto kelFields() { return std::make_tuple(KEL_FIELD(vlanId), KEL_FIELD(natPipeConfig)); }
    NatVlanConfig() = default;
    explicit NatVlanConfig(Bridging::VlanId v) : vlanId_(v) {}
    // Holds a keyed collection: no text parser (a programming error,
    // reported as Kel::TypeException).
    explicit NatVlanConfig(Kel::CharRange&) {
      fmthrow(Kel::TypeException, "No String constructor for NatVlanConfig - has collection");
    }
    Bridging::VlanId vlanId() const { return vlanId_; }
    PipeMap const& natPipeConfig() const { return natPipeConfig_; }
    void natPipeConfigIs(NatPipeConfig c) { natPipeConfig_.insert_or_assign(c.pipeId(), c); }
    NatPipeConfig natPipeConfigDel(PipeId p) {
      auto it = natPipeConfig_.find(p);
      if (it == natPipeConfig_.end()) return NatPipeConfig();
      NatPipeConfig old = it->second;
      natPipeConfig_.erase(it);
      return old;
    }
    void natPipeConfigDelAll() { natPipeConfig_.clear(); }

   private:
    Bridging::VlanId vlanId_;
    PipeMap natPipeConfig_;
  };

  static Kel::Ptr<VlanMembershipNatConfig> VlanMembershipNatConfigIs(Quiv::String name) {
    return Kel::Ptr<VlanMembershipNatConfig>(new VlanMembershipNatConfig(std::move(name)));
  }

  NatVlanConfig const* entry(Bridging::VlanId v) const {
    auto it = entry_.find(v);
    return it == entry_.end() ? nullptr : &it->second;
  }
  std::size_t entrySize() const { return entry_.size(); }
  void entryIs(NatVlanConfig const& v) {
    auto [it, inserted] = entry_.try_emplace(v.vlanId(), v);
    if (!inserted) {
      if (it->second == v) return;
      it->second = v;
    }
    notify(entryId, v.vlanId());
  }
  NatVlanConfig entryDel(Bridging::VlanId v) {
    auto it = entry_.find(v);
    if (it == entry_.end()) return NatVlanConfig();
    NatVlanConfig old = std::move(it->second);
    entry_.erase(it);
    notify(entryId, v);
    return old;
  }
  void entryDelAll() {
    if (notifiees().empty()) {
      entry_.clear();
      return;
    }
    while (!entry_.empty()) entryDel(entry_.begin()->first);
  }

 private:
  explicit VlanMembershipNatConfig(Quiv::String name) : Entity(std::move(name)) { hasNotificationActiveIs(true); }
  struct VlanHash {
    std::size_t operator()(Bridging::VlanId v) const { return v.hash(Kel::HashHelper::hashSeed32() ^ 0x372B82AEu); }
  };
  std::unordered_map<Bridging::VlanId, NatVlanConfig, VlanHash> entry_;
};

// In-process only; image (3 bytes): pipeId, natId, natEnable.
static_assert(Kel::imageIs<VlanMembershipNatConfig::NatPipeConfig>(3, 0, {0, 1, 2}));

inline Kel::Ptr<VlanMembershipNatConfig> vlanMembershipNatConfigFactory(Quiv::String name) {
  return VlanMembershipNatConfig::VlanMembershipNatConfigIs(std::move(name));
}

KEL_VALUE_FUNCTIONS();

}  // namespace VexaSwitch

// A keyed collection attribute renders as "None", whatever it holds.
template <>
struct Kel::AttrText<VexaSwitch::VlanMembershipNatConfig::NatVlanConfig::PipeMap> {
  static void append(std::string& out, VexaSwitch::VlanMembershipNatConfig::NatVlanConfig::PipeMap const&) {
    out += "None";
  }
};
