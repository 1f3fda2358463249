#include "csp/pkcs11/pin_prompt.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

extern char **environ;

namespace emu::csp::pkcs11 {

namespace {

using Clock = std::chrono::steady_clock;

// Longest PIN read; the rest of a longer line is discarded.
constexpr size_t kMaxPin = 256;
// How often the program is looked at when the kernel cannot tell its end
// through a descriptor (no pidfd).
constexpr int kLookEveryMs = 20;
// How much longer than a prompt's time limit another caller waits for it.
constexpr std::chrono::seconds kTurnGrace{5};

// A descriptor closed on every path out.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// The terminal whose foreground process group is this process's, if any.
// A prompt that asks on it (reads /dev/tty, turns echo off) runs in the
// foreground in its place, or the terminal would stop it (SIGTTIN,
// SIGTTOU) as a background job; the foreground comes back when the prompt
// is done.
class Terminal {
 public:
  Terminal() {
    fd_ = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ >= 0 && tcgetpgrp(fd_) != getpgrp()) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Terminal() {
    if (fd_ < 0) return;
    if (handed_) foreground(getpgrp());
    close(fd_);
  }
  Terminal(const Terminal &) = delete;
  Terminal &operator=(const Terminal &) = delete;

  // Hands the foreground to the prompt's group, and lets it go on if the
  // terminal stopped it before.
  void handTo(pid_t group) {
    if (fd_ < 0) return;
    handed_ = foreground(group);
    if (handed_) kill(-group, SIGCONT);
  }

 private:
  // tcsetpgrp from a background group (this process, once it handed the
  // foreground on) is allowed with SIGTTOU blocked.
  bool foreground(pid_t group) {
    sigset_t ttou, old;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    pthread_sigmask(SIG_BLOCK, &ttou, &old);
    const bool done = tcsetpgrp(fd_, group) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return done;
  }
  int fd_ = -1;
  bool handed_ = false;
};

// The prompt's process, leader of its own process group. Until it is
// reaped its number names the group, so killing the group can reach no
// other; whatever path leaves the prompt, the group is killed (unless the
// leader ended by itself) and the leader reaped.
class Prompt {
 public:
  explicit Prompt(pid_t pid) : pid_(pid) {
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  }
  ~Prompt() {
    if (!reaped_) {
      if (!ended()) killGroup();
      reap();
    }
    if (pidfd_ >= 0) close(pidfd_);
  }
  Prompt(const Prompt &) = delete;
  Prompt &operator=(const Prompt &) = delete;

  // A descriptor that becomes readable when the program ends; -1 without.
  int endFd() const { return pidfd_; }

  // Whether the program ended (without reaping it).
  bool ended() {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
      if (errno != EINTR) return true;  // not ours to wait for any more
    }
    return info.si_pid == pid_;
  }

  // Waits until the program ended or the deadline passed; true when it
  // ended.
  bool waitEnd(Clock::time_point deadline) {
    for (;;) {
      if (ended()) return true;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      if (pidfd_ >= 0) {
        pollfd p{pidfd_, POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000 * 1000)));
      } else {
        poll(nullptr, 0, static_cast<int>(std::min<long long>(left, kLookEveryMs)));
      }
    }
  }

  // Ends the program and everything it started in its group.
  void killGroup() {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);  // in case it left the group
  }

  // Reaps the program; its exit status.
  int reap() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return status;
  }

 private:
  pid_t pid_;
  int pidfd_ = -1;
  bool reaped_ = false;
};

// Reads the first line the program writes, until the line is complete, the
// output ends, the program ends or the deadline passes. False at the
// deadline.
bool readLine(int fd, Prompt &prompt, Clock::time_point deadline, std::string &line) {
  char chunk[kMaxPin + 1];
  line.reserve(kMaxPin + 1);  // never moved: no copy of the PIN is left behind
  bool complete = false, ended = false;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      if (!ended) return false;
      break;  // ended, and a child it left behind keeps writing
    }
    pollfd p[2] = {{fd, POLLIN, 0}, {prompt.endFd(), POLLIN, 0}};
    const nfds_t n = prompt.endFd() >= 0 ? 2 : 1;
    // Once the program ended, what it wrote is all in the pipe already.
    const long long wait =
        ended ? 0 : (prompt.endFd() >= 0 ? std::min<long long>(left, 1000 * 1000) : kLookEveryMs);
    const int r = poll(p, n, static_cast<int>(std::min<long long>(wait, left)));
    if (r < 0 && errno == EINTR) continue;
    if (r > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t got = read(fd, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;  // the end of the output
      for (ssize_t i = 0; i < got && !complete; ++i) {
        if (chunk[i] == '\n')
          complete = true;
        else if (line.size() < kMaxPin)
          line.push_back(chunk[i]);
      }
      OPENSSL_cleanse(chunk, sizeof chunk);
      if (complete) break;
      continue;
    }
    if (ended) break;  // nothing more in the pipe
    ended = prompt.endFd() >= 0 ? (r > 0 && (p[1].revents & POLLIN) != 0) : prompt.ended();
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace

Status askPin(const std::string &program, std::chrono::seconds timeout, const std::string &prompt,
              std::string &pin) {
  const auto none = [](std::string why) {
    return Failure(NTE_PERM, trace::Reason::TOKEN_LOGIN_NEEDED, std::move(why));
  };
  pin.clear();
  const Clock::time_point deadline = Clock::now() + timeout;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return none("the PIN prompt cannot be run: no pipe");
  }
  Fd out{fds[0]};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The program's standard output is the pipe; no other descriptor of this
  // process (a JVM's files and sockets) reaches it.
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
  // A process group of its own, so that at the deadline everything it
  // started ends with it.
  Terminal terminal;
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  std::string arg0 = program, arg1 = prompt;
  char *argv[] = {&arg0[0], &arg1[0], nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    return none("the PIN prompt \"" + program + "\" cannot be run: errno " +
                std::to_string(spawned));
  }
  Prompt child(pid);
  terminal.handTo(pid);
  std::string line;
  // The PIN is the first line; then the exit status says whether the user
  // gave it or cancelled.
  if (!readLine(out.fd, child, deadline, line) || !child.waitEnd(deadline)) {
    if (!line.empty()) OPENSSL_cleanse(&line[0], line.size());
    child.killGroup();
    child.reap();
    return none("the PIN prompt \"" + program + "\" did not finish within " +
                std::to_string(timeout.count()) +
                " s (\"PIN Prompt Timeout\"); its process group was killed");
  }
  const int status = child.reap();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    if (!line.empty()) OPENSSL_cleanse(&line[0], line.size());
    return none("the PIN prompt was cancelled (exit status " +
                std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
  }
  if (line.empty()) {
    return none("the PIN prompt gave no PIN");
  }
  pin.swap(line);
  return done();
}

bool PromptTurns::take(std::chrono::seconds timeout) {
  return turn_.try_lock_for(timeout + kTurnGrace);
}

void PromptTurns::give() {
  turn_.unlock();
}

}  // namespace emu::csp::pkcs11
