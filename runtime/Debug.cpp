#include "VexaSwitchLib/runtime/Debug.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "VexaSwitchLib/runtime/Exception.h"

namespace Quiv {
namespace {

struct Registry {
  std::mutex mutex;
  std::deque<DebugHandler> handlers;  // deque: addresses stay stable
  std::map<std::string, DebugHandler*, std::less<>> byName;
  std::map<std::string, U64, std::less<>> specMasks;  // from VEXA_TRACE / traceSpecIs
  bool haveWildcard = false;
  U64 wildcardMask = 0;
  TraceSink sink;
  bool envRead = false;
};

// Never destroyed: objects with static storage (a program's tables held in
// a static map, say) trace through their handlers while they are destroyed
// at exit, possibly after a registry with static storage of its own would
// have gone.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

U64 maskFor(Registry& r, std::string_view name) {
  if (auto it = r.specMasks.find(name); it != r.specMasks.end()) return it->second;
  return r.haveWildcard ? r.wildcardMask : 0;
}

void parseSpecLocked(Registry& r, std::string_view spec) {
  std::map<std::string, U64, std::less<>> masks;
  bool wildcard = false;
  U64 wildcardMask = 0;
  std::size_t pos = 0;
  while (pos <= spec.size()) {
    std::size_t comma = spec.find(',', pos);
    if (comma == std::string_view::npos) comma = spec.size();
    std::string_view item = spec.substr(pos, comma - pos);
    pos = comma + 1;
    if (item.empty()) continue;
    std::size_t eq = item.find('=');
    if (eq == std::string_view::npos || eq == 0 || eq + 1 == item.size())
      fmthrow(Kel::ParseException, "trace spec item '{}' is not name=mask", item);
    std::string value(item.substr(eq + 1));
    char* end = nullptr;
    errno = 0;
    unsigned long long mask = std::strtoull(value.c_str(), &end, 0);
    if (errno != 0 || end == value.c_str() || *end != '\0')
      fmthrow(Kel::ParseException, "trace spec item '{}': mask '{}' is not a number", item, value);
    std::string_view name = item.substr(0, eq);
    if (name == "*") {
      wildcard = true;
      wildcardMask = mask;
    } else {
      masks[std::string(name)] = mask;
    }
  }
  r.specMasks = std::move(masks);
  r.haveWildcard = wildcard;
  r.wildcardMask = wildcardMask;
  for (auto& h : r.handlers) h.flagsIs(maskFor(r, h.name()));
}

void readEnvLocked(Registry& r) {
  if (r.envRead) return;
  r.envRead = true;
  if (char const* spec = std::getenv("VEXA_TRACE")) {
    try {
      parseSpecLocked(r, spec);
    } catch (Quiv::Exception const& e) {
      std::fprintf(stderr, "VEXA_TRACE ignored: %s\n", e.msg().c_str());
    }
  }
}

}  // namespace

void DebugHandler::write(unsigned level, std::string_view msg) const {
  Registry& r = registry();
  TraceSink sink;
  {
    std::lock_guard lock(r.mutex);
    sink = r.sink;
  }
  if (sink) {
    sink(*this, level, msg);
    return;
  }
  std::string line = fmt::format("{}[{}] {}\n", name_, level, msg);
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void traceSinkIs(TraceSink sink) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.sink = std::move(sink);
}

void traceSpecIs(std::string_view spec) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.envRead = true;  // an explicit setting wins over the environment
  parseSpecLocked(r, spec);
}

namespace Platform {

DebugHandler* getDebugHandler(std::string_view name, bool create) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  readEnvLocked(r);
  if (auto it = r.byName.find(name); it != r.byName.end()) return it->second;
  if (!create) return nullptr;
  DebugHandler& h = r.handlers.emplace_back(name);
  h.flagsIs(maskFor(r, name));
  r.byName.emplace(std::string(name), &h);
  return &h;
}

DebugHandler* defaultDebugHandler() {
  static DebugHandler* h = getDebugHandler("VexaSwitch");
  return h;
}

}  // namespace Platform

void assertionFailed(char const* expr, char const* unit, char const* file, int line,
                     std::string const& detail) {
  std::string msg = fmt::format("assertion failed: {} [{}] at {}:{}: {}\n", expr, unit, file, line, detail);
  std::fwrite(msg.data(), 1, msg.size(), stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace Quiv
