#include "csp/pkcs11/key_lookup.h"

#include "csp/pkcs11/attributes.h"
#include "csp/pkcs11/logins.h"
#include "csp/pkcs11/pairs.h"

namespace emu::csp::pkcs11 {

namespace {

// A key object of a container, with the key spec it serves.
struct KeyObject {
  CK_OBJECT_HANDLE handle;
  Bytes id;
  int spec;
};

// The key objects of a class that belong to the container: a pair's
// objects with its CKA_ID and label; a library container's with its label
// and the CKA_ID its marker records for a key spec, or 01 or 02.
CK_RV keysOf(Use &use, CK_SESSION_HANDLE s, const Container &c, CK_OBJECT_CLASS cls,
             std::vector<KeyObject> &out) {
  out.clear();
  std::vector<CK_OBJECT_HANDLE> found;
  KeyIds ids;
  CK_RV rv = CKR_OK;
  if (c.pair) {
    Template t;
    t.ulong(CKA_CLASS, cls).flag(CKA_TOKEN, true).ulong(CKA_KEY_TYPE, CKK_RSA).bytes(CKA_ID, c.id);
    rv = findObjects(use, s, t, found);
  } else {
    rv = libraryKeyIds(use, s, c.label, ids);
    if (rv == CKR_OK) rv = containerObjects(use, s, cls, &c.label, found);
  }
  if (rv != CKR_OK) return rv;
  for (CK_OBJECT_HANDLE o : found) {
    Bytes id, label;
    attribute(use, s, o, CKA_ID, id);
    int spec = 0;
    if (c.pair) {
      attribute(use, s, o, CKA_LABEL, label);
      if (std::string(label.begin(), label.end()) != c.label) continue;
      spec = pairSpec(c.id);
    } else {
      spec = librarySpec(ids, id);
      if (spec == 0) continue;  // a key pair that shares the label (pairs.h)
    }
    out.push_back({o, id, spec});
  }
  return CKR_OK;
}

void cacheKey(Use &use, const Container &c, int spec, CK_OBJECT_CLASS cls, const KeyHit &hit) {
  Found::instance().rememberKey({&use.module(), c.token, c.ident, spec, cls}, use.epoch(), hit);
}

}  // namespace

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

CK_RV findKey(Use &use, CK_SESSION_HANDLE s, const Container &c, CK_OBJECT_CLASS cls, int spec,
              const Bytes *wantId, CK_OBJECT_HANDLE &h, Bytes &id) {
  h = CK_INVALID_HANDLE;
  std::vector<KeyObject> found;
  const CK_RV rv = keysOf(use, s, c, cls, found);
  if (rv != CKR_OK) return rv;
  for (const KeyObject &o : found) {
    if (wantId != nullptr ? o.id != *wantId : o.spec != spec) continue;
    h = o.handle;
    id = o.id;
    return CKR_OK;
  }
  return CKR_OK;
}

bool cachedKey(Use &use, CK_SESSION_HANDLE s, const Container &c, int spec, CK_OBJECT_CLASS cls,
               KeyHit &hit) {
  const KeyRef ref{&use.module(), c.token, c.ident, spec, cls};
  if (!Found::instance().key(ref, use.epoch(), hit)) return false;
  const auto now = Clock::now();
  const bool still = stillIs(use, s, hit.handle, c.label, &hit.id);
  Found::instance().keyChecked(ref, hit.handle, still, now);
  // A key that went away or changed: the container, opened from the cache
  // without asking the token, is looked for afresh by the next open.
  if (!still) Found::instance().forget(&use.module(), c.token, c.ident);
  return still;
}

bool knownKey(Use &use, const Container &c, int spec, std::chrono::steady_clock::duration within,
              CK_OBJECT_HANDLE &handle, uint32_t &bits) {
  return Found::instance().recentKey({&use.module(), c.token, c.ident, spec, CKO_PRIVATE_KEY},
                                     use.epoch(), within, handle, bits);
}

Step publicKey(Use &use, CK_SESSION_HANDLE s, const Container &c, int spec, KeyHit &hit,
               Failure &f) {
  for (CK_OBJECT_CLASS cls : {CK_OBJECT_CLASS(CKO_PUBLIC_KEY), CK_OBJECT_CLASS(CKO_PRIVATE_KEY)}) {
    if (cachedKey(use, s, c, spec, cls, hit)) return Step::Ok;
    const CK_RV rv = findKey(use, s, c, cls, spec, nullptr, hit.handle, hit.id);
    if (rv != CKR_OK) {
      f.why = "C_FindObjects on token \"" + c.tokenLabel + "\": " + rvName(rv);
      f.code = NTE_NO_KEY;
      return tokenGone(rv) ? Step::Retry : Step::Fail;
    }
    if (hit.handle != CK_INVALID_HANDLE && readPublic(use, s, hit.handle, spec, hit.info)) {
      cacheKey(use, c, spec, cls, hit);
      return Step::Ok;
    }
  }
  f.code = NTE_NO_KEY;
  if (stillThere(use, c, f) == Step::Retry) return Step::Retry;
  f.cause = trace::Reason::NO_KEY_OF_SPEC;
  f.why = "the container holds no key of that spec";
  return Step::Fail;
}

Step privateKey(Use &use, CK_SESSION_HANDLE s, const Container &c, int spec, KeyHit &hit,
                Failure &f) {
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
      f.why = "C_FindObjects on token \"" + c.tokenLabel + "\": " + rvName(rv);
      f.code = NTE_NO_KEY;
      return tokenGone(rv) ? Step::Retry : Step::Fail;
    }
    if (hit.handle != CK_INVALID_HANDLE) {
      if (!readPublic(use, s, hit.handle, spec, hit.info)) {
        if (!paired || !readPublic(use, s, pub.handle, spec, hit.info)) {
          f.code = NTE_BAD_KEY;
          f.why = "the key's modulus and exponent cannot be read";
          return Step::Fail;
        }
      }
      cacheKey(use, c, spec, CKO_PRIVATE_KEY, hit);
      return Step::Ok;
    }
    if (attempt == 0 && !use.loggedIn(s)) {
      // Private objects are visible only after a login.
      const Step step = ensureLogin(use, c, s, f);
      if (step != Step::Ok) return step;
      continue;
    }
    break;
  }
  f.code = NTE_NO_KEY;
  if (stillThere(use, c, f) == Step::Retry) return Step::Retry;
  f.cause = trace::Reason::NO_KEY_OF_SPEC;
  f.why = "the container holds no private key of that spec";
  return Step::Fail;
}

void keyObjects(Use &use, CK_SESSION_HANDLE s, const Container &c, int spec,
                std::vector<CK_OBJECT_HANDLE> &out) {
  out.clear();
  for (CK_OBJECT_CLASS cls : {CK_OBJECT_CLASS(CKO_PUBLIC_KEY), CK_OBJECT_CLASS(CKO_PRIVATE_KEY)}) {
    std::vector<KeyObject> found;
    if (keysOf(use, s, c, cls, found) != CKR_OK) continue;
    for (const KeyObject &o : found)
      if (o.spec == spec) out.push_back(o.handle);
  }
}

void containerKeys(Use &use, CK_SESSION_HANDLE s, const Container &c,
                   std::vector<CK_OBJECT_HANDLE> &out) {
  out.clear();
  for (CK_OBJECT_CLASS cls : {CK_OBJECT_CLASS(CKO_PRIVATE_KEY), CK_OBJECT_CLASS(CKO_PUBLIC_KEY)}) {
    std::vector<KeyObject> found;
    if (keysOf(use, s, c, cls, found) != CKR_OK) continue;
    for (const KeyObject &o : found) out.push_back(o.handle);
  }
}

}  // namespace emu::csp::pkcs11
