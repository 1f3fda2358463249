#include "csp/pkcs11/family.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string_view>
#include <tuple>

#include "common/ascii.h"
#include "common/test_hooks.h"
#include "common/trace.h"
#include "csp/blob.h"
#include "csp/pkcs11/module.h"
#include "csp/pkcs11/pin_prompt.h"

namespace emu::csp::pkcs11 {

using crypto::Bytes;

struct Container {
  std::shared_ptr<Module> module;
  std::string prompt;  // the provider's "PIN Prompt" program
  std::string serial, tokenLabel, label, fullName;
  std::string token;  // tokenKey(serial, tokenLabel): the caches' name for the token
  std::mutex mu;      // guards what follows
  uint64_t epoch = 0;
  CK_SLOT_ID slot = 0;
  CK_FLAGS flags = 0;  // the token's, when it was found
};

namespace {

// Wrong PINs, compared with the one the token accepted while this process
// is logged in, after which the process logs out.
constexpr unsigned kMaxMismatches = 5;
// Entries a cache keeps at most before it starts afresh.
constexpr size_t kMaxCached = 4096;

const char kFullPrefix[] = "\\\\.\\";

// An operation's outcome inside one use of the module. Retry: the token
// went away or changed; the module is re-initialised and the operation
// runs once more.
enum class Step { Ok, Fail, Retry };

// Runs `body(use, error, why)` in a use of the module, re-initialising the
// module and running it once more when it says Retry.
template <typename F>
bool run(Module &m, DWORD &error, F &&body) {
  for (int attempt = 0;; ++attempt) {
    std::string why;
    uint64_t seen = 0;
    Step step = Step::Fail;
    {
      Use use(m);
      seen = use.epoch();
      step = body(use, error, why);
    }
    if (step == Step::Ok) return true;
    if (step == Step::Fail || attempt == 1) {
      if (!why.empty()) trace::why(why);
      if (error == 0) error = NTE_FAIL;
      return false;
    }
    m.reinitialise(seen, why);
  }
}

// How long a found or checked handle is trusted (see kTrustFor).
std::chrono::steady_clock::duration trustFor() {
  if (hooks::active(hooks::kLongTrust)) return std::chrono::minutes(10);
  if (hooks::active(hooks::kTrustNothing)) return std::chrono::steady_clock::duration::zero();
  return kTrustFor;
}

// ---- Attributes -----------------------------------------------------------

struct Template {
  std::vector<CK_ATTRIBUTE> attrs;
  // Storage for the values, kept alive with the template.
  std::vector<std::unique_ptr<Bytes>> values;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;

  Template &add(CK_ATTRIBUTE_TYPE t, const void *p, size_t n) {
    values.push_back(std::make_unique<Bytes>(static_cast<const uint8_t *>(p),
                                             static_cast<const uint8_t *>(p) + n));
    Bytes &v = *values.back();
    attrs.push_back({t, v.empty() ? nullptr : v.data(), static_cast<CK_ULONG>(v.size())});
    return *this;
  }
  Template &flag(CK_ATTRIBUTE_TYPE t, bool v) { return add(t, v ? &yes : &no, sizeof(CK_BBOOL)); }
  Template &ulong(CK_ATTRIBUTE_TYPE t, CK_ULONG v) { return add(t, &v, sizeof v); }
  Template &text(CK_ATTRIBUTE_TYPE t, const std::string &s) { return add(t, s.data(), s.size()); }
  Template &bytes(CK_ATTRIBUTE_TYPE t, const Bytes &b) { return add(t, b.data(), b.size()); }
  ~Template() {
    for (auto &v : values) crypto::cleanse(*v);
  }
  CK_ATTRIBUTE *data() { return attrs.data(); }
  CK_ULONG size() const { return static_cast<CK_ULONG>(attrs.size()); }
};

// One attribute's value; false when the object has none or refuses it.
bool attribute(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE t, Bytes &out,
               CK_RV *rvOut = nullptr) {
  CK_ATTRIBUTE a{t, nullptr, 0};
  CK_RV rv = use.fn()->C_GetAttributeValue(s, h, &a, 1);
  if (rv == CKR_OK && a.ulValueLen != CK_UNAVAILABLE_INFORMATION) {
    out.assign(a.ulValueLen, 0);
    a.pValue = out.empty() ? nullptr : out.data();
    rv = use.fn()->C_GetAttributeValue(s, h, &a, 1);
  }
  if (rvOut) *rvOut = rv;
  return rv == CKR_OK && a.ulValueLen != CK_UNAVAILABLE_INFORMATION;
}

bool boolAttribute(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE t,
                   bool &out) {
  CK_BBOOL v = CK_FALSE;
  CK_ATTRIBUTE a{t, &v, sizeof v};
  if (use.fn()->C_GetAttributeValue(s, h, &a, 1) != CKR_OK) return false;
  out = v == CK_TRUE;
  return true;
}

CK_RV findObjects(Use &use, CK_SESSION_HANDLE s, Template &t, std::vector<CK_OBJECT_HANDLE> &out) {
  out.clear();
  CK_RV rv = use.fn()->C_FindObjectsInit(s, t.data(), t.size());
  if (rv != CKR_OK) return rv;
  CK_OBJECT_HANDLE batch[64];
  for (;;) {
    CK_ULONG n = 0;
    rv = use.fn()->C_FindObjects(s, batch, 64, &n);
    if (rv != CKR_OK || n == 0) break;
    out.insert(out.end(), batch, batch + n);
  }
  const CK_RV fin = use.fn()->C_FindObjectsFinal(s);
  return rv != CKR_OK ? rv : fin;
}

// The objects of a container (markers, RSA public or private keys) on a
// token; with an empty label, those of every container.
CK_RV containerObjects(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls, const std::string *label,
                       std::vector<CK_OBJECT_HANDLE> &out) {
  Template t;
  t.ulong(CKA_CLASS, cls).flag(CKA_TOKEN, true);
  if (cls == CKO_DATA)
    t.text(CKA_APPLICATION, kContainerApplication);
  else
    t.ulong(CKA_KEY_TYPE, CKK_RSA);
  if (label != nullptr) t.text(CKA_LABEL, *label);
  return findObjects(use, s, t, out);
}

// ---- Names ----------------------------------------------------------------

struct Name {
  bool full = false;
  std::string token;  // full names only
  std::string label;
};

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

// ---- Caches of found objects ------------------------------------------------

// A key object of a container, as last found.
struct KeyHit {
  uint64_t epoch = 0;
  std::chrono::steady_clock::time_point checked;  // found or last checked
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  Bytes id;
  KeyInfo info;  // public facts (from the public key object)
};

using KeyCacheKey = std::tuple<const Module *, std::string, std::string, int, CK_OBJECT_CLASS>;
// The same, for a lookup that copies no string.
using KeyCacheProbe =
    std::tuple<const Module *, std::string_view, std::string_view, int, CK_OBJECT_CLASS>;

std::mutex cacheMu;
std::map<KeyCacheKey, KeyHit, std::less<>> &keyCache() {
  static auto *m = new std::map<KeyCacheKey, KeyHit, std::less<>>;
  return *m;
}

// Containers found by name (as asked), with one of their objects to check
// that they are still there.
struct ContainerHit {
  uint64_t epoch = 0;
  std::string serial, tokenLabel, label, fullName;
  CK_SLOT_ID slot = 0;
  CK_FLAGS flags = 0;
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  std::chrono::steady_clock::time_point checked;  // found or last checked
};

std::map<std::pair<const Module *, std::string>, ContainerHit> &containerCache() {
  static auto *m = new std::map<std::pair<const Module *, std::string>, ContainerHit>;
  return *m;
}

void forgetContainer(const Module &m, const std::string &token, const std::string &label) {
  std::lock_guard<std::mutex> lock(cacheMu);
  auto &found = containerCache();
  for (auto it = found.begin(); it != found.end();) {
    if (it->first.first == &m && tokenKey(it->second.serial, it->second.tokenLabel) == token &&
        it->second.label == label)
      it = found.erase(it);
    else
      ++it;
  }
  auto &c = keyCache();
  for (auto it = c.begin(); it != c.end();) {
    if (std::get<0>(it->first) == &m && std::get<1>(it->first) == token &&
        std::get<2>(it->first) == label)
      it = c.erase(it);
    else
      ++it;
  }
}

// ---- Tokens and containers -----------------------------------------------------

// The token of an open container in this epoch, and this thread's session
// with it.
Step locate(Use &use, Container &c, CK_SESSION_HANDLE &s, DWORD &error, std::string &why) {
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
    if (!use.tokens(tokens, why)) {
      error = NTE_BAD_KEYSET;
      return Step::Retry;
    }
    const auto t = std::find_if(tokens.begin(), tokens.end(), [&](const TokenView &v) {
      return v.serial == c.serial && v.label == c.tokenLabel;
    });
    if (t == tokens.end()) {
      error = NTE_BAD_KEYSET;
      why = "the token \"" + c.tokenLabel + "\" (serial " + c.serial + ") is no longer present";
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
    error = NTE_BAD_KEYSET;
    why = "C_OpenSession on token \"" + c.tokenLabel + "\": " + rvName(rv);
    return tokenGone(rv) ? Step::Retry : Step::Fail;
  }
  return Step::Ok;
}

// Runs `body(use, s, error, why)` as run() does, with this thread's session
// on the open container's token.
template <typename F>
bool onToken(Container &c, DWORD &error, F &&body) {
  return run(*c.module, error, [&](Use &use, DWORD &err, std::string &why) {
    CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
    const Step step = locate(use, c, s, err, why);
    if (step != Step::Ok) return step;
    return body(use, s, err, why);
  });
}

// After a lookup found nothing: whether the token is still what it was
// (Retry when it went away, so the module is re-initialised).
Step stillThere(Use &use, const Container &c, std::string &why) {
  std::vector<TokenView> tokens;
  if (!use.tokens(tokens, why)) return Step::Retry;
  for (const TokenView &t : tokens)
    if (t.serial == c.serial && t.label == c.tokenLabel) return Step::Ok;
  why = "the token \"" + c.tokenLabel + "\" is no longer present";
  return Step::Fail;
}

// Whether the token holds a container of that name.
// (`any`: one of its objects.)
bool hasContainer(Use &use, CK_SESSION_HANDLE s, const std::string &label, CK_RV &rv,
                  CK_OBJECT_HANDLE &any) {
  std::vector<CK_OBJECT_HANDLE> found;
  for (CK_OBJECT_CLASS cls : {CK_OBJECT_CLASS(CKO_PUBLIC_KEY), CK_OBJECT_CLASS(CKO_DATA),
                              CK_OBJECT_CLASS(CKO_PRIVATE_KEY)}) {
    rv = containerObjects(use, s, cls, &label, found);
    if (rv != CKR_OK) return false;
    if (!found.empty()) {
      any = found.front();
      return true;
    }
  }
  return false;
}

// Whether an object still has the label (and, when given, the CKA_ID) it
// had: one C_GetAttributeValue, so a cached handle is checked cheaply.
bool stillIs(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, const std::string &label,
             const Bytes *id) {
  Bytes l(label.size() + 1), i(id ? id->size() + 1 : 1);
  CK_ATTRIBUTE a[2] = {{CKA_LABEL, l.data(), static_cast<CK_ULONG>(l.size())},
                       {CKA_ID, i.data(), static_cast<CK_ULONG>(i.size())}};
  const CK_RV rv = use.fn()->C_GetAttributeValue(s, h, a, id ? 2 : 1);
  if (rv != CKR_OK || a[0].ulValueLen != label.size() ||
      label.compare(0, label.size(), reinterpret_cast<const char *>(l.data()), label.size()) != 0)
    return false;
  return id == nullptr ||
         (a[1].ulValueLen == id->size() && std::equal(id->begin(), id->end(), i.begin()));
}

// Finds the token of a named container (`creating`: the token a new one
// goes to) and fills the container's token and names.
Step resolve(Use &use, const Name &name, bool creating, Container &c, DWORD &error,
             std::string &why) {
  std::vector<TokenView> tokens;
  if (!use.tokens(tokens, why)) {
    error = NTE_BAD_KEYSET;
    return Step::Retry;
  }
  const TokenView *target = nullptr;
  CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;
  for (const TokenView &t : tokens) {
    if (!t.initialised() || (name.full && t.label != name.token)) continue;
    CK_RV rv = CKR_OK;
    const CK_SESSION_HANDLE s = use.session(t.slot, rv);
    if (s == CK_INVALID_HANDLE) {
      if (tokenGone(rv)) {
        why = "C_OpenSession on token \"" + t.label + "\": " + rvName(rv);
        error = NTE_BAD_KEYSET;
        return Step::Retry;
      }
      continue;
    }
    CK_OBJECT_HANDLE any = CK_INVALID_HANDLE;
    const bool has = hasContainer(use, s, name.label, rv, any);
    if (rv != CKR_OK && tokenGone(rv)) {
      why = "looking for the container on token \"" + t.label + "\": " + rvName(rv);
      error = NTE_BAD_KEYSET;
      return Step::Retry;
    }
    if (has) {
      if (creating) {
        error = NTE_EXISTS;
        why = "token \"" + t.label + "\" already holds a container \"" + name.label + "\"";
        return Step::Fail;
      }
      target = &t;
      found = any;
      break;
    }
    if (creating && target == nullptr && t.writable()) target = &t;
  }
  if (target == nullptr) {
    error = NTE_BAD_KEYSET;
    if (use.module().rescanForLostToken()) {
      why = "a token went away and has not shown up again: looking for it once more";
      return Step::Retry;
    }
    if (creating)
      why = name.full ? "no initialised, writable token labelled \"" + name.token + "\""
                      : "no initialised, writable token is present";
    else
      why = name.full ? "container not found on a token labelled \"" + name.token + "\""
                      : "container not found on any token";
    return Step::Fail;
  }
  c.serial = target->serial;
  c.tokenLabel = target->label;
  c.token = tokenKey(c.serial, c.tokenLabel);
  c.label = name.label;
  c.fullName = fullName(target->label, name.label);
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
    hit.fullName = c.fullName;
    hit.slot = target->slot;
    hit.flags = target->flags;
    hit.handle = found;
    hit.checked = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(cacheMu);
    auto &cache = containerCache();
    if (cache.size() >= kMaxCached) cache.clear();
    cache[{&use.module(), name.full ? fullName(name.token, name.label) : name.label}] = hit;
  }
  return Step::Ok;
}

// An open of a container found before in this epoch, while the object it
// was found by is still there (checked at most once per kTrustFor).
bool resolveCached(Use &use, const Name &name, Container &c) {
  const std::pair<const Module *, std::string> key{
      &use.module(), name.full ? fullName(name.token, name.label) : name.label};
  const auto now = std::chrono::steady_clock::now();
  ContainerHit hit;
  {
    std::lock_guard<std::mutex> lock(cacheMu);
    const auto it = containerCache().find(key);
    if (it == containerCache().end() || it->second.epoch != use.epoch()) return false;
    hit = it->second;
  }
  if (now - hit.checked >= trustFor()) {
    CK_RV rv = CKR_OK;
    const CK_SESSION_HANDLE s = use.session(hit.slot, rv);
    if (s == CK_INVALID_HANDLE || !stillIs(use, s, hit.handle, hit.label, nullptr)) return false;
    std::lock_guard<std::mutex> lock(cacheMu);
    const auto it = containerCache().find(key);
    if (it != containerCache().end() && it->second.handle == hit.handle) it->second.checked = now;
  }
  c.serial = hit.serial;
  c.tokenLabel = hit.tokenLabel;
  c.token = tokenKey(c.serial, c.tokenLabel);
  c.label = hit.label;
  c.fullName = hit.fullName;
  std::lock_guard<std::mutex> lock(c.mu);
  c.slot = hit.slot;
  c.flags = hit.flags;
  c.epoch = use.epoch();
  return true;
}

// ---- Logins ----------------------------------------------------------------------

std::shared_ptr<LoginState> loginState(Use &use, const Container &c) {
  Module &m = use.module();
  std::lock_guard<std::mutex> lock(m.mu);
  const auto it = m.logins.find(c.token);
  if (it != m.logins.end() && it->second) return it->second;
  auto &state = m.logins[c.token];
  state = std::make_shared<LoginState>();
  return state;
}

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
                const std::string &pin, DWORD &error, std::string &why) {
  std::string copy = pin;
  const CK_RV rv = use.fn()->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(&copy[0]),
                                     static_cast<CK_ULONG>(copy.size()));
  OPENSSL_cleanse(&copy[0], copy.size());
  if (rv == CKR_OK) {
    remember(ls, pin);
    return Step::Ok;
  }
  why = "C_Login on token \"" + c.tokenLabel + "\": " + rvName(rv);
  switch (rv) {
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE:
    case CKR_PIN_EXPIRED:
      error = SCARD_W_WRONG_CHV;
      return Step::Fail;
    case CKR_PIN_LOCKED:
      error = SCARD_W_CHV_BLOCKED;
      return Step::Fail;
    case CKR_USER_ALREADY_LOGGED_IN:
      // Another session of this process logged in meanwhile.
      error = SCARD_W_WRONG_CHV;
      return Step::Fail;
    case CKR_USER_PIN_NOT_INITIALIZED:
      // The module may have read the token while another process was still
      // setting it up (token initialised, its user PIN not yet set) and not
      // read it again since: re-initialising the module reads it afresh.
      error = NTE_FAIL;
      return Step::Retry;
    default:
      error = NTE_FAIL;
      return tokenGone(rv) ? Step::Retry : Step::Fail;
  }
}

// Presents a PIN on the container's token.
Step login(Use &use, const Container &c, CK_SESSION_HANDLE s, const std::string &pin, DWORD &error,
           std::string &why) {
  auto ls = loginState(use, c);
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
      error = SCARD_W_WRONG_CHV;
      if (ls->mismatches >= kMaxMismatches) {
        use.fn()->C_Logout(s);
        forget(*ls);
        why = "PIN refused: it is not the PIN the token accepted; after " +
              std::to_string(kMaxMismatches) +
              " such PINs the process logged out, so the next PIN goes to the token";
      } else {
        why = "PIN refused: it is not the PIN the token accepted, " +
              std::to_string(kMaxMismatches - ls->mismatches) + " more before the process logs out";
      }
      return Step::Fail;
    }
    // Logged in by another part of this process, with a PIN the CSP never
    // saw: the token itself checks this one.
    use.fn()->C_Logout(s);
  }
  return tokenLogin(use, c, s, *ls, pin, error, why);
}

// Makes sure the process is logged in on the container's token, asking
// the provider's PIN prompt for the PIN when it is not.
Step ensureLogin(Use &use, const Container &c, CK_SESSION_HANDLE s, DWORD &error,
                 std::string &why) {
  if (use.loggedIn(s)) return Step::Ok;
  if (c.prompt.empty()) {
    error = NTE_PERM;
    why = "the key needs a login to token \"" + c.tokenLabel +
          "\" and none holds (no \"PIN Prompt\" is registered for the provider)";
    return Step::Fail;
  }
  auto ls = loginState(use, c);
  std::lock_guard<std::mutex> lock(ls->prompting);
  if (use.loggedIn(s)) return Step::Ok;  // another thread logged in meanwhile
  std::string pin;
  if (!askPin(c.prompt,
              "PIN for token \"" + c.tokenLabel + "\" (key container \"" + c.label + "\"):", pin)) {
    error = NTE_PERM;
    why = "the key needs a login to token \"" + c.tokenLabel + "\" and the PIN prompt gave none";
    return Step::Fail;
  }
  const Step step = tokenLogin(use, c, s, *ls, pin, error, why);
  OPENSSL_cleanse(&pin[0], pin.size());
  return step;
}

// ---- Keys --------------------------------------------------------------------------

bool specOfId(const Bytes &id, int spec) {
  if (spec == AT_SIGNATURE) return id.size() == 1 && id[0] == AT_SIGNATURE;
  return !(id.size() == 1 && id[0] == AT_SIGNATURE);
}

bool isExactId(const Bytes &id, int spec) {
  return id.size() == 1 && id[0] == spec;
}

bool readPublic(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, int spec, KeyInfo &info) {
  Bytes n, e;
  if (!attribute(use, s, h, CKA_MODULUS, n) || !attribute(use, s, h, CKA_PUBLIC_EXPONENT, e))
    return false;
  while (!n.empty() && n.front() == 0) n.erase(n.begin());
  while (!e.empty() && e.front() == 0) e.erase(e.begin());
  if (n.empty() || e.empty() || e.size() > 4) return false;
  info = KeyInfo{};
  info.spec = spec;
  info.alg = spec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
  info.bits = crypto::modulusBits(n);
  info.modulus = n;
  for (uint8_t b : e) info.exponent = (info.exponent << 8) | b;
  info.gen = 0;
  return true;
}

// Finds the container's key object of a class for `spec`: CKA_ID 01 or 02
// exactly first, else (for AT_KEYEXCHANGE) the first with another CKA_ID.
// With `wantId`, only the object with that CKA_ID.
CK_RV findKey(Use &use, CK_SESSION_HANDLE s, const Container &c, CK_OBJECT_CLASS cls, int spec,
              const Bytes *wantId, CK_OBJECT_HANDLE &h, Bytes &id) {
  h = CK_INVALID_HANDLE;
  std::vector<CK_OBJECT_HANDLE> found;
  const CK_RV rv = containerObjects(use, s, cls, &c.label, found);
  if (rv != CKR_OK) return rv;
  for (CK_OBJECT_HANDLE o : found) {
    Bytes oid;
    attribute(use, s, o, CKA_ID, oid);
    if (wantId != nullptr) {
      if (oid == *wantId) {
        h = o;
        id = oid;
        return CKR_OK;
      }
      continue;
    }
    if (!specOfId(oid, spec)) continue;
    if (isExactId(oid, spec)) {
      h = o;
      id = oid;
      return CKR_OK;
    }
    if (h == CK_INVALID_HANDLE) {
      h = o;
      id = oid;
    }
  }
  return CKR_OK;
}

// A cached key object that still is what it was (same label and CKA_ID).
bool cachedKey(Use &use, CK_SESSION_HANDLE s, const Container &c, int spec, CK_OBJECT_CLASS cls,
               KeyHit &hit) {
  const KeyCacheProbe key{&use.module(), c.token, c.label, spec, cls};
  {
    std::lock_guard<std::mutex> lock(cacheMu);
    const auto it = keyCache().find(key);
    if (it == keyCache().end() || it->second.epoch != use.epoch()) return false;
    hit = it->second;
  }
  const auto now = std::chrono::steady_clock::now();
  const bool still = stillIs(use, s, hit.handle, c.label, &hit.id);
  std::lock_guard<std::mutex> lock(cacheMu);
  const auto it = keyCache().find(key);
  if (it == keyCache().end() || it->second.handle != hit.handle) return still;
  if (still)
    it->second.checked = now;
  else
    keyCache().erase(it);
  return still;
}

// The handle and size of the container's private key of `spec` as found in
// this epoch, when it was found or last checked less than `within` ago:
// taken without asking the token.
bool knownKey(Use &use, const Container &c, int spec, std::chrono::steady_clock::duration within,
              CK_OBJECT_HANDLE &handle, uint32_t &bits) {
  const KeyCacheProbe key{&use.module(), c.token, c.label, spec, CKO_PRIVATE_KEY};
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(cacheMu);
  const auto it = keyCache().find(key);
  if (it == keyCache().end() || it->second.epoch != use.epoch() ||
      now - it->second.checked >= within)
    return false;
  handle = it->second.handle;
  bits = it->second.info.bits;
  return true;
}

void cacheKey(Use &use, const Container &c, int spec, CK_OBJECT_CLASS cls, const KeyHit &hit) {
  std::lock_guard<std::mutex> lock(cacheMu);
  auto &cache = keyCache();
  if (cache.size() >= kMaxCached) cache.clear();
  KeyHit h = hit;
  h.epoch = use.epoch();
  h.checked = std::chrono::steady_clock::now();
  cache[KeyCacheKey{&use.module(), c.token, c.label, spec, cls}] = h;
}

// The public facts of the container's key of `spec`: from the public key
// object, else from a private key object this session can see.
Step publicKey(Use &use, CK_SESSION_HANDLE s, const Container &c, int spec, KeyHit &hit,
               DWORD &error, std::string &why) {
  for (CK_OBJECT_CLASS cls : {CK_OBJECT_CLASS(CKO_PUBLIC_KEY), CK_OBJECT_CLASS(CKO_PRIVATE_KEY)}) {
    if (cachedKey(use, s, c, spec, cls, hit)) return Step::Ok;
    const CK_RV rv = findKey(use, s, c, cls, spec, nullptr, hit.handle, hit.id);
    if (rv != CKR_OK) {
      why = "C_FindObjects on token \"" + c.tokenLabel + "\": " + rvName(rv);
      error = NTE_NO_KEY;
      return tokenGone(rv) ? Step::Retry : Step::Fail;
    }
    if (hit.handle != CK_INVALID_HANDLE && readPublic(use, s, hit.handle, spec, hit.info)) {
      cacheKey(use, c, spec, cls, hit);
      return Step::Ok;
    }
  }
  error = NTE_NO_KEY;
  if (stillThere(use, c, why) == Step::Retry) return Step::Retry;
  why = "the container holds no key of that spec";
  return Step::Fail;
}

// The private key object of `spec`, logging in first (through the PIN
// prompt) when it is not visible and no login holds.
Step privateKey(Use &use, CK_SESSION_HANDLE s, const Container &c, int spec, KeyHit &hit,
                DWORD &error, std::string &why) {
  if (cachedKey(use, s, c, spec, CKO_PRIVATE_KEY, hit)) return Step::Ok;
  for (int attempt = 0; attempt < 2; ++attempt) {
    // The private key that pairs with the public one, when there is one.
    KeyHit pub;
    Bytes wanted;
    const bool paired =
        cachedKey(use, s, c, spec, CKO_PUBLIC_KEY, pub) ||
        (findKey(use, s, c, CKO_PUBLIC_KEY, spec, nullptr, pub.handle, pub.id) == CKR_OK &&
         pub.handle != CK_INVALID_HANDLE);
    const CK_RV rv =
        findKey(use, s, c, CKO_PRIVATE_KEY, spec, paired ? &pub.id : nullptr, hit.handle, hit.id);
    if (rv != CKR_OK) {
      why = "C_FindObjects on token \"" + c.tokenLabel + "\": " + rvName(rv);
      error = NTE_NO_KEY;
      return tokenGone(rv) ? Step::Retry : Step::Fail;
    }
    if (hit.handle != CK_INVALID_HANDLE) {
      if (!readPublic(use, s, hit.handle, spec, hit.info)) {
        if (!paired || !readPublic(use, s, pub.handle, spec, hit.info)) {
          error = NTE_BAD_KEY;
          why = "the key's modulus and exponent cannot be read";
          return Step::Fail;
        }
      }
      cacheKey(use, c, spec, CKO_PRIVATE_KEY, hit);
      return Step::Ok;
    }
    if (attempt == 0 && !use.loggedIn(s)) {
      // Private objects are visible only after a login.
      const Step step = ensureLogin(use, c, s, error, why);
      if (step != Step::Ok) return step;
      continue;
    }
    break;
  }
  error = NTE_NO_KEY;
  if (stillThere(use, c, why) == Step::Retry) return Step::Retry;
  why = "the container holds no private key of that spec";
  return Step::Fail;
}

// The objects of the container's key of `spec` (both classes), to be
// destroyed when a new key replaces it.
void keyObjects(Use &use, CK_SESSION_HANDLE s, const Container &c, int spec,
                std::vector<CK_OBJECT_HANDLE> &out) {
  out.clear();
  for (CK_OBJECT_CLASS cls : {CK_OBJECT_CLASS(CKO_PUBLIC_KEY), CK_OBJECT_CLASS(CKO_PRIVATE_KEY)}) {
    std::vector<CK_OBJECT_HANDLE> found;
    if (containerObjects(use, s, cls, &c.label, found) != CKR_OK) continue;
    for (CK_OBJECT_HANDLE o : found) {
      Bytes id;
      attribute(use, s, o, CKA_ID, id);
      if (isExactId(id, spec)) out.push_back(o);
    }
  }
}

DWORD storeError(CK_RV rv) {
  switch (rv) {
    case CKR_KEY_SIZE_RANGE:
      return NTE_BAD_FLAGS;
    case CKR_USER_NOT_LOGGED_IN:
      return NTE_PERM;
    case CKR_TOKEN_WRITE_PROTECTED:
    case CKR_SESSION_READ_ONLY:
      return ERROR_ACCESS_DENIED;
    case CKR_DEVICE_MEMORY:
      return NTE_NO_MEMORY;
    default:
      return NTE_FAIL;
  }
}

// The DigestInfo of a hash value. Its encoding up to the value depends only
// on the hash algorithm and the value's length: OpenSSL encodes it once
// (NULL parameters, as PKCS#1 v1.5 signatures have them) and the value is
// appended to that prefix.
bool digestInfo(const EVP_MD *md, const uint8_t *digest, size_t len, Bytes &out) {
  static std::mutex mu;
  static auto *prefixes = new std::map<std::pair<int, size_t>, Bytes>;
  const std::pair<int, size_t> key{EVP_MD_get_type(md), len};
  Bytes prefix;
  {
    std::lock_guard<std::mutex> lock(mu);
    const auto it = prefixes->find(key);
    if (it != prefixes->end()) prefix = it->second;
  }
  if (prefix.empty()) {
    X509_SIG *sig = X509_SIG_new();
    if (sig == nullptr) return false;
    X509_ALGOR *alg = nullptr;
    ASN1_OCTET_STRING *value = nullptr;
    X509_SIG_getm(sig, &alg, &value);
    const Bytes zeros(len, 0);
    bool ok = X509_ALGOR_set0(alg, OBJ_nid2obj(key.first), V_ASN1_NULL, nullptr) == 1 &&
              ASN1_OCTET_STRING_set(value, zeros.data(), static_cast<int>(len)) == 1;
    unsigned char *der = nullptr;
    const int n = ok ? i2d_X509_SIG(sig, &der) : -1;
    X509_SIG_free(sig);
    if (n <= 0 || static_cast<size_t>(n) <= len) return false;
    prefix.assign(der, der + (static_cast<size_t>(n) - len));
    OPENSSL_free(der);
    std::lock_guard<std::mutex> lock(mu);
    (*prefixes)[key] = prefix;
  }
  out = std::move(prefix);
  out.insert(out.end(), digest, digest + len);
  return true;
}

std::shared_ptr<Module> moduleOf(const Provider &provider, DWORD &error) {
  std::string why;
  auto m = Module::get(provider.image, why);
  if (!m) {
    trace::why(why);
    error = NTE_PROV_DLL_NOT_FOUND;
  }
  return m;
}

}  // namespace

bool load(const Provider &provider, DWORD &error) {
  return moduleOf(provider, error) != nullptr;
}

bool acquire(Context &ctx, const std::string &name, DWORD action, bool silent, DWORD &error) {
  Name parsed;
  if (!parseName(name, parsed)) {
    error = NTE_BAD_KEYSET_PARAM;
    trace::why("a full container name is \\\\.\\<token label>\\<container>");
    return false;
  }
  auto m = moduleOf(ctx.provider, error);
  if (!m) return false;
  auto c = std::make_shared<Container>();
  c->module = m;
  if (!silent) c->prompt = ctx.provider.pinPrompt;
  const bool creating = action == CRYPT_NEWKEYSET;
  const bool ok = run(*m, error, [&](Use &use, DWORD &err, std::string &why) {
    if (!creating && resolveCached(use, parsed, *c)) return Step::Ok;
    Step step = resolve(use, parsed, creating, *c, err, why);
    if (step != Step::Ok || !creating) return step;
    CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
    step = locate(use, *c, s, err, why);
    if (step != Step::Ok) return step;
    Template t;
    t.ulong(CKA_CLASS, CKO_DATA)
        .flag(CKA_TOKEN, true)
        .flag(CKA_PRIVATE, false)
        .flag(CKA_MODIFIABLE, true)
        .text(CKA_LABEL, c->label)
        .text(CKA_APPLICATION, kContainerApplication);
    CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
    CK_RV rv = use.fn()->C_CreateObject(s, t.data(), t.size(), &h);
    if (rv == CKR_USER_NOT_LOGGED_IN) {
      step = ensureLogin(use, *c, s, err, why);
      if (step != Step::Ok) return step;
      rv = use.fn()->C_CreateObject(s, t.data(), t.size(), &h);
    }
    if (rv != CKR_OK) {
      why = "C_CreateObject (the container's marker) on token \"" + c->tokenLabel +
            "\": " + rvName(rv);
      err = storeError(rv);
      return tokenGone(rv) ? Step::Retry : Step::Fail;
    }
    forgetContainer(use.module(), c->token, c->label);
    return Step::Ok;
  });
  if (!ok) return false;
  ctx.containerName = c->fullName;
  ctx.p11 = std::move(c);
  return true;
}

bool remove(const Provider &provider, const std::string &name, bool silent, DWORD &error) {
  Name parsed;
  if (!parseName(name, parsed)) {
    error = NTE_BAD_KEYSET;
    trace::why("container not found");
    return false;
  }
  auto m = moduleOf(provider, error);
  if (!m) return false;
  Container c;
  c.module = m;
  if (!silent) c.prompt = provider.pinPrompt;
  return run(*m, error, [&](Use &use, DWORD &err, std::string &why) {
    Step step = resolve(use, parsed, false, c, err, why);
    if (step != Step::Ok) return step;
    CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
    step = locate(use, c, s, err, why);
    if (step != Step::Ok) return step;
    std::vector<CK_OBJECT_HANDLE> pubs, all, found;
    CK_RV rv = containerObjects(use, s, CKO_PUBLIC_KEY, &c.label, pubs);
    // A container with keys loses its private keys too, which only a
    // logged-in session sees.
    if (rv == CKR_OK && !pubs.empty() && !use.loggedIn(s)) {
      step = ensureLogin(use, c, s, err, why);
      if (step != Step::Ok) return step;
    }
    for (CK_OBJECT_CLASS cls : {CK_OBJECT_CLASS(CKO_PRIVATE_KEY), CK_OBJECT_CLASS(CKO_PUBLIC_KEY),
                                CK_OBJECT_CLASS(CKO_DATA)}) {
      if (rv == CKR_OK) rv = containerObjects(use, s, cls, &c.label, found);
      all.insert(all.end(), found.begin(), found.end());
    }
    for (CK_OBJECT_HANDLE h : all) {
      if (rv != CKR_OK) break;
      rv = use.fn()->C_DestroyObject(s, h);
    }
    forgetContainer(use.module(), c.token, c.label);
    if (rv != CKR_OK) {
      why = "deleting the container's objects on token \"" + c.tokenLabel + "\": " + rvName(rv);
      err = storeError(rv);
      return tokenGone(rv) ? Step::Retry : Step::Fail;
    }
    return Step::Ok;
  });
}

std::vector<std::string> containerNames(const Provider &provider) {
  DWORD error = 0;
  std::vector<std::string> names;
  auto m = moduleOf(provider, error);
  if (!m) return names;
  run(*m, error, [&](Use &use, DWORD &err, std::string &why) {
    names.clear();
    std::vector<TokenView> tokens;
    if (!use.tokens(tokens, why)) {
      err = NTE_FAIL;
      return Step::Retry;
    }
    for (const TokenView &t : tokens) {
      if (!t.initialised()) continue;
      CK_RV rv = CKR_OK;
      const CK_SESSION_HANDLE s = use.session(t.slot, rv);
      if (s == CK_INVALID_HANDLE) continue;
      std::vector<std::string> labels;
      for (CK_OBJECT_CLASS cls : {CK_OBJECT_CLASS(CKO_DATA), CK_OBJECT_CLASS(CKO_PUBLIC_KEY),
                                  CK_OBJECT_CLASS(CKO_PRIVATE_KEY)}) {
        std::vector<CK_OBJECT_HANDLE> found;
        rv = containerObjects(use, s, cls, nullptr, found);
        if (rv != CKR_OK) {
          if (tokenGone(rv)) {
            why = "listing the containers of token \"" + t.label + "\": " + rvName(rv);
            return Step::Retry;
          }
          continue;
        }
        for (CK_OBJECT_HANDLE h : found) {
          Bytes label;
          if (attribute(use, s, h, CKA_LABEL, label) && !label.empty())
            labels.emplace_back(label.begin(), label.end());
        }
      }
      std::sort(labels.begin(), labels.end(), [](const std::string &a, const std::string &b) {
        const std::string fa = ascii::lower(a), fb = ascii::lower(b);
        return fa != fb ? fa < fb : a < b;
      });
      labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
      for (const std::string &l : labels) names.push_back(fullName(t.label, l));
    }
    return Step::Ok;
  });
  return names;
}

bool keyInfo(Context &ctx, int spec, KeyInfo &info) {
  Container &c = *ctx.p11;
  DWORD error = 0;
  return onToken(c, error, [&](Use &use, CK_SESSION_HANDLE s, DWORD &err, std::string &why) {
    KeyHit hit;
    const Step step = publicKey(use, s, c, spec, hit, err, why);
    if (step != Step::Ok) return step;
    info = hit.info;
    // Exportable: a private key this session sees that is neither
    // sensitive nor unextractable.
    KeyHit priv;
    bool sensitive = true, extractable = false;
    if (use.loggedIn(s) &&
        (cachedKey(use, s, c, spec, CKO_PRIVATE_KEY, priv) ||
         (findKey(use, s, c, CKO_PRIVATE_KEY, spec, &hit.id, priv.handle, priv.id) == CKR_OK &&
          priv.handle != CK_INVALID_HANDLE)) &&
        boolAttribute(use, s, priv.handle, CKA_SENSITIVE, sensitive) &&
        boolAttribute(use, s, priv.handle, CKA_EXTRACTABLE, extractable))
      info.exportable = !sensitive && extractable;
    return Step::Ok;
  });
}

namespace {

// Stores a new key's objects (made by `make`) and destroys those of the
// key it replaces; `info` is read from the new public key.
template <typename Make>
bool store(Context &ctx, int spec, KeyInfo &info, DWORD &error, Make &&make) {
  Container &c = *ctx.p11;
  return onToken(c, error, [&](Use &use, CK_SESSION_HANDLE s, DWORD &err, std::string &why) {
    Step step = Step::Ok;
    // A token that wants a login before its private objects gets one first;
    // another one only when it refuses the objects without.
    bool loginRequired = false;
    {
      std::lock_guard<std::mutex> lock(c.mu);
      loginRequired = (c.flags & CKF_LOGIN_REQUIRED) != 0;
    }
    if (loginRequired) {
      step = ensureLogin(use, c, s, err, why);
      if (step != Step::Ok) return step;
    }
    std::vector<CK_OBJECT_HANDLE> old;
    keyObjects(use, s, c, spec, old);
    CK_OBJECT_HANDLE pub = CK_INVALID_HANDLE, priv = CK_INVALID_HANDLE;
    CK_RV rv = make(use, s, pub, priv, why);
    if (rv == CKR_USER_NOT_LOGGED_IN && !use.loggedIn(s)) {
      step = ensureLogin(use, c, s, err, why);
      if (step != Step::Ok) return step;
      keyObjects(use, s, c, spec, old);
      rv = make(use, s, pub, priv, why);
    }
    if (rv != CKR_OK) {
      err = storeError(rv);
      why += rvName(rv);
      return tokenGone(rv) ? Step::Retry : Step::Fail;
    }
    for (CK_OBJECT_HANDLE h : old) use.fn()->C_DestroyObject(s, h);
    forgetContainer(use.module(), c.token, c.label);
    if (!readPublic(use, s, pub, spec, info)) {
      err = NTE_BAD_KEY;
      why = "the new key's modulus and exponent cannot be read";
      return Step::Fail;
    }
    bool sensitive = true, extractable = false;
    boolAttribute(use, s, priv, CKA_SENSITIVE, sensitive);
    boolAttribute(use, s, priv, CKA_EXTRACTABLE, extractable);
    info.exportable = !sensitive && extractable;
    return Step::Ok;
  });
}

void keyTemplate(Template &t, const Container &c, int spec, CK_OBJECT_CLASS cls) {
  const uint8_t id = static_cast<uint8_t>(spec);
  t.ulong(CKA_CLASS, cls)
      .ulong(CKA_KEY_TYPE, CKK_RSA)
      .flag(CKA_TOKEN, true)
      .text(CKA_LABEL, c.label)
      .add(CKA_ID, &id, 1);
  if (cls == CKO_PUBLIC_KEY) {
    t.flag(CKA_PRIVATE, false).flag(CKA_VERIFY, true).flag(CKA_ENCRYPT, true);
  } else {
    t.flag(CKA_PRIVATE, true).flag(CKA_SIGN, true).flag(CKA_DECRYPT, true);
  }
}

}  // namespace

bool generate(Context &ctx, int spec, DWORD bits, KeyInfo &info, DWORD &error) {
  Container &c = *ctx.p11;
  return store(ctx, spec, info, error,
               [&](Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE &pub, CK_OBJECT_HANDLE &priv,
                   std::string &why) {
                 Template pt, kt;
                 keyTemplate(pt, c, spec, CKO_PUBLIC_KEY);
                 pt.ulong(CKA_MODULUS_BITS, bits).bytes(CKA_PUBLIC_EXPONENT, Bytes{1, 0, 1});
                 keyTemplate(kt, c, spec, CKO_PRIVATE_KEY);
                 kt.flag(CKA_SENSITIVE, true).flag(CKA_EXTRACTABLE, false);
                 CK_MECHANISM mech{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
                 why = "C_GenerateKeyPair on token \"" + c.tokenLabel + "\": ";
                 return use.fn()->C_GenerateKeyPair(s, &mech, pt.data(), pt.size(), kt.data(),
                                                    kt.size(), &pub, &priv);
               });
}

bool import(Context &ctx, int spec, const crypto::Parts &parts, bool exportable, KeyInfo &info,
            DWORD &error) {
  Container &c = *ctx.p11;
  return store(
      ctx, spec, info, error,
      [&](Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE &pub, CK_OBJECT_HANDLE &priv,
          std::string &why) {
        CK_RV rv = CKR_OK;
        // An exportable key asks for readable components; a token
        // that refuses them gets a sensitive key instead.
        for (bool readable : {exportable, false}) {
          Template kt;
          keyTemplate(kt, c, spec, CKO_PRIVATE_KEY);
          kt.flag(CKA_SENSITIVE, !readable)
              .flag(CKA_EXTRACTABLE, readable)
              .bytes(CKA_MODULUS, parts.n)
              .bytes(CKA_PUBLIC_EXPONENT, parts.e)
              .bytes(CKA_PRIVATE_EXPONENT, parts.d)
              .bytes(CKA_PRIME_1, parts.p)
              .bytes(CKA_PRIME_2, parts.q)
              .bytes(CKA_EXPONENT_1, parts.dp)
              .bytes(CKA_EXPONENT_2, parts.dq)
              .bytes(CKA_COEFFICIENT, parts.qinv);
          rv = use.fn()->C_CreateObject(s, kt.data(), kt.size(), &priv);
          if (rv == CKR_OK || !readable) break;
          if (rv != CKR_ATTRIBUTE_VALUE_INVALID && rv != CKR_TEMPLATE_INCONSISTENT &&
              rv != CKR_ATTRIBUTE_READ_ONLY)
            break;
          trace::why("the token refuses an extractable key (" + rvName(rv) + "): stored sensitive");
        }
        if (rv != CKR_OK) {
          why = "C_CreateObject (private key) on token \"" + c.tokenLabel + "\": ";
          return rv;
        }
        Template pt;
        keyTemplate(pt, c, spec, CKO_PUBLIC_KEY);
        pt.bytes(CKA_MODULUS, parts.n).bytes(CKA_PUBLIC_EXPONENT, parts.e);
        rv = use.fn()->C_CreateObject(s, pt.data(), pt.size(), &pub);
        if (rv != CKR_OK) {
          use.fn()->C_DestroyObject(s, priv);
          why = "C_CreateObject (public key) on token \"" + c.tokenLabel + "\": ";
        }
        return rv;
      });
}

bool exportPrivate(Context &ctx, int spec, crypto::Parts &parts, DWORD &error) {
  Container &c = *ctx.p11;
  return onToken(c, error, [&](Use &use, CK_SESSION_HANDLE s, DWORD &err, std::string &why) {
    KeyHit hit;
    const Step step = privateKey(use, s, c, spec, hit, err, why);
    if (step != Step::Ok) return step;
    bool sensitive = true, extractable = false;
    if (!boolAttribute(use, s, hit.handle, CKA_SENSITIVE, sensitive) ||
        !boolAttribute(use, s, hit.handle, CKA_EXTRACTABLE, extractable) || sensitive ||
        !extractable) {
      err = NTE_BAD_KEY_STATE;
      why = "the key is not exportable (sensitive or not extractable on the token)";
      return Step::Fail;
    }
    const std::pair<CK_ATTRIBUTE_TYPE, Bytes *> fields[] = {
        {CKA_MODULUS, &parts.n},          {CKA_PUBLIC_EXPONENT, &parts.e},
        {CKA_PRIVATE_EXPONENT, &parts.d}, {CKA_PRIME_1, &parts.p},
        {CKA_PRIME_2, &parts.q},          {CKA_EXPONENT_1, &parts.dp},
        {CKA_EXPONENT_2, &parts.dq},      {CKA_COEFFICIENT, &parts.qinv}};
    for (const auto &f : fields) {
      CK_RV rv = CKR_OK;
      if (!attribute(use, s, hit.handle, f.first, *f.second, &rv)) {
        err = NTE_BAD_KEY_STATE;
        why = "reading the key's components: " + rvName(rv);
        return Step::Fail;
      }
      while (!f.second->empty() && f.second->front() == 0) f.second->erase(f.second->begin());
    }
    return Step::Ok;
  });
}

bool signatureSize(Context &ctx, int spec, DWORD &size, DWORD &error) {
  Container &c = *ctx.p11;
  return onToken(c, error, [&](Use &use, CK_SESSION_HANDLE s, DWORD &err, std::string &why) {
    // The size of a key found in this epoch needs no call into the module
    // (the signature itself checks that the key is still there).
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    uint32_t bits = 0;
    if (knownKey(use, c, spec, std::chrono::steady_clock::duration::max(), handle, bits)) {
      size = (bits + 7) / 8;
      return Step::Ok;
    }
    KeyHit hit;
    const Step step = privateKey(use, s, c, spec, hit, err, why);
    if (step == Step::Ok) size = (hit.info.bits + 7) / 8;
    return step;
  });
}

bool sign(Context &ctx, int spec, const EVP_MD *md, const uint8_t *digest, size_t digestLen,
          Bytes &sig, DWORD &error) {
  crypto::SecretBytes data;
  if (md != nullptr) {
    if (!digestInfo(md, digest, digestLen, data.bytes)) {
      error = NTE_FAIL;
      return false;
    }
  } else {
    data.bytes.assign(digest, digest + digestLen);
  }
  Container &c = *ctx.p11;
  return onToken(c, error, [&](Use &use, CK_SESSION_HANDLE s, DWORD &err, std::string &why) {
    Step step = Step::Ok;
    for (int attempt = 0; attempt < 3; ++attempt) {
      CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
      uint32_t bits = 0;
      // Within the trust window: C_SignInit refuses a handle whose object
      // went away.
      if (!knownKey(use, c, spec, trustFor(), handle, bits)) {
        KeyHit hit;
        step = privateKey(use, s, c, spec, hit, err, why);
        if (step != Step::Ok) return step;
        handle = hit.handle;
        bits = hit.info.bits;
      }
      CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
      CK_RV rv = use.fn()->C_SignInit(s, &mech, handle);
      if (rv == CKR_OK) {
        sig.assign((bits + 7) / 8, 0);
        CK_ULONG len = static_cast<CK_ULONG>(sig.size());
        rv = use.fn()->C_Sign(s, data.bytes.data(), static_cast<CK_ULONG>(data.bytes.size()),
                              sig.data(), &len);
        if (rv == CKR_OK) {
          sig.resize(len);
          return Step::Ok;
        }
      }
      why = "C_Sign on token \"" + c.tokenLabel + "\": " + rvName(rv);
      if (rv == CKR_USER_NOT_LOGGED_IN && attempt == 0) {
        step = ensureLogin(use, c, s, err, why);
        if (step != Step::Ok) return step;
        continue;
      }
      if (rv == CKR_KEY_HANDLE_INVALID || rv == CKR_OBJECT_HANDLE_INVALID) {
        forgetContainer(use.module(), c.token, c.label);
        continue;  // the key went away or was replaced: look again
      }
      err = rv == CKR_DATA_LEN_RANGE       ? NTE_BAD_SIGNATURE
            : rv == CKR_USER_NOT_LOGGED_IN ? NTE_PERM
                                           : NTE_FAIL;
      return tokenGone(rv) ? Step::Retry : Step::Fail;
    }
    err = NTE_NO_KEY;
    return Step::Fail;
  });
}

bool presentPin(Context &ctx, const std::string &pin, DWORD &error) {
  if (pin.empty()) {
    error = NTE_BAD_DATA;
    trace::why("the empty text is not a PIN");
    return false;
  }
  Container &c = *ctx.p11;
  return onToken(c, error, [&](Use &use, CK_SESSION_HANDLE s, DWORD &err, std::string &why) {
    return login(use, c, s, pin, err, why);
  });
}

}  // namespace emu::csp::pkcs11
