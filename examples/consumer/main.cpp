// Parses an L2 key from its text form, prints it back and hashes it: enough
// to prove that headers, library and dependencies all arrive installed.
#include <VexaSwitchLib.h>

#include "runtime/Debug.h"  // ours, not the library's

#include <fmt/format.h>

static_assert(CONSUMER_OWN_DEBUG_H == 1);
static_assert(VEXA_SWITCH_LIB_VERSION >= 100, "the version macros arrive with the umbrella");

int main() {
  U64 const seed = 42;
  auto key = Kel::strepToValue<Bridging::MacVlanPair>(
      "Value('Bridging::MacVlanPair', ** {'mac': 00:1c:73:00:00:01, 'vlanId': 10})");
  fmt::print("VexaSwitchLib {}\n", VEXA_SWITCH_LIB_VERSION_STRING);
  fmt::print("{}\nhash {:#010x}\n", valueToStrep(key), key.hash(static_cast<U32>(seed)));
  return key.vlanId().value() == 10 ? 0 : 1;
}
