// mscapi-admin: the emulated platform's own administration, and what the
// `mscapi` tool shows of the platform, answered by the emulation's code.
// The tool runs it for `mscapi check`, `mscapi unblock` and `mscapi token
// set-unblock-code` (which it passes through), and asks it for JSON
// documents: the home, the providers and their tokens, the token store of
// `mscapi token init`. emu/admin/README.md describes the commands.
#include <cstdio>
#include <string>

#include "admin/admin.h"

namespace {

using namespace emu::admin;

void usage(FILE *to) {
  std::fprintf(to,
               "Usage: mscapi-admin check [--json]\n"
               "       mscapi-admin unblock --container NAME [--spec exchange|signature] "
               "[--code-file FILE]\n"
               "       mscapi-admin token set-unblock-code [--old-code-file FILE] [--code-file FILE]\n"
               "       mscapi-admin token store --json\n"
               "       mscapi-admin token register [--pin-prompt PROGRAM] --json\n"
               "       mscapi-admin home --json\n"
               "       mscapi-admin providers --json\n"
               "       mscapi-admin tokens [--provider NAME] --json\n");
}

}  // namespace

int main(int argc, char **argv) {
  Args args(argv + 1, argv + argc);
  if (args.empty()) {
    usage(stderr);
    return kUsage;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "check") return check(args);
  if (command == "unblock") return unblock(args);
  if (command == "home") return home(args);
  if (command == "providers") return providers(args);
  if (command == "tokens") return tokens(args);
  if (command == "token" && !args.empty()) {
    const std::string sub = args.front();
    args.erase(args.begin());
    if (sub == "set-unblock-code") return setUnblockCode(args);
    if (sub == "store") return tokenStore(args);
    if (sub == "register") return tokenRegister(args);
  }
  if (command == "--help" || command == "help") {
    usage(stdout);
    return kOk;
  }
  usage(stderr);
  return kUsage;
}
