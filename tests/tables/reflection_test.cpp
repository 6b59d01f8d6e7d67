// Types by name: the registered modules read back through the registry, the
// generic operations of every value type against the types' own functions,
// and the collection operations over a small in-process collection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "VexaSwitchLib/runtime/CollectionTypeImpl.h"
#include "VexaSwitchLib/runtime/TypeImpl.h"
#include "VexaSwitchLib/tables/AclTypes.h"
#include "VexaSwitchLib/tables/L2Types.h"
#include "VexaSwitchLib/tables/LagTypes.h"
#include "VexaSwitchLib/tables/LagZolm.h"
#include "VexaSwitchLib/tables/TableAccess.h"
#include "VexaSwitchLib/tables/TrailerTypes.h"
#include "VexaSwitchLib/tables/VlanTypes.h"
#include "testutil/Expect.h"

namespace vexa_reflection_test {

using namespace VexaSwitch;
using VexaTest::thrownMessage;
using Names = std::vector<std::string_view>;

namespace {

Kel::Type type(std::string_view name) {
  Kel::Type t = Kel::findType(name);
  EXPECT_TRUE(t) << name;
  return t;
}

int op(void* result, void* object, std::string_view typeName, std::string_view attr, int operation,
       void const* key = nullptr, void const* value = nullptr) {
  Kel::Type t = type(typeName);
  Kel::Attr a = attr.empty() ? Kel::Attr() : t.attribute(attr);
  EXPECT_TRUE(attr.empty() || a) << attr;
  return t.ops()->genericIfAttributeOp(result, object, attr.empty() ? nullptr : &a, operation, key, value);
}

// What one generic operation on `obj` yields: its status and its result.
template <class R, class T>
std::pair<int, R> opResult(T& obj, std::string_view typeName, std::string_view attr, int operation,
                           void const* key = nullptr, void const* value = nullptr) {
  R r{};
  int status = op(&r, &obj, typeName, attr, operation, key, value);
  return {status, r};
}

// The keys (of type K) a generic iterator over `a` of `obj` visits from
// `from` on (nullptr: from the start).
template <class K>
std::vector<U32> keysOf(Kel::TypeOps const& o, void* obj, K const* from, Kel::Attr const& a) {
  Kel::IterOps const* it = nullptr;
  void* i = o.genericIfIterator(obj, from, a, &it);
  EXPECT_TRUE(i) << a.name();
  std::vector<U32> keys;
  for (; i && it->iterNonnull(a, i); it->iterInc(a, i)) {
    K k;
    it->iterKey(a, i, &k);
    keys.push_back(k.value());
  }
  if (i) it->iterDel(a, i);
  return keys;
}

struct ModuleWant {
  std::string_view unit;
  U32 types;
  std::size_t typePool, attrPool;  // pool sizes, the attribute pool without its empty first name
};

// The library's modules in registration (link) order.
constexpr ModuleWant wanted[] = {
    {"ACL", 4, 10, 18},        {"L2 tables", 3, 4, 4},         {"L2 types", 9, 17, 61}, {"L3 tables", 11, 12, 4},
    {"LAG", 3, 6, 7},          {"profile", 2, 4, 9},           {"switch constants", 2, 3, 20},
    {"NAT tables", 2, 3, 4},   {"table ids", 1, 2, 7},         {"status packet", 1, 1, 5},
    {"trailer", 1, 2, 7},      {"VLAN table", 1, 2, 4},        {"VLAN types", 4, 7, 18},
};

bool sortedUnique(Names const& n) { return std::adjacent_find(n.begin(), n.end(), std::greater_equal<>()) == n.end(); }
bool has(Names const& n, std::string_view x) { return std::find(n.begin(), n.end(), x) != n.end(); }

// Each module's pools are derived from its types' descriptions: sorted,
// unique, holding every name its types use, of the pinned sizes (a name
// gained or lost). The names clients read fields by are pinned below, in
// the text forms and in the tools' output.
TEST(Modules, RegisteredOnceInLinkOrderWithTheirPoolsIndicesAndIds) {
  std::vector<Kel::Module const*> library;
  for (auto* m : Kel::modules())
    if (m->library) library.push_back(m);
  ASSERT_EQ(library.size(), std::size(wanted));
  for (std::size_t i = 0; i < library.size(); ++i) {
    Kel::Module const& m = *library[i];
    ModuleWant const& w = wanted[i];
    SCOPED_TRACE(std::string(w.unit));
    EXPECT_EQ(m.unit, w.unit);
    ASSERT_EQ(m.numTypes, w.types);
    Names typePool = m.typeNameList(), attrPool = m.attrNameList();
    EXPECT_EQ(typePool.size(), w.typePool);
    ASSERT_EQ(attrPool.size(), w.attrPool + 1);
    EXPECT_EQ(attrPool[0], "");
    EXPECT_TRUE(sortedUnique(typePool));
    EXPECT_TRUE(sortedUnique(attrPool));
    for (U16 t = 0; t < m.numTypes; ++t) {
      Kel::Type found(&m, t);  // the fwkType: (module, index), found by its name
      EXPECT_EQ(Kel::findType(found.name()), found) << found.name();
      EXPECT_TRUE(has(typePool, found.name()));
      for (U16 a = 0; a < found.attrCount(); ++a) {
        EXPECT_TRUE(has(attrPool, found.attr(a).name())) << found.attr(a).name();
        for (auto p : found.attr(a).params()) EXPECT_TRUE(has(attrPool, p)) << p;
      }
    }
    EXPECT_EQ(m.valueMethods == nullptr, w.unit == "switch constants");
  }

  // Attribute ids: fields and views from 2 on, a collection's two at 258/259.
  auto ids = [](std::string_view t) {
    std::string out;
    Kel::Type ty = type(t);
    for (U16 i = 0; i < ty.attrCount(); ++i) out += fmt::format("{}:{} ", ty.attr(i).name(), ty.attr(i).id());
    return out;
  };
  EXPECT_EQ(ids("VexaSwitch::AclCounter"), "key:2 count:3 ");
  EXPECT_EQ(ids("VexaSwitch::LagGroupId"), "value:2 emptyId:3 ");
  EXPECT_EQ(ids("VexaSwitch::AclCounterStatus"), "name:2 counter:258 counterControl:259 ");
  EXPECT_EQ(ids("VexaSwitch::LpmTableConfig"), "name:2 entry:258 entryControl:259 ");
  EXPECT_EQ(ids("VexaSwitch::L2HashTableIndex"), "value:2 way:3 index:4 fromWayIndex:5 invalid:6 ");
  EXPECT_EQ(ids("VexaSwitch::StatusPacket").substr(0, 14), "linkState:130 ");
  Kel::Attr fromFields = type("VexaSwitch::L2HashTableControl").attribute("fromFields");
  EXPECT_EQ(fromFields.params(), (Names{"way", "index", "writeOp", "readOp", "lastSeenOveride", "lastSeenRelative",
                                        "maxWay", "maxEntries"}));
  EXPECT_EQ(type("VexaSwitch::LagGroupIdTable").attribute("entry").keyName(), "key");
  EXPECT_EQ(type("VexaSwitch::L2LogicalEntry").size(), sizeof(L2LogicalEntry));
  EXPECT_FALSE(Kel::findType("VexaSwitch::NoSuchType"));
  // A name the pools only refer to is defined elsewhere (here by the
  // referenced-types module), never twice.
  EXPECT_FALSE(type("Nox::UniqueId").module()->library);
  EXPECT_TRUE(Kel::KelTypeBase::isDerived(type("VexaSwitch::LagGroupId"), type("VexaSwitch::LagGroupId")));
  EXPECT_FALSE(Kel::KelTypeBase::isDerived(type("VexaSwitch::LagGroupId"), type("VexaSwitch::LagGroupIdEntry")));
}

// What a generic client of the tables relies on: every table's value type is
// registered with its methods, and its key attribute names the engine's key
// type, itself registered and parseable.
TEST(Modules, EveryTableReachesItsValueAndKeyTypesByName) {
  ASSERT_EQ(VexaSwitch::tableKinds().size(), 19u);
  for (VexaSwitch::TableKind const& k : VexaSwitch::tableKinds()) {
    SCOPED_TRACE(std::string(k.valueType));
    EXPECT_EQ(VexaSwitch::tableKind(k.valueType), &k);
    Kel::Type v = type(k.valueType);
    ASSERT_TRUE(v && v.methods());
    EXPECT_EQ(v.size(), k.valueSize);
    ASSERT_TRUE(v.keyAttr());
    EXPECT_EQ(v.keyAttr().typeName(), k.keyType);
    Kel::Type key = type(k.keyType);
    ASSERT_TRUE(key && key.methods());
    EXPECT_TRUE(key.parseable());
  }
  EXPECT_FALSE(VexaSwitch::tableKind("VexaSwitch::LagGroupId"));
}

// A value of a registered type in raw storage, through its methods only.
struct Boxed {
  explicit Boxed(Kel::Type t) : type(t), m(t.methods()), bytes(t.size() + 16) { m->genericIfConstruct(at(), nullptr); }
  ~Boxed() { m->genericIfDestruct(at()); }
  void* at() { return reinterpret_cast<void*>((reinterpret_cast<std::uintptr_t>(bytes.data()) + 15) & ~std::uintptr_t(15)); }
  std::string text() { return std::string(m->genericIfStrRep(at(), type, 0).view()); }
  Kel::Type type;
  Kel::ValueMethods const* m;
  std::vector<unsigned char> bytes;
};

// Every parseable value type: default text -> value -> text (typed values'
// text forms: each type's own test).
TEST(GenericValues, EveryParseableTypeRoundTripsThroughItsOperationsAlone) {
  int parsed = 0;
  for (Kel::Type t : Kel::types()) {
    if (!t.methods() || !t.parseable()) continue;
    SCOPED_TRACE(std::string(t.name()));
    Boxed a(t), b(t);
    std::string text = a.text();
    b.m->genericIfStrepToValue(b.at(), Quiv::String(text), t, 0);
    EXPECT_EQ(b.text(), text);
    bool equal = false, nonnull = true;
    EXPECT_EQ(t.ops()->genericIfAttributeOp(&equal, a.at(), nullptr, Kel::EQUAL, nullptr, b.at()), 0);
    EXPECT_EQ(t.ops()->genericIfAttributeOp(&nonnull, a.at(), nullptr, Kel::NONNULL, nullptr, nullptr), 0);
    EXPECT_TRUE(equal);
    EXPECT_FALSE(nonnull);
    ++parsed;
  }
  EXPECT_GE(parsed, 40);

  // A record with a nested value and a full-width count.
  Boxed counter(type("VexaSwitch::AclCounter"));
  std::string text = "Value('VexaSwitch::AclCounter', ** {'key': Value('Nox::UniqueId', ** {'pid': 7, 'counter': 9}), "
                     "'count': 18446744073709551615})";
  counter.m->genericIfStrepToValue(counter.at(), Quiv::String(text), counter.type, 0);
  EXPECT_EQ(counter.text(), text);
  // Bad text is refused and loses nothing.
  Boxed lag(type("VexaSwitch::LagGroupId"));
  lag.m->genericIfStrepToValue(lag.at(), "5", lag.type, 0);
  EXPECT_THROW(lag.m->genericIfStrepToValue(lag.at(), "64", lag.type, 0), Kel::RangeException);
  EXPECT_THROW(lag.m->genericIfStrepToValue(lag.at(), "5 ", lag.type, 0), Kel::ParseException);
  EXPECT_EQ(lag.text(), "5");
  // A constant holder consumes nothing; a value holding a collection has no
  // parser.
  Boxed consts(type("VexaSwitch::L2Constants"));
  consts.m->genericIfStrepToValue(consts.at(), "", consts.type, 0);
  EXPECT_THROW(consts.m->genericIfStrepToValue(consts.at(), "x", consts.type, 0), Kel::ParseException);
  Boxed acl(type("VexaSwitch::VlanMembershipAclEntryConfig"));
  EXPECT_FALSE(acl.type.parseable());
  EXPECT_THROW(acl.m->genericIfStrepToValue(acl.at(), "[]", acl.type, 0), Kel::TypeException);
}

TEST(GenericValues, HashConstructAndPointerChecks) {
  LagGroupId g(5);
  Kel::Type lagId = type("VexaSwitch::LagGroupId");
  EXPECT_EQ(lagId.methods()->genericIfHash(&g, lagId), Kel::hashSingleAttr(U32(0), U32(5)));
  VexaEgressTrailer tr(0x1234);
  EXPECT_EQ(type("VexaSwitch::VexaEgressTrailer").methods()->genericIfHash(&tr, {}),
            Kel::hashSingleAttr(U32(0), U32(0x1234)));
  L2HwLastSeen seen;
  EXPECT_EQ(thrownMessage<Kel::UnhashableTypeException>(
                [&] { type("VexaSwitch::L2HwLastSeen").methods()->genericIfHash(&seen, {}); }),
            "type VexaSwitch::L2HwLastSeen is not hashable");
  EXPECT_EQ(lagId.methods()->genericIfVoidPtrIs(&g, lagId, lagId), &g);
  EXPECT_THROW(lagId.methods()->genericIfVoidPtrIs(&g, lagId, type("VexaSwitch::LagGroupIdEntry")), Kel::TypeException);

  // Constructor arguments: the raw bounded value (range-checked), a record's
  // leading attributes.
  alignas(LagGroupIdEntry) unsigned char raw[sizeof(LagGroupIdEntry)];
  U32 sixtyFour = 64, three = 3;
  void const* args[] = {&sixtyFour};
  EXPECT_THROW(lagId.ops()->genericIfConstructFromCtorArgs(raw, args), Kel::RangeException);
  args[0] = &three;
  lagId.ops()->genericIfConstructFromCtorArgs(raw, args);
  EXPECT_EQ(reinterpret_cast<LagGroupId*>(raw)->value(), 3u);
  Lanx::IntfId pc = Lanx::IntfId::portChannel(3);
  LagGroupId key3(3);
  void const* entryArgs[] = {&key3, &pc};
  Kel::Type entryT = type("VexaSwitch::LagGroupIdEntry");
  ASSERT_EQ(entryT.ops()->ctorArgs, 2u);
  entryT.ops()->genericIfConstructFromCtorArgs(raw, entryArgs);
  EXPECT_EQ(*reinterpret_cast<LagGroupIdEntry*>(raw), LagGroupIdEntry(key3, pc));
}

// Status 0 done, 1 not allowed (a read-only attribute, an operation the
// attribute lacks), 2 an attribute of another type (nothing read).
TEST(GenericValues, AttributeOperationsAndTheirStatuses) {
  LagGroupId a(5), b(7);
  LagGroupIdEntry e(a, Lanx::IntfId::portChannel(5)), e2;
  EXPECT_EQ(opResult<bool>(a, "VexaSwitch::LagGroupId", "", Kel::LESS, nullptr, &b), std::pair(0, true));
  EXPECT_EQ(opResult<bool>(b, "VexaSwitch::LagGroupId", "", Kel::LESS, nullptr, &a), std::pair(0, false));
  EXPECT_EQ(opResult<bool>(e, "VexaSwitch::LagGroupIdEntry", "", Kel::LESS, nullptr, &e2).first, 1);
  EXPECT_EQ(opResult<bool>(e, "VexaSwitch::LagGroupIdEntry", "", Kel::NONNULL), std::pair(0, true));
  EXPECT_EQ(opResult<Lanx::IntfId>(e, "VexaSwitch::LagGroupIdEntry", "lagIntf", Kel::GET),
            std::pair(0, Lanx::IntfId::portChannel(5)));
  Lanx::IntfId other = Lanx::IntfId::portChannel(9);
  EXPECT_EQ(op(nullptr, &e, "VexaSwitch::LagGroupIdEntry", "lagIntf", Kel::SET, nullptr, &other), 1);
  EXPECT_EQ(e.lagIntf(), Lanx::IntfId::portChannel(5));
  EXPECT_EQ(opResult<U32>(a, "VexaSwitch::LagGroupId", "emptyId", Kel::GET), std::pair(0, 63u));
  EXPECT_EQ(op(nullptr, &a, "VexaSwitch::LagGroupId", "emptyId", Kel::SET, nullptr, &b), 1);

  AclCounter c(Nox::UniqueId(1, 2), 4);
  U64 count = 99;
  EXPECT_EQ(op(nullptr, &c, "VexaSwitch::AclCounter", "count", Kel::SET, nullptr, &count), 0);
  EXPECT_EQ(c.count(), 99u);
  Kel::Attr lagIntf = type("VexaSwitch::LagGroupIdEntry").attribute("lagIntf");
  count = 1;
  EXPECT_EQ(type("VexaSwitch::AclCounter").ops()->genericIfAttributeOp(&count, &c, &lagIntf, Kel::GET, nullptr, nullptr), 2);
  EXPECT_EQ(count, 1u);

  // Views, functions, string and real constants, 64-bit halves.
  L2HashTableIndex idx(2 * 4096 + 17);
  L2Constants k;
  L2LogicalEntry l2;
  l2.timestampIs(0x123456789AULL);
  EXPECT_EQ(opResult<U32>(idx, "VexaSwitch::L2HashTableIndex", "way", Kel::GET), std::pair(0, 2u));
  EXPECT_EQ(opResult<U32>(idx, "VexaSwitch::L2HashTableIndex", "fromWayIndex", Kel::GET).first, 1);
  EXPECT_EQ(opResult<Quiv::String>(k, "VexaSwitch::L2Constants", "macLearnDeviceName", Kel::GET),
            std::pair(0, Quiv::String("vexa_maclearn")));
  EXPECT_EQ(opResult<double>(k, "VexaSwitch::L2Constants", "agingTickInterval", Kel::GET), std::pair(0, 10.0));
  EXPECT_EQ(opResult<U64>(l2, "VexaSwitch::L2LogicalEntry", "timestamp", Kel::GET), std::pair(0, U64(0x123456789A)));
}

// The per-pipeline arrays: written, counted and iterated by index, the index
// range-checked with its own type's message.
TEST(GenericValues, ArrayAttributesIterateByIndex) {
  VlanMembershipAclEntryConfig v(Bridging::VlanId(10));
  Kel::Type t = type("VexaSwitch::VlanMembershipAclEntryConfig");
  Kel::Attr aclId = t.attribute("aclId");
  ASSERT_EQ(aclId.kind(), Kel::AttrKind::array);
  EXPECT_EQ(aclId.typeName(), "VexaSwitch::PipeAclId");
  VlanMembershipTableAclIndex i1(1), i4(4);
  PipeAclId x(7), y(9);
  EXPECT_EQ(t.ops()->genericIfAttributeOp(nullptr, &v, &aclId, Kel::SET, &i1, &x), 0);
  EXPECT_EQ(t.ops()->genericIfAttributeOp(nullptr, &v, &aclId, Kel::SET, &i4, &y), 0);
  EXPECT_EQ(opResult<U32>(v, "VexaSwitch::VlanMembershipAclEntryConfig", "aclId", Kel::COUNT), std::pair(0, 5u));

  Kel::IterOps const* ops = nullptr;
  void* it = t.ops()->genericIfIterator(&v, nullptr, aclId, &ops);
  ASSERT_TRUE(it);
  std::vector<std::pair<U32, U16>> seen;
  for (; ops->iterNonnull(aclId, it); ops->iterInc(aclId, it)) {
    VlanMembershipTableAclIndex k;
    PipeAclId e;
    ops->iterKey(aclId, it, &k);
    ops->iterObj(aclId, it, &e);
    seen.emplace_back(k.value(), e.value());
  }
  ops->iterDel(aclId, it);
  EXPECT_EQ(seen, (std::vector<std::pair<U32, U16>>{{0, 0x100D}, {1, 7}, {2, 0x100D}, {3, 0x100D}, {4, 9}}));
  EXPECT_EQ(keysOf(*t.ops(), &v, &i4, aclId), std::vector<U32>{4});
  EXPECT_FALSE(t.ops()->genericIfIterator(&v, nullptr, t.attribute("key"), &ops));

  VlanMembershipTableAclIndex bad;
  U8 twelve = 12;
  std::memcpy(&bad, &twelve, 1);  // as if from a damaged buffer
  EXPECT_EQ(thrownMessage<Kel::RangeException>(
                [&] { t.ops()->genericIfAttributeOp(&x, &v, &aclId, Kel::GET, &bad, nullptr); }),
            "VexaSwitch::VlanMembershipTableAclIndex::value < VexaSwitch::VlanMembershipTableAclIndex::min or > "
            "VexaSwitch::VlanMembershipTableAclIndex::max not allowed");
}

// ---- collections ----------------------------------------------------------------------

// A collection with the interface the table collections offer, in process
// memory, to drive the collection operations.
class MockTable : public Kel::Entity {
 public:
  static constexpr std::string_view kelTypeName = "VexaTest::MockTable";
  explicit MockTable(Quiv::String name) : Entity(std::move(name)) {}
  std::map<U32, LagGroupIdEntry> entries;
  Kel::Ptr<Kel::Entity> control = Kel::makePtr<Kel::Entity>("control");
  bool corrupt = false;
};

struct MockAccess {
  using Collection = MockTable;
  using Key = LagGroupId;
  using Value = LagGroupIdEntry;
  using Control = Kel::Entity;
  static constexpr std::string_view typeName = MockTable::kelTypeName;
  static constexpr std::string_view attr = "entry";
  static Kel::Ptr<MockTable> make(Quiv::String const& n) { return Kel::makePtr<MockTable>(n); }
  static void set(MockTable& c, Value const& v) { c.entries[v.key().value()] = v; }
  static Value del(MockTable& c, Key const& k) {
    Value old;
    find(c, k, old);
    c.entries.erase(k.value());
    return old;
  }
  static bool find(MockTable& c, Key const& k, Value& out) {
    if (c.corrupt) fmthrow(Quiv::CorruptionDetectedException, "bad chain");
    auto it = c.entries.find(k.value());
    return it != c.entries.end() && (out = it->second, true);
  }
  static U32 count(MockTable& c) { return U32(c.entries.size()); }
  struct Iterator {
    std::map<U32, LagGroupIdEntry>::const_iterator at, end;
    bool valid() const { return at != end; }
    Key key() const { return at->second.key(); }
    Value value() const { return at->second; }
    void advance() { ++at; }
  };
  static Iterator begin(MockTable& c) { return {c.entries.begin(), c.entries.end()}; }
  static Iterator from(MockTable& c, Key const& k) { return {c.entries.lower_bound(k.value()), c.entries.end()}; }
  static Kel::Ptr<Kel::Entity> control(MockTable& c) { return c.control; }
  static void controlIs(MockTable& c, Kel::Ptr<Kel::Entity> const& p) { c.control = p; }
  [[noreturn]] static void corruptionDetected(MockTable&, Quiv::String const& msg) {
    fmthrow(Quiv::InvalidInitializeException, "handler: {}", msg);
  }
};

Kel::Type mockType() {
  static Kel::Type const t = [] {
    Kel::ModuleBuilder b("test collections", {"Kel::String"}, false);
    b.type(Kel::CollectionTypeImpl<MockAccess>::spec());
    Kel::kelModuleIs(b.build());
    return Kel::findType(MockTable::kelTypeName);
  }();
  return t;
}

// A table collection by name, through the generic operations alone: made by
// its factory on a private table (arguments refused), written from text
// forms (a set is an entryIs: it notifies), read, counted, iterated (from a
// key too), deleted; its name and control read and set.
TEST(GenericCollections, ATableCollectionByName) {
  Kel::Type t = type("VexaSwitch::LagGroupIdTable");
  Kel::TypeOps const& o = *t.ops();
  void const* args[] = {nullptr};
  EXPECT_THROW(o.newEntityForDir("lags", args, t), Kel::NewEntityArgsException);
  Kel::Ptr<Kel::Entity> ent = o.newEntityForDir("lags", nullptr, t);
  auto* table = dynamic_cast<LagGroupIdTable*>(ent.ptr());
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->fwkType().index, 2);
  Kel::Attr entry = t.attributeById(258), control = t.attributeById(259);
  std::string_view tn = t.name(), ctlName = control.name();
  LagGroupId k5(5), k9(9);

  // Empty: no entry, iteration at its end at once; 259 does not iterate.
  EXPECT_TRUE(keysOf<LagGroupId>(o, table, nullptr, entry).empty());
  Kel::IterOps const* it = nullptr;
  EXPECT_FALSE(o.genericIfIterator(table, nullptr, control, &it));
  EXPECT_EQ(opResult<LagGroupIdEntry>(*table, tn, "entry", Kel::GET, &k5), std::pair(0, LagGroupIdEntry()));
  EXPECT_EQ(opResult<bool>(*table, tn, "entry", Kel::CONTAINS, &k5), std::pair(0, false));

  U64 told = table->notifyCounter().value();
  Kel::Type vt = type("VexaSwitch::LagGroupIdEntry");
  for (int n : {9, 5}) {
    LagGroupIdEntry v;
    vt.methods()->genericIfStrepToValue(
        &v, Quiv::String(fmt::format("Value('VexaSwitch::LagGroupIdEntry', ** {{'key': {0}, 'lagIntf': Port-Channel{0}}})", n)), vt, 0);
    EXPECT_EQ(o.genericIfAttributeOp(nullptr, table, &entry, Kel::SET, nullptr, &v), 0);
  }
  EXPECT_EQ(table->notifyCounter().value(), told + 2);
  EXPECT_EQ(opResult<U32>(*table, tn, "entry", Kel::COUNT), std::pair(0, 2u));
  U32 n = 7;
  EXPECT_EQ(o.genericIfAttributeOp(&n, table, &entry, Kel::ZERO, nullptr, nullptr) + n, 0u);
  EXPECT_EQ(opResult<LagGroupIdEntry>(*table, tn, "entry", Kel::GET, &k5),
            std::pair(0, LagGroupIdEntry(k5, Lanx::IntfId::portChannel(5))));
  std::vector<U32> keys = keysOf<LagGroupId>(o, table, nullptr, entry);
  EXPECT_EQ(std::set<U32>(keys.begin(), keys.end()), (std::set<U32>{5, 9}));
  LagGroupId last(keys[1]);
  EXPECT_EQ(keysOf(o, table, &last, entry), std::vector<U32>{keys[1]});
  EXPECT_EQ(opResult<LagGroupIdEntry>(*table, tn, "entry", Kel::DEL, &k9).second.key(), k9);
  EXPECT_EQ(table->entries(), 1u);
  EXPECT_EQ(opResult<LagGroupIdEntry>(*table, tn, "entry", Kel::DEL + 20, &k5).first, 1);
  bool has = false;
  Kel::Attr lagIntf = vt.attribute("lagIntf");
  EXPECT_EQ(o.genericIfAttributeOp(&has, table, &lagIntf, Kel::GET, &k5, nullptr), 2);
  EXPECT_EQ(opResult<Quiv::String>(*table, tn, "name", Kel::GET), std::pair(0, Quiv::String("lags")));
  EXPECT_EQ(opResult<Kel::Ptr<Kel::PtrInterface>>(*table, tn, ctlName, Kel::GET).second.ptr(),
            table->entryControl().ptr());
  Kel::Ptr<Kel::PtrInterface> other(new Kel::Entity("other"));
  EXPECT_THROW(o.genericIfAttributeOp(nullptr, table, &control, Kel::SET, nullptr, &other), Kel::TypeException);

  // Created by name through the constructor arguments too.
  Kel::Ptr<Kel::Entity> second;
  Quiv::String secondName("lags2");
  void const* ctorArgs[] = {&secondName};
  o.genericIfConstructFromCtorArgs(&second, ctorArgs);
  EXPECT_EQ(second->nameString(), "lags2");
}

// Corruption met while reading goes to the collection's handler (a table's
// own private table cannot be damaged: a collection in process memory
// stands in, with a control of any entity, which the generic set takes).
TEST(GenericCollections, CorruptionWhileReadingGoesToTheHandler) {
  Kel::Type t = mockType();
  ASSERT_TRUE(t);
  Kel::Ptr<Kel::Entity> ent = t.ops()->newEntityForDir("lag", nullptr, t);
  auto* table = static_cast<MockTable*>(ent.ptr());
  Kel::Ptr<Kel::PtrInterface> other(new Kel::Entity("other"));
  Kel::Attr control = t.attributeById(259);
  EXPECT_EQ(t.ops()->genericIfAttributeOp(nullptr, table, &control, Kel::SET, nullptr, &other), 0);
  EXPECT_EQ(table->control.ptr(), other.ptr());
  table->corrupt = true;
  LagGroupId k5(5);
  EXPECT_EQ(thrownMessage<Quiv::InvalidInitializeException>([&] { opResult<bool>(*table, t.name(), "entry", Kel::CONTAINS, &k5); }),
            "handler: bad chain");
}

}  // namespace

}  // namespace vexa_reflection_test
