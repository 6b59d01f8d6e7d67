#pragma once
// The engine instantiations of the ACL counter table: one
// writer, reader and shadow per key/value pair, compiled once in the
// unit's source files.
#include "VexaSwitchLib/KelZolm/KelZolmMap.h"
#include "VexaSwitchLib/Zolm/ZolmForms.h"
#include "VexaSwitchLib/tables/AclTypes.h"
#include "VexaSwitchLib/tables/VlanZolm.h"

namespace VexaSwitch {

// No notification queue: counters change too often to be followed.
using AclCounterStatusOps = Zolm::Ops<Nox::UniqueId, VexaSwitch::AclCounter, 0>;

}  // namespace VexaSwitch

VEXA_ZOLM_EXTERN_FORMS(VexaSwitch::AclCounterStatusOps)

// The collections of this unit (KelZolm/KelZolmMap.h: the pattern).
namespace VexaSwitch {

VEXA_KELZOLM_COLLECTION(AclCounterStatus, aclCounterStatusFactory, AclCounterStatusOps, 3, ::KelZolm::Attr::counter, "VexaSwitch::AclZolm",
    /* The counters: the pattern's operations under the attribute word. */
    void counterIs(AclCounter const& v) { Collection::entryIs(v); }
    void counterCommit(AclCounter const* v) { Collection::entryCommit(v); }
    AclCounter counterDel(Nox::UniqueId const& k) { return Collection::entryDel(k); }
    void counterDelAll() { Collection::entryDelAll(); }
    void counterNotify(Nox::UniqueId const& k) { Collection::entryNotify(k); }
    void counterNotifyMountStatus() { Collection::entryNotifyMountStatus(); }
    void counterNotifyQuiesced(bool q) { Collection::entryNotifyQuiesced(q); }
    ::Kel::Ptr<::KelZolm::CollectionControl> const& counterControl() const { return Collection::entryControl(); }
    void counterControlIs(::Kel::Ptr<::KelZolm::CollectionControl> const& c) { Collection::entryControlIs(c); }
    AclCounter counter(Nox::UniqueId const& k) const { return Collection::entry(k); }
    U32 counters() const { return Collection::entries(); }
   private:
    using Collection::entryIs;
    using Collection::entryCommit;
    using Collection::entryDel;
    using Collection::entryDelAll;
    using Collection::entryNotify;
    using Collection::entryControlIs;
    using Collection::entry;
    using Collection::entries;)
VEXA_KELZOLM_COLLECTION(VlanMembershipTableAclConfig, vlanMembershipTableAclConfigFactory, VlanMembershipTableAclConfigOps, 1, ::KelZolm::Attr::entry, "VexaSwitch::AclZolm")

}  // namespace VexaSwitch

VEXA_KELZOLM_EXTERN(VexaSwitch, AclCounterStatus, AclCounterStatusOps, 3, ::KelZolm::Attr::counter)
VEXA_KELZOLM_EXTERN(VexaSwitch, VlanMembershipTableAclConfig, VlanMembershipTableAclConfigOps, 1, ::KelZolm::Attr::entry)
