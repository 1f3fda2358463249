// Asking the user for a token's PIN through the provider's "PIN Prompt"
// program, by the SSH_ASKPASS convention: the program gets the prompt as
// its one argument and writes the PIN on its standard output (one line);
// a non-zero exit status means the user cancelled.
//
// The program runs in a process group of its own and within a time limit
// (the provider's "PIN Prompt Timeout", in seconds): at the limit the whole
// group is killed and the prompt fails. The PIN is taken as soon as its
// line is complete, or the program has ended, not at the end of the
// output, which a child the program left behind may hold open.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "common/failure.h"

namespace emu::csp::pkcs11 {

// Runs `program` (looked up in PATH when it has no slash; no shell) and
// reads the PIN into `pin`. Fails with NTE_PERM (TOKEN_LOGIN_NEEDED: no
// PIN could be had) and the reason in words when the program cannot be
// run, fails, gives nothing or does not finish within `timeout`. The
// caller wipes `pin`.
Status askPin(const std::string &program, std::chrono::seconds timeout, const std::string &prompt,
              std::string &pin);

// The turn to run a token's PIN prompt: one prompt per token at a time,
// so that threads needing a login at once do not each ask the user. Only
// callers about to run the prompt take it; a caller that presents a PIN
// itself never does, so it never waits for a prompt.
class PromptTurns {
 public:
  // Waits for the turn (while another caller's prompt runs), at most a
  // little longer than `timeout`, the time limit of that prompt. False
  // when the turn did not come.
  bool take(std::chrono::seconds timeout);
  void give();

 private:
  std::timed_mutex turn_;
};

// The turn, held for a scope.
class PromptTurn {
 public:
  PromptTurn(PromptTurns &turns, std::chrono::seconds timeout)
      : turns_(turns), held_(turns.take(timeout)) {}
  ~PromptTurn() {
    if (held_) turns_.give();
  }
  PromptTurn(const PromptTurn &) = delete;
  PromptTurn &operator=(const PromptTurn &) = delete;
  explicit operator bool() const { return held_; }

 private:
  PromptTurns &turns_;
  bool held_;
};

}  // namespace emu::csp::pkcs11
