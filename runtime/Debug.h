#pragma once
// Named debug handlers, traces and assertions.
//
// A handler is looked up by name and lives for the whole process. Bit n of
// its level mask enables trace level n (0 errors and dumps, 1 attach and
// format summaries, 2 resize summaries, 3 header dumps and file removal,
// 5 details, 7..9 per-slot and per-link details).
//
// Masks can be set from outside the program with the environment variable
// VEXA_TRACE, read once when the first handler is created:
//
//     VEXA_TRACE="ZolmTemp=0x3,L2Types=0xff"   two handlers
//     VEXA_TRACE="*=1"                         level 0 of every handler
//
// Enabled lines go to stderr as "<handler>[<level>] <message>", unless a
// test installs its own sink with traceSinkIs().
#include <fmt/format.h>

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/QuivString.h"
#include "VexaSwitchLib/runtime/Types.h"

namespace Quiv {

class DebugHandler {
 public:
  explicit DebugHandler(std::string_view name) : name_(name) {}
  DebugHandler(DebugHandler const&) = delete;
  DebugHandler& operator=(DebugHandler const&) = delete;

  std::string const& name() const { return name_; }
  U64 flags() const { return flags_.load(std::memory_order_relaxed); }
  void flagsIs(U64 f) { flags_.store(f, std::memory_order_relaxed); }
  bool enabled(unsigned level) const { return level < 64 && ((flags() >> level) & 1); }
  void write(unsigned level, std::string_view msg) const;

 private:
  std::string name_;
  std::atomic<U64> flags_{0};
};

using TraceSink = std::function<void(DebugHandler const&, unsigned level, std::string_view msg)>;
// Replaces where enabled trace lines go; an empty sink restores stderr.
void traceSinkIs(TraceSink sink);

// Applies a VEXA_TRACE-style setting ("name=mask,name=mask,*=mask") to
// existing and future handlers. Throws Kel::ParseException on a malformed
// setting.
void traceSpecIs(std::string_view spec);

namespace Platform {
// The process-wide handler of that name; with create false, null when no
// handler of that name exists yet.
DebugHandler* getDebugHandler(std::string_view name, bool create = true);
// The handler used by units that have no handler of their own ("VexaSwitch").
DebugHandler* defaultDebugHandler();
}  // namespace Platform

[[noreturn]] void assertionFailed(char const* expr, char const* unit, char const* file, int line,
                                  std::string const& detail);

}  // namespace Quiv

// fmtrace(handler, level, "format {}", args...): formats only when enabled.
#define fmtrace(handler, level, ...)                                          \
  do {                                                                        \
    ::Quiv::DebugHandler const* fmtrace_h_ = (handler);                       \
    if (fmtrace_h_ && fmtrace_h_->enabled(level))                             \
      fmtrace_h_->write((level), ::fmt::format(__VA_ARGS__));                 \
  } while (0)

#define fmtracestr(handler, level, str)                                       \
  do {                                                                        \
    ::Quiv::DebugHandler const* fmtrace_h_ = (handler);                       \
    if (fmtrace_h_ && fmtrace_h_->enabled(level)) fmtrace_h_->write((level), (str)); \
  } while (0)

// fmassert(condition, "Unit", "detail format {}", args...): a broken
// precondition is a programming error; the process stops with a report
// naming the expression, the unit and the detail.
#define fmassert(cond, unit, ...)                                             \
  do {                                                                        \
    if (!(cond)) [[unlikely]]                                                 \
      ::Quiv::assertionFailed(#cond, (unit), __FILE__, __LINE__,              \
                              ::fmt::format(__VA_ARGS__));                    \
  } while (0)
