// Forked children for the tests that need a second process: run a body in
// a child and read its exit status, and one-byte signals over a pipe to
// start children together or to step a child and its parent in turn.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <thread>

namespace child {

// The status of a child once it has ended: its exit code, 128 plus the
// signal that ended it, or 100 when waitpid could not tell.
inline int wait(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return 100;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// Forks a child that runs `body` and leaves by _exit with what it returned
// (stdio flushed first; no destructor or atexit handler of the parent's
// runs). In the child, `body` runs on a new thread when `onNewThread`, so
// that it opens database connections of its own rather than using those the
// parent's thread had. Returns the child's pid, -1 when fork failed.
inline pid_t start(const std::function<int()> &body, bool onNewThread = true) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  int rc = 99;
  if (onNewThread)
    std::thread([&] { rc = body(); }).join();
  else
    rc = body();
  std::fflush(nullptr);
  _exit(rc);
}

// Runs `body` in a forked child (on a new thread) and returns its status
// as wait() gives it.
inline int run(const std::function<int()> &body) {
  const pid_t pid = start(body);
  return pid < 0 ? 100 : wait(pid);
}

// Runs `body` in a forked child (on a new thread): true when it returned
// true and the child ended normally.
inline bool runOk(const std::function<bool()> &body) {
  return run([&] { return body() ? 0 : 1; }) == 0;
}

// A one-way signal between processes over a pipe, made before the fork.
// Each side keeps only the end it uses: the first send() closes this
// process's read end, the first receive() its write end, so a receiver
// learns of a sender that ended without sending.
class Signal {
 public:
  Signal() {
    if (pipe(fd_) != 0) fd_[0] = fd_[1] = -1;
  }
  ~Signal() {
    closeEnd(0);
    closeEnd(1);
  }
  Signal(const Signal &) = delete;
  Signal &operator=(const Signal &) = delete;

  bool ok() const { return fd_[0] >= 0 || fd_[1] >= 0; }

  // Sends `n` bytes: wakes `n` receivers that wait for one byte each.
  bool send(int n = 1) {
    closeEnd(0);
    for (int i = 0; i < n; ++i)
      if (fd_[1] < 0 || write(fd_[1], "x", 1) != 1) return false;
    return true;
  }

  // Waits for one byte; false when every sender ended (or closed) first.
  bool receive() {
    closeEnd(1);
    char c = 0;
    return fd_[0] >= 0 && read(fd_[0], &c, 1) == 1;
  }

 private:
  void closeEnd(int i) {
    if (fd_[i] >= 0) close(fd_[i]);
    fd_[i] = -1;
  }
  int fd_[2];
};

}  // namespace child
