// The token family's PINs: presenting a PIN (which opens a sealed key or
// checks against the process's cached unlock), counting every PIN per
// container and key spec before it is compared, blocking at kMaxPinTries,
// and the family's unblock code, counted the same way; and the own count
// of wrong user PINs handed to each PKCS#11 token.
#include <openssl/crypto.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "common/test_hooks.h"
#include "common/trace.h"
#include "csp/key_cache.h"
#include "csp/key_rows.h"

namespace emu::csp::keystore {

namespace {

// How long a PIN waits for the outcome of others being compared with the
// key, and the longest pause between two looks.
constexpr std::chrono::seconds kBusyFor{10};
constexpr std::chrono::milliseconds kBusyPause{20};

}  // namespace

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

// What became of an attempt to count a PIN before it is compared.
enum class Attempt {
  Counted,  // counted: the PIN may be compared
  Blocked,  // the key is blocked; nothing was counted
  Busy,     // the PINs being compared could block it: ask again later
  Changed,  // the key is no longer the one the caller read
};

// Counts one attempt at a key's PIN as pending, durably and before the PIN
// is compared, in one transaction. An attempt is counted only while the
// wrong PINs in a row and the pending ones together stay below
// kMaxPinTries: the attempts of every thread and process are counted one
// after the other, so that at most kMaxPinTries wrong PINs are ever
// compared between two right ones (or unblocks), and a pending attempt
// whose process ended counts as a wrong one. Throws storage::StorageError
// when the attempt cannot be written (a full disk): then no PIN is
// compared.
Attempt countAttempt(Database &db, int64_t container, int spec, uint64_t gen) {
  Attempt outcome = Attempt::Changed;
  db.transaction([&] {
    KeyInfo now;
    if (!readInfo(db, container, spec, now) || now.gen != gen || !now.isProtected) return false;
    if (now.pinFailures >= kMaxPinTries) {
      outcome = Attempt::Blocked;
      return false;
    }
    Statement &pending =
        db.prepare("SELECT pending FROM pin_attempts WHERE container = ?1 AND spec = ?2");
    {
      Use use(pending);
      pending.bind(1, container).bind(2, static_cast<int64_t>(spec));
      if (pending.step() && now.pinFailures + pending.int64(0) >= kMaxPinTries) {
        outcome = Attempt::Busy;
        return false;
      }
    }
    db.prepare(
          "INSERT INTO pin_attempts(container, spec, pending) VALUES (?1, ?2, 1) "
          "ON CONFLICT(container, spec) DO UPDATE SET pending = pending + 1")
        .bind(1, container)
        .bind(2, static_cast<int64_t>(spec))
        .run();
    outcome = Attempt::Counted;
    return true;
  });
  return outcome;
}

// Settles a counted attempt once its PIN was compared: a right PIN clears
// the wrong ones in a row, a wrong one adds to them. Returns the wrong PINs
// in a row now counted.
uint32_t settleAttempt(Database &db, int64_t container, int spec, bool right) {
  uint32_t failures = 0;
  db.transaction([&] {
    db.prepare(
          "UPDATE pin_attempts SET pending = max(pending - 1, 0) "
          "WHERE container = ?1 AND spec = ?2")
        .bind(1, container)
        .bind(2, static_cast<int64_t>(spec))
        .run();
    db.prepare("DELETE FROM pin_attempts WHERE container = ?1 AND spec = ?2 AND pending = 0")
        .bind(1, container)
        .bind(2, static_cast<int64_t>(spec))
        .run();
    if (right) {
      db.prepare("DELETE FROM pin_tries WHERE container = ?1 AND spec = ?2")
          .bind(1, container)
          .bind(2, static_cast<int64_t>(spec))
          .run();
      return true;
    }
    Statement &s = db.prepare(
        "INSERT INTO pin_tries(container, spec, failures) VALUES (?1, ?2, 1) "
        "ON CONFLICT(container, spec) DO UPDATE SET failures = failures + 1 RETURNING failures");
    Use use(s);
    s.bind(1, container).bind(2, static_cast<int64_t>(spec));
    failures = s.step() ? static_cast<uint32_t>(s.int64(0)) : kMaxPinTries;
    while (s.step()) {
    }
    return true;
  });
  return failures;
}

// A refused PIN, counted before it was compared: said in the trace with
// the tries left.
// The reason and its field are set here.
Failure refusePin(uint32_t failures) {
  const Failure refused(failures >= kMaxPinTries ? SCARD_W_CHV_BLOCKED : SCARD_W_WRONG_CHV);
  if (!trace::enabled()) return refused;
  if (failures >= kMaxPinTries) {
    trace::why(trace::Reason::PIN_NOW_BLOCKED, "PIN refused; the key is now blocked after " +
                                                   std::to_string(kMaxPinTries) + " wrong PINs");
    trace::detail("wrong", failures);
  } else {
    trace::why(trace::Reason::PIN_WRONG,
               "PIN refused, " + std::to_string(kMaxPinTries - failures) + " tries left");
    trace::detail("tries", kMaxPinTries - failures);
  }
  return refused;
}

// A PIN refused unseen because the key is blocked; the reason and its
// field are set here.
Failure blockedPin(uint32_t failures) {
  trace::why(trace::Reason::PIN_BLOCKED,
             "PIN blocked after " + std::to_string(kMaxPinTries) +
                 " wrong PINs: unblock it with `mscapi unblock` or delete the key");
  trace::detail("wrong", failures);
  return Failure(SCARD_W_CHV_BLOCKED);
}

// Compares a PIN with a key: against the check value of the PIN that
// opened it in this process, or by opening the sealed key with it. The key
// opened is in `opened`; false for a wrong PIN, with `error` 0, or when the
// key cannot be read (`error` set).
bool comparePin(Database &db, const Context &ctx, int spec, const KeyInfo &info,
                const std::string &pin, const Bytes &check, std::shared_ptr<LoadedKey> &opened,
                DWORD &error) {
  hooks::count(hooks::kPinComparisons);
  opened = keyCache().find(ctx.dbPath, ctx.containerId, spec, info.gen);
  if (opened && !opened->pinCheck.empty())
    return check.size() == opened->pinCheck.size() &&
           CRYPTO_memcmp(check.data(), opened->pinCheck.data(), check.size()) == 0;
  Secret secret;
  if (!readSecret(db, ctx.containerId, spec, info.gen, secret) || !secret.isProtected) {
    error = NTE_BAD_KEY;
    return false;
  }
  crypto::SecretBytes plain;
  if (!crypto::open(pin, secret.salt, secret.nonce, secret.secret.bytes, info.modulus, plain.bytes))
    return false;  // the tag did not match: a wrong PIN
  opened = load(info, plain.bytes);
  if (!opened) {
    error = NTE_BAD_KEY;
    trace::why("the stored key cannot be loaded");
    return false;
  }
  opened->pinCheck = check;
  keyCache().remember(ctx.dbPath, ctx.containerId, spec, info.gen, opened);
  return true;
}

// The stored unblock code of a family.
struct UnblockCode {
  Bytes salt, hash;
  int64_t iterations = 0;
};

// Checks an unblock code as a card checks its PUK: the attempt is counted
// (durably, in one transaction) before the code is compared, and a right
// code clears the count. Fails with NTE_PERM when no code was ever set,
// SCARD_W_CHV_BLOCKED when the code is blocked (nothing counted),
// SCARD_W_WRONG_CHV for a wrong one. `stored` is the code it was checked
// against.
Status checkUnblockCode(Database &db, ContainerNamespace family, const std::string &code,
                        UnblockCode &stored) {
  DWORD error = NTE_PERM;
  db.transaction([&] {
    Statement &s =
        db.prepare("SELECT salt, hash, iterations, failures FROM unblock_codes WHERE family = ?1");
    {
      Use use(s);
      s.bind(1, static_cast<int64_t>(family));
      if (!s.step()) return false;
      if (s.int64(3) >= kMaxUnblockTries) {
        error = SCARD_W_CHV_BLOCKED;
        return false;
      }
      stored.salt = s.blob(0);
      stored.hash = s.blob(1);
      stored.iterations = s.int64(2);
    }
    db.prepare("UPDATE unblock_codes SET failures = failures + 1 WHERE family = ?1")
        .bind(1, static_cast<int64_t>(family))
        .run();
    error = 0;
    return true;
  });
  if (error == NTE_PERM)
    return Failure(NTE_PERM, trace::Reason::UNBLOCK_CODE_NONE,
                   "no unblock code was ever set: a blocked key can only be deleted");
  if (error == SCARD_W_CHV_BLOCKED)
    return Failure(SCARD_W_CHV_BLOCKED, trace::Reason::UNBLOCK_CODE_BLOCKED,
                   "the unblock code is blocked after " + std::to_string(kMaxUnblockTries) +
                       " wrong codes: a blocked key can only be deleted");
  Bytes presented;
  if (!crypto::pbkdf2(code, stored.salt, static_cast<int>(stored.iterations), presented))
    return Failure(NTE_FAIL);
  if (presented.size() != stored.hash.size() ||
      CRYPTO_memcmp(presented.data(), stored.hash.data(), presented.size()) != 0)
    return Failure(SCARD_W_WRONG_CHV, trace::Reason::UNBLOCK_CODE_WRONG, "wrong unblock code");
  db.transaction([&] {
    db.prepare("UPDATE unblock_codes SET failures = 0 WHERE family = ?1")
        .bind(1, static_cast<int64_t>(family))
        .run();
    return true;
  });
  return done();
}

// A new salted PBKDF2 hash of an unblock code.
bool hashUnblockCode(const std::string &code, UnblockCode &out) {
  out.salt.assign(16, 0);
  out.iterations = kUnblockIterations;
  return crypto::randomBytes(out.salt.data(), out.salt.size()) &&
         crypto::pbkdf2(code, out.salt, kUnblockIterations, out.hash);
}

}  // namespace

namespace {

// The context's slot holds the right PIN and the key it opened.
void takePin(Context &ctx, int slot, const std::string &pin, std::shared_ptr<LoadedKey> key,
             uint64_t gen) {
  std::lock_guard<std::mutex> lock(ctx.mu);
  Slot &s = ctx.slots[slot];
  s.clearPin();
  s.pin = pin;
  s.pinGiven = true;
  s.unlocked = std::move(key);
  s.unlockedGen = gen;
}

}  // namespace

Status presentPin(Context &ctx, int spec, const std::string &pin) {
  const int slot = slotOf(static_cast<DWORD>(spec));
  if (ctx.verifyOnly || slot < 0) return Failure(NTE_BAD_KEYSET);
  // The empty text is not a PIN: it would protect nothing.
  if (pin.empty())
    return Failure(NTE_BAD_DATA, trace::Reason::PIN_EMPTY, "the empty text is not a PIN");
  Database &db = open(ctx.dbPath);
  // Every PIN is counted before it is compared; where nothing can be
  // written, no PIN is compared at all.
  if (db.readOnly())
    return Failure(ERROR_ACCESS_DENIED, trace::Reason::PIN_NOT_COUNTED,
                   "the home is read-only: PINs cannot be counted, so none is accepted");
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
    return done();
  }
  if (!info.isProtected)
    return Failure(NTE_PERM, trace::Reason::PIN_NOT_TAKEN, "the key has no PIN");
  if (info.pinFailures >= kMaxPinTries) return blockedPin(info.pinFailures);
  const Bytes check = pinCheck(info.gen, pin);
  // The PIN that opened this key in this process before, while no wrong PIN
  // is counted against it, is taken without writing: a program that
  // presents its PIN with every signature pays no durable write for it. Any
  // other PIN goes on to be counted and then compared, so no wrong PIN is
  // judged uncounted, and a right one after wrong ones still clears them.
  if (info.pinFailures == 0) {
    std::shared_ptr<LoadedKey> cached =
        keyCache().find(ctx.dbPath, ctx.containerId, spec, info.gen);
    if (cached && cached->pinCheck.size() == check.size() &&
        CRYPTO_memcmp(check.data(), cached->pinCheck.data(), check.size()) == 0) {
      takePin(ctx, slot, pin, std::move(cached), info.gen);
      return done();
    }
  }
  // While other PINs being compared could block the key, this one waits
  // for their outcome (a comparison takes milliseconds).
  Attempt attempt = Attempt::Busy;
  try {
    const auto until = std::chrono::steady_clock::now() + kBusyFor;
    for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, kBusyPause)) {
      attempt = countAttempt(db, ctx.containerId, spec, info.gen);
      if (attempt != Attempt::Busy || std::chrono::steady_clock::now() >= until) break;
      std::this_thread::sleep_for(pause);
    }
  } catch (const storage::StorageError &e) {
    return Failure(
        storage::windowsError(e), trace::Reason::PIN_NOT_COUNTED,
        "the PIN was not checked: the attempt cannot be counted (" + storage::describe(e) + ")");
  }
  switch (attempt) {
    case Attempt::Counted:
      break;
    case Attempt::Blocked:
      return blockedPin(kMaxPinTries);
    case Attempt::Busy:
      return Failure(SCARD_W_CHV_BLOCKED, trace::Reason::PIN_PENDING,
                     "the PIN was not checked: other PINs for the key are still being checked, or "
                     "were when their process ended (`mscapi unblock` clears them)");
    case Attempt::Changed:
      return Failure(NTE_BAD_KEY, trace::Reason::KEY_CHANGED,
                     "the key was replaced or deleted while its PIN was presented");
  }
  std::shared_ptr<LoadedKey> opened;
  DWORD error = 0;
  const bool right = comparePin(db, ctx, spec, info, pin, check, opened, error);
  // A key that cannot be read was no wrong PIN.
  const uint32_t failures = settleAttempt(db, ctx.containerId, spec, right || error != 0);
  if (!right) return error == 0 ? refusePin(failures) : Failure(error);
  takePin(ctx, slot, pin, std::move(opened), info.gen);
  return done();
}

bool unblockCodeSet(const std::string &path, ContainerNamespace family) {
  Statement &s = open(path).prepare("SELECT 1 FROM unblock_codes WHERE family = ?1");
  Use use(s);
  s.bind(1, static_cast<int64_t>(family));
  return s.step();
}

Status setUnblockCode(const std::string &path, ContainerNamespace family,
                      const std::string &oldCode, const std::string &code) {
  if (code.empty()) return Failure(NTE_BAD_DATA, "the empty text is not an unblock code");
  Database &db = open(path);
  UnblockCode old;
  const bool replacing = unblockCodeSet(path, family);
  if (replacing) {
    if (oldCode.empty())
      return Failure(NTE_PERM, trace::Reason::UNBLOCK_CODE_WRONG,
                     "an unblock code is set: only the current code can change it");
    if (Status failed = checkUnblockCode(db, family, oldCode, old)) return failed;
  }
  UnblockCode fresh;
  if (!hashUnblockCode(code, fresh)) return Failure(NTE_FAIL);
  // The new code replaces the one that was checked, or is the first one:
  // a code another caller set meanwhile is left as it is.
  const bool stored = db.transaction([&] {
    Statement &s = db.prepare(
        replacing ? "UPDATE unblock_codes SET salt = ?2, hash = ?3, iterations = ?4, failures = 0 "
                    "WHERE family = ?1 AND hash = ?5"
                  : "INSERT INTO unblock_codes(family, salt, hash, iterations, failures) "
                    "VALUES (?1, ?2, ?3, ?4, 0) ON CONFLICT(family) DO NOTHING");
    s.bind(1, static_cast<int64_t>(family))
        .bind(2, fresh.salt)
        .bind(3, fresh.hash)
        .bind(4, static_cast<int64_t>(fresh.iterations));
    if (replacing) s.bind(5, old.hash);
    return s.run() == 1;
  });
  if (!stored)
    return Failure(NTE_PERM, trace::Reason::UNBLOCK_CODE_CHANGED,
                   "the unblock code was changed by another caller meanwhile");
  return done();
}

Status unblock(const std::string &path, ContainerNamespace family, const std::string &container,
               int spec, const std::string &code) {
  Database &db = open(path);
  int64_t id = 0;
  std::string stored;
  if (!findContainer(path, family, container, id, stored))
    return Failure(NTE_BAD_KEYSET, trace::Reason::CONTAINER_NOT_FOUND, "container not found");
  UnblockCode checked;
  if (Status failed = checkUnblockCode(db, family, code, checked)) return failed;
  // The wrong PINs, and the pending ones of processes that ended while
  // comparing.
  db.transaction([&] {
    for (const char *sql : {"DELETE FROM pin_tries WHERE container = ?1 AND spec = ?2",
                            "DELETE FROM pin_attempts WHERE container = ?1 AND spec = ?2"})
      db.prepare(sql).bind(1, id).bind(2, static_cast<int64_t>(spec)).run();
    return true;
  });
  return done();
}

uint32_t wrongPins(const std::string &path, ContainerNamespace family, const std::string &container,
                   int spec) {
  int64_t id = 0;
  std::string stored;
  if (!findContainer(path, family, container, id, stored)) return 0;
  Statement &s =
      open(path).prepare("SELECT failures FROM pin_tries WHERE container = ?1 AND spec = ?2");
  Use use(s);
  s.bind(1, id).bind(2, static_cast<int64_t>(spec));
  return s.step() ? static_cast<uint32_t>(s.int64(0)) : 0;
}

namespace {

Statement &bindToken(Statement &s, const TokenRef &t) {
  return s.bind(1, t.manufacturer).bind(2, t.model).bind(3, t.serial);
}

// One try at counting a token's PIN, in one transaction.
TokenAttempt countTokenPinOnce(Database &db, const TokenRef &t, uint32_t &failures) {
  TokenAttempt outcome = TokenAttempt::Busy;
  db.transaction([&] {
    Statement &now = db.prepare(
        "SELECT failures, pending FROM token_pins "
        "WHERE manufacturer = ?1 AND model = ?2 AND serial = ?3");
    {
      Use use(now);
      bindToken(now, t);
      failures = 0;
      if (now.step()) {
        failures = static_cast<uint32_t>(now.int64(0));
        if (failures >= kMaxPinTries) {
          outcome = TokenAttempt::Blocked;
          return false;
        }
        if (now.int64(0) + now.int64(1) >= kMaxPinTries) return false;  // Busy
      }
    }
    bindToken(db.prepare("INSERT INTO token_pins(manufacturer, model, serial, label, failures, "
                         "pending) VALUES (?1, ?2, ?3, ?4, 0, 1) "
                         "ON CONFLICT(manufacturer, model, serial) DO UPDATE "
                         "SET pending = pending + 1, label = ?4"),
              t)
        .bind(4, t.label)
        .run();
    outcome = TokenAttempt::Counted;
    return true;
  });
  return outcome;
}

}  // namespace

TokenAttempt countTokenPin(const std::string &path, const TokenRef &token, uint32_t &failures) {
  Database &db = open(path);
  if (db.readOnly()) return TokenAttempt::ReadOnly;
  // While the PINs pending could block the token, this one waits for
  // their outcome (a login takes milliseconds).
  const auto until = std::chrono::steady_clock::now() + kBusyFor;
  for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, kBusyPause)) {
    const TokenAttempt attempt = countTokenPinOnce(db, token, failures);
    if (attempt != TokenAttempt::Busy || std::chrono::steady_clock::now() >= until) return attempt;
    std::this_thread::sleep_for(pause);
  }
}

uint32_t settleTokenPin(const std::string &path, const TokenRef &token, TokenVerdict verdict) {
  Database &db = open(path);
  uint32_t failures = 0;
  db.transaction([&] {
    Statement &s = db.prepare(
        "UPDATE token_pins SET pending = max(pending - 1, 0), failures = CASE ?4 "
        "WHEN 0 THEN 0 WHEN 1 THEN failures + 1 ELSE failures END "
        "WHERE manufacturer = ?1 AND model = ?2 AND serial = ?3 RETURNING failures");
    {
      Use use(s);
      bindToken(s, token).bind(4, static_cast<int64_t>(verdict == TokenVerdict::Right   ? 0
                                                       : verdict == TokenVerdict::Wrong ? 1
                                                                                        : 2));
      if (s.step()) failures = static_cast<uint32_t>(s.int64(0));
      while (s.step()) {
      }
    }
    bindToken(db.prepare("DELETE FROM token_pins WHERE manufacturer = ?1 AND model = ?2 "
                         "AND serial = ?3 AND pending = 0 AND failures = 0"),
              token)
        .run();
    return true;
  });
  return failures;
}

uint32_t tokenPinsCounted(const std::string &path, const TokenRef &token) {
  // What this thread read last, kept while the file is as it was then (its
  // change stamp, and this connection's own changes): a PIN presented with
  // every signature costs two loads of shared memory, not a query.
  struct Read {
    uint64_t connection = 0;
    storage::ChangeStamp stamp;
    int64_t changes = -1;
    std::string token;
    uint32_t counted = 0;
  };
  thread_local std::map<std::string, Read, std::less<>> reads;
  Database &db = open(path);
  Read &r = reads[path];
  const storage::ChangeStamp stamp = db.changeStamp();
  const int64_t changes = db.changes();
  const std::string key = token.manufacturer + '\0' + token.model + '\0' + token.serial;
  if (r.connection == db.connectionId() && r.stamp == stamp && r.changes == changes &&
      r.token == key)
    return r.counted;
  Statement &s = db.prepare(
      "SELECT failures + pending FROM token_pins "
      "WHERE manufacturer = ?1 AND model = ?2 AND serial = ?3");
  Use use(s);
  bindToken(s, token);
  r = Read{db.connectionId(), stamp, changes, key,
           s.step() ? static_cast<uint32_t>(s.int64(0)) : 0};
  return r.counted;
}

Status unblockToken(const std::string &path, const std::string &label, const std::string &code) {
  Database &db = open(path);
  UnblockCode checked;
  if (Status failed = checkUnblockCode(db, ContainerNamespace::Token, code, checked)) return failed;
  db.transaction([&] {
    db.prepare("DELETE FROM token_pins WHERE label = ?1").bind(1, label).run();
    return true;
  });
  return done();
}

uint32_t tokenWrongPins(const std::string &path, const std::string &label) {
  Statement &s = open(path).prepare("SELECT max(failures) FROM token_pins WHERE label = ?1");
  Use use(s);
  s.bind(1, label);
  return s.step() && !s.isNull(0) ? static_cast<uint32_t>(s.int64(0)) : 0;
}

}  // namespace emu::csp::keystore
