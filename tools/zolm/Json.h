#pragma once
// JSON output of the zolm tool.
#include <fmt/format.h>

#include <string>
#include <string_view>

namespace Zolm::Tool {

// `s` as one JSON string literal, quotes included.
inline std::string jsonString(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        // Text forms are printable ASCII; anything else is escaped so that
        // the output stays valid JSON (and valid UTF-8) whatever a value holds.
        if (c < 0x20 || c >= 0x7f) out += fmt::format("\\u{:04x}", c);
        else out += char(c);
    }
  }
  return out + "\"";
}

}  // namespace Zolm::Tool
