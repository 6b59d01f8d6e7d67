#pragma once
// The operation-counter registry: named 64-bit counters, stable for the life
// of the process ("entryIs", "entryDel", "entryNotify", ...). Look a counter
// up once and keep the reference; incrementing is one relaxed atomic add.
#include <atomic>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "VexaSwitchLib/runtime/Types.h"

namespace Quiv {

class OpCounter {
 public:
  explicit OpCounter(std::string_view name) : name_(name) {}
  OpCounter(OpCounter const&) = delete;
  OpCounter& operator=(OpCounter const&) = delete;
  void inc(U64 n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  U64 value() const { return value_.load(std::memory_order_relaxed); }
  std::string const& name() const { return name_; }

 private:
  std::string name_;
  std::atomic<U64> value_{0};
};

OpCounter& opCounter(std::string_view name);
// Snapshot of every registered counter, in name order.
std::vector<std::pair<std::string, U64>> opCounters();

}  // namespace Quiv
