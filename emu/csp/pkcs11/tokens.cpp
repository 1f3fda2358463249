#include "csp/pkcs11/tokens.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <vector>

#include "common/test_hooks.h"
#include "csp/pkcs11/attributes.h"
#include "csp/pkcs11/caches.h"
#include "csp/pkcs11/family.h"
#include "csp/pkcs11/pairs.h"
#include "csp/provider.h"

namespace emu::csp::pkcs11 {

namespace {

const char kFullPrefix[] = "\\\\.\\";

}  // namespace

Container::~Container() {
  keepPin(std::string());
}

void Container::keepPin(const std::string &accepted) const {
  std::lock_guard<std::mutex> lock(mu);
  if (!pin.empty()) OPENSSL_cleanse(&pin[0], pin.size());
  pin = accepted;
}

std::string Container::presentedPin() const {
  std::lock_guard<std::mutex> lock(mu);
  return pin;
}

bool parseName(const std::string &name, Name &out) {
  if (name.compare(0, 4, kFullPrefix) != 0) {
    out.full = false;
    out.label = name;
    return !name.empty();
  }
  const size_t slash = name.find('\\', 4);
  if (slash == std::string::npos) return false;
  out.full = true;
  out.token = name.substr(4, slash - 4);
  out.label = name.substr(slash + 1);
  return !out.token.empty() && !out.label.empty();
}

std::string fullName(const std::string &token, const std::string &label) {
  return kFullPrefix + token + "\\" + label;
}

std::string tokenKey(const std::string &serial, const std::string &label) {
  return serial + "/" + label;
}

std::string containerKey(const std::string &label, bool pair, const crypto::Bytes &id) {
  // A newline never ends a label the library makes; a pair's key differs
  // from every library container's.
  return pair ? label + "\n#" + idHex(id) : label;
}

std::string askedName(const Name &name) {
  return name.full ? fullName(name.token, name.label) : name.label;
}

std::chrono::steady_clock::duration verifyEvery() {
  if (hooks::active(hooks::kLongTrust)) return std::chrono::minutes(5);
  if (hooks::active(hooks::kTrustNothing)) return std::chrono::steady_clock::duration::zero();
  return kVerifyEvery;
}

std::chrono::steady_clock::duration factsTrustedFor() {
  if (hooks::active(hooks::kTrustNothing)) return std::chrono::steady_clock::duration::zero();
  return std::chrono::steady_clock::duration::max();
}

Step locate(Use &use, Container &c, CK_SESSION_HANDLE &s, Failure &f) {
  CK_SLOT_ID slot = 0;
  bool known = false;
  {
    std::lock_guard<std::mutex> lock(c.mu);
    if (c.epoch == use.epoch()) {
      slot = c.slot;
      known = true;
    }
  }
  if (!known) {
    std::vector<TokenView> tokens;
    if (!use.tokens(tokens, f)) {
      f.code = NTE_BAD_KEYSET;
      return Step::Retry;
    }
    const auto t = std::find_if(tokens.begin(), tokens.end(), [&](const TokenView &v) {
      return v.serial == c.serial && v.label == c.tokenLabel;
    });
    if (t == tokens.end()) {
      f.code = NTE_BAD_KEYSET;
      f.cause = trace::Reason::TOKEN_NOT_PRESENT;
      f.why = "token \"" + c.tokenLabel + "\" (serial " + c.serial +
              ") is not present (container \"" + c.fullName + "\")";
      return Step::Fail;
    }
    slot = t->slot;
    std::lock_guard<std::mutex> lock(c.mu);
    c.slot = slot;
    c.flags = t->flags;
    c.epoch = use.epoch();
  }
  CK_RV rv = CKR_OK;
  s = use.session(slot, rv);
  if (s == CK_INVALID_HANDLE) {
    f.code = NTE_BAD_KEYSET;
    f.why = "C_OpenSession on token \"" + c.tokenLabel + "\": " + rvName(rv);
    return tokenGone(rv) ? Step::Retry : Step::Fail;
  }
  return Step::Ok;
}

Step stillThere(Use &use, const Container &c, Failure &f) {
  std::vector<TokenView> tokens;
  if (!use.tokens(tokens, f)) return Step::Retry;
  for (const TokenView &t : tokens)
    if (t.serial == c.serial && t.label == c.tokenLabel) return Step::Ok;
  f.why = "the token \"" + c.tokenLabel + "\" is no longer present";
  return Step::Fail;
}

Step resolve(Use &use, const Name &name, bool creating, Container &c, Failure &f) {
  std::vector<TokenView> tokens;
  if (!use.tokens(tokens, f)) {
    f.code = NTE_BAD_KEYSET;
    return Step::Retry;
  }
  const TokenView *target = nullptr;
  TokenContainer found;
  for (const TokenView &t : tokens) {
    if (!t.initialised() || (name.full && t.label != name.token)) continue;
    CK_RV rv = CKR_OK;
    const CK_SESSION_HANDLE s = use.session(t.slot, rv);
    if (s == CK_INVALID_HANDLE) {
      if (tokenGone(rv)) {
        f.why = "C_OpenSession on token \"" + t.label + "\": " + rvName(rv);
        f.code = NTE_BAD_KEYSET;
        return Step::Retry;
      }
      continue;
    }
    std::vector<TokenContainer> all;
    rv = tokenContainers(use, s, all);
    if (rv != CKR_OK && tokenGone(rv)) {
      f.why = "looking for the container on token \"" + t.label + "\": " + rvName(rv);
      f.code = NTE_BAD_KEYSET;
      return Step::Retry;
    }
    const Match match = rv == CKR_OK ? matchName(all, name.label, found) : Match::None;
    if (match == Match::Ambiguous) {
      // Refused rather than resolved by whichever object a search meets first.
      f.code = creating ? NTE_EXISTS : NTE_BAD_KEYSET;
      f.cause = trace::Reason::CONTAINER_AMBIGUOUS;
      f.why = "token \"" + t.label + "\" holds several key pairs labelled \"" + name.label +
              "\": name one as \"" + name.label + " #<CKA_ID in hex>\"";
      return Step::Fail;
    }
    if (match == Match::One) {
      if (creating) {
        f.code = NTE_EXISTS;
        f.cause = trace::Reason::CONTAINER_EXISTS;
        f.why = "token \"" + t.label + "\" already holds a container \"" + name.label + "\"";
        return Step::Fail;
      }
      target = &t;
      break;
    }
    if (creating && target == nullptr && t.writable()) target = &t;
  }
  if (target == nullptr) {
    f.code = NTE_BAD_KEYSET;
    if (use.module().rescanForLostToken()) {
      f.why = "a token went away and has not shown up again: looking for it once more";
      return Step::Retry;
    }
    if (creating) {
      f.why = name.full ? "no initialised, writable token labelled \"" + name.token + "\""
                        : "no initialised, writable token is present";
    } else if (name.full && std::none_of(tokens.begin(), tokens.end(), [&](const TokenView &t) {
                 return t.label == name.token;
               })) {
      f.cause = trace::Reason::TOKEN_NOT_PRESENT;
      f.why = "token \"" + name.token + "\" is not present (container \"" + name.label + "\")";
    } else {
      f.cause = trace::Reason::CONTAINER_NOT_FOUND;
      f.why = name.full ? "container not found on a token labelled \"" + name.token + "\""
                        : "container not found on any token";
    }
    return Step::Fail;
  }
  c.serial = target->serial;
  c.tokenLabel = target->label;
  c.token = tokenKey(c.serial, c.tokenLabel);
  if (creating) {
    found = TokenContainer{};
    found.name = found.label = name.label;
  }
  c.label = found.label;
  c.pair = found.pair;
  c.id = found.id;
  c.ident = containerKey(c.label, c.pair, c.id);
  c.fullName = fullName(target->label, found.name);
  {
    std::lock_guard<std::mutex> lock(c.mu);
    c.slot = target->slot;
    c.flags = target->flags;
    c.epoch = use.epoch();
  }
  if (!creating) {
    ContainerHit hit;
    hit.epoch = use.epoch();
    hit.serial = c.serial;
    hit.tokenLabel = c.tokenLabel;
    hit.label = c.label;
    hit.ident = c.ident;
    hit.id = c.id;
    hit.pair = c.pair;
    hit.fullName = c.fullName;
    hit.slot = target->slot;
    hit.flags = target->flags;
    hit.handle = found.any;
    Found::instance().rememberContainer(&use.module(), askedName(name), hit);
  }
  return Step::Ok;
}

// An open of a container found before in this epoch: no module call
// (family.h). Under the test hook kTrustNothing, the object it was found by
// is read back first, as a test that wants another program's change seen
// at once needs.
bool resolveCached(Use &use, const Name &name, Container &c) {
  const std::string asked = askedName(name);
  ContainerHit hit;
  if (!Found::instance().container(&use.module(), asked, use.epoch(), hit)) return false;
  if (hooks::active(hooks::kTrustNothing)) {
    CK_RV rv = CKR_OK;
    const CK_SESSION_HANDLE s = use.session(hit.slot, rv);
    if (s == CK_INVALID_HANDLE ||
        !stillIs(use, s, hit.handle, hit.label, hit.pair ? &hit.id : nullptr))
      return false;
  }
  c.serial = hit.serial;
  c.tokenLabel = hit.tokenLabel;
  c.token = tokenKey(c.serial, c.tokenLabel);
  c.label = hit.label;
  c.ident = hit.ident;
  c.id = hit.id;
  c.pair = hit.pair;
  c.fullName = hit.fullName;
  std::lock_guard<std::mutex> lock(c.mu);
  c.slot = hit.slot;
  c.flags = hit.flags;
  c.epoch = use.epoch();
  return true;
}

std::shared_ptr<Module> moduleOf(const Provider &provider, Failure &f) {
  std::shared_ptr<Module> m;
  if (Status failed = Module::get(provider.image, m, provider.environment)) f = *failed;
  return m;
}

}  // namespace emu::csp::pkcs11
