// The SoftHSM2 token store of the home, which `mscapi token init` uses:
//   token store [--json]     makes the store (its folder and SoftHSM2's
//                            configuration) when missing; says where it is
//                            and which slots and tokens it has
//   token register [--pin-prompt PROGRAM] [--json]
//                            registers the store's module as a provider,
//                            with PROGRAM (else a prompt on the terminal,
//                            written into the store) as its PIN prompt,
//                            and SOFTHSM2_CONF=<the store's configuration>
//                            as its "Environment", so that every program
//                            using the provider finds the store's tokens
// softhsm2-util, run by the tool, initialises the token itself.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "admin/admin.h"
#include "common/home.h"
#include "csp/provider.h"
#include "registry/registry.h"

namespace emu::admin {

namespace {

// A string value of a .reg file: backslash and double quote escaped.
std::string regText(const std::string &s) {
  std::string out;
  for (const char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string absolute(const std::string &path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

// The default PIN prompt: asks on the user's terminal without echo.
const char kTerminalPrompt[] =
    "#!/bin/sh\n"
    "# The token's PIN prompt (SSH_ASKPASS convention): the prompt as the\n"
    "# argument, the PIN asked on the terminal without echo, on stdout.\n"
    "exec </dev/tty || exit 1\n"
    "printf '%s: ' \"$1\" >/dev/tty\n"
    "stty -echo\nIFS= read -r pin\nstatus=$?\nstty echo\nprintf '\\n' >/dev/tty\n"
    "[ $status -eq 0 ] && printf '%s\\n' \"$pin\"\n";

// The home made ready and its default registration in place: the registry
// folder is the emulation's to create.
bool prepareHome(const std::string &home) {
  if (!ensureHome(home)) {
    std::fprintf(stderr, "mscapi: the home %s cannot be used\n", home.c_str());
    return false;
  }
  registry::current();
  return true;
}

}  // namespace

int tokenStore(Args args) {
  takeFlag(args, "--json");
  if (!noMore(args, nullptr)) return kUsage;
  const std::string home = homeDir();
  if (!prepareHome(home)) return kFailed;
  const TokenStore store = tokenStore(home);
  // Private whatever made them: the tokens' files are as secret as keys.
  if (!ensureDir(store.tokenDir) || chmod(store.dir.c_str(), 0700) != 0 ||
      chmod(store.tokenDir.c_str(), 0700) != 0) {
    std::fprintf(stderr, "mscapi: cannot make %s\n", store.tokenDir.c_str());
    return kFailed;
  }
  std::string existing;
  const bool kept = readFile(store.conf, existing) && chmod(store.conf.c_str(), 0600) == 0;
  if (!kept && !writeFileAtomic(store.conf, "directories.tokendir = " + store.tokenDir +
                                                "\nobjectstore.backend = file\n")) {
    std::fprintf(stderr, "mscapi: cannot write %s\n", store.conf.c_str());
    return kFailed;
  }
  // This process lists the store's tokens, whatever SOFTHSM2_CONF said.
  useTokenStore(home, true);
  print(Json{{"dir", utf8(store.dir)},
             {"conf", utf8(store.conf)},
             {"tokenDir", utf8(store.tokenDir)},
             {"module", moduleSlots(kSoftHsmModule)}});
  return kOk;
}

int tokenRegister(Args args) {
  takeFlag(args, "--json");
  std::string prompt;
  if (!takeOption(args, "--pin-prompt", prompt)) {
    std::fprintf(stderr, "mscapi: --pin-prompt needs a value\n");
    return kUsage;
  }
  if (!noMore(args, nullptr)) return kUsage;
  const std::string home = homeDir();
  if (!prepareHome(home)) return kFailed;
  const TokenStore store = tokenStore(home);
  if (prompt.empty()) {
    prompt = store.dir + "/pin-prompt";
    if (!writeFileAtomic(prompt, kTerminalPrompt) || chmod(prompt.c_str(), 0700) != 0) {
      std::fprintf(stderr, "mscapi: cannot write %s\n", prompt.c_str());
      return kFailed;
    }
  }
  prompt = absolute(prompt);
  const std::string reg = home + "/registry/60-softhsm2.reg";
  const std::string environment = "SOFTHSM2_CONF=" + store.conf;
  const std::string text =
      std::string("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\") +
      csp::kProvidersKey + "\\" + kSoftHsmProvider + "]\n\"Image Path\"=\"" +
      regText(kSoftHsmModule) + "\"\n\"Type\"=dword:00000001\n\"PIN Prompt\"=\"" + regText(prompt) +
      "\"\n\"Environment\"=\"" + regText(environment) + "\"\n";
  if (!writeFileAtomic(reg, text)) {
    std::fprintf(stderr, "mscapi: cannot write %s\n", reg.c_str());
    return kFailed;
  }
  print(Json{{"provider", kSoftHsmProvider},
             {"image", kSoftHsmModule},
             {"pinPrompt", utf8(prompt)},
             {"environment", utf8(environment)},
             {"registration", utf8(reg)},
             {"conf", utf8(store.conf)}});
  return kOk;
}

}  // namespace emu::admin
