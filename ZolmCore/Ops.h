#pragma once
// What the engine needs to know of a key/value pair: how the key is taken
// from the value, hashed and ordered, and how big a slot is.
//
// Keys hash with the table's seed: composite keys through their own
// hash(seed), scalar ids through Kel::hashSingleAttr of their value. The
// order is the key type's own (unsigned) order.
#include <fmt/format.h>

#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

#include "VexaSwitchLib/ZolmCore/SlotHeaderCommon.h"
#include "VexaSwitchLib/runtime/Hash.h"
#include "VexaSwitchLib/runtime/Types.h"

namespace Zolm {

// A key or value as trace text: its formatter when it has one, else its
// stream output.
template <class T>
std::string show(T const& v) {
  if constexpr (fmt::is_formattable<T>::value) {
    return fmt::format("{}", v);
  } else if constexpr (requires(std::ostream& os) { os << v; }) {
    std::ostringstream os;
    os << v;
    return os.str();
  } else {
    return "?";
  }
}

template <class K>
struct KeyTraits {
  static U32 hash(U32 seed, K const& k) {
    if constexpr (requires { { k.hash(seed) } -> std::convertible_to<U32>; }) return k.hash(seed);
    else if constexpr (requires { k.value(); }) return Kel::hashSingleAttr(seed, k.value());
    else if constexpr (requires { k.raw(); }) return Kel::hashSingleAttr(seed, k.raw());
    else return Kel::hashSingleAttr(seed, k);
  }
  static bool less(K const& a, K const& b) { return a < b; }
  static bool equal(K const& a, K const& b) { return a == b; }
};

// The slot of a value of `valueSize` bytes: 16 bytes of link, flags and
// rhash, the value, rounded up to a multiple of 8.
constexpr U32 slotSizeFor(U32 valueSize) { return (16 + valueSize + 7) / 8 * 8; }

// How a value reaches its slot.
//   Marshall        the value is copied bytewise into and out of the slot.
//   CustomMarshall  the value has a variable-size serialized form, kept in a
//                   slab entry (Bloka/); the slot holds the entry's 32-bit
//                   offset. The value type supplies the four operations.
// A pair's policy follows from its value type alone (ValuePolicy).
template <class V>
struct Marshall {
  static constexpr bool dynamic = false;
  static constexpr U32 storedSize = sizeof(V);
};
template <class V, U32 (V::*SerializeLen)() const, void (V::*Serialize)(void*) const,
          U32 (V::*DeserializeLen)(void const*, U32) const, void (V::*Deserialize)(void const*, U32)>
struct CustomMarshall {
  static constexpr bool dynamic = true;
  static constexpr U32 storedSize = 4;  // the slab offset
  static U32 serializeLen(V const& v) { return (v.*SerializeLen)(); }
  static void serialize(V const& v, void* buf) { (v.*Serialize)(buf); }
  static U32 deserializeLen(V const& v, void const* buf, U32 len) { return (v.*DeserializeLen)(buf, len); }
  static void deserialize(V& v, void const* buf, U32 len) { (v.*Deserialize)(buf, len); }
};
template <class V>
concept SlabStored = requires(V v, V const cv, void* p, void const* cp, U32 n) {
  { cv.serializeLen() } -> std::same_as<U32>;
  cv.serialize(p);
  { cv.deserializeLen(cp, n) } -> std::same_as<U32>;
  v.deserialize(cp, n);
};
template <class V>
struct ValuePolicyOf {
  using type = Marshall<V>;
};
template <SlabStored V>
struct ValuePolicyOf<V> {
  using type = CustomMarshall<V, &V::serializeLen, &V::serialize, &V::deserializeLen, &V::deserialize>;
};
template <class V>
using ValuePolicy = typename ValuePolicyOf<V>::type;

// Where the writer's compiled code reads a slab-stored value: `load` turns
// a slot's stored bytes (the offset) into the value, through `ctx` (the
// writer). Empty (load null) for values stored in the slot.
struct ValueSource {
  void const* ctx = nullptr;
  void (*load)(void const* ctx, void const* stored, void* value) = nullptr;
};

// What the compiled, type-independent parts of the engine (slot-table
// geometry and resizes, bucket split and join, shrink, validator walks)
// need of a table's key/value pair: its sizes and name, the default value
// written into empty slots, and its keys' hash, order and trace text,
// reached from a value's bytes. A value pointer need not be aligned for its
// type (it may point into a slot); the functions copy it out first.
struct KeyOps {
  U32 valueSize;   // as the header records it (a slab-stored value: its in-memory size)
  U32 storedSize;  // bytes of the slot's value field in use
  U32 slotSize;
  U16 headerFlags;
  std::string_view typeName;
  void const* defaultValue;                              // valueSize bytes
  void const* defaultStored;                             // storedSize bytes: an empty slot's value field
  U32 (*hashOfValue)(U32 seed, void const* value);       // hash of the value's key
  int (*compareValues)(void const* a, void const* b);    // key order: <0, 0, >0
  std::string (*showKeyOf)(void const* value);           // the value's key as trace text
  std::string (*showValue)(void const* value);
};

template <class K, class V, U16 HeaderFlags = 2>
struct Ops {
  using Key = K;
  using Value = V;
  using Policy = ValuePolicy<V>;
  static_assert(std::is_trivially_copyable_v<V>, "slot values are copied as bytes");
  static constexpr bool dynamic = Policy::dynamic;
  static constexpr U32 valueSize = sizeof(V);
  static constexpr U32 storedSize = Policy::storedSize;
  static constexpr U32 slotSize = slotSizeFor(storedSize);
  static constexpr U16 headerFlags = HeaderFlags | (dynamic ? SlotHeaderCommon::FLAG_SLAB : 0);

  U32 seed = 0;

  static K keyOf(V const& v) { return v.key(); }
  U32 hash(K const& k) const { return KeyTraits<K>::hash(seed, k); }
  static bool less(K const& a, K const& b) { return KeyTraits<K>::less(a, b); }
  static bool equal(K const& a, K const& b) { return KeyTraits<K>::equal(a, b); }
  static std::string_view typeName() { return V::kelTypeName; }
  static V const& defaultValue() {
    static V const v{};
    return v;
  }
  // An empty slot's value field: the default value, or no offset.
  static void const* defaultStored() {
    static constexpr U32 noOffset = 0xFFFFFFFFu;
    if constexpr (dynamic) return &noOffset;
    else return &defaultValue();
  }
  static V load(void const* p) {
    V v;
    std::memcpy(static_cast<void*>(&v), p, valueSize);
    return v;
  }
  // The type-erased view of this pair (one per pair, built on first use).
  static KeyOps const& keyOps() {
    static KeyOps const k{
        valueSize,
        storedSize,
        slotSize,
        headerFlags,
        typeName(),
        &defaultValue(),
        defaultStored(),
        [](U32 seed, void const* v) { return KeyTraits<K>::hash(seed, keyOf(load(v))); },
        [](void const* a, void const* b) {
          K ka = keyOf(load(a)), kb = keyOf(load(b));
          return KeyTraits<K>::less(ka, kb) ? -1 : KeyTraits<K>::less(kb, ka) ? 1 : 0;
        },
        [](void const* v) { return show(keyOf(load(v))); },
        [](void const* v) { return show(load(v)); },
    };
    return k;
  }
};

// Position of an iteration: the runtimeFlags of the slot last returned,
// its slot index and its bucket index (0xFFFFFFFF: no valid hint).
struct IterHint {
  U32 flags = 0;
  U32 slot = 0xFFFFFFFFu;
  U32 bucket = 0xFFFFFFFFu;
  bool valid() const { return bucket != 0xFFFFFFFFu; }
};

namespace Writer {
struct Counters {
  U64 inserts = 0;
  U64 updates = 0;
  U64 removes = 0;
  U64 grows = 0;
  U64 shrinks = 0;
  U64 remaps = 0;
  U64 bucketGrows = 0;
  U64 bucketShrinks = 0;
  U64 lastBucketResizeNs = 0;
  U64 maxBucketResizeNs = 0;
  U64 directUpdates = 0;
  U64 directCommits = 0;
  U64 notifications = 0;
  U64 moves = 0;
  U64 sequence = 0;
  U64 reformats = 0;  // existing tables this writer found unsound and re-formatted (entries lost)
};
}  // namespace Writer

namespace Reader {
// What one reader did: reads and how often they had to be repeated.
struct Counters {
  U64 lookups = 0;
  U64 slowPaths = 0;      // `next` calls that re-walked a bucket run
  U64 restarts = 0;       // walks restarted because a link changed under them
  U64 criticalReads = 0;  // slot reads served from the critical-section image
  U64 bucketSkips = 0;    // empty buckets passed while iterating
  U64 retries = 0;        // operations repeated after a remap
  U64 remaps = 0;         // remaps that moved the slot mapping
  U64 resizes = 0;        // slot-table resizes followed
  U64 bucketResizes = 0;  // bucket-table resizes followed
  U64 stalls = 0;         // repeats after failed checks with nothing resized
  U64 corruptions = 0;    // integrity failures passed to the caller
  U32 capacity = 0;       // refreshed by readerCounters()
  U32 buckets = 0;        // refreshed by readerCounters()
  // Shadows only.
  U64 notifications = 0;        // slot notifications handled
  U64 failedNotifications = 0;  // dropped: the queue record was superseded
  U64 localSlotGrows = 0, localSlotShrinks = 0;
  U64 localBucketGrows = 0, localBucketShrinks = 0, moves = 0;
  U64 keyReuses = 0;  // key-shadow reads that found the slot reused
  U64 syncSeq = 0;    // queue position of the last full synchronisation
  U64 syncs = 0, resyncs = 0, disconnects = 0;
  U64 wakeups = 0, arms = 0;    // wake-ups received, sequences sent to the writer
  U64 nimbrMappedSize = 0, shadowMappedSize = 0;  // refreshed by readerCounters()
};
}  // namespace Reader

}  // namespace Zolm
