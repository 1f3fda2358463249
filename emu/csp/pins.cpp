// The token family's PINs: presenting a PIN (which opens a sealed key or
// checks against the process's cached unlock), counting wrong PINs per
// container and key spec, blocking at kMaxPinTries, and the family's
// unblock code.
#include <openssl/crypto.h>

#include "common/trace.h"
#include "csp/key_cache.h"
#include "csp/key_rows.h"

namespace emu::csp::keystore {

// The check value of a PIN for one generation of a protected key.
Bytes pinCheck(uint64_t gen, const std::string &pin) {
  static const Bytes pepper = [] {
    Bytes p(32, 0);
    if (!crypto::randomBytes(p.data(), p.size())) p.clear();
    return p;
  }();
  Bytes g(reinterpret_cast<const uint8_t *>(&gen), reinterpret_cast<const uint8_t *>(&gen) + 8);
  crypto::SecretBytes p(Bytes(pin.begin(), pin.end()));
  return crypto::sha256({&pepper, &g, &p.bytes});
}

namespace {

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
  if (failures >= kMaxPinTries) {
    trace::why(trace::Reason::PIN_NOW_BLOCKED, "PIN refused; the key is now blocked after " +
                                                   std::to_string(kMaxPinTries) + " wrong PINs");
    trace::detail("wrong", failures);
  } else {
    trace::why(trace::Reason::PIN_WRONG,
               "PIN refused, " + std::to_string(kMaxPinTries - failures) + " tries left");
    trace::detail("tries", kMaxPinTries - failures);
  }
}

}  // namespace

bool presentPin(Context &ctx, int spec, const std::string &pin, DWORD &error) {
  const int slot = slotOf(static_cast<DWORD>(spec));
  if (ctx.verifyOnly || slot < 0) {
    error = NTE_BAD_KEYSET;
    return false;
  }
  // The empty text is not a PIN: it would protect nothing.
  if (pin.empty()) {
    error = NTE_BAD_DATA;
    trace::why(trace::Reason::PIN_EMPTY, "the empty text is not a PIN");
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
    trace::why(trace::Reason::PIN_NOT_TAKEN, "the key has no PIN");
    return false;
  }
  if (info.pinFailures >= kMaxPinTries) {
    error = SCARD_W_CHV_BLOCKED;
    trace::why(trace::Reason::PIN_BLOCKED,
               "PIN blocked after " + std::to_string(kMaxPinTries) +
                   " wrong PINs: unblock it with `mscapi unblock` or delete the key");
    trace::detail("wrong", info.pinFailures);
    return false;
  }
  // A PIN that opened this key in this process is checked against its
  // check value; otherwise the sealed key is opened with it.
  const Bytes check = pinCheck(info.gen, pin);
  std::shared_ptr<LoadedKey> opened = keyCache().find(ctx.dbPath, ctx.containerId, spec, info.gen);
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
    crypto::SecretBytes plain;
    if (!crypto::open(pin, secret.salt, secret.nonce, secret.secret.bytes, info.modulus,
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
    keyCache().remember(ctx.dbPath, ctx.containerId, spec, info.gen, opened);
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
  if (!crypto::randomBytes(salt.data(), salt.size()) ||
      !crypto::pbkdf2(code, salt, kUnblockIterations, hash)) {
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
    trace::why(trace::Reason::CONTAINER_NOT_FOUND, "container not found");
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
  if (!crypto::pbkdf2(code, salt, static_cast<int>(iterations), presented)) {
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

}  // namespace emu::csp::keystore
