#pragma once
// Critical-priority tasks of a process, and the clock that long writer
// loops use to run them.
//
// An agent registers the work that must not wait behind a long table
// operation (keepalives, watchdog kicks). A writer whose criticalTaskCheck
// is set calls CriticalTaskTimer::tick() inside its long loops (bucket
// rehash, slot-table shrink); every 10 ms tick() runs the registered tasks.
#include <functional>

#include "VexaSwitchLib/runtime/Types.h"

namespace Quiv {

class TaskSchedulerRoot {
 public:
  using Task = std::function<void()>;
  // Returns an id for removeCriticalPriorityTask.
  static U64 addCriticalPriorityTask(Task task);
  static void removeCriticalPriorityTask(U64 id);
  static void runCriticalPriorityTasks();
  static U64 runs();
};

// Reads the processor's time-stamp counter (cheap enough to look at after
// every bucket), calibrated once against the monotonic clock.
class CriticalTaskTimer {
 public:
  explicit CriticalTaskTimer(bool enabled);
  // Runs the critical tasks when 10 ms passed since the last run (or since
  // construction). Returns whether they ran.
  bool tick();

 private:
  bool enabled_;
  U64 last_ = 0;
  U64 interval_ = 0;
};

}  // namespace Quiv
