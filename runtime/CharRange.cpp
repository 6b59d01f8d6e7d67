#include "VexaSwitchLib/runtime/CharRange.h"

#include <fmt/format.h>

namespace Kel {
namespace {

// Text shown in a message: double-quoted, so the single quotes of the
// record frame stay readable; control bytes escaped.
std::string messageQuoted(std::string_view v) {
  std::string out = "\"";
  for (char c : v) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
      out += fmt::format("\\x{:02x}", static_cast<unsigned char>(c));
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

// What the text holds at the cursor, shortened for a message.
std::string excerpt(std::string_view rest) {
  if (rest.empty()) return "end of text";
  constexpr std::size_t kMax = 24;
  std::string out = messageQuoted(rest.substr(0, kMax));
  if (rest.size() > kMax) out += "...";
  return out;
}

}  // namespace

void CharRange::advance(std::size_t n) {
  if (n > static_cast<std::size_t>(end_ - cursor_)) fail(fmt::format("{} more characters", n));
  cursor_ += n;
}

void CharRange::fail(std::string_view expected) const {
  fmthrow(ParseException, "parse error at offset {}: expected {}, found {}", offset(), expected,
          excerpt(rest()));
}

void CharRange::needString(std::string_view expected) {
  if (!maybeString(expected)) fail(messageQuoted(expected));
}

bool CharRange::maybeString(std::string_view expected) {
  if (rest().substr(0, expected.size()) != expected) return false;
  cursor_ += expected.size();
  return true;
}

void CharRange::checkAllDataConsumed() const {
  if (!atEnd()) fail("end of text");
}

U64 parseUnsigned(CharRange& r, std::string_view attrName, U64 max) {
  char c = r.peek();
  if (c < '0' || c > '9') r.fail(fmt::format("a decimal number for '{}'", attrName));
  std::size_t digitsOffset = r.offset();
  U64 v = 0;
  bool overflow = false;
  while (r.peek() >= '0' && r.peek() <= '9') {
    unsigned d = static_cast<unsigned>(r.peek() - '0');
    if (v > (std::numeric_limits<U64>::max() - d) / 10) overflow = true;
    if (!overflow) v = v * 10 + d;
    r.advance(1);
  }
  if (overflow || v > max) {
    std::string_view digits(r.start() + digitsOffset, r.offset() - digitsOffset);
    throw RangeException(fmt::format("{} is above the largest value {}", digits, max),
                         Quiv::String(attrName));
  }
  return v;
}

template <>
bool deserializeAttr<bool>(CharRange& r, std::string_view attrName) {
  if (r.maybeString("True")) return true;
  if (r.maybeString("False")) return false;
  r.fail(fmt::format("True or False for '{}'", attrName));
}

template <>
Quiv::String deserializeAttr<Quiv::String>(CharRange& r, std::string_view attrName) {
  if (!r.maybeString("'")) r.fail(fmt::format("a quoted string for '{}'", attrName));
  std::string out;
  for (;;) {
    if (r.atEnd()) r.fail(fmt::format("the closing quote of '{}'", attrName));
    char c = r.peek();
    r.advance(1);
    if (c == '\'') break;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    char e = r.peek();
    switch (e) {
      case '\\': out.push_back('\\'); r.advance(1); break;
      case '\'': out.push_back('\''); r.advance(1); break;
      case 'n': out.push_back('\n'); r.advance(1); break;
      case 'r': out.push_back('\r'); r.advance(1); break;
      case 't': out.push_back('\t'); r.advance(1); break;
      case 'x': {
        auto hex = [](char h) -> int {
          if (h >= '0' && h <= '9') return h - '0';
          if (h >= 'a' && h <= 'f') return h - 'a' + 10;
          if (h >= 'A' && h <= 'F') return h - 'A' + 10;
          return -1;
        };
        std::string_view rest = r.rest();
        if (rest.size() < 3 || hex(rest[1]) < 0 || hex(rest[2]) < 0)
          r.fail("two hex digits after \\x");
        out.push_back(static_cast<char>(hex(rest[1]) * 16 + hex(rest[2])));
        r.advance(3);
        break;
      }
      default:
        r.fail("an escape (\\\\, \\', \\n, \\r, \\t or \\xHH)");
    }
  }
  return Quiv::String(std::move(out));
}

Quiv::String valueToStrep(bool v) { return v ? "True" : "False"; }
Quiv::String valueToStrep(unsigned long long v) { return fmt::format("{}", v); }
Quiv::String valueToStrep(Quiv::String const& v) {
  std::string out;
  appendQuoted(out, v.view());
  return Quiv::String(std::move(out));
}

void appendQuoted(std::string& out, std::string_view v) {
  out.push_back('\'');
  for (char c : v) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\'': out += "\\'"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
          out += fmt::format("\\x{:02x}", static_cast<unsigned char>(c));
        else
          out.push_back(c);
    }
  }
  out.push_back('\'');
}

}  // namespace Kel
