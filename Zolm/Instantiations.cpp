// One compiled writer per table, so that every key/value pair is known to
// build and callers do not each instantiate the engine again.
#include "Zolm/Instantiations.h"

namespace Zolm {

#define VEXA_ZOLM_INSTANTIATE(table, K, V, flags) \
  template class ZolmWriter<Ops<K, V, flags>>;     \
  template class ZolmReader<Ops<K, V, flags>>;     \
  template class ZolmShadow<Ops<K, V, flags>>;
VEXA_ZOLM_INSTANTIATIONS(VEXA_ZOLM_INSTANTIATE)
#undef VEXA_ZOLM_INSTANTIATE

// Slot sizes are part of the file format that readers in other processes
// rely on.
static_assert(AclCounterStatusOps::slotSize == 32);
static_assert(L2TableConfigOps::slotSize == 72);
static_assert(MlagIntfConfigOps::slotSize == 24);
static_assert(LpmTableConfigOps::slotSize == 56);
static_assert(NexthopTableConfigOps::slotSize == 64);
static_assert(LpmTableStatusOps::slotSize == 48);
static_assert(TableStatusOps::slotSize == 40);
static_assert(LpmHitTableStatusOps::slotSize == 40);
static_assert(VlanGroupTableConfigOps::slotSize == 48);
static_assert(VlanGroupTableStatusOps::slotSize == 32);
static_assert(L3FloodTableConfigOps::slotSize == 32);
static_assert(MrouteTableConfigOps::slotSize == 56);
static_assert(MrouteTableStatusOps::slotSize == 56);
static_assert(MrouteHitTableStatusOps::slotSize == 48);
static_assert(LagGroupIdTableOps::slotSize == 32);
static_assert(NatConfigOps::slotSize == 176);
static_assert(NatStatusOps::slotSize == 40);
static_assert(VlanMembershipTableConfigOps::slotSize == 40);

}  // namespace Zolm
