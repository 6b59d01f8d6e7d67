#include "VexaSwitchLib/tables/ZolmTypes.h"

#include <fmt/format.h>


#include "VexaSwitchLib/runtime/Debug.h"

namespace VexaSwitch {
namespace {

// Digits of a matched \d+ group as a number, saturating at `cap` + 1 so that
// an absurdly long device number is still "above 64", never an overflow.
U64 saturatingDecimal(std::string_view digits, U64 cap) {
  U64 v = 0;
  for (char c : digits) {
    v = v * 10 + static_cast<U64>(c - '0');
    if (v > cap) return cap + 1;
  }
  return v;
}

// The pipeline number is kept to its low 8 bits; compute them without ever
// holding the whole (possibly huge) number.
U8 low8BitsOfDecimal(std::string_view digits) {
  unsigned v = 0;
  for (char c : digits) v = (v * 10 + static_cast<unsigned>(c - '0')) & 0xFF;
  return static_cast<U8>(v);
}

}  // namespace

Quiv::String TableId::tableName() const {
  fmassert(!feature_.empty() && !table_.empty(), "ZolmTypes", "feature() && table(): feature '{}' table '{}'",
           feature_, table_);
  std::string name = fmt::format("{}/{}/{}", basePathName, feature_, table_);
  if (devId_.value() != Oka::Central::DeviceId::null) {
    name += fmt::format("-dev{}", devId_.value());
    if (pipeId_ != noPipe) name += fmt::format("-pipe{}", pipeId_);
  }
  return Quiv::String(std::move(name));
}

// The name must match, as a whole,
//   vexaswitch/tables/(\S+)/(\w+)(-dev(\d+)(-pipe(\d+))?)?
// Matched by hand: the feature (group 1) is greedy and the table part can
// hold no '/', so the feature ends at the last '/'; \w+ stops at the first
// non-word character, after which only the optional parts may follow.
TableId TableId::fromTableName(Quiv::String const& tableName) {
  TableId id;
  std::string_view name = tableName.view();
  constexpr std::string_view prefix = "vexaswitch/tables/";
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
  auto isWord = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  };
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  if (!name.starts_with(prefix)) return id;
  std::string_view rest = name.substr(prefix.size());
  for (char c : rest)
    if (isSpace(c)) return id;
  std::size_t slash = rest.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return id;
  std::string_view feature = rest.substr(0, slash);
  std::string_view tail = rest.substr(slash + 1);
  std::size_t w = 0;
  while (w < tail.size() && isWord(tail[w])) ++w;
  if (w == 0) return id;
  std::string_view table = tail.substr(0, w);
  std::string_view optional = tail.substr(w);  // group 3
  std::string_view devDigits, pipePart, pipeDigits;
  if (!optional.empty()) {
    if (!optional.starts_with("-dev")) return id;
    std::size_t d = 4;
    while (d < optional.size() && isDigit(optional[d])) ++d;
    if (d == 4) return id;
    devDigits = optional.substr(4, d - 4);
    pipePart = optional.substr(d);  // group 5
    if (!pipePart.empty()) {
      if (!pipePart.starts_with("-pipe") || pipePart.size() == 5) return id;
      pipeDigits = pipePart.substr(5);
      for (char c : pipeDigits)
        if (!isDigit(c)) return id;
    }
  }
  auto* trace = Quiv::Platform::defaultDebugHandler();
  fmtrace(trace, 9, " Matched: {}", name);
  id.feature_ = feature;
  id.table_ = table;
  if (!optional.empty()) {
    fmtrace(trace, 9, " Matched optional dev and/or pipe part: {}", optional);
    U64 dev = saturatingDecimal(devDigits, Oka::Central::DeviceId::null);
    Oka::Central::DeviceId::checkRange(dev);
    id.devId_ = Oka::Central::DeviceId(static_cast<U8>(dev));
    if (!pipePart.empty()) {
      fmtrace(trace, 9, " Matched optional pipe part: {}", pipePart);
      id.pipeId_ = low8BitsOfDecimal(pipeDigits);
    }
  }
  return id;
}

}  // namespace VexaSwitch
