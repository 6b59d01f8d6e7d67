#include "VexaSwitchLib/runtime/OpCounter.h"

#include <deque>
#include <map>
#include <mutex>

namespace Quiv {
namespace {
struct Counters {
  std::mutex mutex;
  std::deque<OpCounter> all;
  std::map<std::string, OpCounter*, std::less<>> byName;
};
// Never destroyed, like the debug handlers: collections destroyed at exit
// (held in objects with static storage) still hold their counters.
Counters& counters() {
  static Counters* c = new Counters;
  return *c;
}
}  // namespace

OpCounter& opCounter(std::string_view name) {
  Counters& c = counters();
  std::lock_guard lock(c.mutex);
  if (auto it = c.byName.find(name); it != c.byName.end()) return *it->second;
  OpCounter& oc = c.all.emplace_back(name);
  c.byName.emplace(std::string(name), &oc);
  return oc;
}

std::vector<std::pair<std::string, U64>> opCounters() {
  Counters& c = counters();
  std::lock_guard lock(c.mutex);
  std::vector<std::pair<std::string, U64>> out;
  for (auto const& [name, oc] : c.byName) out.emplace_back(name, oc->value());
  return out;
}

}  // namespace Quiv
