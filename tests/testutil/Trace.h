#pragma once
// The traces of one debug handler, routed to a test for the life of a
// scope: as a hook (an action at a given trace, the way tests stop a
// process at a chosen point), or captured for checks. Only that handler's
// lines count, so that another unit's traces cannot satisfy a check.
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "VexaSwitchLib/runtime/Debug.h"

namespace VexaTest {

class TraceHook {
 public:
  using Fn = std::function<void(unsigned level, std::string_view msg)>;
  TraceHook(Quiv::DebugHandler* h, U64 mask, Fn fn) : h_(h), saved_(h->flags()) {
    h->flagsIs(mask);
    Quiv::traceSinkIs([h, fn = std::move(fn)](Quiv::DebugHandler const& from, unsigned level, std::string_view msg) {
      if (&from == h) fn(level, msg);
    });
  }
  TraceHook(TraceHook const&) = delete;
  TraceHook& operator=(TraceHook const&) = delete;
  ~TraceHook() {
    Quiv::traceSinkIs({});
    h_->flagsIs(saved_);
  }

 private:
  Quiv::DebugHandler* h_;
  U64 saved_;
};

class TraceCapture {
 public:
  explicit TraceCapture(Quiv::DebugHandler* h, U64 mask = 0x3)
      : hook_(h, mask, [this](unsigned level, std::string_view msg) { lines_.emplace_back(level, std::string(msg)); }) {}
  bool saw(unsigned level, std::string_view text) const {
    for (auto const& [l, m] : lines_)
      if (l == level && m.find(text) != std::string::npos) return true;
    return false;
  }
  std::vector<std::pair<unsigned, std::string>> const& lines() const { return lines_; }
  std::string dump() const {
    std::string s;
    // fmt rather than "[" + std::to_string(l): GCC 12 at -O3 misreads that
    // concatenation as an overlapping memcpy (-Wrestrict).
    for (auto const& [l, m] : lines_) fmt::format_to(std::back_inserter(s), "[{}] {}\n", l, m);
    return s;
  }
  void clear() { lines_.clear(); }

 private:
  std::vector<std::pair<unsigned, std::string>> lines_;
  TraceHook hook_;
};

}  // namespace VexaTest
