// The PKCS#11 key family (family.h): the operations of the KeyFamily
// interface on the containers of the provider's module's tokens.
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <vector>

#include "common/ascii.h"
#include "common/trace.h"
#include "csp/context.h"
#include "csp/key_family.h"
#include "csp/pkcs11/attributes.h"
#include "csp/pkcs11/caches.h"
#include "csp/pkcs11/card_certs.h"
#include "csp/pkcs11/certificates.h"
#include "csp/pkcs11/family.h"
#include "csp/pkcs11/key_lookup.h"
#include "csp/pkcs11/logins.h"
#include "csp/pkcs11/module.h"
#include "csp/pkcs11/pairs.h"
#include "csp/pkcs11/tokens.h"
#include "csp/provider.h"

namespace emu::csp::pkcs11 {

namespace {

using trace::Reason;

class Pkcs11Keys : public KeyFamily {
 public:
  const char *name() const override { return "pkcs11"; }

  bool holdsKeysOnTokens() const override { return true; }

  void heldCertificates(const Provider &provider,
                        std::vector<HeldCertificate> &out) const override {
    cardCertificates(provider, out);
  }

  void certificateNotCopied(const HeldCertificate &cert) const override {
    cardCertificateNotCopied(cert);
  }

  Status openVerifyContext(Context &ctx) const override;
  Status openContainer(Context &ctx, const std::string &name, bool create,
                       bool silent) const override;
  Status deleteContainer(const Provider &provider, const std::string &name,
                         bool silent) const override;
  std::vector<std::string> containerNames(const Context &ctx) const override;
  // Keys born on the token never leave it.
  bool generatesExportable() const override { return false; }
  Status generate(Context &ctx, int spec, DWORD bits, bool exportable,
                  KeyInfo &info) const override;
  Status import(Context &ctx, int spec, const crypto::Parts &parts, crypto::Pkey key,
                bool exportable, KeyInfo &info) const override;
  Status storeCertificate(Context &ctx, const KeyInfo &key, const Bytes &der) const override;
  bool keyInfo(Context &ctx, int spec, KeyInfo &info) const override;
  Status exportPrivate(Context &ctx, const KeyInfo &key, crypto::Parts &parts,
                       KeyInfo &current) const override;
  Status sign(Context &ctx, int spec, const EVP_MD *md, const uint8_t *digest, size_t digestLen,
              SignatureRequest &req) const override;
  bool takesPins() const override { return true; }
  Status presentPin(Context &ctx, int spec, const std::string &pin) const override;
  // The login belongs to the process, not to the context: nothing to drop.
  void release(Context &) const override {}
};

}  // namespace

Status Pkcs11Keys::openVerifyContext(Context &ctx) const {
  Failure f;
  if (!moduleOf(ctx.provider, f)) return f;
  return done();
}

Status Pkcs11Keys::openContainer(Context &ctx, const std::string &name, bool create,
                                 bool silent) const {
  Name parsed;
  if (!parseName(name, parsed))
    return Failure(NTE_BAD_KEYSET_PARAM, Reason::CONTAINER_NAME,
                   "a full container name is \\\\.\\<token label>\\<container>");
  Failure mf;
  auto m = moduleOf(ctx.provider, mf);
  if (!m) return mf;
  auto c = std::make_shared<Container>();
  c->module = m;
  c->silent = silent;
  if (!silent) {
    c->prompt = ctx.provider.pinPrompt;
    c->promptTimeout = std::chrono::seconds(ctx.provider.pinPromptTimeout);
  }
  const bool creating = create;
  const Status failed = run(*m, [&](Use &use, Failure &f) {
    if (!creating && resolveCached(use, parsed, *c)) return Step::Ok;
    Step step = resolve(use, parsed, creating, *c, f);
    if (step != Step::Ok || !creating) return step;
    CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
    step = locate(use, *c, s, f);
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
      step = ensureLogin(use, *c, s, f);
      if (step != Step::Ok) return step;
      rv = use.fn()->C_CreateObject(s, t.data(), t.size(), &h);
    }
    if (rv != CKR_OK) {
      f.why = "C_CreateObject (the container's marker) on token \"" + c->tokenLabel +
              "\": " + rvName(rv);
      f.code = storeError(rv);
      return tokenGone(rv) ? Step::Retry : Step::Fail;
    }
    Found::instance().forget(&use.module(), c->token, c->ident);
    return Step::Ok;
  });
  if (failed) return failed;
  ctx.containerName = c->fullName;
  ctx.p11 = std::move(c);
  return done();
}

Status Pkcs11Keys::deleteContainer(const Provider &provider, const std::string &name,
                                   bool silent) const {
  Name parsed;
  if (!parseName(name, parsed))
    return Failure(NTE_BAD_KEYSET, Reason::CONTAINER_NOT_FOUND, "container not found");
  Failure mf;
  auto m = moduleOf(provider, mf);
  if (!m) return mf;
  Container c;
  c.module = m;
  c.silent = silent;
  if (!silent) {
    c.prompt = provider.pinPrompt;
    c.promptTimeout = std::chrono::seconds(provider.pinPromptTimeout);
  }
  return run(*m, [&](Use &use, Failure &f) {
    Step step = resolve(use, parsed, false, c, f);
    if (step != Step::Ok) return step;
    CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
    step = locate(use, c, s, f);
    if (step != Step::Ok) return step;
    std::vector<CK_OBJECT_HANDLE> all, markers;
    containerKeys(use, s, c, all);
    // A container with keys loses its private keys too, which only a
    // logged-in session sees.
    if (!all.empty() && !use.loggedIn(s)) {
      step = ensureLogin(use, c, s, f);
      if (step != Step::Ok) return step;
      containerKeys(use, s, c, all);
    }
    CK_RV rv = CKR_OK;
    // A library container's certificates (KP_CERTIFICATE) go with it; a
    // key pair's certificate is the issuer's and stays.
    std::vector<Bytes> certIds;
    if (!c.pair) {
      std::vector<std::pair<CK_OBJECT_HANDLE, KeyIds>> recorded;
      rv = libraryMarkers(use, s, c.label, recorded);
      for (const auto &[marker, ids] : recorded) {
        markers.push_back(marker);
        for (const auto &entry : ids) certIds.push_back(entry.first);
      }
      for (uint8_t spec : {AT_KEYEXCHANGE, AT_SIGNATURE}) certIds.push_back(Bytes{spec});
    }
    for (const Bytes &id : certIds) {
      if (rv != CKR_OK) break;
      Template certs;
      certs.ulong(CKA_CLASS, CKO_CERTIFICATE).text(CKA_LABEL, c.label).bytes(CKA_ID, id);
      std::vector<CK_OBJECT_HANDLE> found;
      rv = findObjects(use, s, certs, found);
      markers.insert(markers.end(), found.begin(), found.end());
    }
    all.insert(all.end(), markers.begin(), markers.end());
    for (CK_OBJECT_HANDLE h : all) {
      if (rv != CKR_OK) break;
      rv = use.fn()->C_DestroyObject(s, h);
    }
    Found::instance().forget(&use.module(), c.token, c.ident);
    if (rv != CKR_OK) {
      f.why = "deleting the container's objects on token \"" + c.tokenLabel + "\": " + rvName(rv);
      f.code = storeError(rv);
      return tokenGone(rv) ? Step::Retry : Step::Fail;
    }
    return Step::Ok;
  });
}

std::vector<std::string> Pkcs11Keys::containerNames(const Context &ctx) const {
  std::vector<std::string> names;
  Failure mf;
  auto m = moduleOf(ctx.provider, mf);
  if (!m) {
    trace::why(mf.why);
    return names;
  }
  const Status failed = run(*m, [&](Use &use, Failure &f) {
    names.clear();
    std::vector<TokenView> tokens;
    if (!use.tokens(tokens, f)) {
      f.code = NTE_FAIL;
      return Step::Retry;
    }
    for (const TokenView &t : tokens) {
      if (!t.initialised()) continue;
      CK_RV rv = CKR_OK;
      const CK_SESSION_HANDLE s = use.session(t.slot, rv);
      if (s == CK_INVALID_HANDLE) continue;
      std::vector<TokenContainer> all;
      rv = tokenContainers(use, s, all);
      if (rv != CKR_OK) {
        if (tokenGone(rv)) {
          f.why = "listing the containers of token \"" + t.label + "\": " + rvName(rv);
          return Step::Retry;
        }
        continue;
      }
      // What was found on the token before is looked for afresh: an
      // enumeration is when the caller sees other programs' changes.
      Found::instance().forgetToken(&use.module(), tokenKey(t.serial, t.label));
      for (const TokenContainer &c : all) names.push_back(fullName(t.label, c.name));
    }
    return Step::Ok;
  });
  if (failed && !failed->why.empty()) trace::why(failed->why);
  return names;
}

// A key that signs is known without a module call while it is cached, as
// its handle is for signing: its public facts, and whether it
// is exportable once read from its object, are taken as they were. So a
// caller that reads the key's public blob around each signature (the JCA
// provider compares it with the certificate's key) keeps the steady state of
// two module calls per signature. A key another process replaced fails the
// next signature's C_SignInit, which finds the new key, and the cache holds
// that one from then on.
bool Pkcs11Keys::keyInfo(Context &ctx, int spec, KeyInfo &info) const {
  Container &c = *ctx.p11;
  const Status failed = onToken(c, [&](Use &use, CK_SESSION_HANDLE s, Failure &f) {
    const KeyRef signing{&use.module(), c.token, c.ident, spec, CKO_PRIVATE_KEY};
    if (Found::instance().recentFacts(signing, use.epoch(), factsTrustedFor(), info))
      return Step::Ok;
    KeyHit hit;
    const Step step = publicKey(use, s, c, spec, hit, f);
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
        boolAttribute(use, s, priv.handle, CKA_EXTRACTABLE, extractable)) {
      info.exportable = !sensitive && extractable;
      Found::instance().keyExportable(signing, priv.handle, info.exportable);
    }
    return Step::Ok;
  });
  if (failed && !failed->why.empty()) trace::why(failed->why);
  return !failed;
}

namespace {

// Whether an object on the token (other than `except`) has CKA_ID `id`.
bool idTaken(Use &use, CK_SESSION_HANDLE s, const Bytes &id,
             std::initializer_list<CK_OBJECT_HANDLE> except) {
  Template t;
  t.bytes(CKA_ID, id);
  std::vector<CK_OBJECT_HANDLE> found;
  if (findObjects(use, s, t, found) != CKR_OK) return true;
  return std::any_of(found.begin(), found.end(), [&](CK_OBJECT_HANDLE h) {
    return std::find(except.begin(), except.end(), h) == except.end();
  });
}

CK_RV setId(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, const Bytes &id) {
  Template t;
  t.bytes(CKA_ID, id);
  return use.fn()->C_SetAttributeValue(s, h, t.data(), t.size());
}

// Gives a library container's new key (made with its key spec as CKA_ID)
// a CKA_ID that no other object on the token has, as NSS and OpenSC make
// them: the SHA-1 of its modulus (followed by a counting byte when another
// object has that already, as a second copy of one key would). A record of
// it (pairs.h) is made first, so the key is the container's at every
// moment: by the key-spec id until it is renamed, by the recorded id after;
// then the records of the key it replaced go. A token that refuses the
// rename, and a container without a marker (made before markers existed),
// keep the key-spec id.
void assignKeyId(Use &use, CK_SESSION_HANDLE s, const Container &c, int spec, const KeyInfo &info,
                 CK_OBJECT_HANDLE pub, CK_OBJECT_HANDLE priv) {
  Bytes id(SHA_DIGEST_LENGTH);
  SHA1(info.modulus.data(), info.modulus.size(), id.data());
  for (unsigned n = 1; idTaken(use, s, id, {pub, priv}); ++n) {
    if (n > 255) return;
    if (n > 1) id.pop_back();
    id.push_back(static_cast<uint8_t>(n));
  }
  std::vector<std::pair<CK_OBJECT_HANDLE, KeyIds>> markers;
  if (libraryMarkers(use, s, c.label, markers) != CKR_OK || markers.empty()) return;
  Template t;
  t.ulong(CKA_CLASS, CKO_DATA)
      .flag(CKA_TOKEN, true)
      .flag(CKA_PRIVATE, false)
      .flag(CKA_MODIFIABLE, true)
      .text(CKA_LABEL, c.label)
      .text(CKA_APPLICATION, kContainerApplication)
      .bytes(CKA_VALUE, encodeKeyIds({{id, spec}}));
  CK_OBJECT_HANDLE record = CK_INVALID_HANDLE;
  CK_RV rv = use.fn()->C_CreateObject(s, t.data(), t.size(), &record);
  if (rv == CKR_OK) rv = setId(use, s, pub, id);
  if (rv == CKR_OK) rv = setId(use, s, priv, id);
  if (rv != CKR_OK) {
    const Bytes specId{static_cast<uint8_t>(spec)};
    setId(use, s, pub, specId);
    if (record != CK_INVALID_HANDLE) use.fn()->C_DestroyObject(s, record);
    trace::why("token \"" + c.tokenLabel + "\" refused a CKA_ID of the key's own (" + rvName(rv) +
               "): it keeps its key spec as CKA_ID");
    return;
  }
  // The records of the key this one replaced, and the certificates written
  // for it (by its recorded id or its spec id), which certify no key now.
  std::vector<Bytes> replacedIds{Bytes{static_cast<uint8_t>(spec)}};
  for (const auto &[marker, ids] : markers) {
    const bool replaced = !ids.empty() && std::all_of(ids.begin(), ids.end(), [&](const auto &e) {
      return e.second == spec && e.first != id;
    });
    if (!replaced) continue;
    for (const auto &entry : ids) replacedIds.push_back(entry.first);
    use.fn()->C_DestroyObject(s, marker);
  }
  for (const Bytes &was : replacedIds) {
    Template certs;
    certs.ulong(CKA_CLASS, CKO_CERTIFICATE).text(CKA_LABEL, c.label).bytes(CKA_ID, was);
    std::vector<CK_OBJECT_HANDLE> found;
    if (findObjects(use, s, certs, found) != CKR_OK) continue;
    for (CK_OBJECT_HANDLE h : found) use.fn()->C_DestroyObject(s, h);
  }
}

// Stores a new key's objects (made by `make`) and destroys those of the
// key it replaces; `info` is read from the new public key. A library
// container's new key then takes a CKA_ID of its own (assignKeyId).
template <typename Make>
Status store(Context &ctx, int spec, KeyInfo &info, Make &&make) {
  Container &c = *ctx.p11;
  if (c.pair && pairSpec(c.id) != spec)
    return Failure(NTE_BAD_KEYSET, Reason::NO_KEY_OF_SPEC,
                   "a key pair joined by CKA_ID holds one key, of the other key spec");
  return onToken(c, [&](Use &use, CK_SESSION_HANDLE s, Failure &f) {
    Step step = Step::Ok;
    // A token that wants a login before its private objects gets one first;
    // another one only when it refuses the objects without.
    bool loginRequired = false;
    {
      std::lock_guard<std::mutex> lock(c.mu);
      loginRequired = (c.flags & CKF_LOGIN_REQUIRED) != 0;
    }
    if (loginRequired) {
      step = ensureLogin(use, c, s, f);
      if (step != Step::Ok) return step;
    }
    std::vector<CK_OBJECT_HANDLE> old;
    keyObjects(use, s, c, spec, old);
    CK_OBJECT_HANDLE pub = CK_INVALID_HANDLE, priv = CK_INVALID_HANDLE;
    CK_RV rv = make(use, s, pub, priv, f.why);
    if (rv == CKR_USER_NOT_LOGGED_IN && !use.loggedIn(s)) {
      step = ensureLogin(use, c, s, f);
      if (step != Step::Ok) return step;
      keyObjects(use, s, c, spec, old);
      rv = make(use, s, pub, priv, f.why);
    }
    if (rv != CKR_OK) {
      f.code = storeError(rv);
      f.why += rvName(rv);
      return tokenGone(rv) ? Step::Retry : Step::Fail;
    }
    for (CK_OBJECT_HANDLE h : old) use.fn()->C_DestroyObject(s, h);
    const bool readable = readPublic(use, s, pub, spec, info);
    if (readable && !c.pair) assignKeyId(use, s, c, spec, info, pub, priv);
    Found::instance().forget(&use.module(), c.token, c.ident);
    if (!readable) {
      f.code = NTE_BAD_KEY;
      f.why = "the new key's modulus and exponent cannot be read";
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
  const Bytes id = c.pair ? c.id : Bytes{static_cast<uint8_t>(spec)};
  t.ulong(CKA_CLASS, cls)
      .ulong(CKA_KEY_TYPE, CKK_RSA)
      .flag(CKA_TOKEN, true)
      .text(CKA_LABEL, c.label)
      .bytes(CKA_ID, id);
  if (cls == CKO_PUBLIC_KEY) {
    t.flag(CKA_PRIVATE, false).flag(CKA_VERIFY, true).flag(CKA_ENCRYPT, true);
  } else {
    t.flag(CKA_PRIVATE, true).flag(CKA_SIGN, true).flag(CKA_DECRYPT, true);
  }
}

}  // namespace

Status Pkcs11Keys::generate(Context &ctx, int spec, DWORD bits, bool, KeyInfo &info) const {
  Container &c = *ctx.p11;
  return store(ctx, spec, info,
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

Status Pkcs11Keys::import(Context &ctx, int spec, const crypto::Parts &parts, crypto::Pkey,
                          bool exportable, KeyInfo &info) const {
  Container &c = *ctx.p11;
  return store(
      ctx, spec, info,
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

// The certificate an import (or the caller) gives the key goes onto the
// token beside it (certificates.h).
Status Pkcs11Keys::storeCertificate(Context &ctx, const KeyInfo &key, const Bytes &der) const {
  if (ctx.verifyOnly) return Failure(NTE_BAD_KEYSET);
  return writeCertificate(*ctx.p11, key, der);
}

Status Pkcs11Keys::exportPrivate(Context &ctx, const KeyInfo &key, crypto::Parts &parts,
                                 KeyInfo &current) const {
  current = key;
  const int spec = key.spec;
  Container &c = *ctx.p11;
  return onToken(c, [&](Use &use, CK_SESSION_HANDLE s, Failure &f) {
    KeyHit hit;
    const Step step = privateKey(use, s, c, spec, hit, f);
    if (step != Step::Ok) return step;
    bool sensitive = true, extractable = false;
    if (!boolAttribute(use, s, hit.handle, CKA_SENSITIVE, sensitive) ||
        !boolAttribute(use, s, hit.handle, CKA_EXTRACTABLE, extractable) || sensitive ||
        !extractable) {
      f.code = NTE_BAD_KEY_STATE;
      f.cause = Reason::KEY_NOT_EXPORTABLE;
      f.why = "the key is not exportable (sensitive or not extractable on the token)";
      return Step::Fail;
    }
    const std::pair<CK_ATTRIBUTE_TYPE, Bytes *> fields[] = {
        {CKA_MODULUS, &parts.n},          {CKA_PUBLIC_EXPONENT, &parts.e},
        {CKA_PRIVATE_EXPONENT, &parts.d}, {CKA_PRIME_1, &parts.p},
        {CKA_PRIME_2, &parts.q},          {CKA_EXPONENT_1, &parts.dp},
        {CKA_EXPONENT_2, &parts.dq},      {CKA_COEFFICIENT, &parts.qinv}};
    for (const auto &field : fields) {
      CK_RV rv = CKR_OK;
      Bytes &value = *field.second;
      if (!attribute(use, s, hit.handle, field.first, value, &rv)) {
        f.code = NTE_BAD_KEY_STATE;
        f.why = "reading the key's components: " + rvName(rv);
        return Step::Fail;
      }
      while (!value.empty() && value.front() == 0) value.erase(value.begin());
    }
    return Step::Ok;
  });
}

namespace {

// The length of a signature of the private key of `spec` (logging in
// through the PIN prompt when the key is not visible without a login).
Status signatureSize(Context &ctx, int spec, DWORD &size) {
  Container &c = *ctx.p11;
  return onToken(c, [&](Use &use, CK_SESSION_HANDLE s, Failure &f) {
    // The size of a key found in this epoch needs no call into the module
    // (the signature itself checks that the key is still there).
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    uint32_t bits = 0;
    if (knownKey(use, c, spec, std::chrono::steady_clock::duration::max(), handle, bits)) {
      size = (bits + 7) / 8;
      return Step::Ok;
    }
    KeyHit hit;
    const Step step = privateKey(use, s, c, spec, hit, f);
    if (step == Step::Ok) size = (hit.info.bits + 7) / 8;
    return step;
  });
}

}  // namespace

// The steady state is two module calls, C_SignInit and C_Sign, however long
// the process signs and however many objects the token holds: the key
// found before (its handle, its size from its
// modulus, so C_Sign is not asked for the length first) and the login are
// taken as they were. The token refuses what no longer holds, and then the
// slow path runs and the signature once more: a key that went away (deleted,
// replaced, or hidden by a logout) is looked up again, a login that went away
// is taken again with the PIN the context presented, else through the PIN
// prompt, else the signature is refused; a token that went away
// re-initialises the module.
Status Pkcs11Keys::sign(Context &ctx, int spec, const EVP_MD *md, const uint8_t *digest,
                        size_t digestLen, SignatureRequest &req) const {
  if (ctx.verifyOnly) return Failure(NTE_BAD_KEYSET);
  if (auto f = signatureSize(ctx, spec, req.size)) return f;
  if (req.sizeOnly || req.room < req.size) return done();
  Bytes &sig = req.value;
  crypto::SecretBytes data;
  if (md != nullptr) {
    if (!crypto::digestInfo(md, digest, digestLen, data.bytes)) return Failure(NTE_FAIL);
  } else {
    data.bytes.assign(digest, digest + digestLen);
  }
  Container &c = *ctx.p11;
  return onToken(c, [&](Use &use, CK_SESSION_HANDLE s, Failure &f) {
    const KeyRef ref{&use.module(), c.token, c.ident, spec, CKO_PRIVATE_KEY};
    KeyHit key;
    // kVerifyEvery after the key was found or checked, a signature is
    // verified with the key's public half: then the key counts as checked.
    // Nothing is read back from the token (a deleted container's key fails
    // the next signature).
    bool due = false;
    bool known = Found::instance().signingKey(ref, use.epoch(), verifyEvery(), key, due);
    bool loggedInAgain = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (!known) {
        const Step step = privateKey(use, s, c, spec, key, f);
        if (step != Step::Ok) return step;
        due = false;  // just found or read back
      }
      known = false;
      CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
      CK_RV rv = use.fn()->C_SignInit(s, &mech, key.handle);
      if (rv == CKR_OK) {
        sig.assign((key.info.bits + 7) / 8, 0);
        CK_ULONG len = static_cast<CK_ULONG>(sig.size());
        rv = use.fn()->C_Sign(s, data.bytes.data(), static_cast<CK_ULONG>(data.bytes.size()),
                              sig.data(), &len);
        if (rv == CKR_OK) {
          sig.resize(len);
          if (!due) return Step::Ok;
          // No module call; a handle that another key took over is caught
          // (reading the key's label and CKA_ID back would not tell a
          // replacement with the same ones).
          if (crypto::verifiesRaw(key.info.modulus, key.info.exponent, data.bytes, sig)) {
            Found::instance().signatureVerified(ref, key.handle, Clock::now());
            return Step::Ok;
          }
          Found::instance().forget(&use.module(), c.token, c.ident);
          continue;
        }
      }
      f.why = "C_Sign on token \"" + c.tokenLabel + "\": " + rvName(rv);
      if (rv == CKR_USER_NOT_LOGGED_IN && !loggedInAgain) {
        // The module keeps the key's handle across a logout.
        loggedInAgain = true;
        const Step step = ensureLogin(use, c, s, f);
        if (step != Step::Ok) return step;
        continue;
      }
      if (rv == CKR_KEY_HANDLE_INVALID || rv == CKR_OBJECT_HANDLE_INVALID) {
        // The key went away or was replaced, or a logout took the handles
        // of private objects: look again (logging in again if needed).
        Found::instance().forget(&use.module(), c.token, c.ident);
        continue;
      }
      f.code = rv == CKR_DATA_LEN_RANGE       ? NTE_BAD_SIGNATURE
               : rv == CKR_USER_NOT_LOGGED_IN ? NTE_PERM
                                              : NTE_FAIL;
      return tokenGone(rv) ? Step::Retry : Step::Fail;
    }
    f.code = NTE_NO_KEY;
    return Step::Fail;
  });
}

// One user PIN per token, whichever key spec names it. A PIN the token
// accepted before in this process is compared with its hash alone: whether
// the login still holds is left to the operation that needs it, which logs
// in again with this PIN when it went away (ensureLogin). The context keeps
// the PIN for that.
Status Pkcs11Keys::presentPin(Context &ctx, int, const std::string &pin) const {
  if (ctx.verifyOnly) return Failure(NTE_BAD_KEYSET);
  if (pin.empty()) return Failure(NTE_BAD_DATA, Reason::PIN_EMPTY, "the empty text is not a PIN");
  Container &c = *ctx.p11;
  const Status failed = onToken(c, [&](Use &use, CK_SESSION_HANDLE s, Failure &f) {
    if (acceptedPin(use, c, pin)) return Step::Ok;
    return login(use, c, s, pin, f);
  });
  if (failed)
    c.keepPin(std::string());
  else
    c.keepPin(pin);
  return failed;
}

}  // namespace emu::csp::pkcs11

namespace emu::csp {

const KeyFamily &pkcs11Keys() {
  static const pkcs11::Pkcs11Keys family;
  return family;
}

}  // namespace emu::csp
