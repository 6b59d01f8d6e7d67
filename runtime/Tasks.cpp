#include "VexaSwitchLib/runtime/Tasks.h"

#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace Quiv {

namespace {
std::mutex taskMutex;
std::map<U64, TaskSchedulerRoot::Task>& tasks() {
  static std::map<U64, TaskSchedulerRoot::Task> t;
  return t;
}
U64 nextId = 1;
U64 runCount = 0;

U64 ticks() {
#if defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#else
  return static_cast<U64>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

// Ticks per second, measured once over 2 ms.
U64 ticksPerSecond() {
  static U64 const rate = [] {
#if defined(__x86_64__) || defined(__i386__)
    auto t0 = std::chrono::steady_clock::now();
    U64 c0 = ticks();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    U64 c1 = ticks();
    auto t1 = std::chrono::steady_clock::now();
    double secs = std::chrono::duration<double>(t1 - t0).count();
    return secs > 0 ? static_cast<U64>(static_cast<double>(c1 - c0) / secs) : U64(1000000000);
#else
    return U64(std::chrono::steady_clock::period::den / std::chrono::steady_clock::period::num);
#endif
  }();
  return rate;
}
}  // namespace

U64 TaskSchedulerRoot::addCriticalPriorityTask(Task task) {
  std::lock_guard<std::mutex> lock(taskMutex);
  U64 id = nextId++;
  tasks()[id] = std::move(task);
  return id;
}

void TaskSchedulerRoot::removeCriticalPriorityTask(U64 id) {
  std::lock_guard<std::mutex> lock(taskMutex);
  tasks().erase(id);
}

void TaskSchedulerRoot::runCriticalPriorityTasks() {
  std::vector<Task> copy;
  {
    std::lock_guard<std::mutex> lock(taskMutex);
    ++runCount;
    for (auto& [id, t] : tasks()) copy.push_back(t);
  }
  for (auto& t : copy) t();
}

U64 TaskSchedulerRoot::runs() {
  std::lock_guard<std::mutex> lock(taskMutex);
  return runCount;
}

CriticalTaskTimer::CriticalTaskTimer(bool enabled) : enabled_(enabled) {
  if (enabled_) {
    interval_ = ticksPerSecond() / 100;  // 10 ms
    last_ = ticks();
  }
}

bool CriticalTaskTimer::tick() {
  if (!enabled_) return false;
  U64 now = ticks();
  if (now - last_ < interval_) return false;
  TaskSchedulerRoot::runCriticalPriorityTasks();
  last_ = ticks();
  return true;
}

}  // namespace Quiv
