#pragma once
// The parsing cursor and the text forms of the framework's basic attribute
// types.
//
// Text forms (valueToStrep / deserializeAttr are exact inverses):
//   unsigned integers  decimal, no sign, no leading '+': 0, 12288
//   bool               True / False
//   string             single-quoted; backslash escapes \\ \' \n \r \t and
//                      \xHH for every other byte outside 0x20..0x7E
//
// Parse failures raise Kel::ParseException naming the offset in the text
// and what was expected there; numbers too large for their attribute raise
// Kel::RangeException naming the attribute.
#include <concepts>
#include <limits>
#include <string_view>
#include <type_traits>

#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/QuivString.h"
#include "VexaSwitchLib/runtime/Types.h"

namespace Kel {

class CharRange {
 public:
  explicit CharRange(std::string_view text)
      : start_(text.data()), cursor_(text.data()), end_(text.data() + text.size()) {}
  CharRange(char const* start, char const* end) : start_(start), cursor_(start), end_(end) {}

  char const* start() const { return start_; }
  char const* cursor() const { return cursor_; }
  char const* end() const { return end_; }
  std::size_t offset() const { return static_cast<std::size_t>(cursor_ - start_); }
  std::string_view rest() const { return {cursor_, static_cast<std::size_t>(end_ - cursor_)}; }
  bool atEnd() const { return cursor_ == end_; }
  // The next character, or '\0' at the end.
  char peek() const { return cursor_ == end_ ? '\0' : *cursor_; }
  void advance(std::size_t n);

  // Consumes `expected` or raises ParseException; consumes nothing on failure.
  void needString(std::string_view expected);
  // Consumes `expected` if it is next; returns whether it did.
  bool maybeString(std::string_view expected);
  // Raises ParseException when characters are left after the value.
  void checkAllDataConsumed() const;

  [[noreturn]] void fail(std::string_view expected) const;

 private:
  char const* start_;
  char const* cursor_;
  char const* end_;
};

// Unsigned decimal number of at most `max`; `attrName` names it in errors.
U64 parseUnsigned(CharRange& r, std::string_view attrName, U64 max);

template <class T>
T deserializeAttr(CharRange& r, std::string_view attrName);

template <class T>
  requires(std::unsigned_integral<T> && !std::same_as<T, bool>)
T deserializeAttr(CharRange& r, std::string_view attrName) {
  return static_cast<T>(parseUnsigned(r, attrName, std::numeric_limits<T>::max()));
}
template <>
bool deserializeAttr<bool>(CharRange& r, std::string_view attrName);
template <>
Quiv::String deserializeAttr<Quiv::String>(CharRange& r, std::string_view attrName);

Quiv::String valueToStrep(bool v);
Quiv::String valueToStrep(unsigned long long v);
Quiv::String valueToStrep(Quiv::String const& v);
// Appends the quoted form of `v` to `out`.
void appendQuoted(std::string& out, std::string_view v);

// Parses a complete text: the value must consume every character.
template <class T>
T strepToValue(Quiv::String const& text, T const* = nullptr) {
  CharRange r(text.view());
  T value(r);
  r.checkAllDataConsumed();
  return value;
}

}  // namespace Kel
