#pragma once
// StatusPacket: the content of one status packet of the chip, a time stamp
// and four per-interface flags. Its owner fills it through the setters;
// observers are told synchronously of every real change, exactly once, and
// never of a no-op. Single-threaded, like every entity.
#include <unordered_map>

#include "VexaSwitchLib/runtime/Entity.h"
#include "VexaSwitchLib/runtime/Hash.h"
#include "VexaSwitchLib/runtime/Lanx.h"
#include "VexaSwitchLib/runtime/Reflection.h"

namespace VexaSwitch {

class StatusPacket : public Kel::Entity {
 public:
  // Attribute ids, also passed to observers.
  static constexpr U32 linkStateId = 130;
  static constexpr U32 timestampId = 131;
  static constexpr U32 inputBufferOverThresholdId = 132;
  static constexpr U32 outputBufferOverThresholdId = 133;
  static constexpr U32 coreMemoryForEgressOverThresholdId = 134;

  static constexpr std::string_view kelTypeName = "VexaSwitch::StatusPacket";
  static constexpr auto kelAttributes() {
    using K = Kel::AttrKind;
    using V = Kel::ValueKind;
    return std::array<Kel::EntityAttr, 5>{{
        {"linkState", K::collection, V::boolean, "bool", linkStateId},
        {"timestamp", K::field, V::u64, "U64", timestampId},
        {"inputBufferOverThreshold", K::collection, V::boolean, "bool", inputBufferOverThresholdId},
        {"outputBufferOverThreshold", K::collection, V::boolean, "bool", outputBufferOverThresholdId},
        {"coreMemoryForEgressOverThreshold", K::collection, V::boolean, "bool", coreMemoryForEgressOverThresholdId},
    }};
  }

  static Kel::Ptr<StatusPacket> StatusPacketIs();

  U64 timestamp() const { return timestamp_; }
  void timestampIs(U64 t);

  // Per collection: lookup (null when never set), set, delete (the removed
  // flag, false when absent), clear.
#define VEXA_STATUS_FLAG(name)                                                   \
  bool const* name(Lanx::IntfId i) const { return name##_.find(i); }                      \
  void name##Is(Lanx::IntfId i, bool v) { name##_.set(*this, i, v); }                     \
  bool name##Del(Lanx::IntfId i) { return name##_.del(*this, i); }                        \
  void name##DelAll() { name##_.delAll(*this); }                                          \
  std::size_t name##Size() const { return name##_.map.size(); }
  VEXA_STATUS_FLAG(linkState)
  VEXA_STATUS_FLAG(inputBufferOverThreshold)
  VEXA_STATUS_FLAG(outputBufferOverThreshold)
  VEXA_STATUS_FLAG(coreMemoryForEgressOverThreshold)
#undef VEXA_STATUS_FLAG

 private:
  StatusPacket() { hasNotificationActiveIs(true); }

  struct IntfHash {
    U32 seed;
    std::size_t operator()(Lanx::IntfId i) const { return i.hash(seed); }
  };
  // One per-interface flag collection; seeded with the framework seed XOR a
  // per-collection constant so the four maps do not share bucket patterns.
  struct FlagMap {
    FlagMap(U32 attrId, U32 seedXor) : id(attrId), map(8, IntfHash{Kel::HashHelper::hashSeed32() ^ seedXor}) {}
    bool const* find(Lanx::IntfId i) const {
      auto it = map.find(i);
      return it == map.end() ? nullptr : &it->second;
    }
    void set(StatusPacket& p, Lanx::IntfId i, bool v) {
      auto [it, inserted] = map.try_emplace(i, v);
      if (!inserted) {
        if (it->second == v) return;
        it->second = v;
      }
      p.notify(id, i);
    }
    bool del(StatusPacket& p, Lanx::IntfId i) {
      auto it = map.find(i);
      if (it == map.end()) return false;
      bool old = it->second;
      map.erase(it);
      p.notify(id, i);
      return old;
    }
    void delAll(StatusPacket& p) {
      if (p.notifiees().empty()) {
        map.clear();
        return;
      }
      while (!map.empty()) del(p, map.begin()->first);
    }
    U32 id;
    std::unordered_map<Lanx::IntfId, bool, IntfHash> map;
  };

  U64 timestamp_ = 0;
  FlagMap linkState_{linkStateId, 0xC70CB314u};
  FlagMap inputBufferOverThreshold_{inputBufferOverThresholdId, 0x9EB71CC7u};
  FlagMap outputBufferOverThreshold_{outputBufferOverThresholdId, 0x0027119Fu};
  FlagMap coreMemoryForEgressOverThreshold_{coreMemoryForEgressOverThresholdId, 0x85607E59u};
};

inline Kel::Ptr<StatusPacket> statusPacketFactory() { return StatusPacket::StatusPacketIs(); }

}  // namespace VexaSwitch
