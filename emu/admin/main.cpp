// mscapi-admin: the emulated platform's own administration, which the
// library's methods do not cover: checking a home, and the token family's
// unblock code (its PUK). The `mscapi` launcher runs it for `mscapi check`,
// `mscapi token set-unblock-code` and `mscapi unblock`.
#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "common/ascii.h"
#include "common/home.h"
#include "common/trace.h"
#include "csp/crypto.h"
#include "csp/keystore.h"
#include "registry/reg_tree.h"
#include "storage/error.h"
#include "winapi/advapi32.h"

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

using emu::csp::Family;
namespace keystore = emu::csp::keystore;
namespace crypto = emu::csp::crypto;

// ---- check -----------------------------------------------------------------

// What check found, printed as it goes (for people) or kept for one JSON
// document at the end (--json).
struct Findings {
  bool json = false;
  int problems = 0;
  std::vector<std::pair<const char *, std::string>> kept;
  void add(const char *level, const char *label, const std::string &what) {
    if (json)
      kept.emplace_back(level, what);
    else
      std::printf("%s%s\n", label, what.c_str());
  }
  void ok(const std::string &what) { add("ok", "ok       ", what); }
  void info(const std::string &what) { add("info", "info     ", what); }
  void problem(const std::string &what) {
    ++problems;
    add("problem", "PROBLEM  ", what);
  }
};

// A JSON string of 8-bit text: read as UTF-8, also in the forms Java's
// modified UTF-8 gives names (C0 80 for U+0000, surrogates one by one); a
// byte that fits no form stands for itself (ISO 8859-1). Every character
// outside printable ASCII is written as a \u escape, so the document is
// ASCII and valid whatever the bytes were.
std::string jsonString(const std::string &text) {
  std::string out = "\"";
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  const size_t n = text.size();
  auto escape = [&out](unsigned unit) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", unit);
    out += buf;
  };
  for (size_t i = 0; i < n;) {
    const unsigned c = p[i];
    unsigned cp = c;
    size_t len = 1;
    if (c >= 0xC0 && c < 0xE0 && i + 1 < n && (p[i + 1] & 0xC0) == 0x80) {
      cp = ((c & 0x1F) << 6) | (p[i + 1] & 0x3F);
      len = 2;
      if (cp < 0x80 && cp != 0) cp = c, len = 1;  // overlong, other than C0 80
    } else if (c >= 0xE0 && c < 0xF0 && i + 2 < n && (p[i + 1] & 0xC0) == 0x80 &&
               (p[i + 2] & 0xC0) == 0x80) {
      cp = ((c & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F);
      len = 3;
      if (cp < 0x800) cp = c, len = 1;
    } else if (c >= 0xF0 && c < 0xF5 && i + 3 < n && (p[i + 1] & 0xC0) == 0x80 &&
               (p[i + 2] & 0xC0) == 0x80 && (p[i + 3] & 0xC0) == 0x80) {
      cp = ((c & 0x07) << 18) | ((p[i + 1] & 0x3F) << 12) | ((p[i + 2] & 0x3F) << 6) |
           (p[i + 3] & 0x3F);
      len = 4;
      if (cp < 0x10000 || cp > 0x10FFFF) cp = c, len = 1;
    }
    i += len;
    if (cp == '"' || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp >= 0x20 && cp < 0x7F) {
      out += static_cast<char>(cp);
    } else if (cp >= 0x10000) {
      escape(0xD800 + ((cp - 0x10000) >> 10));
      escape(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      escape(cp);
    }
  }
  return out + "\"";
}

// The --json document of check.
void printJson(const std::string &home, const Findings &f) {
  std::printf("{\n  \"home\": %s,\n  \"problems\": %d,\n  \"findings\": [",
              jsonString(home).c_str(), f.problems);
  for (size_t i = 0; i < f.kept.size(); ++i)
    std::printf("%s\n    {\"level\": \"%s\", \"text\": %s}", i ? "," : "", f.kept[i].first,
                jsonString(f.kept[i].second).c_str());
  std::printf("%s]\n}\n", f.kept.empty() ? "" : "\n  ");
}

bool isFile(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<std::string> regFiles(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent *e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.size() > 4 && emu::ascii::lower(n.substr(n.size() - 4)) == ".reg") names.push_back(n);
  }
  closedir(d);
  return names;
}

void checkRegistry(const std::string &home, Findings &f) {
  const std::string dir = home + "/registry";
  const std::vector<std::string> files = regFiles(dir);
  if (files.empty()) {
    f.info("registry: no .reg files yet (the default registration is written on first use)");
    return;
  }
  for (const std::string &n : files) {
    std::string text;
    if (!emu::readFile(dir + "/" + n, text)) {
      f.problem("registry/" + n + ": cannot be read");
      continue;
    }
    emu::registry::Tree tree;
    std::vector<size_t> ignored;
    emu::registry::applyRegFile(tree, text, &ignored);
    if (ignored.empty()) {
      f.ok("registry/" + n + " parses");
      continue;
    }
    std::string lines;
    for (size_t i = 0; i < ignored.size() && i < 10; ++i)
      lines += (i ? ", " : "") + std::to_string(ignored[i]);
    if (ignored.size() > 10) lines += ", ...";
    f.problem("registry/" + n + ": lines not understood (ignored): " + lines);
  }
}

// Opens a database read-only, without creating or changing anything.
sqlite3 *openReadOnly(const std::string &path, std::string &error) {
  sqlite3 *db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  if (rc != SQLITE_OK) {
    error = sqlite3_errstr(rc);
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

// PRAGMA integrity_check; true when it says "ok".
bool integrityOk(sqlite3 *db, std::string &detail) {
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) != SQLITE_OK) {
    detail = sqlite3_errmsg(db);
    return false;
  }
  bool ok = false;
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) {
    const char *t = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
    detail = t != nullptr ? t : "";
    ok = detail == "ok";
  } else {
    detail = sqlite3_errmsg(db);
  }
  sqlite3_finalize(s);
  return ok;
}

const char *familyName(int64_t family) {
  return family == static_cast<int64_t>(Family::Token) ? "token" : "software";
}

crypto::Bytes exponentBytes(uint32_t e) {
  crypto::Bytes out;
  for (int i = 3; i >= 0; --i)
    if (!out.empty() || ((e >> (8 * i)) & 0xFF) != 0)
      out.push_back(static_cast<uint8_t>(e >> (8 * i)));
  return out;
}

void checkKeyRows(sqlite3 *db, Findings &f) {
  sqlite3_stmt *s = nullptr;
  const char *sql =
      "SELECT c.family, c.name, k.spec, k.modulus, k.exponent, k.secret, k.salt IS NOT NULL, "
      "length(k.salt), length(k.nonce), coalesce(t.failures, 0) FROM keys k "
      "JOIN containers c ON c.id = k.container "
      "LEFT JOIN pin_tries t ON t.container = k.container AND t.spec = k.spec";
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
    // A database from before the PIN counter: read without it.
    f.problem(std::string("keys.db: key rows cannot be read: ") + sqlite3_errmsg(db));
    return;
  }
  int rows = 0;
  while (sqlite3_step(s) == SQLITE_ROW) {
    ++rows;
    const std::string where = std::string(familyName(sqlite3_column_int64(s, 0))) +
                              " container \"" +
                              reinterpret_cast<const char *>(sqlite3_column_text(s, 1)) +
                              "\" spec " + std::to_string(sqlite3_column_int64(s, 2));
    if (sqlite3_column_int64(s, 6) != 0) {
      // Sealed under its PIN: only the PIN opens it; its form can be checked.
      if (sqlite3_column_int64(s, 7) != 16 || sqlite3_column_int64(s, 8) != 12)
        f.problem(where + ": PIN-protected key with a damaged seal");
      else if (sqlite3_column_int64(s, 9) >= keystore::kMaxPinTries)
        f.info(where + ": PIN-protected, blocked after wrong PINs (mscapi unblock)");
      else
        f.ok(where + ": PIN-protected");
      continue;
    }
    const auto *m = static_cast<const uint8_t *>(sqlite3_column_blob(s, 3));
    const int mn = sqlite3_column_bytes(s, 3);
    const auto *x = static_cast<const uint8_t *>(sqlite3_column_blob(s, 5));
    const int xn = sqlite3_column_bytes(s, 5);
    crypto::SecretBytes secret(crypto::Bytes(x, x + xn));
    crypto::Parts parts;
    bool good = m != nullptr && crypto::parsePrivate(secret.bytes, parts);
    if (good) {
      parts.n.assign(m, m + mn);
      parts.e = exponentBytes(static_cast<uint32_t>(sqlite3_column_int64(s, 4)));
      good = crypto::fromParts(parts, true) != nullptr;
    }
    if (good)
      f.ok(where + ": key loads and passes OpenSSL's key check");
    else
      f.problem(where + ": the stored key does not load");
  }
  sqlite3_finalize(s);
  if (rows == 0) f.info("keys.db: no keys");
}

void checkDatabase(const std::string &home, const char *name, Findings &f) {
  const std::string path = home + "/" + name;
  if (!isFile(path)) {
    f.info(std::string(name) + ": not created yet");
    return;
  }
  std::string error;
  sqlite3 *db = openReadOnly(path, error);
  if (db == nullptr) {
    f.problem(std::string(name) + ": cannot be opened: " + error);
    return;
  }
  std::string detail;
  if (!integrityOk(db, detail)) {
    f.problem(std::string(name) + ": damaged (" + detail + ")");
    sqlite3_close(db);
    return;
  }
  f.ok(std::string(name) + ": integrity check passes");
  if (std::strcmp(name, "keys.db") == 0) checkKeyRows(db, f);
  sqlite3_close(db);
}

int check(std::vector<std::string> args) {
  Findings f;
  for (size_t i = 0; i < args.size(); ++i)
    if (args[i] == "--json") {
      f.json = true;
      args.erase(args.begin() + static_cast<long>(i));
      break;
    }
  if (!args.empty()) {
    std::fprintf(stderr, "mscapi: unexpected argument \"%s\"\nTry 'mscapi help check'.\n",
                 args[0].c_str());
    return kUsage;
  }
  const std::string home = emu::homeDir();
  auto finish = [&]() {
    if (f.json)
      printJson(home, f);
    else
      std::printf("check: %d problem%s\n", f.problems, f.problems == 1 ? "" : "s");
    return f.problems == 0 ? kOk : kFailed;
  };
  struct stat st {};
  if (stat(home.c_str(), &st) != 0) {
    f.info("home " + home + " does not exist yet (it is made on first use)");
    return finish();
  }
  if (!S_ISDIR(st.st_mode)) {
    f.problem("home " + home + " is not a directory");
    return finish();
  }
  f.ok("home " + home +
       (emu::homeWritable(home) ? ""
                                : " (read-only: keys and certificates can be read, not changed)"));
  const std::vector<std::string> open = emu::permissionProblems(home);
  for (const std::string &p : open) f.problem(p);
  if (open.empty()) f.ok("permissions: the home and its files are private");
  checkRegistry(home, f);
  checkDatabase(home, "keys.db", f);
  checkDatabase(home, "certs.db", f);
  return finish();
}

// ---- the unblock code ------------------------------------------------------

// Reads one line: from a file when given, else from the terminal without
// echo (or from standard input when it is not a terminal).
bool readSecret(const std::string &file, const char *prompt, std::string &out) {
  out.clear();
  if (!file.empty()) {
    std::string text;
    if (!emu::readFile(file, text)) {
      std::fprintf(stderr, "mscapi: cannot read %s\n", file.c_str());
      return false;
    }
    out = text.substr(0, text.find_first_of("\r\n"));
    if (!text.empty()) SecureZeroMemory(&text[0], text.size());
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
  const bool got = static_cast<bool>(std::getline(std::cin, out));
  if (tty) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
  }
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return got;
}

void wipe(std::string &s) {
  if (!s.empty()) SecureZeroMemory(&s[0], s.size());
  s.clear();
}

bool takeOption(std::vector<std::string> &args, const char *name, std::string &value) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != name) continue;
    if (i + 1 >= args.size()) return false;
    value = args[i + 1];
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    return true;
  }
  return true;
}

// The reason the emulation gave, for the message.
std::string explain(DWORD error) {
  switch (error) {
    case NTE_PERM:
      return "no unblock code was ever set: a blocked key can only be deleted";
    case SCARD_W_WRONG_CHV:
      return "wrong unblock code";
    case SCARD_W_CHV_BLOCKED:
      return "the unblock code is blocked after too many wrong codes";
    case NTE_BAD_KEYSET:
      return "no such container in the token provider";
    default:
      break;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "error 0x%08lx %s", static_cast<unsigned long>(error),
                emu::trace::errorName(error));
  return buf;
}

int setUnblockCode(std::vector<std::string> args) {
  std::string file;
  if (!takeOption(args, "--code-file", file) || !args.empty()) {
    std::fprintf(stderr, "usage: mscapi token set-unblock-code [--code-file FILE]\n");
    return kUsage;
  }
  std::string code, again;
  if (!readSecret(file, "New unblock code: ", code)) return kFailed;
  if (file.empty() && isatty(STDIN_FILENO)) {
    if (!readSecret(file, "Again: ", again) || again != code) {
      wipe(code);
      wipe(again);
      std::fprintf(stderr, "mscapi: the two codes differ; nothing was set\n");
      return kFailed;
    }
  }
  wipe(again);
  if (code.empty()) {
    std::fprintf(stderr, "mscapi: the unblock code cannot be empty\n");
    return kFailed;
  }
  DWORD error = 0;
  bool ok = false;
  try {
    ok = keystore::setUnblockCode(keystore::databasePath(), Family::Token, code, error);
  } catch (const emu::storage::StorageError &e) {
    wipe(code);
    std::fprintf(stderr, "mscapi: %s\n", emu::storage::describe(e).c_str());
    return kFailed;
  }
  wipe(code);
  if (!ok) {
    std::fprintf(stderr, "mscapi: the unblock code was not set: %s\n", explain(error).c_str());
    return kFailed;
  }
  std::printf("unblock code set for the token family\n");
  return kOk;
}

int unblock(std::vector<std::string> args) {
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
  std::string code;
  if (!readSecret(file, "Unblock code: ", code)) return kFailed;
  DWORD error = 0;
  bool ok = false;
  try {
    ok =
        keystore::unblock(keystore::databasePath(), Family::Token, container, keySpec, code, error);
  } catch (const emu::storage::StorageError &e) {
    wipe(code);
    std::fprintf(stderr, "mscapi: %s\n", emu::storage::describe(e).c_str());
    return kFailed;
  }
  wipe(code);
  if (!ok) {
    std::fprintf(stderr, "mscapi: not unblocked: %s\n", explain(error).c_str());
    return kFailed;
  }
  std::printf("unblocked: %s (%s)\n", container.c_str(), spec.c_str());
  return kOk;
}

void usage(FILE *to) {
  std::fprintf(to,
               "Usage: mscapi check [--json]\n"
               "       mscapi token set-unblock-code [--code-file FILE]\n"
               "       mscapi unblock --container NAME [--spec exchange|signature] "
               "[--code-file FILE]\n");
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    usage(stderr);
    return kUsage;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "check") return check(args);
  if (command == "unblock") return unblock(args);
  if (command == "token" && !args.empty() && args.front() == "set-unblock-code") {
    args.erase(args.begin());
    return setUnblockCode(args);
  }
  if (command == "--help" || command == "help") {
    usage(stdout);
    return kOk;
  }
  usage(stderr);
  return kUsage;
}
