#pragma once
// The route values of the agent demo, beside the MAC values of the table
// demo (tabledemo/DemoValues.h), and the one digest both tables are
// compared by.
//
// Route `id` is the IPv4 host route 10.x.y.z/32 (10.0.0.0 + id) in VRF
// 1 + id % 8; its entry key is the one LpmEntryConfig derives from that
// prefix. A value written with version `v` carries v in `flags` (the
// counter-like field: it only grows per key) and check1(prefix, v) in
// `nexthop`, so a value assembled from two writes or two keys fails the
// check.
#include <optional>
#include <unordered_map>

#include "../tabledemo/DemoValues.h"

namespace AgentDemo {

using TableDemo::mix;
using Route = VexaSwitch::LpmEntryConfig;
using RouteKey = VexaSwitch::EntryKey;

inline constexpr U64 ROUTE_BASE = 0x0a000000ull;
inline constexpr U64 MAX_ROUTES = U64(1) << 24;  // inside 10.0.0.0/8

inline VexaSwitch::LpmKey prefixOf(U64 id) { return VexaSwitch::LpmKey(U16(1 + id % 8), 32, false, 0, ROUTE_BASE + id); }
inline RouteKey routeKeyOf(U64 id) { return Route::getEntryKey(prefixOf(id)); }

// The number of a demo route, from its prefix; nothing for a prefix no
// demo writer makes.
inline std::optional<U64> routeIdOf(VexaSwitch::LpmKey const& p) {
  if (p.addrLow() <= ROUTE_BASE || p.addrLow() >= ROUTE_BASE + MAX_ROUTES) return std::nullopt;
  U64 id = p.addrLow() - ROUTE_BASE;
  if (p.vrfId() != 1 + id % 8 || p.prefixLen() != 32 || p.isV6() || p.addrHigh() != 0) return std::nullopt;
  return id;
}

inline U64 routeCheck(RouteKey k, U64 version) { return mix(k.value() ^ mix(version + 0x9e3779b97f4a7c15ull)); }

inline Route routeOf(U64 id, U64 version) {
  Route v(prefixOf(id));
  v.nexthopIs(RouteKey(routeCheck(v.key(), version)));
  v.flagsIs(U32(version));
  return v;
}

// As TableDemo::check: torn when the fields do not belong together,
// foreign when sound but not of the key asked for or never written.
inline TableDemo::Verdict checkRoute(Route const& v, U64 published, RouteKey const* expected = nullptr) {
  std::optional<U64> id = routeIdOf(v.lpmKey());
  if (!id) return TableDemo::Verdict::foreign;
  if (!(v.key() == Route::getEntryKey(v.lpmKey())) || v.nexthop().value() != routeCheck(v.key(), v.flags()))
    return TableDemo::Verdict::torn;
  if (v.flags() == 0 || v.flags() > published + 1) return TableDemo::Verdict::foreign;
  if (expected && !(v.key() == *expected)) return TableDemo::Verdict::foreign;
  return TableDemo::Verdict::sound;
}

// One entry's share of an order-independent digest: two copies agree on
// the sum when they hold the same keys with the same versions and fields.
inline U64 entryDigest(VexaSwitch::L2LogicalEntry const& v) {
  TableDemo::TableDigest d;
  d.add(v);
  return d.sum;
}
inline U64 entryDigest(Route const& v) { return mix(mix(v.key().value() ^ mix(v.flags())) ^ v.nexthop().value()); }

struct Digest {
  U64 members = 0;
  U64 sum = 0;
  template <class V>
  void add(V const& v) {
    ++members;
    sum += entryDigest(v);
  }
  friend bool operator==(Digest const&, Digest const&) = default;
};

// Route entry keys back to route numbers 1..space (an entry key is a hash
// of the prefix, so it does not tell its number by itself).
class RouteIds {
 public:
  explicit RouteIds(U64 space) {
    ids_.reserve(space);
    for (U64 id = 1; id <= space; ++id) ids_.emplace(routeKeyOf(id).value(), id);
  }
  std::optional<U64> idOf(RouteKey k) const {
    auto it = ids_.find(k.value());
    return it == ids_.end() ? std::nullopt : std::optional<U64>(it->second);
  }

 private:
  std::unordered_map<U64, U64> ids_;
};

}  // namespace AgentDemo
