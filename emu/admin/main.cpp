// mscapi-admin: the emulated platform's own administration, and what the
// `mscapi` tool shows of the platform, answered by the emulation's code.
// The tool runs it for `mscapi check`, `mscapi unblock` and `mscapi token
// set-unblock-code` (which it passes through), and asks it for JSON
// documents: the home, the providers and their tokens, the token store of
// `mscapi token init`. emu/admin/README.md describes the commands.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "admin/admin.h"

namespace {

using namespace emu::admin;

void usage(FILE *to) {
  std::fprintf(
      to,
      "Usage: mscapi-admin [--verbose] COMMAND...: --verbose prints the trace of what\n"
      "       the command did on standard error, each line after \"trace: \"\n"
      "       mscapi-admin check [--json]\n"
      "       mscapi-admin unblock --container NAME [--spec exchange|signature] "
      "[--code-file FILE]\n"
      "       mscapi-admin token set-unblock-code [--old-code-file FILE] [--code-file FILE]\n"
      "       mscapi-admin token store --json\n"
      "       mscapi-admin token register [--pin-prompt PROGRAM] --json\n"
      "       mscapi-admin token import --provider P --container C [--spec signature|exchange]\n"
      "                    [--exportable] --json  (reads {\"key\", \"pin\", \"certificate\"})\n"
      "       mscapi-admin home --json\n"
      "       mscapi-admin providers --json\n"
      "       mscapi-admin tokens [--provider NAME] --json\n");
}

// With --verbose, the emulation's trace of the command: written to a
// private temporary file (MSCAPI_TRACE, set before anything is traced) and
// printed on standard error when the command ends, each line after
// "trace: ", as the tool prints the trace of its own calls.
class VerboseTrace {
 public:
  explicit VerboseTrace(bool on) {
    if (!on) return;
    const char *dir = std::getenv("TMPDIR");
    std::string path =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/mscapi-admin-trace-XXXXXX";
    const int fd = mkstemp(&path[0]);
    if (fd < 0) return;
    close(fd);
    path_ = path;
    setenv("MSCAPI_TRACE", path_.c_str(), 1);
  }
  ~VerboseTrace() {
    if (path_.empty()) return;
    std::fflush(stdout);
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);)
      std::fprintf(stderr, "trace: %s\n", line.c_str());
    unlink(path_.c_str());
  }
  VerboseTrace(const VerboseTrace &) = delete;
  VerboseTrace &operator=(const VerboseTrace &) = delete;

 private:
  std::string path_;
};

int run(Args args) {
  if (args.empty()) {
    usage(stderr);
    return kUsage;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "check") return check(args);
  if (command == "containers") return containers(args);
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
    if (sub == "import") return tokenImport(args);
  }
  if (command == "--help" || command == "help") {
    usage(stdout);
    return kOk;
  }
  usage(stderr);
  return kUsage;
}

}  // namespace

int main(int argc, char **argv) {
  Args args(argv + 1, argv + argc);
  const VerboseTrace trace(takeFlag(args, "--verbose"));
  return run(args);
}
