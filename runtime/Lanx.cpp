#include "VexaSwitchLib/runtime/Lanx.h"

#include <fmt/format.h>

namespace Lanx {
namespace {

struct KindName {
  IntfKind kind;
  std::string_view prefix;
  unsigned maxComponents;  // 0: no number at all
};

// Longest prefixes first, so "UnconnectedEthernet" is not read as a kind
// of "Ethernet" with junk in front. Every number is the image's 16-bit
// field as it stands: the constructors take any U16 (ethernet(0),
// vlan(4095)), and a name must read back whatever they made.
constexpr KindName kKinds[] = {
    {IntfKind::unconnectedEthernet, "UnconnectedEthernet", 1},
    {IntfKind::portChannel, "Port-Channel", 1},
    {IntfKind::management, "Management", 2},
    {IntfKind::ethernet, "Ethernet", 3},
    {IntfKind::loopback, "Loopback", 1},
    {IntfKind::vlan, "Vlan", 1},
    {IntfKind::cpu, "Cpu", 0},
};

// The form of an image no name spells: 16 hex digits of the raw id.
constexpr std::string_view kRawPrefix = "Unknown0x";

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

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

U64 parseRaw(std::string_view name) {
  std::string_view digits = name.substr(kRawPrefix.size());
  if (digits.empty() || digits.size() > 16)
    fmthrow(Kel::ParseException, "'{}' is not an interface name: {} takes 1..16 hex digits", name, kRawPrefix);
  U64 raw = 0;
  for (char c : digits) {
    int d = hexDigit(c);
    if (d < 0) fmthrow(Kel::ParseException, "'{}' is not an interface name: '{}' is not a hex digit", name, c);
    raw = raw << 4 | U64(d);
  }
  return raw;
}

U64 parseName(std::string_view name) {
  if (name.empty()) return 0;
  if (name.starts_with(kRawPrefix)) return parseRaw(name);
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
      try {
        nums[n++] = static_cast<U16>(Kel::parseUnsigned(r, k.prefix, 65535));
      } catch (Kel::RangeException const& e) {
        fmthrow(Kel::RangeException, "Lanx::IntfId: {} number {}", k.prefix, e.detail());
      }
      if (!r.maybeString("/")) break;
    }
    if (!r.atEnd()) r.fail(fmt::format("the end of interface name '{}'", name));
    return make(k.kind, n, nums[0], nums[1], nums[2]);
  }
  fmthrow(Kel::ParseException, "'{}' is not an interface name", name);
}

// Whether the kind's name spells this image: a known kind, a component
// count its names have, and no number set past the last component. Only
// such images are named; parseName(name) gives them back exactly.
bool named(U64 raw, KindName const& k) {
  unsigned n = static_cast<unsigned>((raw >> 48) & 0xFF);
  if (k.maxComponents == 0) return (raw & ((U64(1) << 56) - 1)) == 0;
  if (n < 1 || n > k.maxComponents) return false;
  return (raw & ((U64(1) << (16 * (3 - n))) - 1)) == 0;
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
  if (!k || !named(raw(), *k)) return fmt::format("{}{:016x}", kRawPrefix, raw());
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
