// Asking the user for a token's PIN through the provider's "PIN Prompt"
// program, by the SSH_ASKPASS convention: the program gets the prompt as
// its one argument and writes the PIN on its standard output (one line);
// a non-zero exit status means the user cancelled.
#pragma once

#include <string>

namespace emu::csp::pkcs11 {

// Runs `program` (looked up in PATH when it has no slash; no shell) and
// reads the PIN into `pin`. False, with the reason in the trace, when the
// program cannot be run, fails or gives nothing. The caller wipes `pin`.
bool askPin(const std::string &program, const std::string &prompt, std::string &pin);

}  // namespace emu::csp::pkcs11
