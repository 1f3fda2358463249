// mscapi-admin: the emulated platform's administration, and what the tool
// shows of the platform (the home, the providers and their tokens), told by
// the emulation's own code. Each command lives in a file of its own; this
// header holds what they share.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace emu::admin {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

using Args = std::vector<std::string>;
using Json = nlohmann::ordered_json;

// The commands (argument lists without the command's own name).
int check(Args args);
// The key containers that hold no key: {"empty": [{"family", "name"}]}.
int containers(Args args);
int setUnblockCode(Args args);
int unblock(Args args);
int home(Args args);
int providers(Args args);
int tokens(Args args);
int tokenStore(Args args);
int tokenRegister(Args args);
// A key and its certificate into a new container of a PKCS#11 provider.
int tokenImport(Args args);

// Removes "NAME VALUE" from args into `value`; false when NAME has no value.
bool takeOption(Args &args, const char *name, std::string &value);
// Removes NAME from args; whether it was there.
bool takeFlag(Args &args, const char *name);
// Fails a command with a usage message on its first argument left over,
// pointing to the tool's help of `command` (null: mscapi-admin's usage).
bool noMore(const Args &args, const char *command);

// Text of the platform (8-bit: UTF-8, also in the forms Java's modified
// UTF-8 gives names, C0 80 for U+0000 and surrogates one by one; a byte
// that fits no form stands for itself, ISO 8859-1) as valid UTF-8 for a
// JSON document.
std::string utf8(const std::string &text);

// Prints one JSON document on standard output: ASCII only (every other
// character as a \u escape), two spaces of indentation, a final newline.
void print(const Json &doc);

// The SoftHSM2 token store `mscapi token init` keeps in the home.
struct TokenStore {
  std::string dir;       // <home>/softhsm
  std::string conf;      // <dir>/softhsm2.conf
  std::string tokenDir;  // <dir>/tokens
};
TokenStore tokenStore(const std::string &home);

// SoftHSM2's module, which the home's token store is registered with.
constexpr const char kSoftHsmModule[] = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char kSoftHsmProvider[] = "SoftHSM2 Token RSA Provider";

// Makes SoftHSM2 in this process read the home's token store when it has
// one and SOFTHSM2_CONF names none (`force`: in any case).
void useTokenStore(const std::string &home, bool force);

// The slots of a PKCS#11 module and their tokens, as the emulation's module
// loader sees them: {"module", "loaded", "error"?, "slots": [...]}. The
// provider's "Environment" value, if any, is applied as the library would.
Json moduleSlots(const std::string &path, const std::string &environment = std::string());

}  // namespace emu::admin
