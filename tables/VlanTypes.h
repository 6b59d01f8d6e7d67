#pragma once
// Per-VLAN membership and ACL-binding entries.
#include <string_view>

#include "VexaSwitchLib/runtime/Bridging.h"
#include "VexaSwitchLib/runtime/FixedArray.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace VexaSwitch {

// Image (24 bytes, little-endian): key at 0, permitMask at 4, the flags at
// 12..17, vrfBits at 18, unicastRoute 19, multicastRoute 20; 2..3 and
// 21..23 padding.
#pragma pack(push, 4)
class VlanMembershipEntryConfig : public Kel::Record<VlanMembershipEntryConfig> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::VlanMembershipEntryConfig";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(permitMask), KEL_FIELD(learnToCpu),
                           KEL_FIELD(unknownMulticastToCpu), KEL_FIELD(multicastJoinToCpu), KEL_FIELD(broadcastToCpu),
                           KEL_FIELD(unknownDaToCpu), KEL_FIELD(multicastJoinToEgress), KEL_FIELD(vrfBits),
                           KEL_FIELD(unicastRoute), KEL_FIELD(multicastRoute));
  }
  VlanMembershipEntryConfig() = default;
  explicit VlanMembershipEntryConfig(Bridging::VlanId key) : key_(key) {}
  explicit VlanMembershipEntryConfig(Kel::CharRange& r) { Kel::parseRecord(*this, r); }

  Bridging::VlanId key() const { return key_; }
  KEL_ATTR(U64, permitMask)
  KEL_ATTR(bool, learnToCpu)
  KEL_ATTR(bool, unknownMulticastToCpu)
  KEL_ATTR(bool, multicastJoinToCpu)
  KEL_ATTR(bool, broadcastToCpu)
  KEL_ATTR(bool, unknownDaToCpu)
  KEL_ATTR(bool, multicastJoinToEgress)
  KEL_ATTR(U8, vrfBits)
  KEL_ATTR(bool, unicastRoute)
  KEL_ATTR(bool, multicastRoute)

 private:
  Bridging::VlanId key_;
  U16 pad0_ = 0;
  U64 permitMask_ = 0;
  bool learnToCpu_ = true;
  bool unknownMulticastToCpu_ = false;
  bool multicastJoinToCpu_ = false;
  bool broadcastToCpu_ = false;
  bool unknownDaToCpu_ = false;
  bool multicastJoinToEgress_ = true;
  U8 vrfBits_ = 0;
  bool unicastRoute_ = false;
  bool multicastRoute_ = false;
  U8 pad1_[3] = {0, 0, 0};
};
#pragma pack(pop)
static_assert(Kel::imageIs<VlanMembershipEntryConfig>(24, 5, {0, 4, 12, 13, 14, 15, 16, 17, 18, 19, 20}));

// Index of a pipeline's slot in the ACL-binding arrays: 0..11.
class VlanMembershipTableAclIndex : public Kel::Scalar<VlanMembershipTableAclIndex, U8> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::VlanMembershipTableAclIndex";
  static constexpr std::string_view kelLowerName = "min";
  static constexpr std::string_view kelUpperName = "max";
  static constexpr U8 min = 0;
  static constexpr U8 max = 11;
  static constexpr U8 kelUpper = max;
  static constexpr U8 kelDefault = min;
  using Scalar::Scalar;
};

// Per-pipeline ACL elements (16 bits each); each default means "absent".
#define VEXA_PIPE_ELEMENT(Name, Default)                                   \
  class Name : public Kel::Scalar<Name, U16> {                             \
   public:                                                                 \
    static constexpr std::string_view kelTypeName = "VexaSwitch::" #Name;  \
    static constexpr U16 kelDefault = Default;                             \
    using Scalar::Scalar;                                                  \
  };                                                                       \
  static_assert(sizeof(Name) == 2)
VEXA_PIPE_ELEMENT(PipeAclId, 0x100D);
VEXA_PIPE_ELEMENT(PipeAclEnable, 13);
VEXA_PIPE_ELEMENT(PipeAclDefaultPermit, 13);
#undef VEXA_PIPE_ELEMENT

// Per-VLAN ACL binding. In memory 88 bytes: key 2, disableVlan 1, a spare
// byte, then three arrays of (4-byte count + 12 x 2 bytes).
//
// Serialized form (little-endian, unaligned), as held in the slab:
//   0  u16 key            2 u8 disableVlan        3 u8 reserved
//   4  u32 A, then A x u16 aclId
//   .. u32 B, then B x u16 aclEnable
//   .. u32 C, then C x u16 aclDefaultPermit
// 16 + 2(A+B+C) bytes: 16 with empty arrays, 88 full.
class VlanMembershipAclEntryConfig : public Kel::Record<VlanMembershipAclEntryConfig> {
 public:
  static constexpr U32 pipes = 12;
  using AclIdArray = Kel::FixedArray<PipeAclId, pipes>;
  using AclEnableArray = Kel::FixedArray<PipeAclEnable, pipes>;
  using AclDefaultPermitArray = Kel::FixedArray<PipeAclDefaultPermit, pipes>;

  static constexpr std::string_view kelTypeName = "VexaSwitch::VlanMembershipAclEntryConfig";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(disableVlan), KEL_FIELD(aclId).settable(),
                           KEL_FIELD(aclEnable).settable(), KEL_FIELD(aclDefaultPermit).settable());
  }
  static constexpr auto kelViews() {
    return std::make_tuple(Kel::view("serializeLen", &VlanMembershipAclEntryConfig::serializeLen));
  }
  // The last parameter is spelt as the slab interface spells it.
  static constexpr auto kelFunctions() {
    return std::make_tuple(Kel::function("serialize", "buf"), Kel::function("deserialize", "buf", "serializedLen"),
                           Kel::function("deserializeLen", "buf", "serializedlen"));
  }
  // The arrays are indexed by pipeline, 0..11.
  using KelArrayIndex = VlanMembershipTableAclIndex;
  VlanMembershipAclEntryConfig() = default;
  explicit VlanMembershipAclEntryConfig(Bridging::VlanId key) : key_(key) {}
  // This value holds collections and has no text parser: calling this is a
  // programming error, reported as a Kel::TypeException.
  explicit VlanMembershipAclEntryConfig(Kel::CharRange& r);

  Bridging::VlanId key() const { return key_; }
  KEL_ATTR(bool, disableVlan)
  AclIdArray const& aclId() const { return aclId_; }
  AclEnableArray const& aclEnable() const { return aclEnable_; }
  AclDefaultPermitArray const& aclDefaultPermit() const { return aclDefaultPermit_; }

  void aclIdIs(VlanMembershipTableAclIndex i, PipeAclId v) { aclId_.set(i.value(), v, PipeAclId()); }
  PipeAclId aclIdDel(VlanMembershipTableAclIndex i) { return aclId_.del(i.value(), PipeAclId()); }
  void aclIdDelAll() { aclId_.clear(); }
  void aclEnableIs(VlanMembershipTableAclIndex i, PipeAclEnable v) { aclEnable_.set(i.value(), v, PipeAclEnable()); }
  PipeAclEnable aclEnableDel(VlanMembershipTableAclIndex i) { return aclEnable_.del(i.value(), PipeAclEnable()); }
  void aclEnableDelAll() { aclEnable_.clear(); }
  void aclDefaultPermitIs(VlanMembershipTableAclIndex i, PipeAclDefaultPermit v) {
    aclDefaultPermit_.set(i.value(), v, PipeAclDefaultPermit());
  }
  PipeAclDefaultPermit aclDefaultPermitDel(VlanMembershipTableAclIndex i) {
    return aclDefaultPermit_.del(i.value(), PipeAclDefaultPermit());
  }
  void aclDefaultPermitDelAll() { aclDefaultPermit_.clear(); }

  U32 serializeLen() const { return 16 + 2 * (aclId_.count() + aclEnable_.count() + aclDefaultPermit_.count()); }
  // Writes serializeLen() bytes to buf.
  void serialize(void* buf) const;
  // Replaces this value from a serialized buffer of len bytes. A count above
  // 12, or a buffer too short for what its counts announce, raises
  // Kel::RangeException and leaves this value unchanged.
  void deserialize(void const* buf, U32 len);
  // 88 (the in-memory size) when the buffer's counts are all at most 12 and
  // the buffer holds everything they announce; 0 otherwise. Never reads
  // past len.
  U32 deserializeLen(void const* buf, U32 len) const;

 private:
  Bridging::VlanId key_;
  bool disableVlan_ = false;
  U8 reserved_ = 0;
  AclIdArray aclId_;
  AclEnableArray aclEnable_;
  AclDefaultPermitArray aclDefaultPermit_;
};
// In memory: key 0, disableVlan 2, reserved 3, the arrays at 4, 32 and 60.
static_assert(Kel::imageIs<VlanMembershipAclEntryConfig>(88, 1, {0, 2, 4, 32, 60}));

KEL_VALUE_FUNCTIONS();

}  // namespace VexaSwitch
