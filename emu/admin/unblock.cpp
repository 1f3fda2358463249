// The token family's unblock code (its PUK): `mscapi token
// set-unblock-code` sets it, `mscapi unblock` frees a key that wrong PINs
// blocked, or a PKCS#11 token to which wrong PINs stopped being handed.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "admin/admin.h"
#include "common/api.h"
#include "common/home.h"
#include "common/trace.h"
#include "csp/keystore.h"
#include "storage/error.h"
#include "winapi/advapi32.h"

namespace emu::admin {

namespace {

using csp::ContainerNamespace;
namespace keystore = csp::keystore;

// A secret string, wiped when it goes.
struct Secret {
  std::string text;
  Secret() = default;
  ~Secret() { wipe(); }
  Secret(const Secret &) = delete;
  Secret &operator=(const Secret &) = delete;
  void wipe() {
    if (!text.empty()) SecureZeroMemory(&text[0], text.size());
    text.clear();
  }
};

// Reads one line: from a file when given, else from the terminal without
// echo (or from standard input when it is not a terminal).
bool readSecret(const std::string &file, const char *prompt, Secret &out) {
  out.wipe();
  if (!file.empty()) {
    Secret whole;
    if (!readFile(file, whole.text)) {
      std::fprintf(stderr, "mscapi: cannot read %s\n", file.c_str());
      return false;
    }
    out.text = whole.text.substr(0, whole.text.find_first_of("\r\n"));
    return true;
  }
  const bool tty = isatty(STDIN_FILENO) != 0;
  termios saved{};
  if (tty) {
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool got = static_cast<bool>(std::getline(std::cin, out.text));
  if (tty) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
  }
  if (!out.text.empty() && out.text.back() == '\r') out.text.pop_back();
  return got;
}

// What a failure says, for the message: its words, or its platform code
// when it has none.
std::string said(const Failure &f) {
  if (!f.why.empty()) return f.why;
  char buf[64];
  std::snprintf(buf, sizeof buf, "error 0x%08lx %s", static_cast<unsigned long>(f.code),
                trace::errorName(f.code));
  return buf;
}

// Why nothing was unblocked: the failure's words, in the command's terms
// where it has its own.
std::string explain(const Failure &f) {
  switch (f.cause) {
    case trace::Reason::CONTAINER_NOT_FOUND:
      return "no such container in the token provider";
    case trace::Reason::UNBLOCK_CODE_BLOCKED:
      return "the unblock code is blocked after too many wrong codes";
    default:
      return said(f);
  }
}

// Why the code was not set: the command's own advice (the current code is
// what it lacks, or what was wrong), the failure's words otherwise.
std::string explainSet(const Failure &f) {
  if (f.code == NTE_PERM) return "an unblock code is set: give the current one (--old-code-file)";
  switch (f.cause) {
    case trace::Reason::UNBLOCK_CODE_WRONG:
      return "wrong current unblock code";
    case trace::Reason::UNBLOCK_CODE_BLOCKED:
      return "the unblock code is blocked after too many wrong codes: it cannot be changed, and a "
             "blocked key can only be deleted";
    default:
      return explain(f);
  }
}

// Ends the step's trace as the failure says (its reason and code) and
// tells whether it did what was asked.
bool finish(trace::Call &t, const Status &failed) {
  if (failed)
    fail(*failed);
  else
    SetLastError(ERROR_SUCCESS);
  return t.done(!failed) != FALSE;
}

// The token label of a PKCS#11 container's full name (\\.\<token>\<name>,
// or \\.\<token> alone); false for any other name.
bool tokenOf(const std::string &name, std::string &token) {
  static const char kPrefix[] = "\\\\.\\";
  if (name.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return false;
  token = name.substr(sizeof kPrefix - 1);
  token = token.substr(0, token.find('\\'));
  return !token.empty();
}

// Clears the own count of wrong PINs handed to the tokens labelled `token`.
int unblockToken(const std::string &token, const Secret &code) {
  try {
    trace::Call t("UnblockToken");
    if (t) t.text("token", token);
    const Status failed = keystore::unblockToken(keystore::databasePath(), token, code.text);
    if (!finish(t, failed)) {
      std::fprintf(stderr, "mscapi: not unblocked: %s\n", explain(*failed).c_str());
      return kFailed;
    }
  } catch (const storage::StorageError &e) {
    std::fprintf(stderr, "mscapi: %s\n", storage::describe(e).c_str());
    return kFailed;
  }
  std::printf("unblocked: token \"%s\" (the wrong PINs counted for it are cleared)\n",
              token.c_str());
  return kOk;
}

}  // namespace

int setUnblockCode(Args args) {
  std::string file, oldFile;
  if (!takeOption(args, "--code-file", file) || !takeOption(args, "--old-code-file", oldFile) ||
      !args.empty()) {
    std::fprintf(
        stderr, "usage: mscapi token set-unblock-code [--old-code-file FILE] [--code-file FILE]\n");
    return kUsage;
  }
  Secret oldCode, code, again;
  try {
    // The current code, which alone changes it: from its file, or asked on
    // the terminal.
    const std::string db = keystore::databasePath();
    if (!oldFile.empty()) {
      if (!readSecret(oldFile, "", oldCode)) return kFailed;
    } else if (isatty(STDIN_FILENO) && keystore::unblockCodeSet(db, ContainerNamespace::Token)) {
      if (!readSecret("", "Current unblock code: ", oldCode)) return kFailed;
    }
    if (!readSecret(file, "New unblock code: ", code)) return kFailed;
    if (file.empty() && isatty(STDIN_FILENO)) {
      if (!readSecret(file, "Again: ", again) || again.text != code.text) {
        std::fprintf(stderr, "mscapi: the two codes differ; nothing was set\n");
        return kFailed;
      }
    }
    again.wipe();
    if (code.text.empty()) {
      std::fprintf(stderr, "mscapi: the unblock code cannot be empty\n");
      return kFailed;
    }
    trace::Call t("SetUnblockCode");
    if (t) t.text("family", "token").num("replacing", oldCode.text.empty() ? 0 : 1);
    const Status failed =
        keystore::setUnblockCode(db, ContainerNamespace::Token, oldCode.text, code.text);
    if (!finish(t, failed)) {
      std::fprintf(stderr, "mscapi: the unblock code was not set: %s\n",
                   explainSet(*failed).c_str());
      return kFailed;
    }
  } catch (const storage::StorageError &e) {
    std::fprintf(stderr, "mscapi: %s\n", storage::describe(e).c_str());
    return kFailed;
  }
  std::printf("unblock code set for the token family\n");
  return kOk;
}

int unblock(Args args) {
  std::string container, spec = "signature", file;
  if (!takeOption(args, "--container", container) || !takeOption(args, "--spec", spec) ||
      !takeOption(args, "--code-file", file) || !args.empty() || container.empty()) {
    std::fprintf(stderr,
                 "usage: mscapi unblock --container NAME [--spec exchange|signature] "
                 "[--code-file FILE]\n");
    return kUsage;
  }
  int keySpec = 0;
  if (spec == "exchange" || spec == "1") keySpec = AT_KEYEXCHANGE;
  if (spec == "signature" || spec == "2") keySpec = AT_SIGNATURE;
  if (keySpec == 0) {
    std::fprintf(stderr, "mscapi unblock: --spec must be exchange or signature, not %s\n",
                 spec.c_str());
    return kUsage;
  }
  Secret code;
  if (!readSecret(file, "Unblock code: ", code)) return kFailed;
  // A PKCS#11 container's full name (\\.\<token>\...): the home's own
  // count of the token's wrong PINs.
  std::string token;
  if (tokenOf(container, token)) return unblockToken(token, code);
  try {
    trace::Call t("Unblock");
    if (t) t.text("container", container).num("spec", keySpec);
    const Status failed = keystore::unblock(keystore::databasePath(), ContainerNamespace::Token,
                                            container, keySpec, code.text);
    if (!finish(t, failed)) {
      std::fprintf(stderr, "mscapi: not unblocked: %s\n", explain(*failed).c_str());
      return kFailed;
    }
  } catch (const storage::StorageError &e) {
    std::fprintf(stderr, "mscapi: %s\n", storage::describe(e).c_str());
    return kFailed;
  }
  std::printf("unblocked: %s (%s)\n", container.c_str(), spec.c_str());
  return kOk;
}

}  // namespace emu::admin
