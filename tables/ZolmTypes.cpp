#include "tables/ZolmTypes.h"

#include <fmt/format.h>

#include <regex>

#include "runtime/Debug.h"

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

TableId TableId::fromTableName(Quiv::String const& tableName) {
  static const std::regex pattern(R"(vexaswitch\/tables\/(\S+)\/(\w+)(-dev(\d+)(-pipe(\d+))?)?)",
                                  std::regex::ECMAScript | std::regex::optimize);
  std::smatch m;
  TableId id;
  if (!std::regex_match(tableName.str(), m, pattern)) return id;
  auto* trace = Quiv::Platform::defaultDebugHandler();
  fmtrace(trace, 9, " Matched: {}", m.str(0));
  id.feature_ = m.str(1);
  id.table_ = m.str(2);
  if (m.length(3) > 0) {
    fmtrace(trace, 9, " Matched optional dev and/or pipe part: {}", m.str(3));
    U64 dev = saturatingDecimal(m.str(4), Oka::Central::DeviceId::null);
    Oka::Central::DeviceId::checkRange(dev);
    id.devId_ = Oka::Central::DeviceId(static_cast<U8>(dev));
    if (m.length(5) > 0) {
      fmtrace(trace, 9, " Matched optional pipe part: {}", m.str(5));
      id.pipeId_ = low8BitsOfDecimal(m.str(6));
    }
  }
  return id;
}

}  // namespace VexaSwitch
