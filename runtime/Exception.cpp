#include "VexaSwitchLib/runtime/Exception.h"

#include <fmt/format.h>

namespace Kel {

RangeException::RangeException(Quiv::String detail, Quiv::String attribute)
    : Exception(fmt::format("{} (attribute '{}')", detail, attribute)),
      detail_(std::move(detail)),
      attribute_(std::move(attribute)) {}

void throwRangeException(Quiv::String const& message) { throw RangeException(message); }

void rethrowFromDeserializeAttr(std::string_view attrName) {
  try {
    throw;
  } catch (RangeException const& e) {
    // Attribute paths grow outwards: "key" then "entry.key".
    Quiv::String path(attrName);
    if (!e.attribute().empty()) path.append(".").append(e.attribute().view());
    throw RangeException(e.detail(), std::move(path));
  }
}

}  // namespace Kel
