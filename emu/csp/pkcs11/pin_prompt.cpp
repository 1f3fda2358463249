#include "csp/pkcs11/pin_prompt.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/trace.h"

extern char **environ;

namespace emu::csp::pkcs11 {

namespace {

// Longest PIN read; the rest of a longer line is discarded.
constexpr size_t kMaxPin = 256;

}  // namespace

bool askPin(const std::string &program, const std::string &prompt, std::string &pin) {
  pin.clear();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    trace::why("the PIN prompt cannot be run: no pipe");
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The program's standard output is the pipe; no other descriptor of this
  // process (a JVM's files and sockets) reaches it.
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
  std::string arg0 = program, arg1 = prompt;
  char *argv[] = {&arg0[0], &arg1[0], nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    trace::why("the PIN prompt \"" + program + "\" cannot be run: errno " +
               std::to_string(spawned));
    return false;
  }
  char buf[kMaxPin + 1];
  size_t have = 0;
  bool lineEnded = false;
  for (;;) {
    char c = 0;
    const ssize_t r = read(fds[0], &c, 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    if (lineEnded) continue;  // drain the rest, so the program is not blocked
    if (c == '\n') {
      lineEnded = true;
      continue;
    }
    if (have < kMaxPin) buf[have++] = c;
  }
  close(fds[0]);
  if (have > 0 && buf[have - 1] == '\r') --have;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  pin.assign(buf, have);
  OPENSSL_cleanse(buf, sizeof buf);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    if (!pin.empty()) OPENSSL_cleanse(&pin[0], pin.size());
    pin.clear();
    trace::why("the PIN prompt was cancelled (exit status " +
               std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
    return false;
  }
  if (pin.empty()) {
    trace::why("the PIN prompt gave no PIN");
    return false;
  }
  return true;
}

}  // namespace emu::csp::pkcs11
