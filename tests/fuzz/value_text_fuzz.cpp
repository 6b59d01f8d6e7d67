// Fuzz target: the text forms of the stored values. Whatever text parses
// (completely) prints back to a text that parses to an equal value; any
// other text is refused with a parse or range error, never a crash or an
// over-read. The first byte picks the type (the ACL entry, whose arrays
// have no text parser, is the byte fuzzer's).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fmt/format.h>

#include "VexaSwitchLib/tables/L2Types.h"
#include "VexaSwitchLib/tables/L3Types.h"
#include "VexaSwitchLib/tables/VlanTypes.h"

namespace {

template <class T>
void roundTrip(std::string const& text) {
  T v;
  try {
    v = Kel::strepToValue<T>(Quiv::String(text));
  } catch (Kel::ParseException const&) {
    return;
  } catch (Kel::RangeException const&) {
    return;
  }
  std::string printed = fmt::format("{}", v);
  if (!(Kel::strepToValue<T>(Quiv::String(printed)) == v)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  std::string text(reinterpret_cast<char const*>(data) + 1, size - 1);
  switch (data[0] % 7) {
    case 0: roundTrip<Bridging::MacVlanPair>(text); break;
    case 1: roundTrip<VexaSwitch::VlanMembershipEntryConfig>(text); break;
    case 2: roundTrip<VexaSwitch::L2HashTableHwEntry>(text); break;
    case 3: roundTrip<VexaSwitch::L2LogicalEntry>(text); break;
    case 4: roundTrip<VexaSwitch::MlagIntfEntry>(text); break;
    case 5: roundTrip<VexaSwitch::LpmEntryConfig>(text); break;
    default: roundTrip<VexaSwitch::NexthopEntryConfig>(text); break;
  }
  return 0;
}
