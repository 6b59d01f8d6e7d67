// Fuzz target: table names. Parsing never crashes; whatever parses with a
// table part renders back to a name that parses to the same id.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "VexaSwitchLib/tables/ZolmTypes.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  if (size > 512) return 0;
  std::string name(reinterpret_cast<char const*>(data), size);
  VexaSwitch::TableId id;
  try {
    id = VexaSwitch::TableId::fromTableName(name);
  } catch (Kel::RangeException const&) {
    return 0;
  }
  if (!id) return 0;
  // A pipeline written without a device cannot be rendered; skip those.
  if (id.devId().value() == 64 && id.pipeId() != 255) return 0;
  if (!(VexaSwitch::TableId::fromTableName(id.tableName()) == id)) std::abort();
  return 0;
}
