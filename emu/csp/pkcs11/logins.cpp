#include "csp/pkcs11/logins.h"

#include <openssl/crypto.h>

#include <optional>

#include "csp/crypto.h"
#include "csp/pkcs11/pin_prompt.h"

namespace emu::csp::pkcs11 {

using crypto::Bytes;

namespace {

Bytes pinHash(const Bytes &salt, const std::string &pin) {
  crypto::SecretBytes p(Bytes(pin.begin(), pin.end()));
  return crypto::sha256({&salt, &p.bytes});
}

void remember(LoginState &ls, const std::string &pin) {
  ls.salt.assign(32, 0);
  if (!crypto::randomBytes(ls.salt.data(), ls.salt.size())) {
    ls.salt.clear();
    ls.hash.clear();
    return;
  }
  ls.hash = pinHash(ls.salt, pin);
  ls.mismatches = 0;
}

void forget(LoginState &ls) {
  ls.salt.clear();
  ls.hash.clear();
  ls.mismatches = 0;
}

// C_Login with a PIN; the token judges it. Call with ls.prompting held.
Step tokenLogin(Use &use, const Container &c, CK_SESSION_HANDLE s, LoginState &ls,
                const std::string &pin, Failure &f) {
  std::string copy = pin;
  const CK_RV rv = use.fn()->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(&copy[0]),
                                     static_cast<CK_ULONG>(copy.size()));
  OPENSSL_cleanse(&copy[0], copy.size());
  if (rv == CKR_OK) {
    remember(ls, pin);
    return Step::Ok;
  }
  f.why = "C_Login on token \"" + c.tokenLabel + "\": " + rvName(rv);
  switch (rv) {
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE:
    case CKR_PIN_EXPIRED:
      f.code = SCARD_W_WRONG_CHV;
      return Step::Fail;
    case CKR_PIN_LOCKED:
      f.code = SCARD_W_CHV_BLOCKED;
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
    if (!ls->hash.empty()) {
      const Bytes presented = pinHash(ls->salt, pin);
      if (presented.size() == ls->hash.size() &&
          CRYPTO_memcmp(presented.data(), ls->hash.data(), presented.size()) == 0) {
        ls->mismatches = 0;
        return Step::Ok;
      }
      ++ls->mismatches;
      f.code = SCARD_W_WRONG_CHV;
      if (ls->mismatches >= kMaxMismatches) {
        use.fn()->C_Logout(s);
        forget(*ls);
        f.why = "PIN refused: it is not the PIN the token accepted; after " +
                std::to_string(kMaxMismatches) +
                " such PINs the process logged out, so the next PIN goes to the token";
      } else {
        f.why = "PIN refused: it is not the PIN the token accepted, " +
                std::to_string(kMaxMismatches - ls->mismatches) +
                " more before the process logs out";
      }
      return Step::Fail;
    }
    // Logged in by another part of this process, with a PIN the CSP never
    // saw: the token itself checks this one.
    use.fn()->C_Logout(s);
  }
  return tokenLogin(use, c, s, *ls, pin, f);
}

bool acceptedPin(Use &use, const Container &c, const std::string &pin) {
  auto ls = use.module().loginState(c.token);
  std::lock_guard<std::mutex> lock(ls->prompting);
  if (ls->hash.empty()) return false;
  const Bytes presented = pinHash(ls->salt, pin);
  if (presented.size() != ls->hash.size() ||
      CRYPTO_memcmp(presented.data(), ls->hash.data(), presented.size()) != 0)
    return false;
  ls->mismatches = 0;
  return true;
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
  std::string pin, cause;
  bool asked = false;
  const bool current = use.released([&] {
    asked = askPin(
        c.prompt, c.promptTimeout,
        "PIN for token \"" + c.tokenLabel + "\" (key container \"" + c.label + "\"):", pin, cause);
  });
  if (!asked) {
    f.code = NTE_PERM;
    f.cause = trace::Reason::TOKEN_LOGIN_NEEDED;
    f.why = "the key needs a login to token \"" + c.tokenLabel +
            "\" and the PIN prompt gave none: " + cause;
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
