#pragma once
// The chip's L2 hash table: a 3-way cuckoo hash of 3 x 4096 entries, each
// two 64-bit hardware words. Positions, control words, the raw entry and
// the software entry with its codec.
#include <string_view>

#include "VexaSwitchLib/runtime/Bridging.h"
#include "VexaSwitchLib/runtime/Lanx.h"
#include "VexaSwitchLib/runtime/Nox.h"
#include "VexaSwitchLib/runtime/ProfileHwProperties.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace VexaSwitch {

class L2Constants : public Kel::ConstantHolder<L2Constants> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::L2Constants";
  static constexpr U32 nWayCuckooHash = 3;
  static constexpr U32 entriesPerHashTable = 4096;
  static constexpr U32 nBuckets = 1;
  static constexpr U32 maxEntries = 12288;
  static constexpr U32 pipelinesPerChip = 12;
  static constexpr U32 portsPerPipeline = 4;
  static constexpr U32 portsPerChip = 48;
  static constexpr U32 numLags = 48;
  static constexpr U32 numPortsPerLag = 8;
  static constexpr U32 numMirroringSessions = 48;
  static constexpr double agingTickInterval = 10.0;
  static constexpr U32 lastSeenMask = 255;
  static constexpr std::string_view macLearnDeviceName = "vexa_maclearn";
  static constexpr U32 maxEthGroups = 12288;
  static constexpr auto kelConstants() {
    return std::make_tuple(
        Kel::constant("nWayCuckooHash", nWayCuckooHash), Kel::constant("entriesPerHashTable", entriesPerHashTable),
        Kel::constant("nBuckets", nBuckets), Kel::constant("maxEntries", maxEntries),
        Kel::constant("pipelinesPerChip", pipelinesPerChip), Kel::constant("portsPerPipeline", portsPerPipeline),
        Kel::constant("portsPerChip", portsPerChip), Kel::constant("numLags", numLags),
        Kel::constant("numPortsPerLag", numPortsPerLag), Kel::constant("numMirroringSessions", numMirroringSessions),
        Kel::constant("agingTickInterval", agingTickInterval), Kel::constant("lastSeenMask", lastSeenMask),
        Kel::constant("macLearnDeviceName", macLearnDeviceName), Kel::constant("maxEthGroups", maxEthGroups));
  }
  L2Constants() = default;
  explicit L2Constants(Kel::CharRange& r) : ConstantHolder(r) {}
};

// Flat position way x 4096 + index; 12288 (invalid, the default) is none.
class L2HashTableIndex : public Kel::Scalar<L2HashTableIndex, U32> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::L2HashTableIndex";
  static constexpr std::string_view kelUpperName = "invalid";
  static constexpr U32 invalid = 12288;
  static constexpr U32 kelUpper = invalid;
  static constexpr bool kelHashable = true;
  static constexpr auto kelViews() {
    return std::make_tuple(Kel::view("way", &L2HashTableIndex::way), Kel::view("index", &L2HashTableIndex::index));
  }
  static constexpr auto kelFunctions() {
    return std::make_tuple(Kel::function("fromWayIndex", "way", "index", "maxWay", "maxEntries"));
  }
  using Scalar::Scalar;
  constexpr U32 way() const { return bits(12, 2); }
  constexpr U32 index() const { return bits(0, 12); }
  // Asserts way < maxWay and index < maxEntries; raises the range exception
  // when way x maxEntries + index is above 12288.
  static L2HashTableIndex fromWayIndex(U32 way, U32 index, U32 maxWay, U32 maxEntries);
};

// One bit per port; legal values 0..2^49 (invalid).
class IngressPortMask : public Kel::Scalar<IngressPortMask, U64> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::IngressPortMask";
  static constexpr std::string_view kelUpperName = "invalid";
  static constexpr U64 invalid = U64(1) << 49;
  static constexpr U64 kelUpper = invalid;
  static constexpr U64 kelDefault = 0;
  using Scalar::Scalar;
};

class L2HashTableHwEntry : public Kel::Record<L2HashTableHwEntry> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::L2HashTableHwEntry";
  static constexpr auto kelFields() { return std::make_tuple(KEL_FIELD(qword0), KEL_FIELD(qword1)); }
  static constexpr auto kelViews() {
    return std::make_tuple(Kel::view("data0", &L2HashTableHwEntry::data0), Kel::view("data1", &L2HashTableHwEntry::data1),
                           Kel::view("data2", &L2HashTableHwEntry::data2), Kel::view("data3", &L2HashTableHwEntry::data3));
  }
  static constexpr auto kelFunctions() { return std::make_tuple(Kel::function("fromWords", "w0", "w1", "w2", "w3")); }
  L2HashTableHwEntry() = default;
  L2HashTableHwEntry(U64 q0, U64 q1) : qword0_(q0), qword1_(q1) {}
  explicit L2HashTableHwEntry(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  static L2HashTableHwEntry fromWords(U32 w0, U32 w1, U32 w2, U32 w3) {
    return {(U64(w1) << 32) | w0, (U64(w3) << 32) | w2};
  }
  U64 qword0() const { return qword0_; }
  U64 qword1() const { return qword1_; }
  U32 data0() const { return static_cast<U32>(qword0_); }
  U32 data1() const { return static_cast<U32>(qword0_ >> 32); }
  U32 data2() const { return static_cast<U32>(qword1_); }
  U32 data3() const { return static_cast<U32>(qword1_ >> 32); }

 private:
  U64 qword0_ = 0;
  U64 qword1_ = 0;
};
static_assert(Kel::imageIs<L2HashTableHwEntry>(16, 0, {0, 8}));

// Aging: bits 0..7 timestamp, bit 8 dirty.
class L2HwLastSeen : public Kel::Scalar<L2HwLastSeen, U16> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::L2HwLastSeen";
  static constexpr auto kelViews() {
    return std::make_tuple(Kel::view("timestamp", &L2HwLastSeen::timestamp), Kel::view("dirty", &L2HwLastSeen::dirty));
  }
  using Scalar::Scalar;
  constexpr U8 timestamp() const { return static_cast<U8>(bits(0, 8)); }
  constexpr bool dirty() const { return bit(8); }
};

class L2McastFlags : public Kel::Scalar<L2McastFlags, U8> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::L2McastFlags";
  static constexpr auto kelViews() {
    return std::make_tuple(Kel::view("mcastJoinsToEgressPorts", &L2McastFlags::mcastJoinsToEgressPorts),
                           Kel::view("mcastDataToCpu", &L2McastFlags::mcastDataToCpu),
                           Kel::view("mcastJoinsToCpu", &L2McastFlags::mcastJoinsToCpu));
  }
  static constexpr auto kelFunctions() {
    return std::make_tuple(Kel::function("fromFields", "joinsToCpu", "dataToCpu", "joinsToEgressPorts"));
  }
  using Scalar::Scalar;
  static L2McastFlags fromFields(bool joinsToCpu, bool dataToCpu, bool joinsToEgressPorts) {
    return L2McastFlags(static_cast<U8>(joinsToCpu << 2 | dataToCpu << 1 | joinsToEgressPorts));
  }
  constexpr bool mcastJoinsToEgressPorts() const { return bit(0); }
  constexpr bool mcastDataToCpu() const { return bit(1); }
  constexpr bool mcastJoinsToCpu() const { return bit(2); }
};

// One access to the hash table: bits 0..11 index, 12..13 way, 14 read,
// 15 write, 16 last-seen override, 17 last-seen relative.
class L2HashTableControl : public Kel::Scalar<L2HashTableControl, U32> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::L2HashTableControl";
  static constexpr auto kelViews() {
    return std::make_tuple(Kel::view("index", &L2HashTableControl::index), Kel::view("way", &L2HashTableControl::way),
                           Kel::view("readOp", &L2HashTableControl::readOp),
                           Kel::view("writeOp", &L2HashTableControl::writeOp),
                           Kel::view("lastSeenOverride", &L2HashTableControl::lastSeenOverride),
                           Kel::view("lastSeenRelative", &L2HashTableControl::lastSeenRelative));
  }
  // The parameter is spelt as the chip's register map spells it.
  static constexpr auto kelFunctions() {
    return std::make_tuple(Kel::function("fromFields", "way", "index", "writeOp", "readOp", "lastSeenOveride",
                                         "lastSeenRelative", "maxWay", "maxEntries"));
  }
  using Scalar::Scalar;
  static L2HashTableControl fromFields(U32 way, U32 index, bool writeOp, bool readOp, bool lastSeenOveride,
                                       bool lastSeenRelative, U32 maxWay, U32 maxEntries);
  constexpr U32 index() const { return bits(0, 12); }
  constexpr U32 way() const { return bits(12, 2); }
  constexpr bool readOp() const { return bit(14); }
  constexpr bool writeOp() const { return bit(15); }
  constexpr bool lastSeenOverride() const { return bit(16); }
  constexpr bool lastSeenRelative() const { return bit(17); }
};

class L2PortControl : public Kel::Scalar<L2PortControl, U32> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::L2PortControl";
  static constexpr auto kelViews() {
    return std::make_tuple(Kel::view("isMlagPeer", &L2PortControl::isMlagPeer),
                           Kel::view("learnOnly", &L2PortControl::learnOnly),
                           Kel::view("learnDisable", &L2PortControl::learnDisable));
  }
  using Scalar::Scalar;
  constexpr bool isMlagPeer() const { return bit(0); }
  constexpr bool learnOnly() const { return bit(1); }
  constexpr bool learnDisable() const { return bit(2); }
};

// The software form of one L2 entry. Stored image, 52 bytes, little-endian,
// 64-bit fields on 4-byte boundaries:
//    0 key (12)   12 ingressPortMask (8)   20 lastSeen (2)   22 pad (2)
//   24 tableIndex (4)   28 timestamp (8)   36 mcastFlags   37 mcastRoutingEnabled
//   38 entryType   39 pad   40 intf (8)   48 moveCount (4)
class L2LogicalEntry : public Kel::Record<L2LogicalEntry> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::L2LogicalEntry";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(ingressPortMask), KEL_FIELD(lastSeen), KEL_FIELD(tableIndex),
                           KEL_FIELD(timestamp), KEL_FIELD(mcastFlags), KEL_FIELD(mcastRoutingEnabled),
                           KEL_FIELD(entryType), KEL_FIELD(intf), KEL_FIELD(moveCount));
  }
  static constexpr auto kelFunctions() {
    return std::make_tuple(Kel::function("hwEntry", "numPorts", "hwProp"),
                           Kel::function("fromHwEntry", "hwEntry", "numPorts", "hwProp"));
  }
  static constexpr std::size_t kelCtorArgs = 1;
  L2LogicalEntry() = default;
  explicit L2LogicalEntry(Bridging::MacVlanPair const& key) : key_(key) {}
  explicit L2LogicalEntry(Kel::CharRange& r) { Kel::parseRecord(*this, r); }

  Bridging::MacVlanPair const& key() const { return key_; }
  KEL_ATTR(IngressPortMask, ingressPortMask)
  KEL_ATTR(L2HwLastSeen, lastSeen)
  KEL_ATTR(L2HashTableIndex, tableIndex)
  KEL_ATTR(U64, timestamp)
  KEL_ATTR(L2McastFlags, mcastFlags)
  KEL_ATTR(bool, mcastRoutingEnabled)
  KEL_ATTR(Bridging::EntryType, entryType)
  KEL_ATTR(Lanx::IntfId, intf)
  KEL_ATTR(Nox::Seqno32, moveCount)

  // The two hardware words for a chip with numPorts ports (3 <= N, N + 9 <=
  // 64; not checked). Port-mask bits above N are dropped.
  L2HashTableHwEntry hwEntry(U8 numPorts, ProfileHwProperties const& hwProp) const;
  // The entry held in two hardware words; software-only attributes take
  // their defaults. Parity is not checked. Raises the IngressPortMask range
  // exception when the decoded mask is above 2^49.
  static L2LogicalEntry fromHwEntry(L2HashTableHwEntry const& hw, U8 numPorts, ProfileHwProperties const& hwProp);

 private:
  Bridging::MacVlanPair key_;
  IngressPortMask ingressPortMask_;
  L2HwLastSeen lastSeen_;
  U16 pad0_ = 0;
  L2HashTableIndex tableIndex_;
  Kel::Unsigned64 timestamp_;
  L2McastFlags mcastFlags_;
  bool mcastRoutingEnabled_ = false;
  Bridging::EntryType entryType_ = Bridging::EntryType::invalidEntry;
  U8 pad1_ = 0;
  Lanx::IntfId intf_;
  Nox::Seqno32 moveCount_;
};
static_assert(Kel::imageIs<L2LogicalEntry>(52, 3, {0, 12, 20, 24, 28, 36, 37, 38, 40, 48}));

// The MLAG interface table's entry: one interface id (8-byte image, key at
// 0); its text form is the interface name.
class MlagIntfEntry : public Kel::Single<MlagIntfEntry> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::MlagIntfEntry";
  static constexpr auto kelFields() { return std::make_tuple(KEL_FIELD(key)); }
  MlagIntfEntry() = default;
  explicit MlagIntfEntry(Lanx::IntfId key) : key_(key) {}
  explicit MlagIntfEntry(Kel::CharRange& r) { Kel::parseSingle(*this, r); }
  Lanx::IntfId key() const { return key_; }

 private:
  Lanx::IntfId key_;
};
static_assert(Kel::imageIs<MlagIntfEntry>(8, 0, {0}));

KEL_VALUE_FUNCTIONS();

}  // namespace VexaSwitch
