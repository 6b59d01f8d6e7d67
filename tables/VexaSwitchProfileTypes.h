#pragma once
// Per-profile chip information: a directory holding, per profile name, a
// profile-information object and a chip-information object, and port
// layouts by name. Nothing here notifies anyone.
#include <unordered_map>

#include "VexaSwitchLib/runtime/Entity.h"
#include "VexaSwitchLib/runtime/Profile.h"
#include "VexaSwitchLib/runtime/Ptr.h"
#include "VexaSwitchLib/runtime/Reflection.h"

namespace VexaSwitch {

class ChipInfo : public Kel::Entity {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::ChipInfo";
  static constexpr auto kelAttributes() {
    using K = Kel::AttrKind;
    using V = Kel::ValueKind;
    return std::array<Kel::EntityAttr, 6>{{
        {"name", K::field, V::string, "Kel::String"},
        {"profileName", K::field, V::value, "ProfileName"},
        {"bitFile", K::field, V::string, "Kel::String"},
        {"fdl", K::field, V::string, "Kel::String"},
        {"csvFile", K::field, V::string, "Kel::String"},
        {"boardStd", K::field, V::string, "Kel::String"},
    }};
  }
  explicit ChipInfo(ProfileName profileName) : profileName_(std::move(profileName)) {}
  ProfileName const& profileName() const { return profileName_; }
#define VEXA_STRING_ATTR(name) \
  Quiv::String const& name() const { return name##_; } \
  void name##Is(Quiv::String v) { name##_ = std::move(v); }
  VEXA_STRING_ATTR(name)
  VEXA_STRING_ATTR(bitFile)
  VEXA_STRING_ATTR(fdl)
  VEXA_STRING_ATTR(csvFile)
  VEXA_STRING_ATTR(boardStd)
#undef VEXA_STRING_ATTR

 private:
  Quiv::String name_;
  ProfileName profileName_;
  Quiv::String bitFile_;
  Quiv::String fdl_;
  Quiv::String csvFile_;
  Quiv::String boardStd_;
};

class ProfileInfoDir : public Kel::Entity {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::ProfileInfoDir";
  static constexpr auto kelAttributes() {
    using K = Kel::AttrKind;
    using V = Kel::ValueKind;
    return std::array<Kel::EntityAttr, 4>{{
        {"name", K::field, V::string, "Kel::String"},
        {"chipInfo", K::collection, V::entity, "VexaSwitch::ChipInfo"},
        {"profileInfo", K::collection, V::entity, "ProfileInfo"},
        {"portLayout", K::collection, V::entity, "PortLayout"},
    }};
  }
  static Kel::Ptr<ProfileInfoDir> ProfileInfoDirIs(Quiv::String name);
  Quiv::String const& name() const { return nameString(); }

  // Find-or-create: the existing object for p, or a new one inserted under p.
  Kel::Ptr<ChipInfo> chipInfoIs(ProfileName const& p) { return findOrMake(chipInfo_, p, [&] { return new ChipInfo(p); }); }
  Kel::Ptr<ProfileInfo> profileInfoIs(ProfileName const& p) {
    return findOrMake(profileInfo_, p, [&] { return new ProfileInfo(p); });
  }
  Kel::Ptr<PortLayout> portLayoutIs(Quiv::String const& n) {
    return findOrMake(portLayout_, n, [&] { return new PortLayout(n); });
  }
  // Lookups: null when absent.
  Kel::Ptr<ChipInfo> chipInfo(ProfileName const& p) const { return find(chipInfo_, p); }
  Kel::Ptr<ProfileInfo> profileInfo(ProfileName const& p) const { return find(profileInfo_, p); }
  Kel::Ptr<PortLayout> portLayout(Quiv::String const& n) const { return find(portLayout_, n); }
  // Removal: the removed object, or null when absent.
  Kel::Ptr<ChipInfo> chipInfoDel(ProfileName const& p) { return del(chipInfo_, p); }
  Kel::Ptr<ProfileInfo> profileInfoDel(ProfileName const& p) { return del(profileInfo_, p); }
  Kel::Ptr<PortLayout> portLayoutDel(Quiv::String const& n) { return del(portLayout_, n); }
  void chipInfoDelAll() { chipInfo_.clear(); }
  void profileInfoDelAll() { profileInfo_.clear(); }
  void portLayoutDelAll() { portLayout_.clear(); }
  std::size_t chipInfoSize() const { return chipInfo_.size(); }
  std::size_t profileInfoSize() const { return profileInfo_.size(); }
  std::size_t portLayoutSize() const { return portLayout_.size(); }

 private:
  explicit ProfileInfoDir(Quiv::String name) : Entity(std::move(name)) { hasNotificationActiveIs(true); }

  struct NameHash {
    U32 seed;
    std::size_t operator()(ProfileName const& p) const { return p.hash(seed); }
    std::size_t operator()(Quiv::String const& s) const { return Kel::hashSingleAttr(seed, s); }
  };
  template <class K, class V>
  using Map = std::unordered_map<K, Kel::Ptr<V>, NameHash>;

  template <class K, class V, class Make>
  static Kel::Ptr<V> findOrMake(Map<K, V>& m, K const& k, Make make) {
    auto it = m.find(k);
    if (it == m.end()) it = m.emplace(k, Kel::Ptr<V>(make())).first;
    return it->second;
  }
  template <class K, class V>
  static Kel::Ptr<V> find(Map<K, V> const& m, K const& k) {
    auto it = m.find(k);
    return it == m.end() ? Kel::Ptr<V>() : it->second;
  }
  template <class K, class V>
  static Kel::Ptr<V> del(Map<K, V>& m, K const& k) {
    auto it = m.find(k);
    if (it == m.end()) return {};
    Kel::Ptr<V> old = std::move(it->second);
    m.erase(it);
    return old;
  }

  Map<ProfileName, ProfileInfo> profileInfo_{8, NameHash{Kel::HashHelper::hashSeed32() ^ 0xF21B3F8Bu}};
  Map<ProfileName, ChipInfo> chipInfo_{8, NameHash{Kel::HashHelper::hashSeed32() ^ 0x7E295830u}};
  Map<Quiv::String, PortLayout> portLayout_{8, NameHash{Kel::HashHelper::hashSeed32()}};
};

inline Kel::Ptr<ProfileInfoDir> profileInfoDirFactory(Quiv::String name) {
  return ProfileInfoDir::ProfileInfoDirIs(std::move(name));
}

}  // namespace VexaSwitch
