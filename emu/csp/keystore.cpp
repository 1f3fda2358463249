#include "csp/keystore.h"

#include <openssl/crypto.h>
#include <pwd.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <tuple>

#include "common/home.h"
#include "common/trace.h"
#include "storage/database.h"

namespace emu::csp {

void Slot::clearPin() {
  if (!pin.empty()) OPENSSL_cleanse(&pin[0], pin.size());
  pin.clear();
  pinGiven = false;
}

namespace keystore {

namespace {

using storage::Database;
using storage::Statement;

// secure_delete: pages freed by a deleted or replaced key are overwritten.
const char kSchema[] = R"sql(
PRAGMA secure_delete=ON;
CREATE TABLE IF NOT EXISTS containers(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  family INTEGER NOT NULL,
  name TEXT NOT NULL,
  folded TEXT NOT NULL,
  UNIQUE(family, folded));
CREATE TABLE IF NOT EXISTS keys(
  container INTEGER NOT NULL REFERENCES containers(id) ON DELETE CASCADE,
  spec INTEGER NOT NULL,
  alg INTEGER NOT NULL,
  bits INTEGER NOT NULL,
  exportable INTEGER NOT NULL,
  gen INTEGER NOT NULL,
  modulus BLOB NOT NULL,
  exponent INTEGER NOT NULL,
  secret BLOB NOT NULL,
  salt BLOB,
  nonce BLOB,
  PRIMARY KEY(container, spec));
CREATE TABLE IF NOT EXISTS pin_tries(
  container INTEGER NOT NULL REFERENCES containers(id) ON DELETE CASCADE,
  spec INTEGER NOT NULL,
  failures INTEGER NOT NULL,
  PRIMARY KEY(container, spec));
CREATE TABLE IF NOT EXISTS unblock_codes(
  family INTEGER PRIMARY KEY,
  salt BLOB NOT NULL,
  hash BLOB NOT NULL,
  iterations INTEGER NOT NULL,
  failures INTEGER NOT NULL);
)sql";

Database &open(const std::string &path) {
  return Database::forThread(path, kSchema);
}

// Resets a cached statement on every path out of a scope.
struct Use {
  Statement &s;
  explicit Use(Statement &st) : s(st) {}
  ~Use() { s.reset(); }
};

std::string fold(const std::string &name) {
  std::string out = name;
  for (char &c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

uint64_t newGeneration() {
  uint64_t g = 0;
  while (g == 0) {
    if (!rsa::randomBytes(reinterpret_cast<uint8_t *>(&g), sizeof g)) throw std::bad_alloc();
    g &= 0x7FFFFFFFFFFFFFFFull;  // stored as a positive SQLite integer
  }
  return g;
}

Bytes exponentBytes(uint32_t e) {
  Bytes out;
  for (int i = 3; i >= 0; --i)
    if (!out.empty() || ((e >> (8 * i)) & 0xFF) != 0)
      out.push_back(static_cast<uint8_t>(e >> (8 * i)));
  return out;
}

// ---- the per-process cache of loaded keys --------------------------------

struct CacheEntry {
  uint64_t gen;
  std::shared_ptr<LoadedKey> key;
};
using CacheKey = std::tuple<std::string, int64_t, int>;

std::mutex cacheMu;
std::map<CacheKey, CacheEntry> &cache() {
  static auto *m = new std::map<CacheKey, CacheEntry>();  // lives to process exit
  return *m;
}

std::shared_ptr<LoadedKey> cached(const Context &ctx, int spec, uint64_t gen) {
  std::lock_guard<std::mutex> lock(cacheMu);
  const auto it = cache().find(CacheKey(ctx.dbPath, ctx.containerId, spec));
  if (it == cache().end() || it->second.gen != gen) return nullptr;
  return it->second.key;
}

void remember(const Context &ctx, int spec, uint64_t gen, std::shared_ptr<LoadedKey> key) {
  std::lock_guard<std::mutex> lock(cacheMu);
  auto &m = cache();
  if (m.size() >= 4096) m.clear();
  m[CacheKey(ctx.dbPath, ctx.containerId, spec)] = CacheEntry{gen, std::move(key)};
}

// The check value of a PIN for one generation of a protected key.
Bytes pinCheck(uint64_t gen, const std::string &pin) {
  static const Bytes pepper = [] {
    Bytes p(32, 0);
    if (!rsa::randomBytes(p.data(), p.size())) p.clear();
    return p;
  }();
  Bytes g(reinterpret_cast<const uint8_t *>(&gen), reinterpret_cast<const uint8_t *>(&gen) + 8);
  rsa::SecretBytes p(Bytes(pin.begin(), pin.end()));
  return rsa::sha256({&pepper, &g, &p.bytes});
}

bool readInfo(Database &db, int64_t container, int spec, KeyInfo &info) {
  Statement &s = db.prepare(
      "SELECT alg, bits, exportable, salt IS NOT NULL, gen, modulus, exponent, "
      "coalesce(t.failures, 0) FROM keys k "
      "LEFT JOIN pin_tries t ON t.container = k.container AND t.spec = k.spec "
      "WHERE k.container = ?1 AND k.spec = ?2");
  Use use(s);
  s.bind(1, container).bind(2, static_cast<int64_t>(spec));
  if (!s.step()) return false;
  info.spec = spec;
  info.alg = static_cast<ALG_ID>(s.int64(0));
  info.bits = static_cast<uint32_t>(s.int64(1));
  info.exportable = s.int64(2) != 0;
  info.isProtected = s.int64(3) != 0;
  info.gen = static_cast<uint64_t>(s.int64(4));
  info.modulus = s.blob(5);
  info.exponent = static_cast<uint32_t>(s.int64(6));
  info.pinFailures = static_cast<uint32_t>(s.int64(7));
  return true;
}

// Counts one wrong PIN for a key; returns the count now stored.
uint32_t countWrongPin(Database &db, int64_t container, int spec) {
  uint32_t failures = kMaxPinTries;
  db.transaction([&] {
    Statement &s = db.prepare(
        "INSERT INTO pin_tries(container, spec, failures) VALUES (?1, ?2, 1) "
        "ON CONFLICT(container, spec) DO UPDATE SET failures = failures + 1 RETURNING failures");
    Use use(s);
    s.bind(1, container).bind(2, static_cast<int64_t>(spec));
    if (s.step()) failures = static_cast<uint32_t>(s.int64(0));
    while (s.step()) {
    }
    return true;
  });
  return failures;
}

void clearWrongPins(Database &db, int64_t container, int spec) {
  db.transaction([&] {
    db.prepare("DELETE FROM pin_tries WHERE container = ?1 AND spec = ?2")
        .bind(1, container)
        .bind(2, static_cast<int64_t>(spec))
        .run();
    return true;
  });
}

// A refused PIN: counted, and said in the trace with the tries left.
void refusePin(Database &db, const Context &ctx, int spec, DWORD &error) {
  const uint32_t failures = countWrongPin(db, ctx.containerId, spec);
  error = failures >= kMaxPinTries ? SCARD_W_CHV_BLOCKED : SCARD_W_WRONG_CHV;
  if (!trace::enabled()) return;
  if (failures >= kMaxPinTries)
    trace::why("PIN refused; the key is now blocked after " + std::to_string(kMaxPinTries) +
               " wrong PINs");
  else
    trace::why("PIN refused, " + std::to_string(kMaxPinTries - failures) + " tries left");
}

// The sealed or plain private components of one generation of a key.
struct Secret {
  rsa::SecretBytes secret;
  Bytes salt, nonce;
  bool isProtected = false;
};

bool readSecret(Database &db, int64_t container, int spec, uint64_t gen, Secret &out) {
  Statement &s = db.prepare(
      "SELECT secret, salt, nonce, salt IS NOT NULL FROM keys "
      "WHERE container = ?1 AND spec = ?2 AND gen = ?3");
  Use use(s);
  s.bind(1, container).bind(2, static_cast<int64_t>(spec)).bind(3, static_cast<int64_t>(gen));
  if (!s.step()) return false;
  out.secret.bytes = s.blob(0);
  out.salt = s.blob(1);
  out.nonce = s.blob(2);
  out.isProtected = s.int64(3) != 0;
  return true;
}

std::shared_ptr<LoadedKey> load(const KeyInfo &info, const Bytes &privateParts) {
  rsa::Parts parts;
  if (!rsa::parsePrivate(privateParts, parts)) return nullptr;
  parts.n = info.modulus;
  parts.e = exponentBytes(info.exponent);
  rsa::Pkey key = rsa::fromParts(parts, false);
  if (!key) return nullptr;
  auto loaded = std::make_shared<LoadedKey>();
  loaded->pkey = std::move(key);
  return loaded;
}

}  // namespace

std::string databasePath() {
  const std::string home = homeDir();
  if (!ensureHome(home)) throw storage::StorageError{SQLITE_CANTOPEN, home};
  return home + "/keys.db";
}

std::string defaultContainerName() {
  passwd pw{};
  passwd *found = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && *found->pw_name != '\0')
    return found->pw_name;
  const char *user = std::getenv("USER");
  return user != nullptr && *user != '\0' ? user : "default";
}

bool createContainer(const std::string &path, Family family, const std::string &name, int64_t &id,
                     DWORD &error) {
  Database &db = open(path);
  const bool ok = db.transaction([&] {
    Statement &find = db.prepare("SELECT id FROM containers WHERE family = ?1 AND folded = ?2");
    {
      Use use(find);
      find.bind(1, static_cast<int64_t>(family)).bind(2, fold(name));
      if (find.step()) return false;
    }
    Statement &add = db.prepare("INSERT INTO containers(family, name, folded) VALUES (?1, ?2, ?3)");
    add.bind(1, static_cast<int64_t>(family)).bind(2, name).bind(3, fold(name));
    add.run();
    id = sqlite3_last_insert_rowid(db.handle());
    return true;
  });
  if (!ok) error = NTE_EXISTS;
  return ok;
}

bool findContainer(const std::string &path, Family family, const std::string &name, int64_t &id,
                   std::string &storedName) {
  Database &db = open(path);
  Statement &s = db.prepare("SELECT id, name FROM containers WHERE family = ?1 AND folded = ?2");
  Use use(s);
  s.bind(1, static_cast<int64_t>(family)).bind(2, fold(name));
  if (!s.step()) return false;
  id = s.int64(0);
  storedName = s.text(1);
  return true;
}

bool deleteContainer(const std::string &path, Family family, const std::string &name) {
  Database &db = open(path);
  const bool deleted = db.transaction([&] {
    Statement &s = db.prepare("DELETE FROM containers WHERE family = ?1 AND folded = ?2");
    s.bind(1, static_cast<int64_t>(family)).bind(2, fold(name));
    return s.run() == 1;
  });
  // secure_delete zeroed the freed pages; the checkpoint writes them over
  // the main file and empties the WAL, where the keys' earlier page images
  // still were, before the call returns.
  if (deleted && !db.checkpointTruncate()) trace::why("the WAL could not be emptied yet");
  return deleted;
}

std::vector<std::string> containerNames(const std::string &path, Family family) {
  Database &db = open(path);
  Statement &s = db.prepare("SELECT name FROM containers WHERE family = ?1 ORDER BY folded");
  Use use(s);
  s.bind(1, static_cast<int64_t>(family));
  std::vector<std::string> names;
  while (s.step()) names.push_back(s.text(0));
  return names;
}

bool keyInfo(const Context &ctx, int spec, KeyInfo &info) {
  if (ctx.verifyOnly) return false;
  return readInfo(open(ctx.dbPath), ctx.containerId, spec, info);
}

bool storeKey(Context &ctx, int spec, rsa::Pkey key, bool exportable, KeyInfo &info, DWORD &error) {
  const int slot = slotOf(static_cast<DWORD>(spec));
  if (ctx.verifyOnly || slot < 0) {
    error = NTE_BAD_KEYSET;
    return false;
  }
  rsa::Parts parts;
  if (!rsa::partsOf(key.get(), parts) || parts.e.empty() || parts.e.size() > 4) {
    error = NTE_BAD_DATA;
    return false;
  }
  info.spec = spec;
  info.alg = spec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
  info.bits = rsa::modulusBits(parts.n);
  info.exportable = exportable;
  info.modulus = parts.n;
  info.exponent = 0;
  for (uint8_t b : parts.e) info.exponent = (info.exponent << 8) | b;
  info.gen = newGeneration();

  rsa::SecretBytes plain(rsa::serialisePrivate(parts));
  std::string pin;
  bool withPin = false;
  {
    std::lock_guard<std::mutex> lock(ctx.mu);
    withPin = ctx.slots[slot].pinGiven;
    if (withPin) pin = ctx.slots[slot].pin;
  }
  Bytes stored, salt, nonce;
  if (withPin) {
    const bool sealed = rsa::seal(pin, plain.bytes, info.modulus, salt, nonce, stored);
    if (!sealed) {
      OPENSSL_cleanse(&pin[0], pin.size());
      error = NTE_FAIL;
      return false;
    }
  } else {
    stored = plain.bytes;
  }
  info.isProtected = withPin;
  rsa::SecretBytes storedSecret(std::move(stored));

  Database &db = open(ctx.dbPath);
  error = 0;
  bool replaced = false;
  const bool ok = db.transaction([&] {
    Statement &exists = db.prepare("SELECT 1 FROM containers WHERE id = ?1");
    {
      Use use(exists);
      exists.bind(1, ctx.containerId);
      if (!exists.step()) {
        error = NTE_BAD_KEYSET;
        return false;
      }
    }
    KeyInfo old;
    replaced = readInfo(db, ctx.containerId, spec, old);
    if (replaced && old.isProtected) {
      std::lock_guard<std::mutex> lock(ctx.mu);
      if (!ctx.slots[slot].unlocked || ctx.slots[slot].unlockedGen != old.gen) {
        error = NTE_PERM;
        trace::why("the slot holds a PIN-protected key this context has not unlocked");
        return false;
      }
    }
    // The slot's PIN count belongs to the key it replaces.
    db.prepare("DELETE FROM pin_tries WHERE container = ?1 AND spec = ?2")
        .bind(1, ctx.containerId)
        .bind(2, static_cast<int64_t>(spec))
        .run();
    Statement &put = db.prepare(
        "INSERT OR REPLACE INTO keys(container, spec, alg, bits, exportable, gen, modulus, "
        "exponent, secret, salt, nonce) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    put.bind(1, ctx.containerId)
        .bind(2, static_cast<int64_t>(spec))
        .bind(3, static_cast<int64_t>(info.alg))
        .bind(4, static_cast<int64_t>(info.bits))
        .bind(5, static_cast<int64_t>(exportable ? 1 : 0))
        .bind(6, static_cast<int64_t>(info.gen))
        .bind(7, info.modulus)
        .bind(8, static_cast<int64_t>(info.exponent))
        .bind(9, storedSecret.bytes);
    if (withPin) {
      put.bind(10, salt).bind(11, nonce);
    } else {
      put.bindNull(10).bindNull(11);
    }
    put.run();
    return true;
  });
  if (!ok) {
    if (!pin.empty()) OPENSSL_cleanse(&pin[0], pin.size());
    return false;
  }
  // The replaced key's secret leaves the WAL as a deleted one does.
  if (replaced) db.checkpointTruncate();
  auto loaded = std::make_shared<LoadedKey>();
  loaded->pkey = std::move(key);
  if (withPin) {
    loaded->pinCheck = pinCheck(info.gen, pin);
    OPENSSL_cleanse(&pin[0], pin.size());
    std::lock_guard<std::mutex> lock(ctx.mu);
    ctx.slots[slot].unlocked = loaded;
    ctx.slots[slot].unlockedGen = info.gen;
  }
  remember(ctx, spec, info.gen, std::move(loaded));
  return true;
}

std::shared_ptr<LoadedKey> usableKey(Context &ctx, int spec, uint64_t gen, KeyInfo &info,
                                     DWORD &error) {
  const int slot = slotOf(static_cast<DWORD>(spec));
  if (ctx.verifyOnly) {
    error = NTE_BAD_KEYSET;
    return nullptr;
  }
  if (slot < 0 || !keyInfo(ctx, spec, info)) {
    error = NTE_NO_KEY;
    return nullptr;
  }
  if (gen != 0 && info.gen != gen) {
    error = NTE_BAD_KEY;
    return nullptr;
  }
  if (info.isProtected) {
    if (info.pinFailures >= kMaxPinTries) {
      error = SCARD_W_CHV_BLOCKED;
      trace::why("the key is blocked after too many wrong PINs");
      return nullptr;
    }
    std::lock_guard<std::mutex> lock(ctx.mu);
    if (ctx.slots[slot].unlocked && ctx.slots[slot].unlockedGen == info.gen)
      return ctx.slots[slot].unlocked;
    error = NTE_PERM;
    trace::why("this key needs its PIN");
    return nullptr;
  }
  if (auto hit = cached(ctx, spec, info.gen)) return hit;
  Secret secret;
  std::shared_ptr<LoadedKey> loaded;
  if (readSecret(open(ctx.dbPath), ctx.containerId, spec, info.gen, secret) && !secret.isProtected)
    loaded = load(info, secret.secret.bytes);
  if (!loaded) {
    error = NTE_BAD_KEY;
    return nullptr;
  }
  remember(ctx, spec, info.gen, loaded);
  return loaded;
}

bool presentPin(Context &ctx, int spec, const std::string &pin, DWORD &error) {
  const int slot = slotOf(static_cast<DWORD>(spec));
  if (ctx.verifyOnly || slot < 0) {
    error = NTE_BAD_KEYSET;
    return false;
  }
  // The empty text is not a PIN: it would protect nothing.
  if (pin.empty()) {
    error = NTE_BAD_DATA;
    trace::why("the empty text is not a PIN");
    return false;
  }
  Database &db = open(ctx.dbPath);
  // Every wrong PIN must be counted; where nothing can be written, no PIN
  // is checked at all.
  if (db.readOnly()) {
    error = ERROR_ACCESS_DENIED;
    trace::why("the home is read-only: PINs cannot be counted, so none is accepted");
    return false;
  }
  KeyInfo info;
  if (!keyInfo(ctx, spec, info)) {
    // An empty slot: the PIN protects the key this context makes there.
    std::lock_guard<std::mutex> lock(ctx.mu);
    Slot &s = ctx.slots[slot];
    s.clearPin();
    s.pin = pin;
    s.pinGiven = true;
    s.unlocked.reset();
    s.unlockedGen = 0;
    return true;
  }
  if (!info.isProtected) {
    error = NTE_PERM;
    trace::why("the key has no PIN");
    return false;
  }
  if (info.pinFailures >= kMaxPinTries) {
    error = SCARD_W_CHV_BLOCKED;
    trace::why("PIN blocked after " + std::to_string(kMaxPinTries) +
               " wrong PINs: unblock it with `mscapi unblock` or delete the key");
    return false;
  }
  // A PIN that opened this key in this process is checked against its
  // check value; otherwise the sealed key is opened with it.
  const Bytes check = pinCheck(info.gen, pin);
  std::shared_ptr<LoadedKey> opened = cached(ctx, spec, info.gen);
  if (opened && !opened->pinCheck.empty()) {
    if (check.size() != opened->pinCheck.size() ||
        CRYPTO_memcmp(check.data(), opened->pinCheck.data(), check.size()) != 0) {
      refusePin(db, ctx, spec, error);
      return false;
    }
  } else {
    Secret secret;
    if (!readSecret(db, ctx.containerId, spec, info.gen, secret) || !secret.isProtected) {
      error = NTE_BAD_KEY;
      return false;
    }
    rsa::SecretBytes plain;
    if (!rsa::open(pin, secret.salt, secret.nonce, secret.secret.bytes, info.modulus,
                   plain.bytes)) {
      refusePin(db, ctx, spec, error);  // the tag did not match: a wrong PIN
      return false;
    }
    opened = load(info, plain.bytes);
    if (!opened) {
      error = NTE_BAD_KEY;
      trace::why("the stored key cannot be loaded");
      return false;
    }
    opened->pinCheck = check;
    remember(ctx, spec, info.gen, opened);
  }
  if (info.pinFailures != 0) clearWrongPins(db, ctx.containerId, spec);
  std::lock_guard<std::mutex> lock(ctx.mu);
  Slot &s = ctx.slots[slot];
  s.clearPin();
  s.pin = pin;
  s.pinGiven = true;
  s.unlocked = opened;
  s.unlockedGen = info.gen;
  return true;
}

bool setUnblockCode(const std::string &path, Family family, const std::string &code, DWORD &error) {
  if (code.empty()) {
    error = NTE_BAD_DATA;
    return false;
  }
  Bytes salt(16), hash;
  if (!rsa::randomBytes(salt.data(), salt.size()) ||
      !rsa::pbkdf2(code, salt, kUnblockIterations, hash)) {
    error = NTE_FAIL;
    return false;
  }
  Database &db = open(path);
  db.transaction([&] {
    db.prepare(
          "INSERT OR REPLACE INTO unblock_codes(family, salt, hash, iterations, failures) "
          "VALUES (?1, ?2, ?3, ?4, 0)")
        .bind(1, static_cast<int64_t>(family))
        .bind(2, salt)
        .bind(3, hash)
        .bind(4, static_cast<int64_t>(kUnblockIterations))
        .run();
    return true;
  });
  return true;
}

bool unblock(const std::string &path, Family family, const std::string &container, int spec,
             const std::string &code, DWORD &error) {
  Database &db = open(path);
  int64_t id = 0;
  std::string stored;
  if (!findContainer(path, family, container, id, stored)) {
    error = NTE_BAD_KEYSET;
    trace::why("container not found");
    return false;
  }
  Bytes salt, hash;
  int64_t iterations = 0, failures = 0;
  {
    Statement &s =
        db.prepare("SELECT salt, hash, iterations, failures FROM unblock_codes WHERE family = ?1");
    Use use(s);
    s.bind(1, static_cast<int64_t>(family));
    if (!s.step()) {
      error = NTE_PERM;
      trace::why("no unblock code was ever set: a blocked key can only be deleted");
      return false;
    }
    salt = s.blob(0);
    hash = s.blob(1);
    iterations = s.int64(2);
    failures = s.int64(3);
  }
  if (failures >= kMaxUnblockTries) {
    error = SCARD_W_CHV_BLOCKED;
    trace::why("the unblock code is blocked after too many wrong codes");
    return false;
  }
  Bytes presented;
  if (!rsa::pbkdf2(code, salt, static_cast<int>(iterations), presented)) {
    error = NTE_FAIL;
    return false;
  }
  const bool right = presented.size() == hash.size() &&
                     CRYPTO_memcmp(presented.data(), hash.data(), hash.size()) == 0;
  db.transaction([&] {
    db.prepare(right ? "UPDATE unblock_codes SET failures = 0 WHERE family = ?1"
                     : "UPDATE unblock_codes SET failures = failures + 1 WHERE family = ?1")
        .bind(1, static_cast<int64_t>(family))
        .run();
    if (right)
      db.prepare("DELETE FROM pin_tries WHERE container = ?1 AND spec = ?2")
          .bind(1, id)
          .bind(2, static_cast<int64_t>(spec))
          .run();
    return true;
  });
  if (!right) {
    error = SCARD_W_WRONG_CHV;
    trace::why("wrong unblock code");
    return false;
  }
  return true;
}

uint32_t wrongPins(const std::string &path, Family family, const std::string &container, int spec) {
  int64_t id = 0;
  std::string stored;
  if (!findContainer(path, family, container, id, stored)) return 0;
  Statement &s =
      open(path).prepare("SELECT failures FROM pin_tries WHERE container = ?1 AND spec = ?2");
  Use use(s);
  s.bind(1, id).bind(2, static_cast<int64_t>(spec));
  return s.step() ? static_cast<uint32_t>(s.int64(0)) : 0;
}

}  // namespace keystore
}  // namespace emu::csp
