#include "csp/key_rows.h"

#include <openssl/crypto.h>
#include <sqlite3.h>

#include <map>
#include <utility>

#include "common/ascii.h"
#include "common/trace.h"
#include "csp/key_cache.h"
#include "storage/database.h"

namespace emu::csp {

namespace keystore {

namespace {

// secure_delete: pages freed by a deleted or replaced key are overwritten.
// pin_tries counts a key's wrong PINs in a row; pin_attempts the PINs
// being compared with it right now (counted before the comparison, settled
// after it), which a home made before it was added gains when opened.
// token_pins does both for the user PIN of each PKCS#11 token (by
// manufacturer, model and serial number; its label to find it by).
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
CREATE TABLE IF NOT EXISTS pin_attempts(
  container INTEGER NOT NULL REFERENCES containers(id) ON DELETE CASCADE,
  spec INTEGER NOT NULL,
  pending INTEGER NOT NULL,
  PRIMARY KEY(container, spec));
CREATE TABLE IF NOT EXISTS token_pins(
  manufacturer TEXT NOT NULL,
  model TEXT NOT NULL,
  serial TEXT NOT NULL,
  label TEXT NOT NULL,
  failures INTEGER NOT NULL,
  pending INTEGER NOT NULL,
  PRIMARY KEY(manufacturer, model, serial));
CREATE TABLE IF NOT EXISTS unblock_codes(
  family INTEGER PRIMARY KEY,
  salt BLOB NOT NULL,
  hash BLOB NOT NULL,
  iterations INTEGER NOT NULL,
  failures INTEGER NOT NULL);
)sql";

}  // namespace

Database &open(const std::string &path) {
  return Database::forThread(path, kSchema);
}

namespace {

std::string fold(const std::string &name) {
  return ascii::lower(name);
}

// What this thread last read from one key database: containers found by
// name and the facts of key slots (empty ones too). It holds while the file
// is as it was read: its change stamp moves when any connection, of this
// process or another, commits a change (and this connection's own change
// count when it writes). The stamp is read from shared memory, far less
// than the queries it saves on every context acquired and every signature.
struct ReadCache {
  uint64_t connection = 0;  // the one it was filled through (0: never filled)
  storage::ChangeStamp stamp;
  int64_t changes = -1;
  std::map<std::pair<int64_t, std::string>, std::pair<int64_t, std::string>> containers;
  std::map<std::pair<int64_t, int>, std::unique_ptr<KeyInfo>> slots;  // null: empty slot
};

// Entries a thread keeps at most: past that it starts afresh.
constexpr size_t kMaxReadCache = 8192;

// The thread's cache for the database, emptied when the file changed since
// it was filled, or when the thread's connection to it is another than the
// one it was filled through (the file was deleted or replaced meanwhile).
ReadCache &readCache(Database &db) {
  thread_local std::map<std::string, ReadCache, std::less<>> caches;
  ReadCache &c = caches[db.path()];
  const storage::ChangeStamp stamp = db.changeStamp();
  const int64_t changes = db.changes();
  if (c.connection != db.connectionId() || stamp != c.stamp || changes != c.changes ||
      c.containers.size() + c.slots.size() > kMaxReadCache) {
    c.containers.clear();
    c.slots.clear();
    c.connection = db.connectionId();
    c.stamp = stamp;
    c.changes = changes;
  }
  return c;
}

uint64_t newGeneration() {
  uint64_t g = 0;
  while (g == 0) {
    if (!crypto::randomBytes(reinterpret_cast<uint8_t *>(&g), sizeof g)) throw std::bad_alloc();
    g &= 0x7FFFFFFFFFFFFFFFull;  // stored as a positive SQLite integer
  }
  return g;
}

}  // namespace

Bytes exponentBytes(uint32_t e) {
  Bytes out;
  for (int i = 3; i >= 0; --i)
    if (!out.empty() || ((e >> (8 * i)) & 0xFF) != 0)
      out.push_back(static_cast<uint8_t>(e >> (8 * i)));
  return out;
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
  crypto::Parts parts;
  if (!crypto::parsePrivate(privateParts, parts)) return nullptr;
  parts.n = info.modulus;
  parts.e = exponentBytes(info.exponent);
  crypto::Pkey key = crypto::fromParts(parts, false);
  if (!key) return nullptr;
  auto loaded = std::make_shared<LoadedKey>();
  loaded->pkey = std::move(key);
  return loaded;
}

std::string databasePath() {
  return Database::inHome("keys.db");
}

Status createContainer(const std::string &path, ContainerNamespace family, const std::string &name,
                       int64_t &id) {
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
    id = db.lastRowId();
    return true;
  });
  if (!ok)
    return Failure(NTE_EXISTS, trace::Reason::CONTAINER_EXISTS, "a container of that name exists");
  return done();
}

bool findContainer(const std::string &path, ContainerNamespace family, const std::string &name,
                   int64_t &id, std::string &storedName) {
  Database &db = open(path);
  ReadCache &cache = readCache(db);
  auto key = std::make_pair(static_cast<int64_t>(family), fold(name));
  const auto hit = cache.containers.find(key);
  if (hit != cache.containers.end()) {
    id = hit->second.first;
    storedName = hit->second.second;
    return true;
  }
  Statement &s = db.prepare("SELECT id, name FROM containers WHERE family = ?1 AND folded = ?2");
  Use use(s);
  s.bind(1, key.first).bind(2, key.second);
  if (!s.step()) return false;
  id = s.int64(0);
  storedName = s.text(1);
  cache.containers.emplace(std::move(key), std::make_pair(id, storedName));
  return true;
}

bool deleteContainer(const std::string &path, ContainerNamespace family, const std::string &name) {
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

std::vector<std::string> containerNames(const std::string &path, ContainerNamespace family) {
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
  Database &db = open(ctx.dbPath);
  ReadCache &cache = readCache(db);
  const auto key = std::make_pair(ctx.containerId, spec);
  auto hit = cache.slots.find(key);
  if (hit == cache.slots.end()) {
    KeyInfo read;
    std::unique_ptr<KeyInfo> found;
    if (readInfo(db, ctx.containerId, spec, read))
      found = std::make_unique<KeyInfo>(std::move(read));
    hit = cache.slots.emplace(key, std::move(found)).first;
  }
  if (!hit->second) return false;
  info = *hit->second;
  return true;
}

Status saveKey(Context &ctx, int spec, crypto::Pkey key, bool exportable, KeyInfo &info) {
  const int slot = slotOf(static_cast<DWORD>(spec));
  if (ctx.verifyOnly || slot < 0) return Failure(NTE_BAD_KEYSET);
  crypto::Parts parts;
  if (!crypto::partsOf(key.get(), parts) || parts.e.empty() || parts.e.size() > 4)
    return Failure(NTE_BAD_DATA);
  info.spec = spec;
  info.alg = spec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
  info.bits = crypto::modulusBits(parts.n);
  info.exportable = exportable;
  info.modulus = parts.n;
  info.exponent = 0;
  for (uint8_t b : parts.e) info.exponent = (info.exponent << 8) | b;
  info.gen = newGeneration();

  crypto::SecretBytes plain(crypto::serialisePrivate(parts));
  std::string pin;
  bool withPin = false;
  {
    std::lock_guard<std::mutex> lock(ctx.mu);
    withPin = ctx.slots[slot].pinGiven;
    if (withPin) pin = ctx.slots[slot].pin;
  }
  Bytes stored, salt, nonce;
  if (withPin) {
    const bool sealed = crypto::seal(pin, plain.bytes, info.modulus, salt, nonce, stored);
    if (!sealed) {
      OPENSSL_cleanse(&pin[0], pin.size());
      return Failure(NTE_FAIL);
    }
  } else {
    stored = plain.bytes;
  }
  info.isProtected = withPin;
  crypto::SecretBytes storedSecret(std::move(stored));

  Database &db = open(ctx.dbPath);
  Status failed;
  bool replaced = false;
  const bool ok = db.transaction([&] {
    Statement &exists = db.prepare("SELECT 1 FROM containers WHERE id = ?1");
    {
      Use use(exists);
      exists.bind(1, ctx.containerId);
      if (!exists.step()) {
        failed = Failure(NTE_BAD_KEYSET);
        return false;
      }
    }
    KeyInfo old;
    replaced = readInfo(db, ctx.containerId, spec, old);
    if (replaced && old.isProtected) {
      std::lock_guard<std::mutex> lock(ctx.mu);
      if (!ctx.slots[slot].unlocked || ctx.slots[slot].unlockedGen != old.gen) {
        failed = Failure(NTE_PERM, trace::Reason::PIN_NEEDED,
                         "the slot holds a PIN-protected key this context has not unlocked");
        return false;
      }
    }
    // The slot's PIN counts belong to the key it replaces.
    for (const char *sql : {"DELETE FROM pin_tries WHERE container = ?1 AND spec = ?2",
                            "DELETE FROM pin_attempts WHERE container = ?1 AND spec = ?2"})
      db.prepare(sql).bind(1, ctx.containerId).bind(2, static_cast<int64_t>(spec)).run();
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
    return failed;
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
  keyCache().remember(ctx.dbPath, ctx.containerId, spec, info.gen, std::move(loaded));
  return done();
}

Status usableKey(Context &ctx, int spec, uint64_t gen, KeyInfo &info,
                 std::shared_ptr<LoadedKey> &key) {
  const int slot = slotOf(static_cast<DWORD>(spec));
  if (ctx.verifyOnly) return Failure(NTE_BAD_KEYSET);
  if (slot < 0 || !keyInfo(ctx, spec, info))
    return Failure(NTE_NO_KEY, trace::Reason::NO_KEY_OF_SPEC,
                   "the container holds no key of that spec");
  if (gen != 0 && info.gen != gen) return Failure(NTE_BAD_KEY);
  if (info.isProtected) {
    if (info.pinFailures >= kMaxPinTries) {
      // The reason with its field, set here.
      trace::why(trace::Reason::PIN_BLOCKED, "the key is blocked after too many wrong PINs");
      trace::detail("wrong", info.pinFailures);
      return Failure(SCARD_W_CHV_BLOCKED);
    }
    std::lock_guard<std::mutex> lock(ctx.mu);
    if (ctx.slots[slot].unlocked && ctx.slots[slot].unlockedGen == info.gen) {
      key = ctx.slots[slot].unlocked;
      return done();
    }
    return Failure(NTE_PERM, trace::Reason::PIN_NEEDED, "this key needs its PIN");
  }
  if (auto hit = keyCache().find(ctx.dbPath, ctx.containerId, spec, info.gen)) {
    key = std::move(hit);
    return done();
  }
  Secret secret;
  std::shared_ptr<LoadedKey> loaded;
  if (readSecret(open(ctx.dbPath), ctx.containerId, spec, info.gen, secret) && !secret.isProtected)
    loaded = load(info, secret.secret.bytes);
  if (!loaded) return Failure(NTE_BAD_KEY);
  keyCache().remember(ctx.dbPath, ctx.containerId, spec, info.gen, loaded);
  key = std::move(loaded);
  return done();
}

}  // namespace keystore
}  // namespace emu::csp
