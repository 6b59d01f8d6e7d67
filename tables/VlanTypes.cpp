#include "VexaSwitchLib/tables/VlanTypes.h"

#include <cstring>

namespace VexaSwitch {
namespace {

void putU16(unsigned char* p, U16 v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void putU32(unsigned char* p, U32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
U16 getU16(unsigned char const* p) { return static_cast<U16>(p[0] | (p[1] << 8)); }
U32 getU32(unsigned char const* p) {
  return U32(p[0]) | (U32(p[1]) << 8) | (U32(p[2]) << 16) | (U32(p[3]) << 24);
}

template <class A>
unsigned char* putArray(unsigned char* p, A const& a) {
  putU32(p, a.count());
  p += 4;
  for (U32 i = 0; i < a.count(); ++i, p += 2) putU16(p, a[i].value());
  return p;
}

// Reads one array at `off`; advances `off`. Bounds: every byte read lies
// below len, checked before it is read.
template <class A>
void getArray(unsigned char const* p, U32 len, U32& off, A& out) {
  using E = std::remove_cvref_t<decltype(out[0])>;
  if (len < 4 || off > len - 4)
    fmthrow(Kel::RangeException, "serialized VlanMembershipAclEntryConfig of {} bytes is truncated at offset {}", len,
            off);
  U32 count = getU32(p + off);
  if (count > A::capacity) Kel::throwFixedArrayRange(A::capacity, count);
  off += 4;
  if (2 * count > len - off)
    fmthrow(Kel::RangeException,
            "serialized VlanMembershipAclEntryConfig of {} bytes is truncated: {} elements at offset {}", len, count,
            off);
  E elems[A::capacity];
  for (U32 i = 0; i < count; ++i) elems[i] = E(getU16(p + off + 2 * i));
  out.assign(elems, count);
  off += 2 * count;
}

}  // namespace

VlanMembershipAclEntryConfig::VlanMembershipAclEntryConfig(Kel::CharRange&) {
  fmthrow(Kel::TypeException, "No String constructor for VlanMembershipAclEntryConfig - has collection");
}

void VlanMembershipAclEntryConfig::serialize(void* buf) const {
  auto* p = static_cast<unsigned char*>(buf);
  putU16(p, key_.value());
  p[2] = disableVlan_ ? 1 : 0;
  p[3] = reserved_;
  p = putArray(p + 4, aclId_);
  p = putArray(p, aclEnable_);
  putArray(p, aclDefaultPermit_);
}

void VlanMembershipAclEntryConfig::deserialize(void const* buf, U32 len) {
  auto const* p = static_cast<unsigned char const*>(buf);
  if (len < 4)
    fmthrow(Kel::RangeException, "serialized VlanMembershipAclEntryConfig of {} bytes is truncated at offset 0", len);
  // Built aside and assigned at the end: a refused buffer changes nothing.
  VlanMembershipAclEntryConfig v;
  v.key_ = Bridging::VlanId(getU16(p));  // a VLAN id above 4095 is refused
  v.disableVlan_ = p[2] != 0;
  v.reserved_ = p[3];
  U32 off = 4;
  getArray(p, len, off, v.aclId_);
  getArray(p, len, off, v.aclEnable_);
  getArray(p, len, off, v.aclDefaultPermit_);
  *this = v;
}

U32 VlanMembershipAclEntryConfig::deserializeLen(void const* buf, U32 len) const {
  auto const* p = static_cast<unsigned char const*>(buf);
  U32 off = 4;
  for (int a = 0; a < 3; ++a) {
    if (len < 4 || off > len - 4) return 0;
    U32 count = getU32(p + off);
    if (count > pipes) return 0;
    off += 4;
    if (2 * count > len - off) return 0;
    off += 2 * count;
  }
  return sizeof(VlanMembershipAclEntryConfig);
}

}  // namespace VexaSwitch
