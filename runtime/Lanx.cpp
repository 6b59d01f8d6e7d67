#include "VexaSwitchLib/runtime/Lanx.h"

#include <fmt/format.h>

namespace Lanx {
namespace {

struct KindName {
  IntfKind kind;
  std::string_view prefix;
  unsigned maxComponents;  // 0: no number at all
  U16 lo;
  U16 hi;
};

// Longest prefixes first, so "UnconnectedEthernet" is not read as a kind
// of "Ethernet" with junk in front.
constexpr KindName kKinds[] = {
    {IntfKind::unconnectedEthernet, "UnconnectedEthernet", 1, 1, 65535},
    {IntfKind::portChannel, "Port-Channel", 1, 1, 2000},
    {IntfKind::management, "Management", 2, 0, 65535},
    {IntfKind::ethernet, "Ethernet", 3, 1, 65535},
    {IntfKind::loopback, "Loopback", 1, 0, 8191},
    {IntfKind::vlan, "Vlan", 1, 1, 4094},
    {IntfKind::cpu, "Cpu", 0, 0, 0},
};

KindName const* kindInfo(IntfKind k) {
  for (auto const& e : kKinds)
    if (e.kind == k) return &e;
  return nullptr;
}

constexpr U64 make(IntfKind k, unsigned n, U16 a, U16 b, U16 c) {
  return (U64(static_cast<U8>(k)) << 56) | (U64(n) << 48) | (U64(a) << 32) | (U64(b) << 16) | c;
}

bool nameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
         c == '-' || c == '.';
}

U64 parseName(std::string_view name) {
  if (name.empty()) return 0;
  for (auto const& k : kKinds) {
    if (!name.starts_with(k.prefix)) continue;
    std::string_view rest = name.substr(k.prefix.size());
    if (k.maxComponents == 0) {
      if (rest.empty()) return make(k.kind, 0, 0, 0, 0);
      break;
    }
    U16 nums[3] = {0, 0, 0};
    unsigned n = 0;
    Kel::CharRange r(rest);
    while (true) {
      if (n == k.maxComponents) break;
      U64 v = Kel::parseUnsigned(r, k.prefix, 65535);
      if (v < k.lo || v > k.hi)
        fmthrow(Kel::RangeException, "Lanx::IntfId: {} number {} is outside {}..{}", k.prefix, v, k.lo, k.hi);
      nums[n++] = static_cast<U16>(v);
      if (!r.maybeString("/")) break;
    }
    if (!r.atEnd()) r.fail(fmt::format("the end of interface name '{}'", name));
    return make(k.kind, n, nums[0], nums[1], nums[2]);
  }
  fmthrow(Kel::ParseException, "'{}' is not an interface name", name);
}

}  // namespace

IntfId::IntfId(std::string_view name) : IntfId(fromRaw(parseName(name))) {}

IntfId::IntfId(Kel::CharRange& r) : IntfId(sequenceToValue(r, nullptr)) {}

IntfId IntfId::ethernet(U16 a, U16 b, U16 c) {
  unsigned n = c ? 3 : b ? 2 : 1;
  return fromRaw(make(IntfKind::ethernet, n, a, b, c));
}
IntfId IntfId::portChannel(U16 n) { return fromRaw(make(IntfKind::portChannel, 1, n, 0, 0)); }
IntfId IntfId::vlan(U16 n) { return fromRaw(make(IntfKind::vlan, 1, n, 0, 0)); }
IntfId IntfId::cpu() { return fromRaw(make(IntfKind::cpu, 0, 0, 0, 0)); }

Quiv::String IntfId::name() const {
  if (empty()) return Quiv::String();
  KindName const* k = kindInfo(kind());
  if (!k) return fmt::format("Unknown0x{:016x}", raw());
  std::string out(k->prefix);
  for (unsigned i = 0; i < components() && i < 3; ++i) {
    if (i) out += '/';
    out += fmt::format("{}", number(i));
  }
  return Quiv::String(std::move(out));
}

Quiv::String valueToStrep(IntfId const& i) { return i.name(); }
std::ostream& operator<<(std::ostream& os, IntfId const& i) { return os << i.name(); }

IntfId sequenceToValue(Kel::CharRange& r, IntfId const*) {
  std::string_view rest = r.rest();
  std::size_t n = 0;
  while (n < rest.size() && nameChar(rest[n])) ++n;
  IntfId id = IntfId::fromRaw(parseName(rest.substr(0, n)));
  r.advance(n);
  return id;
}

}  // namespace Lanx
