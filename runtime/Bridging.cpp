#include "VexaSwitchLib/runtime/Bridging.h"

#include <fmt/format.h>

namespace Bridging {
namespace {
constexpr std::string_view kEntryTypeNames[entryTypeCount] = {
    "invalidEntry",  "learnedDynamicMac", "configuredStaticMac", "peerDynamicMac",
    "peerStaticMac", "routerMac",         "evpnDynamicMac",      "evpnStaticMac",
};

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

EthAddr::EthAddr(Kel::CharRange& r) {
  std::string_view t = r.rest();
  bool ok = t.size() >= 17;
  for (std::size_t i = 0; ok && i < 6; ++i) {
    int hi = hexDigit(t[3 * i]);
    int lo = hexDigit(t[3 * i + 1]);
    ok = hi >= 0 && lo >= 0 && (i == 5 || t[3 * i + 2] == ':');
    if (ok) octet_[i] = static_cast<U8>(hi * 16 + lo);
  }
  if (!ok) {
    octet_ = {};
    r.fail("an Ethernet address (xx:xx:xx:xx:xx:xx)");
  }
  r.advance(17);
}

Quiv::String valueToStrep(EthAddr const& a) {
  auto const& o = a.octets();
  return fmt::format("{:02x}:{:02x}:{:02x}:{:02x}:{:02x}:{:02x}", o[0], o[1], o[2], o[3], o[4], o[5]);
}

std::ostream& operator<<(std::ostream& os, EthAddr const& a) { return os << valueToStrep(a); }

Quiv::String valueToStrep(EntryType t) {
  auto i = static_cast<U8>(t);
  if (i < entryTypeCount) return Quiv::String(kEntryTypeNames[i]);
  return fmt::format("entryType{}", i);  // a value from a newer peer: keep it readable
}

std::ostream& operator<<(std::ostream& os, EntryType t) { return os << valueToStrep(t); }

EntryType sequenceToValue(Kel::CharRange& r, EntryType const*) {
  std::string_view rest = r.rest();
  std::size_t n = 0;
  while (n < rest.size() && ((rest[n] >= 'a' && rest[n] <= 'z') || (rest[n] >= 'A' && rest[n] <= 'Z') ||
                             (rest[n] >= '0' && rest[n] <= '9')))
    ++n;
  std::string_view word = rest.substr(0, n);
  for (U8 i = 0; i < entryTypeCount; ++i) {
    if (word == kEntryTypeNames[i]) {
      r.advance(n);
      return static_cast<EntryType>(i);
    }
  }
  if (word.starts_with("entryType") && word.size() > 9) {
    Kel::CharRange digits(word.substr(9));
    U64 v = Kel::parseUnsigned(digits, "entryType", 255);
    if (digits.atEnd()) {
      r.advance(n);
      return static_cast<EntryType>(v);
    }
  }
  r.fail("a Bridging::EntryType name");
}

}  // namespace Bridging

Bridging::EntryType Kel::AttrText<Bridging::EntryType>::parse(CharRange& r, std::string_view name) {
  try {
    return Bridging::sequenceToValue(r, nullptr);
  } catch (RangeException const&) {
    rethrowFromDeserializeAttr(name);
  }
}
