// mscapi-admin check [--json]: whether the home is sound, read without
// creating or changing anything: its permissions (too open, or closed to
// this user), its registry files, its databases and the keys in them.
#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "admin/admin.h"
#include "common/ascii.h"
#include "common/home.h"
#include "common/trace.h"
#include "csp/crypto.h"
#include "csp/key_family.h"
#include "csp/keystore.h"
#include "csp/provider.h"
#include "registry/reg_tree.h"
#include "storage/database.h"
#include "storage/error.h"
#include "winapi/advapi32.h"

namespace emu::admin {

namespace {

using csp::ContainerNamespace;
namespace crypto = csp::crypto;
using storage::Statement;
using storage::StorageError;

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

// The --json document of check.
void printJson(const std::string &home, const Findings &f) {
  Json findings = Json::array();
  for (const auto &[level, text] : f.kept)
    findings.push_back(Json{{"level", level}, {"text", utf8(text)}});
  print(Json{{"home", utf8(home)}, {"problems", f.problems}, {"findings", std::move(findings)}});
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
    if (n.size() > 4 && ascii::lower(n.substr(n.size() - 4)) == ".reg") names.push_back(n);
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
    if (!readFile(dir + "/" + n, text)) {
      f.problem("registry/" + n + ": cannot be read");
      continue;
    }
    registry::Tree tree;
    std::vector<size_t> ignored;
    registry::applyRegFile(tree, text, &ignored);
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

// A database opened read-only: nothing is created or changed, unlike the
// storage layer's connections, which create the file and its schema.
class ReadOnly {
 public:
  explicit ReadOnly(const std::string &path) {
    rc_ = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
  }
  ~ReadOnly() { sqlite3_close(db_); }
  ReadOnly(const ReadOnly &) = delete;
  ReadOnly &operator=(const ReadOnly &) = delete;
  bool ok() const { return rc_ == SQLITE_OK; }
  const char *error() const { return sqlite3_errstr(rc_); }
  sqlite3 *handle() const { return db_; }

 private:
  sqlite3 *db_ = nullptr;
  int rc_ = SQLITE_OK;
};

// What SQLite said of a failure.
std::string reason(const StorageError &e) {
  return sqlite3_errstr(e.code);
}

// PRAGMA integrity_check; true when it says "ok".
bool integrityOk(sqlite3 *db, std::string &detail) {
  try {
    Statement s(db, "PRAGMA integrity_check");
    detail = s.step() ? s.text(0) : "no answer";
    return detail == "ok";
  } catch (const StorageError &e) {
    detail = reason(e);
    return false;
  }
}

const char *familyName(int64_t family) {
  return family == static_cast<int64_t>(ContainerNamespace::Token) ? "token" : "software";
}

crypto::Bytes exponentBytes(uint32_t e) {
  crypto::Bytes out;
  for (int i = 3; i >= 0; --i)
    if (!out.empty() || ((e >> (8 * i)) & 0xFF) != 0)
      out.push_back(static_cast<uint8_t>(e >> (8 * i)));
  return out;
}

// Whether a key stored in the clear loads and passes OpenSSL's key check.
bool keyLoads(const Statement &s) {
  if (s.isNull(3)) return false;
  crypto::SecretBytes secret(s.blob(5));
  crypto::Parts parts;
  if (!crypto::parsePrivate(secret.bytes, parts)) return false;
  parts.n = s.blob(3);
  parts.e = exponentBytes(static_cast<uint32_t>(s.int64(4)));
  return crypto::fromParts(parts, true) != nullptr;
}

struct EmptyContainer {
  int64_t family;
  std::string name;
};

// Containers that hold no key: what a key generation killed between making
// the container and storing its key leaves behind.
std::vector<EmptyContainer> emptyContainers(sqlite3 *db) {
  std::vector<EmptyContainer> out;
  try {
    Statement s(db,
                "SELECT c.family, c.name FROM containers c WHERE NOT EXISTS "
                "(SELECT 1 FROM keys k WHERE k.container = c.id) ORDER BY c.family, c.name");
    while (s.step()) out.push_back(EmptyContainer{s.int64(0), s.text(1)});
  } catch (const StorageError &) {
    // the key rows' own check says what is wrong with the file
  }
  return out;
}

// The containers of the PKCS#11 providers' tokens that hold no key (a
// generation that did not finish left the container's marker), found as
// any program would: PP_ENUMCONTAINERS, then CryptGetUserKey for both
// specs. A token that cannot be read is passed over.
struct EmptyTokenContainer {
  std::string provider, name;
};

std::vector<std::string> containerNames(HCRYPTPROV prov) {
  std::vector<std::string> names;
  DWORD flags = CRYPT_FIRST;
  for (;;) {
    DWORD size = 0;
    if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &size, flags)) break;
    std::string name(size, '\0');
    if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(&name[0]), &size,
                           flags))
      break;
    name.resize(std::strlen(name.c_str()));
    names.push_back(name);
    flags = CRYPT_NEXT;
  }
  return names;
}

bool holdsKey(const std::string &provider, const std::string &container) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, container.c_str(), provider.c_str(), PROV_RSA_FULL,
                            CRYPT_SILENT))
    return true;  // not known to be empty
  bool any = false;
  for (DWORD spec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
    HCRYPTKEY key = 0;
    if (CryptGetUserKey(prov, spec, &key)) {
      CryptDestroyKey(key);
      any = true;
    }
  }
  CryptReleaseContext(prov, 0);
  return any;
}

std::vector<EmptyTokenContainer> emptyTokenContainers() {
  std::vector<EmptyTokenContainer> out;
  for (const csp::Provider &p : csp::rsaFullProviders()) {
    if (!p.family->holdsKeysOnTokens()) continue;
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, nullptr, p.name.c_str(), PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
      continue;
    const std::vector<std::string> names = containerNames(prov);
    CryptReleaseContext(prov, 0);
    for (const std::string &name : names)
      if (!holdsKey(p.name, name)) out.push_back(EmptyTokenContainer{p.name, name});
  }
  return out;
}

void checkKeyRows(sqlite3 *db, Findings &f) {
  const char *sql =
      "SELECT c.family, c.name, k.spec, k.modulus, k.exponent, k.secret, k.salt IS NOT NULL, "
      "length(k.salt), length(k.nonce), coalesce(t.failures, 0) FROM keys k "
      "JOIN containers c ON c.id = k.container "
      "LEFT JOIN pin_tries t ON t.container = k.container AND t.spec = k.spec";
  int rows = 0;
  try {
    Statement s(db, sql);
    while (s.step()) {
      ++rows;
      const std::string where = std::string(familyName(s.int64(0))) + " container \"" + s.text(1) +
                                "\" spec " + std::to_string(s.int64(2));
      if (s.int64(6) != 0) {
        // Sealed under its PIN: only the PIN opens it; its form can be checked.
        if (s.int64(7) != crypto::kSaltLen || s.int64(8) != crypto::kNonceLen)
          f.problem(where + ": PIN-protected key with a damaged seal");
        else if (s.int64(9) >= csp::keystore::kMaxPinTries)
          f.info(where + ": PIN-protected, blocked after wrong PINs (mscapi unblock)");
        else
          f.ok(where + ": PIN-protected");
        continue;
      }
      if (keyLoads(s))
        f.ok(where + ": key loads and passes OpenSSL's key check");
      else
        f.problem(where + ": the stored key does not load");
    }
  } catch (const StorageError &e) {
    f.problem("keys.db: key rows cannot be read: " + reason(e));
    return;
  }
  if (rows == 0) f.info("keys.db: no keys");
  for (const EmptyContainer &c : emptyContainers(db)) {
    // Kept as the platform keeps it: reported, not counted as damage.
    f.info(std::string(familyName(c.family)) + " container \"" + c.name +
           "\": empty, no key (a key generation that did not finish?); delete it with "
           "mscapi delkey --container NAME");
  }
}

void checkDatabase(const std::string &home, const char *name, Findings &f) {
  const std::string path = home + "/" + name;
  if (!isFile(path)) {
    f.info(std::string(name) + ": not created yet");
    return;
  }
  trace::Call t("CheckDatabase");
  if (t) t.text("file", path);
  const ReadOnly db(path);
  if (!db.ok()) {
    f.problem(std::string(name) + ": cannot be opened: " + db.error());
    trace::why(trace::Reason::STORAGE_CANNOT_OPEN, std::string("cannot be opened: ") + db.error());
    SetLastError(ERROR_DATABASE_FAILURE);
    t.done(FALSE);
    return;
  }
  std::string detail;
  if (!integrityOk(db.handle(), detail)) {
    f.problem(std::string(name) + ": damaged (" + detail + ")");
    trace::why(trace::Reason::STORAGE_DAMAGED, "damaged (" + detail + ")");
    SetLastError(ERROR_FILE_CORRUPT);
    t.done(FALSE);
    return;
  }
  SetLastError(ERROR_SUCCESS);
  t.done(TRUE);
  f.ok(std::string(name) + ": integrity check passes");
  if (std::strcmp(name, "keys.db") == 0) checkKeyRows(db.handle(), f);
}

}  // namespace

int containers(Args args) {
  const bool json = takeFlag(args, "--json");
  if (!noMore(args, "containers")) return kUsage;
  const std::string path = homeDir() + "/keys.db";
  Json empty = Json::array();
  if (isFile(path)) {
    const ReadOnly db(path);
    if (!db.ok()) {
      const std::string denied = permissionDenied(path, R_OK);
      std::fprintf(stderr, "mscapi: keys.db cannot be opened: %s%s%s%s\n", db.error(),
                   denied.empty() ? "" : " (", denied.c_str(), denied.empty() ? "" : ")");
      return kFailed;
    }
    for (const EmptyContainer &c : emptyContainers(db.handle()))
      empty.push_back(Json{{"family", familyName(c.family)}, {"name", utf8(c.name)}});
  }
  for (const EmptyTokenContainer &c : emptyTokenContainers())
    empty.push_back(
        Json{{"family", "PKCS#11"}, {"name", utf8(c.name)}, {"provider", utf8(c.provider)}});
  if (json) {
    print(Json{{"empty", std::move(empty)}});
  } else {
    for (const Json &c : empty)
      std::printf("%s container \"%s\": empty\n", c["family"].get<std::string>().c_str(),
                  c["name"].get<std::string>().c_str());
  }
  return kOk;
}

int check(Args args) {
  Findings f;
  f.json = takeFlag(args, "--json");
  if (!noMore(args, "check")) return kUsage;
  const std::string home = homeDir();
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
       (homeWritable(home) ? "" : " (read-only: keys and certificates can be read, not changed)"));
  const std::vector<std::string> open = permissionProblems(home);
  for (const std::string &p : open) f.problem(p);
  if (open.empty()) f.ok("permissions: the home and its files are private");
  // What this user may not read or write: another user's files, say.
  for (const std::string &p : accessProblems(home)) f.problem(p);
  checkRegistry(home, f);
  checkDatabase(home, "keys.db", f);
  checkDatabase(home, "certs.db", f);
  for (const EmptyTokenContainer &c : emptyTokenContainers())
    f.info("PKCS#11 container \"" + c.name + "\" of provider \"" + c.provider +
           "\": empty, no key (a key generation that did not finish?); delete it with "
           "mscapi delkey --container NAME --provider PROVIDER");
  return finish();
}

}  // namespace emu::admin
