// Tokens and containers of the PKCS#11 family: an open container, container
// names, finding the token that holds (or is to hold) a container, and
// running an operation in a use of the module, once more after a
// re-initialisation when a token went away or changed.
#pragma once

#include <p11-kit/pkcs11.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/failure.h"
#include "csp/crypto.h"
#include "csp/pkcs11/module.h"
#include "csp/provider.h"

namespace emu::csp::pkcs11 {

// An open container: its token (by serial number and label) and its name.
// `label` is its objects' CKA_LABEL; a key pair joined by CKA_ID (pairs.h)
// has `pair` set and its CKA_ID in `id`.
struct Container {
  std::shared_ptr<Module> module;
  std::string prompt;   // the provider's "PIN Prompt" program
  bool silent = false;  // acquired with CRYPT_SILENT: the prompt is never run
  std::chrono::seconds promptTimeout{kDefaultPinPromptTimeout};  // and its time limit
  std::string serial, tokenLabel, label, fullName;
  std::string token;  // tokenKey(serial, tokenLabel): the caches' name for the token
  std::string ident;  // containerKey(label, pair, id): the caches' name for the container
  crypto::Bytes id;
  bool pair = false;
  mutable std::mutex mu;  // guards what follows
  uint64_t epoch = 0;
  CK_SLOT_ID slot = 0;
  CK_FLAGS flags = 0;  // the token's, when it was found
  // The PIN the context presented and the token accepted, with which a
  // login that went away since is taken again (empty: none; forgotten when
  // the token refuses it then). Wiped when replaced and when the container
  // goes.
  mutable std::string pin;

  Container() = default;
  ~Container();
  Container(const Container &) = delete;
  Container &operator=(const Container &) = delete;
  // Keeps `accepted` as the presented PIN (empty: forgets it).
  void keepPin(const std::string &accepted) const;
  // A copy of the presented PIN (empty when none); the caller wipes it.
  std::string presentedPin() const;
};

// A container name: `\\.\<token label>\<label>` (full) or a plain label.
struct Name {
  bool full = false;
  std::string token;  // full names only
  std::string label;
};

// False when the name is neither.
bool parseName(const std::string &name, Name &out);
std::string fullName(const std::string &token, const std::string &label);
// The caches' name for a token.
std::string tokenKey(const std::string &serial, const std::string &label);
// The caches' name for a container on its token.
std::string containerKey(const std::string &label, bool pair, const crypto::Bytes &id);
// The name a container was asked by, as the caches keep it.
std::string askedName(const Name &name);

// An operation's outcome inside one use of the module. Retry: the token
// went away or changed; the module is re-initialised and the operation
// runs once more.
enum class Step { Ok, Fail, Retry };

// Runs `body(use, failure)` in a use of the module, re-initialising the
// module and running it once more when it says Retry.
template <typename F>
Status run(Module &m, F &&body) {
  Failure f;
  for (int attempt = 0;; ++attempt) {
    f.why.clear();
    f.cause = trace::Reason::None;
    uint64_t seen = 0;
    Step step = Step::Fail;
    {
      Use use(m);
      seen = use.epoch();
      step = body(use, f);
    }
    if (step == Step::Ok) return done();
    if (step == Step::Fail || attempt == 1) {
      if (f.code == 0) f.code = NTE_FAIL;
      return f;
    }
    m.reinitialise(seen, f.why);
  }
}

// The token of an open container in this epoch, and a session with it that
// this thread holds for the use (Use::session).
Step locate(Use &use, Container &c, CK_SESSION_HANDLE &s, Failure &f);

// Runs `body(use, s, failure)` as run() does, with a session on the open
// container's token that this thread holds for the use.
template <typename F>
Status onToken(Container &c, F &&body) {
  return run(*c.module, [&](Use &use, Failure &f) {
    CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
    const Step step = locate(use, c, s, f);
    if (step != Step::Ok) return step;
    return body(use, s, f);
  });
}

// After a lookup found nothing: whether the token is still what it was
// (Retry when it went away, so the module is re-initialised), with the
// reason in the failure's words; its code is the caller's.
Step stillThere(Use &use, const Container &c, Failure &f);

// Finds the token of a named container (`creating`: the token a new one
// goes to) and fills the container's token and names.
Step resolve(Use &use, const Name &name, bool creating, Container &c, Failure &f);

// An open of a container found before in this epoch, taken as found
// (family.h); under the test hook kTrustNothing only while the object it
// was found by is still there.
bool resolveCached(Use &use, const Name &name, Container &c);

// How long after a key was found or checked the signatures it makes are
// verified with its public half (kVerifyEvery; every signature under the
// test hook kTrustNothing, none for minutes under kLongTrust).
std::chrono::steady_clock::duration verifyEvery();

// How long the public facts of a cached key are taken as read (the whole
// time it stays cached; nothing under the test hook kTrustNothing): a key
// replaced by another process is found again by the next signature's
// C_SignInit, which replaces the cached key and its facts.
std::chrono::steady_clock::duration factsTrustedFor();

// The provider's module, loaded; NTE_PROV_DLL_NOT_FOUND when it cannot be.
std::shared_ptr<Module> moduleOf(const Provider &provider, Failure &f);

}  // namespace emu::csp::pkcs11
