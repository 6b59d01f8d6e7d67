#pragma once
// Quiv::String: the library's owned string value. A thin wrapper over
// std::string so that signatures say "library string" and the type can carry
// the conversions the rest of the runtime relies on (views, fmt).
#include <fmt/format.h>

#include <compare>
#include <ostream>
#include <string>
#include <string_view>

namespace Quiv {

class String {
 public:
  String() = default;
  String(char const* s) : s_(s ? s : "") {}  // NOLINT: implicit by design
  String(std::string s) : s_(std::move(s)) {}  // NOLINT
  String(std::string_view s) : s_(s) {}  // NOLINT
  String(char const* s, std::size_t n) : s_(s, n) {}

  char const* data() const { return s_.data(); }
  char const* c_str() const { return s_.c_str(); }
  std::size_t size() const { return s_.size(); }
  bool empty() const { return s_.empty(); }
  String& append(std::string_view s) { s_.append(s); return *this; }
  String& append(char c) { s_.push_back(c); return *this; }
  String& assign(std::string_view s) { s_.assign(s); return *this; }
  std::string_view view() const { return s_; }
  operator std::string_view() const { return s_; }  // NOLINT
  std::string const& str() const { return s_; }
  std::string& str() { return s_; }

  friend bool operator==(String const& a, String const& b) = default;
  friend auto operator<=>(String const& a, String const& b) = default;
  friend bool operator==(String const& a, char const* b) { return a.s_ == b; }
  friend String operator+(String a, std::string_view b) { return a.append(b); }
  friend std::ostream& operator<<(std::ostream& os, String const& s) { return os << s.s_; }

 private:
  std::string s_;
};

}  // namespace Quiv

template <>
struct fmt::formatter<Quiv::String> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(Quiv::String const& s, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(s.view(), ctx);
  }
};

template <>
struct std::hash<Quiv::String> {
  std::size_t operator()(Quiv::String const& s) const noexcept {
    return std::hash<std::string_view>()(s.view());
  }
};
