// The certificate of a key on its token (certificates.h).
#include "csp/pkcs11/certificates.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

#include "common/trace.h"
#include "csp/pkcs11/attributes.h"
#include "csp/pkcs11/key_lookup.h"
#include "csp/pkcs11/logins.h"

namespace emu::csp::pkcs11 {

namespace {

struct X509Free {
  void operator()(X509 *x) const { X509_free(x); }
};
struct BnFree {
  void operator()(BIGNUM *b) const { BN_free(b); }
};

// The DER of what an i2d function encodes; empty when it fails.
template <typename T, typename F>
Bytes encoded(const T *value, F &&i2d) {
  const int n = i2d(value, nullptr);
  if (n <= 0) return {};
  Bytes out(static_cast<size_t>(n));
  unsigned char *p = out.data();
  if (i2d(value, &p) != n) return {};
  return out;
}

// An unsigned big-endian number without its leading zero bytes.
Bytes stripped(Bytes b) {
  size_t zeros = 0;
  while (zeros < b.size() && b[zeros] == 0) ++zeros;
  b.erase(b.begin(), b.begin() + static_cast<long>(zeros));
  return b;
}

// Whether the certificate's public key is the RSA key `key`.
bool certifies(X509 *cert, const KeyInfo &key) {
  EVP_PKEY *pub = X509_get0_pubkey(cert);
  if (pub == nullptr || EVP_PKEY_get_base_id(pub) != EVP_PKEY_RSA) return false;
  BIGNUM *n = nullptr, *e = nullptr;
  EVP_PKEY_get_bn_param(pub, OSSL_PKEY_PARAM_RSA_N, &n);
  EVP_PKEY_get_bn_param(pub, OSSL_PKEY_PARAM_RSA_E, &e);
  const std::unique_ptr<BIGNUM, BnFree> nHolder(n), eHolder(e);
  if (n == nullptr || e == nullptr) return false;
  Bytes modulus(static_cast<size_t>(BN_num_bytes(n)));
  BN_bn2bin(n, modulus.data());
  return stripped(modulus) == stripped(key.modulus) && BN_is_word(e, key.exponent);
}

}  // namespace

Status writeCertificate(Container &c, const KeyInfo &key, const Bytes &der) {
  const unsigned char *p = der.data();
  const std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  // Exactly one certificate in DER, as the stores take them: one encoding
  // per certificate.
  if (!cert || p != der.data() + der.size() || encoded(cert.get(), i2d_X509) != der)
    return Failure(CRYPT_E_ASN1_BADTAG, "not exactly one DER certificate");
  if (!certifies(cert.get(), key))
    return Failure(NTE_BAD_KEY, "the certificate's public key is not the key's");
  const Bytes subject = encoded(X509_get_subject_name(cert.get()), i2d_X509_NAME);
  const Bytes issuer = encoded(X509_get_issuer_name(cert.get()), i2d_X509_NAME);
  const Bytes serial = encoded(X509_get0_serialNumber(cert.get()), i2d_ASN1_INTEGER);
  if (subject.empty() || issuer.empty() || serial.empty())
    return Failure(CRYPT_E_ASN1_BADTAG, "the certificate's names or serial cannot be encoded");
  return onToken(c, [&](Use &use, CK_SESSION_HANDLE s, Failure &f) {
    // The key's own CKA_ID (a library container's key has one of its own,
    // or, made before, its key spec).
    Bytes id = c.pair ? c.id : Bytes{static_cast<uint8_t>(key.spec)};
    if (!c.pair) {
      KeyHit hit;
      const Step step = publicKey(use, s, c, key.spec, hit, f);
      if (step != Step::Ok) return step;
      id = hit.id;
    }
    // Its certificates: of that id, and of the key-spec id it may have had.
    std::vector<Bytes> ids{id};
    const Bytes specId{static_cast<uint8_t>(key.spec)};
    if (!c.pair && id != specId) ids.push_back(specId);
    std::vector<CK_OBJECT_HANDLE> old;
    CK_RV rv = CKR_OK;
    for (const Bytes &was : ids) {
      if (rv != CKR_OK) break;
      Template find;
      find.ulong(CKA_CLASS, CKO_CERTIFICATE).text(CKA_LABEL, c.label).bytes(CKA_ID, was);
      std::vector<CK_OBJECT_HANDLE> found;
      rv = findObjects(use, s, find, found);
      old.insert(old.end(), found.begin(), found.end());
    }
    if (rv != CKR_OK) {
      f.why =
          "finding the container's certificates on token \"" + c.tokenLabel + "\": " + rvName(rv);
      f.code = NTE_FAIL;
      return tokenGone(rv) ? Step::Retry : Step::Fail;
    }
    CK_OBJECT_HANDLE kept = CK_INVALID_HANDLE;
    for (CK_OBJECT_HANDLE h : old) {
      Bytes value;
      if (attribute(use, s, h, CKA_VALUE, value) && value == der) kept = h;
    }
    if (kept == CK_INVALID_HANDLE) {
      Template t;
      t.ulong(CKA_CLASS, CKO_CERTIFICATE)
          .ulong(CKA_CERTIFICATE_TYPE, CKC_X_509)
          .flag(CKA_TOKEN, true)
          .flag(CKA_PRIVATE, false)
          .flag(CKA_MODIFIABLE, true)
          .text(CKA_LABEL, c.label)
          .bytes(CKA_ID, id)
          .bytes(CKA_SUBJECT, subject)
          .bytes(CKA_ISSUER, issuer)
          .bytes(CKA_SERIAL_NUMBER, serial)
          .bytes(CKA_VALUE, der);
      rv = use.fn()->C_CreateObject(s, t.data(), t.size(), &kept);
      if (rv == CKR_USER_NOT_LOGGED_IN && !use.loggedIn(s)) {
        const Step step = ensureLogin(use, c, s, f);
        if (step != Step::Ok) return step;
        rv = use.fn()->C_CreateObject(s, t.data(), t.size(), &kept);
      }
      if (rv != CKR_OK) {
        f.why = "C_CreateObject (certificate) on token \"" + c.tokenLabel + "\": " + rvName(rv);
        f.code = storeError(rv);
        return tokenGone(rv) ? Step::Retry : Step::Fail;
      }
    }
    // The container's certificate of that key is the one just given.
    for (CK_OBJECT_HANDLE h : old)
      if (h != kept) use.fn()->C_DestroyObject(s, h);
    return Step::Ok;
  });
}

}  // namespace emu::csp::pkcs11
