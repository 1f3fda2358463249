// Keys of a container: generation, import, export, the user key handles and
// their parameters.
#include "csp/keys.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <memory>

#include "common/api.h"
#include "csp/blob.h"
#include "csp/key_family.h"
#include "storage/guard.h"

using emu::csp::Context;
using emu::csp::contexts;
using emu::csp::Key;
using emu::csp::KeyInfo;
using emu::csp::keys;
namespace blob = emu::csp::blob;
namespace crypto = emu::csp::crypto;

namespace {

// The provider's default key length, used when CryptGenKey's flags give 0.
constexpr DWORD kDefaultBits = 2048;

// Permissions every key of the CSP has; CRYPT_EXPORT is added for
// exportable keys.
constexpr DWORD kBasePermissions =
    CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC;

BOOL giveKey(std::shared_ptr<Context> ctx, const KeyInfo &info, HCRYPTKEY *phKey) {
  auto key = std::make_shared<Key>();
  key->ctx = std::move(ctx);
  key->info = info;
  *phKey = keys().add(std::move(key));
  return emu::succeed();
}

// KP_CERTIFICATE passes no length, as on Windows: the certificate's own DER
// header tells it. As no bound on the caller's buffer is known, only what the
// structure vouches for is read: the outer SEQUENCE's header (a definite
// length of at most kMostCertificate), then the headers of its three elements
// (tbsCertificate, signatureAlgorithm, signatureValue), each bounded by what
// the outer length leaves; their lengths must add up to the outer one. A
// header that claims more than the elements hold (or less) is refused before
// anything past the real elements is read. Then OpenSSL must decode exactly
// those bytes as one certificate. The copy of the element, or nothing.
constexpr long kMostCertificate = 1L << 16;  // a certificate on a card is a few kilobytes

crypto::Bytes certificateElement(const BYTE *p) {
  const unsigned char *at = p;
  long len = 0;
  int tag = 0, cls = 0;
  // The header alone is at most 2 + sizeof(long) bytes; its length is checked below.
  int ret = ASN1_get_object(&at, &len, &tag, &cls, kMostCertificate);
  if ((ret & 0x80) != 0 || ret != V_ASN1_CONSTRUCTED || tag != V_ASN1_SEQUENCE ||
      cls != V_ASN1_UNIVERSAL || len <= 0 || len > kMostCertificate)
    return {};
  const unsigned char *const end = at + len;
  for (int element = 0; element < 3; ++element) {
    const unsigned char *inner = at;
    ret = ASN1_get_object(&inner, &len, &tag, &cls, end - at);
    // Not past the outer length, and definite (0x21 is constructed, indefinite).
    if ((ret & 0x80) != 0 || ret == 0x21 || cls != V_ASN1_UNIVERSAL || len > end - inner) return {};
    at = inner + len;
  }
  if (at != end) return {};
  const unsigned char *q = p;
  X509 *cert = d2i_X509(nullptr, &q, end - p);
  const bool one = cert != nullptr && q == end;
  X509_free(cert);
  if (!one) return {};
  return crypto::Bytes(p, end);
}

crypto::Bytes derElement(const BYTE *p) {
  const crypto::Bytes der = certificateElement(p);
  ERR_clear_error();  // what OpenSSL noted while refusing is said by the caller
  return der;
}

}  // namespace

extern "C" {

static BOOL CryptGenKeyImpl(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey) {
  if (phKey == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
  *phKey = 0;
  return emu::guarded(NTE_FAIL, [&]() -> BOOL {
    auto ctx = contexts().get(hProv);
    if (!ctx) return emu::fail(ERROR_INVALID_HANDLE);
    if (ctx->verifyOnly) return emu::fail(NTE_BAD_KEYSET);
    int spec = 0;
    if (Algid == AT_KEYEXCHANGE || Algid == CALG_RSA_KEYX) {
      spec = AT_KEYEXCHANGE;
    } else if (Algid == AT_SIGNATURE || Algid == CALG_RSA_SIGN) {
      spec = AT_SIGNATURE;
    } else {
      return emu::fail(NTE_BAD_ALGID);
    }
    DWORD bits = dwFlags >> 16;
    if (bits == 0) bits = kDefaultBits;
    if (!blob::admittedLength(bits))
      return emu::fail(NTE_BAD_FLAGS, emu::trace::Reason::KEY_LENGTH, blob::kLengthRule);
    const bool exportable = (dwFlags & CRYPT_EXPORTABLE) != 0;
    const emu::csp::KeyFamily &family = *ctx->provider.family;
    if (exportable && !family.generatesExportable())
      return emu::fail(NTE_BAD_FLAGS, emu::trace::Reason::KEY_NEVER_EXPORTABLE,
                       "keys made on the token are never exportable");
    KeyInfo info;
    if (auto f = family.generate(*ctx, spec, bits, exportable, info)) return emu::fail(*f);
    return giveKey(std::move(ctx), info, phKey);
  });
}

BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey) {
  emu::trace::Call t("CryptGenKey");
  if (t) t.hex("prov", hProv).hex("alg", Algid).hex("flags", dwFlags);
  return t.done(CryptGenKeyImpl(hProv, Algid, dwFlags, phKey));
}

static BOOL CryptImportKeyImpl(HCRYPTPROV hProv, CONST BYTE *pbData, DWORD dwDataLen,
                               HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY *phKey) {
  if (phKey == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
  *phKey = 0;
  return emu::guarded(NTE_FAIL, [&]() -> BOOL {
    auto ctx = contexts().get(hProv);
    if (!ctx) return emu::fail(ERROR_INVALID_HANDLE);
    if (ctx->verifyOnly) return emu::fail(NTE_BAD_KEYSET);
    // Only plaintext private key blobs are understood.
    if (hPubKey != 0) return emu::fail(NTE_BAD_KEY);
    crypto::Parts parts;
    int spec = 0;
    DWORD bits = 0;
    if (auto f = blob::parsePrivate(pbData, dwDataLen, parts, spec, bits)) return emu::fail(*f);
    crypto::Pkey pkey = crypto::fromParts(parts, true);
    if (!pkey) return emu::fail(NTE_BAD_DATA, "the key's components fail OpenSSL's key check");
    KeyInfo info;
    if (auto f = ctx->provider.family->import(*ctx, spec, parts, std::move(pkey),
                                              (dwFlags & CRYPT_EXPORTABLE) != 0, info))
      return emu::fail(*f);
    return giveKey(std::move(ctx), info, phKey);
  });
}

BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, CONST BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                           DWORD dwFlags, HCRYPTKEY *phKey) {
  emu::trace::Call t("CryptImportKey");
  if (t) t.hex("prov", hProv).num("length", dwDataLen).hex("flags", dwFlags);
  return t.done(CryptImportKeyImpl(hProv, pbData, dwDataLen, hPubKey, dwFlags, phKey));
}

static BOOL CryptGetUserKeyImpl(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY *phUserKey) {
  if (phUserKey == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
  *phUserKey = 0;
  return emu::guarded(NTE_FAIL, [&]() -> BOOL {
    auto ctx = contexts().get(hProv);
    if (!ctx) return emu::fail(ERROR_INVALID_HANDLE);
    if (ctx->verifyOnly) return emu::fail(NTE_BAD_KEYSET);
    KeyInfo info;
    const bool found = emu::csp::slotOf(dwKeySpec) >= 0 &&
                       ctx->provider.family->keyInfo(*ctx, static_cast<int>(dwKeySpec), info);
    if (!found)
      return emu::fail(NTE_NO_KEY, emu::trace::Reason::NO_KEY_OF_SPEC,
                       "the container holds no key of that spec");
    return giveKey(std::move(ctx), info, phUserKey);
  });
}

BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY *phUserKey) {
  emu::trace::Call t("CryptGetUserKey");
  if (t) t.hex("prov", hProv).num("spec", dwKeySpec);
  return t.done(CryptGetUserKeyImpl(hProv, dwKeySpec, phUserKey));
}

static BOOL CryptDestroyKeyImpl(HCRYPTKEY hKey) {
  if (!keys().remove(hKey)) return emu::fail(ERROR_INVALID_HANDLE);
  return emu::succeed();
}

BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey) {
  emu::trace::Call t("CryptDestroyKey");
  if (t) t.hex("key", hKey);
  return t.done(CryptDestroyKeyImpl(hKey));
}

static BOOL CryptExportKeyImpl(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                               BYTE *pbData, DWORD *pdwDataLen) {
  if (pdwDataLen == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
  return emu::guarded(NTE_FAIL, [&]() -> BOOL {
    auto key = keys().get(hKey);
    if (!key) return emu::fail(ERROR_INVALID_HANDLE);
    if (key->ctx->released)
      return emu::fail(NTE_BAD_UID, "the key's provider context was released");
    if (hExpKey != 0) return emu::fail(NTE_BAD_KEY);
    if (dwFlags != 0) return emu::fail(NTE_BAD_FLAGS);
    if (dwBlobType == PUBLICKEYBLOB) {
      const crypto::Bytes out = blob::publicBlob(key->info);
      return emu::copyOut(out.data(), static_cast<DWORD>(out.size()), pbData, pdwDataLen);
    }
    if (dwBlobType != PRIVATEKEYBLOB) return emu::fail(NTE_BAD_TYPE);
    if (!key->info.exportable)
      return emu::fail(NTE_BAD_KEY_STATE, emu::trace::Reason::KEY_NOT_EXPORTABLE,
                       "the key is not exportable");
    KeyInfo info;
    crypto::Parts parts;
    crypto::SecretBytes out;
    if (auto f = key->ctx->provider.family->exportPrivate(*key->ctx, key->info, parts, info))
      return emu::fail(*f);
    if (!blob::privateBlob(info, parts, out.bytes)) return emu::fail(NTE_BAD_KEY);
    return emu::copyOut(out.bytes.data(), static_cast<DWORD>(out.bytes.size()), pbData, pdwDataLen);
  });
}

BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                           BYTE *pbData, DWORD *pdwDataLen) {
  emu::trace::Call t("CryptExportKey");
  if (t)
    t.hex("key", hKey)
        .num("type", dwBlobType)
        .hex("flags", dwFlags)
        .num("size query", pbData == nullptr);
  return t.done(CryptExportKeyImpl(hKey, hExpKey, dwBlobType, dwFlags, pbData, pdwDataLen));
}

static BOOL CryptGetKeyParamImpl(HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                                 DWORD dwFlags) {
  if (pdwDataLen == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
  auto key = keys().get(hKey);
  if (!key) return emu::fail(ERROR_INVALID_HANDLE);
  if (key->ctx->released) return emu::fail(NTE_BAD_UID, "the key's provider context was released");
  if (dwFlags != 0) return emu::fail(NTE_BAD_FLAGS);
  DWORD value = 0;
  switch (dwParam) {
    case KP_PERMISSIONS:
      value = kBasePermissions | (key->info.exportable ? CRYPT_EXPORT : 0);
      break;
    case KP_ALGID:
      value = key->info.alg;
      break;
    case KP_KEYLEN:
      value = key->info.bits;
      break;
    default:
      return emu::fail(NTE_BAD_TYPE);
  }
  return emu::copyOut(&value, sizeof value, pbData, pdwDataLen);
}

BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                             DWORD dwFlags) {
  emu::trace::Call t("CryptGetKeyParam");
  if (t) t.hex("key", hKey).num("param", dwParam);
  return t.done(CryptGetKeyParamImpl(hKey, dwParam, pbData, pdwDataLen, dwFlags));
}

// KP_CERTIFICATE: the certificate of the key, DER-encoded, is stored with it
// in its container; a smart card's CSP writes it onto the card (the only
// parameter settable here; the rest are NTE_BAD_TYPE).
static BOOL CryptSetKeyParamImpl(HCRYPTKEY hKey, DWORD dwParam, CONST BYTE *pbData, DWORD dwFlags) {
  return emu::guarded(NTE_FAIL, [&]() -> BOOL {
    auto key = keys().get(hKey);
    if (!key) return emu::fail(ERROR_INVALID_HANDLE);
    if (key->ctx->released)
      return emu::fail(NTE_BAD_UID, "the key's provider context was released");
    if (dwFlags != 0) return emu::fail(NTE_BAD_FLAGS);
    if (dwParam != KP_CERTIFICATE) return emu::fail(NTE_BAD_TYPE);
    if (pbData == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
    // The DER's own length, read only as far as the certificate's structure vouches for it.
    const crypto::Bytes der = derElement(pbData);
    if (der.empty())
      return emu::fail(CRYPT_E_ASN1_BADTAG,
                       "not one DER certificate (its header's length is not its elements', or "
                       "over 64 KiB)");
    if (auto f = key->ctx->provider.family->storeCertificate(*key->ctx, key->info, der))
      return emu::fail(*f);
    return emu::succeed();
  });
}

BOOL WINAPI CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, CONST BYTE *pbData, DWORD dwFlags) {
  emu::trace::Call t("CryptSetKeyParam");
  if (t) t.hex("key", hKey).num("param", dwParam).hex("flags", dwFlags);
  return t.done(CryptSetKeyParamImpl(hKey, dwParam, pbData, dwFlags));
}

}  // extern "C"
