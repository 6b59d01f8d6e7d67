#pragma once
// What the demos' parent and child processes share, beside their tables:
// the exit statuses, signal handling, reaping and describing children, and
// numbers for people.
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace DemoProcess {

// One convention with the other tools (each demo's --help footer says it).
enum Exit { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_NO_TABLE = 3, EXIT_INTERRUPTED = 130 };

// Children stop on the parent's flag, or when the parent is gone (checked
// now and then: it takes a system call).
inline bool orphaned(pid_t parent) { return ::getppid() != parent; }

inline void childSignals() {
  // Ctrl-C reaches the whole process group; only the parent acts on it and
  // stops the children through the shared flag, so that the writer still
  // removes its files.
  ::signal(SIGINT, SIG_IGN);
  ::signal(SIGTERM, SIG_IGN);
  ::signal(SIGHUP, SIG_IGN);
}

// The parent's Ctrl-C, SIGTERM and SIGHUP.
inline volatile sig_atomic_t interrupted = 0;
inline void onSignal(int) { interrupted = 1; }

inline std::string human(double n) {
  if (n >= 1e9) return fmt::format("{:.2f}G", n / 1e9);
  if (n >= 1e6) return fmt::format("{:.2f}M", n / 1e6);
  if (n >= 1e4) return fmt::format("{:.1f}k", n / 1e3);
  return fmt::format("{:.0f}", n);
}
inline std::string rate(double perSecond) { return human(perSecond) + "/s"; }

struct Child {
  pid_t pid;
  std::string name;
  bool exited = false;
  int status = 0;
};

// Reaps what has ended; true when some child has ended.
inline bool reap(std::vector<Child>& children) {
  bool any = false;
  for (Child& c : children) {
    if (!c.exited && ::waitpid(c.pid, &c.status, WNOHANG) == c.pid) c.exited = true;
    any = any || c.exited;
  }
  return any;
}

inline std::string describe(int status) {
  if (WIFEXITED(status)) return fmt::format("exit status {}", WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return fmt::format("killed by signal {} ({})", WTERMSIG(status), ::strsignal(WTERMSIG(status)));
  return fmt::format("status {:#x}", status);
}

// Waits up to `grace` for every child to end (they were told to stop),
// then kills what is left. Returns whether every child ended by itself
// with exit status 0; says on stderr which did not.
inline bool stopChildren(std::vector<Child>& children, std::chrono::seconds grace) {
  auto deadline = std::chrono::steady_clock::now() + grace;
  while (std::chrono::steady_clock::now() < deadline) {
    reap(children);
    bool all = true;
    for (Child const& c : children) all = all && c.exited;
    if (all) break;
    ::usleep(10000);
  }
  bool clean = true;
  for (Child& c : children) {
    if (!c.exited) {
      fmt::print(stderr, "{} (pid {}) did not stop within {} s: killing it\n", c.name, c.pid, grace.count());
      ::kill(c.pid, SIGKILL);
      ::waitpid(c.pid, &c.status, 0);
      c.exited = true;
      clean = false;
    } else if (!WIFEXITED(c.status) || WEXITSTATUS(c.status) != 0) {
      fmt::print(stderr, "{} (pid {}) ended with {}\n", c.name, c.pid, describe(c.status));
      clean = false;
    }
  }
  return clean;
}

}  // namespace DemoProcess
