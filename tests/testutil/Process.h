#pragma once
// Child processes for the multi-process tests: a body run in a forked
// child, its end awaited and described, and memory shared with children.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <new>
#include <string>

namespace VexaTest {

// Runs `body` in a forked child that exits 0 when it returns. Output
// buffers are flushed first, so that the child does not print them again.
template <class F>
pid_t spawn(F&& body) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  return pid;
}

// Waits for `pid`; its wait status.
inline int reap(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

// Waits for `pid`; how it ended: "exit N", "killed by signal N".
inline std::string reapDescribed(pid_t pid) {
  int status = 0;
  if (pid < 0) return "fork failed";
  if (::waitpid(pid, &status, 0) != pid) return "waitpid failed";
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  return "unknown";
}

// A value-initialised T in an anonymous shared mapping: made before the
// children fork, the same memory in all of them.
template <class T>
T* newShared() {
  void* p = ::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : new (p) T{};
}

template <class T>
void freeShared(T* p) {
  if (!p) return;
  p->~T();
  ::munmap(p, sizeof(T));
}

}  // namespace VexaTest
