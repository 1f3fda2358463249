#include "csp/pkcs11/logins.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <optional>

#include "common/test_hooks.h"
#include "common/trace.h"
#include "csp/crypto.h"
#include "csp/keystore.h"
#include "csp/pkcs11/pin_prompt.h"
#include "storage/error.h"

namespace emu::csp::pkcs11 {

using crypto::Bytes;

namespace {

Bytes pinHash(const Bytes &salt, const std::string &pin) {
  crypto::SecretBytes p(Bytes(pin.begin(), pin.end()));
  return crypto::sha256({&salt, &p.bytes});
}

void remember(LoginState &ls, const std::string &pin, const keystore::TokenRef &token) {
  ls.salt.assign(32, 0);
  if (!crypto::randomBytes(ls.salt.data(), ls.salt.size())) {
    ls.salt.clear();
    ls.hash.clear();
    return;
  }
  ls.hash = pinHash(ls.salt, pin);
  ls.counted = token;
}

void forget(LoginState &ls) {
  ls.salt.clear();
  ls.hash.clear();
}

// Whether `pin` is the PIN the token accepted, by its salted hash.
bool matchesAccepted(const LoginState &ls, const std::string &pin) {
  if (ls.hash.empty()) return false;
  const Bytes presented = pinHash(ls.salt, pin);
  return presented.size() == ls.hash.size() &&
         CRYPTO_memcmp(presented.data(), ls.hash.data(), presented.size()) == 0;
}

// What a token says of its own retry counter ("" when it says nothing).
const char *reported(CK_FLAGS flags) {
  if (flags & CKF_USER_PIN_LOCKED) return "locked";
  if (flags & CKF_USER_PIN_FINAL_TRY) return "final";
  if (flags & CKF_USER_PIN_COUNT_LOW) return "low";
  return "";
}

std::string reportedWords(CK_FLAGS flags) {
  if (flags & CKF_USER_PIN_LOCKED) return " (the token reports its PIN locked)";
  if (flags & CKF_USER_PIN_FINAL_TRY) return " (the token reports a final try left)";
  if (flags & CKF_USER_PIN_COUNT_LOW) return " (the token reports few tries left)";
  return "";
}

// The token of a session as the own count of wrong PINs knows it: its
// slot, its manufacturer, model, serial number and label, and its flags.
CK_RV describeToken(Use &use, CK_SESSION_HANDLE s, CK_SLOT_ID &slot, keystore::TokenRef &token,
                    CK_FLAGS &flags) {
  CK_SESSION_INFO session{};
  CK_RV rv = use.fn()->C_GetSessionInfo(s, &session);
  if (rv != CKR_OK) return rv;
  slot = session.slotID;
  CK_TOKEN_INFO info{};
  rv = use.fn()->C_GetTokenInfo(slot, &info);
  if (rv != CKR_OK) return rv;
  token.manufacturer = trimmed(info.manufacturerID, sizeof info.manufacturerID);
  token.model = trimmed(info.model, sizeof info.model);
  token.serial = trimmed(info.serialNumber, sizeof info.serialNumber);
  token.label = trimmed(info.label, sizeof info.label);
  flags = info.flags;
  return CKR_OK;
}

// The token's flags now (after it refused a PIN); `before` when it cannot say.
CK_FLAGS flagsNow(Use &use, CK_SLOT_ID slot, CK_FLAGS before) {
  CK_TOKEN_INFO info{};
  return use.fn()->C_GetTokenInfo(slot, &info) == CKR_OK ? info.flags : before;
}

std::string unblockHint(const Container &c) {
  return "mscapi unblock --container '" + fullName(c.tokenLabel, "") + "'";
}

// A PIN the own count kept from the token: the count is reached, other
// PINs pending could reach it, or nothing can be counted. The token's own
// lock is said first.
void refuseUncounted(const Container &c, keystore::TokenAttempt attempt, uint32_t failures,
                     CK_FLAGS flags, Failure &f) {
  f.code = SCARD_W_CHV_BLOCKED;
  if (attempt == keystore::TokenAttempt::ReadOnly) {
    f.code = ERROR_ACCESS_DENIED;
    f.cause = trace::Reason::PIN_NOT_COUNTED;
    f.why = "the PIN was not handed to token \"" + c.tokenLabel +
            "\": the home is read-only, so PINs cannot be counted";
  } else if (flags & CKF_USER_PIN_LOCKED) {
    trace::why(trace::Reason::TOKEN_PIN_LOCKED,
               "token \"" + c.tokenLabel + "\" reports its user PIN locked");
    trace::detail("token", c.tokenLabel);
    trace::detail("tries", kMaxTokenPinTries - std::min(failures, kMaxTokenPinTries));
  } else if (attempt == keystore::TokenAttempt::Blocked) {
    trace::why(trace::Reason::TOKEN_PIN_BLOCKED,
               "the PIN was not handed to token \"" + c.tokenLabel +
                   "\": " + std::to_string(failures) + " wrong PINs in a row were counted (" +
                   unblockHint(c) + ")");
    trace::detail("token", c.tokenLabel);
    trace::detail("wrong", failures);
  } else {
    f.cause = trace::Reason::PIN_PENDING;
    f.why = "the PIN was not handed to token \"" + c.tokenLabel +
            "\": other PINs for it are still being checked, or were when their process ended (" +
            unblockHint(c) + " clears them)";
  }
}

// A PIN the token refused as wrong, or refused as locked, said with what
// the token reports of its own counter and the tries the own count leaves.
void refuseWrong(const Container &c, bool locked, uint32_t failures, CK_FLAGS flags, Failure &f) {
  const uint32_t left = kMaxTokenPinTries - std::min(failures, kMaxTokenPinTries);
  f.code = locked || left == 0 ? SCARD_W_CHV_BLOCKED : SCARD_W_WRONG_CHV;
  if (locked)
    trace::why(trace::Reason::TOKEN_PIN_LOCKED,
               "token \"" + c.tokenLabel + "\" refuses its user PIN as locked");
  else if (left == 0)
    trace::why(trace::Reason::TOKEN_PIN_WRONG,
               "wrong PIN for token \"" + c.tokenLabel + "\"" + reportedWords(flags) + "; after " +
                   std::to_string(failures) + " wrong PINs in a row no more are handed to it (" +
                   unblockHint(c) + ")");
  else
    trace::why(trace::Reason::TOKEN_PIN_WRONG,
               "wrong PIN for token \"" + c.tokenLabel + "\"" + reportedWords(flags) + ", " +
                   std::to_string(left) + (left == 1 ? " try" : " tries") +
                   " left before no more are handed to it");
  trace::detail("token", c.tokenLabel);
  trace::detail("tries", left);
  if (*reported(flags) != '\0') trace::detail("reports", reported(flags));
}

// How a C_Login answer settles its PIN's count. Answers given before any
// comparison (no such session or token, a login already holds, the PIN is
// locked or not set) and a PIN the token took as its own but expired leave
// the count as it was; every other refusal, an error too (SoftHSM2 answers
// CKR_GENERAL_ERROR when another process writes the token meanwhile), may
// have followed a comparison and counts as a wrong PIN.
keystore::TokenVerdict verdictOf(CK_RV rv) {
  switch (rv) {
    case CKR_OK:
      return keystore::TokenVerdict::Right;
    case CKR_PIN_LOCKED:
    case CKR_PIN_EXPIRED:
    case CKR_USER_ALREADY_LOGGED_IN:
    case CKR_USER_ANOTHER_ALREADY_LOGGED_IN:
    case CKR_USER_PIN_NOT_INITIALIZED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_SLOT_ID_INVALID:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_CRYPTOKI_NOT_INITIALIZED:
      return keystore::TokenVerdict::Neither;
    default:
      return keystore::TokenVerdict::Wrong;
  }
}

// A PIN judged, after it is counted in the home's own count of the token's
// wrong PINs: by the token (C_Login), or, while this process is logged in
// with a PIN whose hash it keeps (`againstHash`), by that hash, as the token
// checks no PIN then. A PIN is not judged when it cannot be counted or the
// count is reached; then, and after the wrong PIN that reaches it, a
// process that is logged in logs out, so the login serves no one until a
// right PIN goes to the token after an unblock. Call with ls.prompting
// held.
Step tokenLogin(Use &use, const Container &c, CK_SESSION_HANDLE s, LoginState &ls,
                const std::string &pin, Failure &f, bool againstHash = false) {
  CK_SLOT_ID slot = 0;
  keystore::TokenRef token;
  CK_FLAGS flags = 0;
  CK_RV rv = describeToken(use, s, slot, token, flags);
  if (rv != CKR_OK) {
    f.code = NTE_FAIL;
    f.why = "C_GetTokenInfo of token \"" + c.tokenLabel + "\": " + rvName(rv);
    return tokenGone(rv) ? Step::Retry : Step::Fail;
  }
  std::string db;
  uint32_t failures = 0;
  keystore::TokenAttempt attempt = keystore::TokenAttempt::Busy;
  try {
    db = keystore::databasePath();
    attempt = keystore::countTokenPin(db, token, failures);
  } catch (const storage::StorageError &e) {
    f.code = storage::windowsError(e);
    f.cause = trace::Reason::PIN_NOT_COUNTED;
    f.why = "the PIN was not handed to token \"" + c.tokenLabel +
            "\": the attempt cannot be counted (" + storage::describe(e) + ")";
    return Step::Fail;
  }
  if (attempt != keystore::TokenAttempt::Counted) {
    refuseUncounted(c, attempt, failures, flags, f);
    if (againstHash && attempt == keystore::TokenAttempt::Blocked) {
      use.fn()->C_Logout(s);
      forget(ls);
    }
    return Step::Fail;
  }
  if (againstHash) {
    rv = matchesAccepted(ls, pin) ? CKR_OK : CKR_PIN_INCORRECT;
  } else {
    hooks::count(hooks::kTokenLogins);
    std::string copy = pin;
    rv = use.fn()->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(&copy[0]),
                           static_cast<CK_ULONG>(copy.size()));
    OPENSSL_cleanse(&copy[0], copy.size());
  }
  const bool wrong = rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE;
  const keystore::TokenVerdict verdict = verdictOf(rv);
  try {
    failures = keystore::settleTokenPin(db, token, verdict);
  } catch (const storage::StorageError &) {
    // The attempt stays pending, and counts as a wrong PIN until an unblock.
    if (verdict == keystore::TokenVerdict::Wrong) ++failures;
  }
  if (rv == CKR_OK) {
    if (!againstHash) remember(ls, pin, token);
    return Step::Ok;
  }
  if (againstHash) {
    // The token never saw this PIN: what it reports of its own counter
    // does not concern it.
    refuseWrong(c, false, failures, 0, f);
    if (failures >= kMaxTokenPinTries) {
      use.fn()->C_Logout(s);
      forget(ls);
    }
    return Step::Fail;
  }
  if (wrong || rv == CKR_PIN_LOCKED) {
    refuseWrong(c, rv == CKR_PIN_LOCKED, failures, flagsNow(use, slot, flags), f);
    return Step::Fail;
  }
  f.why = "C_Login on token \"" + c.tokenLabel + "\": " + rvName(rv);
  switch (rv) {
    case CKR_PIN_EXPIRED:
      f.code = SCARD_W_WRONG_CHV;
      return Step::Fail;
    case CKR_USER_ALREADY_LOGGED_IN:
      // Another session of this process logged in meanwhile.
      f.code = SCARD_W_WRONG_CHV;
      return Step::Fail;
    case CKR_USER_PIN_NOT_INITIALIZED:
      // The module may have read the token while another process was still
      // setting it up (token initialised, its user PIN not yet set) and not
      // read it again since: re-initialising the module reads it afresh.
      f.code = NTE_FAIL;
      return Step::Retry;
    default:
      f.code = NTE_FAIL;
      return tokenGone(rv) ? Step::Retry : Step::Fail;
  }
}

}  // namespace

Step login(Use &use, const Container &c, CK_SESSION_HANDLE s, const std::string &pin, Failure &f) {
  auto ls = use.module().loginState(c.token);
  std::lock_guard<std::mutex> lock(ls->prompting);
  if (use.loggedIn(s)) {
    // Judged against the accepted PIN's hash, counted like a PIN handed
    // to the token.
    if (!ls->hash.empty()) return tokenLogin(use, c, s, *ls, pin, f, true);
    // Logged in by another part of this process, with a PIN the CSP never
    // saw: the token itself checks this one.
    use.fn()->C_Logout(s);
  }
  return tokenLogin(use, c, s, *ls, pin, f);
}

bool acceptedPin(Use &use, const Container &c, const std::string &pin) {
  auto ls = use.module().loginState(c.token);
  std::lock_guard<std::mutex> lock(ls->prompting);
  if (!matchesAccepted(*ls, pin)) return false;
  // Taken without a write only while no PIN is counted against the token,
  // in any process: else it is counted and judged as any other (login()).
  try {
    return keystore::tokenPinsCounted(keystore::databasePath(), ls->counted) == 0;
  } catch (const storage::StorageError &) {
    return false;
  }
}

Step ensureLogin(Use &use, const Container &c, CK_SESSION_HANDLE s, Failure &f) {
  if (use.loggedIn(s)) return Step::Ok;
  std::string presented = c.presentedPin();
  if (!presented.empty()) {
    // Another part of the process logged out, or the token came back. A
    // PIN the token now refuses is not presented again.
    const Step step = login(use, c, s, presented, f);
    OPENSSL_cleanse(&presented[0], presented.size());
    if (step == Step::Fail && (f.code == SCARD_W_WRONG_CHV || f.code == SCARD_W_CHV_BLOCKED))
      c.keepPin(std::string());
    return step;
  }
  if (c.silent) {
    // As a smart card CSP answers in a silent context: it may not ask.
    f.code = NTE_SILENT_CONTEXT;
    f.cause = trace::Reason::TOKEN_LOGIN_NEEDED;
    f.why = "the key needs a login to token \"" + c.tokenLabel +
            "\" and none holds (a silent context runs no PIN prompt)";
    return Step::Fail;
  }
  if (c.prompt.empty()) {
    f.code = NTE_PERM;
    f.cause = trace::Reason::TOKEN_LOGIN_NEEDED;
    f.why = "the key needs a login to token \"" + c.tokenLabel +
            "\" and none holds (no \"PIN Prompt\" is registered for the provider)";
    return Step::Fail;
  }
  auto ls = use.module().loginState(c.token);
  // One prompt per token at a time. It runs with no lock held and the
  // module's gate let go: a caller presenting a PIN itself, or
  // re-initialising the module, never waits for it.
  std::optional<PromptTurn> turn;
  if (!use.released([&] { turn.emplace(ls->turns, c.promptTimeout); })) return Step::Retry;
  if (!*turn) {
    f.code = NTE_PERM;
    f.cause = trace::Reason::TOKEN_LOGIN_NEEDED;
    f.why = "the key needs a login to token \"" + c.tokenLabel +
            "\" and another PIN prompt for it is still running";
    return Step::Fail;
  }
  if (use.loggedIn(s)) return Step::Ok;  // the prompt before this one logged in
  std::string pin;
  Status unasked;
  const bool current = use.released([&] {
    unasked =
        askPin(c.prompt, c.promptTimeout,
               "PIN for token \"" + c.tokenLabel + "\" (key container \"" + c.label + "\"):", pin);
  });
  if (unasked) {
    f = *unasked;
    f.why = "the key needs a login to token \"" + c.tokenLabel +
            "\" and the PIN prompt gave none: " + unasked->why;
    return Step::Fail;
  }
  if (!current) {
    OPENSSL_cleanse(&pin[0], pin.size());
    return Step::Retry;
  }
  std::lock_guard<std::mutex> lock(ls->prompting);
  Step step = Step::Ok;
  if (!use.loggedIn(s)) step = tokenLogin(use, c, s, *ls, pin, f);
  OPENSSL_cleanse(&pin[0], pin.size());
  return step;
}

}  // namespace emu::csp::pkcs11
