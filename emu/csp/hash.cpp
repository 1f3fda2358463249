// Hash objects that hold a caller's hash value, and signing them with a
// container's key (PKCS#1 v1.5, output least significant byte first).
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "common/api.h"
#include "csp/key_family.h"
#include "csp/keys.h"
#include "storage/guard.h"

using emu::csp::Hash;
using emu::csp::hashes;
namespace crypto = emu::csp::crypto;

namespace {

struct HashAlg {
  ALG_ID id;
  DWORD size;
  const EVP_MD *(*md)();  // the DigestInfo of the signature; null for none
};

const HashAlg kHashAlgs[] = {
    {CALG_MD5, 16, EVP_md5},         {CALG_SHA1, 20, EVP_sha1},
    {CALG_SSL3_SHAMD5, 36, nullptr},  // MD5 || SHA-1, signed without DigestInfo
    {CALG_SHA_256, 32, EVP_sha256},  {CALG_SHA_384, 48, EVP_sha384},
    {CALG_SHA_512, 64, EVP_sha512},
};

const HashAlg *findAlg(ALG_ID id) {
  for (const HashAlg &a : kHashAlgs)
    if (a.id == id) return &a;
  return nullptr;
}

}  // namespace

extern "C" {

static BOOL CryptCreateHashImpl(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                HCRYPTHASH *phHash) {
  if (phHash == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
  *phHash = 0;
  return emu::guarded(NTE_FAIL, [&]() -> BOOL {
    auto ctx = emu::csp::contexts().get(hProv);
    if (!ctx) return emu::fail(ERROR_INVALID_HANDLE);
    if (hKey != 0) return emu::fail(NTE_BAD_KEY);  // no keyed hashes
    if (dwFlags != 0) return emu::fail(NTE_BAD_FLAGS);
    const HashAlg *alg = findAlg(Algid);
    if (alg == nullptr) return emu::fail(NTE_BAD_ALGID);
    auto hash = std::make_shared<Hash>();
    hash->ctx = std::move(ctx);
    hash->alg = alg->id;
    hash->size = alg->size;
    *phHash = hashes().add(std::move(hash));
    return emu::succeed();
  });
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                            HCRYPTHASH *phHash) {
  emu::trace::Call t("CryptCreateHash");
  if (t) t.hex("prov", hProv).hex("alg", Algid);
  return t.done(CryptCreateHashImpl(hProv, Algid, hKey, dwFlags, phHash));
}

static BOOL CryptDestroyHashImpl(HCRYPTHASH hHash) {
  if (!hashes().remove(hHash)) return emu::fail(ERROR_INVALID_HANDLE);
  return emu::succeed();
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
  emu::trace::Call t("CryptDestroyHash");
  if (t) t.hex("hash", hHash);
  return t.done(CryptDestroyHashImpl(hHash));
}

static BOOL CryptGetHashParamImpl(HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                                  DWORD dwFlags) {
  if (pdwDataLen == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
  auto hash = hashes().get(hHash);
  if (!hash) return emu::fail(ERROR_INVALID_HANDLE);
  if (hash->ctx->released)
    return emu::fail(NTE_BAD_UID, "the hash's provider context was released");
  if (dwFlags != 0) return emu::fail(NTE_BAD_FLAGS);
  switch (dwParam) {
    case HP_ALGID: {
      const DWORD v = hash->alg;
      return emu::copyOut(&v, sizeof v, pbData, pdwDataLen);
    }
    case HP_HASHSIZE: {
      const DWORD v = hash->size;
      return emu::copyOut(&v, sizeof v, pbData, pdwDataLen);
    }
    case HP_HASHVAL:
      // This CSP hashes no data itself: only a value set with HP_HASHVAL.
      if (!hash->hasValue) return emu::fail(NTE_BAD_HASH_STATE);
      return emu::copyOut(hash->value, hash->size, pbData, pdwDataLen);
    default:
      return emu::fail(NTE_BAD_TYPE);
  }
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                              DWORD dwFlags) {
  emu::trace::Call t("CryptGetHashParam");
  if (t) t.hex("hash", hHash).num("param", dwParam);
  return t.done(CryptGetHashParamImpl(hHash, dwParam, pbData, pdwDataLen, dwFlags));
}

static BOOL CryptSetHashParamImpl(HCRYPTHASH hHash, DWORD dwParam, CONST BYTE *pbData,
                                  DWORD dwFlags) {
  auto hash = hashes().get(hHash);
  if (!hash) return emu::fail(ERROR_INVALID_HANDLE);
  if (hash->ctx->released)
    return emu::fail(NTE_BAD_UID, "the hash's provider context was released");
  if (dwFlags != 0) return emu::fail(NTE_BAD_FLAGS);
  if (dwParam != HP_HASHVAL) return emu::fail(NTE_BAD_TYPE);
  if (pbData == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
  // The value is exactly the algorithm's hash size.
  std::memcpy(hash->value, pbData, hash->size);
  hash->hasValue = true;
  return emu::succeed();
}

BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, CONST BYTE *pbData, DWORD dwFlags) {
  emu::trace::Call t("CryptSetHashParam");
  if (t) t.hex("hash", hHash).num("param", dwParam);
  return t.done(CryptSetHashParamImpl(hHash, dwParam, pbData, dwFlags));
}

static BOOL CryptSignHashAImpl(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription,
                               DWORD dwFlags, BYTE *pbSignature, DWORD *pdwSigLen) {
  if (pdwSigLen == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
  return emu::guarded(NTE_FAIL, [&]() -> BOOL {
    auto hash = hashes().get(hHash);
    if (!hash) return emu::fail(ERROR_INVALID_HANDLE);
    if (hash->ctx->released)
      return emu::fail(NTE_BAD_UID, "the hash's provider context was released");
    if (szDescription != nullptr || dwFlags != 0) return emu::fail(NTE_BAD_FLAGS);
    if (emu::csp::slotOf(dwKeySpec) < 0) return emu::fail(NTE_BAD_KEY);
    if (!hash->hasValue) return emu::fail(NTE_BAD_HASH_STATE);
    const HashAlg *alg = findAlg(hash->alg);
    emu::csp::SignatureRequest req;
    req.sizeOnly = pbSignature == nullptr;
    req.room = *pdwSigLen;
    if (auto f = hash->ctx->provider.family->sign(*hash->ctx, static_cast<int>(dwKeySpec),
                                                  alg->md ? alg->md() : nullptr, hash->value,
                                                  hash->size, req))
      return emu::fail(*f);
    if (pbSignature == nullptr) {
      *pdwSigLen = req.size;
      return emu::succeed();
    }
    if (*pdwSigLen < req.size) {
      *pdwSigLen = req.size;
      return emu::fail(ERROR_MORE_DATA);
    }
    const crypto::Bytes &sig = req.value;
    if (sig.size() > *pdwSigLen) return emu::fail(NTE_BAD_SIGNATURE);
    // Big-endian from the family, least significant byte first for the
    // caller.
    std::reverse_copy(sig.begin(), sig.end(), pbSignature);
    *pdwSigLen = static_cast<DWORD>(sig.size());
    return emu::succeed();
  });
}

BOOL WINAPI CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                           BYTE *pbSignature, DWORD *pdwSigLen) {
  emu::trace::Call t("CryptSignHashA");
  if (t)
    t.hex("hash", hHash)
        .num("spec", dwKeySpec)
        .hex("flags", dwFlags)
        .num("size query", pbSignature == nullptr);
  return t.done(
      CryptSignHashAImpl(hHash, dwKeySpec, szDescription, dwFlags, pbSignature, pdwSigLen));
}

}  // extern "C"
