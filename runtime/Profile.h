#pragma once
// Profile-module types: a profile's name (a pair of strings), its
// information object and a port layout. Small stand-ins holding what the
// chip's directory needs of them.
#include <string_view>

#include "VexaSwitchLib/runtime/Entity.h"
#include "VexaSwitchLib/runtime/Hash.h"
#include "VexaSwitchLib/runtime/QuivString.h"

namespace VexaSwitch {

class ProfileName {
 public:
  ProfileName() = default;
  ProfileName(Quiv::String family, Quiv::String variant) : family_(std::move(family)), variant_(std::move(variant)) {}
  Quiv::String const& family() const { return family_; }
  Quiv::String const& variant() const { return variant_; }
  U32 hash(U32 seed) const { return Kel::hashSingleAttr(Kel::hashSingleAttr(seed, family_), variant_); }
  friend bool operator==(ProfileName const&, ProfileName const&) = default;
  friend auto operator<=>(ProfileName const&, ProfileName const&) = default;

 private:
  Quiv::String family_;
  Quiv::String variant_;
};

class ProfileInfo : public Kel::Entity {
 public:
  explicit ProfileInfo(ProfileName name) : Entity(name.family()), profileName_(std::move(name)) {}
  ProfileName const& profileName() const { return profileName_; }

 private:
  ProfileName profileName_;
};

class PortLayout : public Kel::Entity {
 public:
  explicit PortLayout(Quiv::String name) : Entity(std::move(name)) {}
};

}  // namespace VexaSwitch
