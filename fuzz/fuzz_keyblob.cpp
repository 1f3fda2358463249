// Key blob import: any bytes go to CryptImportKey into one container made
// when the process starts. A blob it accepts must export again (public and
// private), and sign a hash with a signature that OpenSSL verifies with the
// modulus and exponent the blob carried.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "platform/platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kContainer[] = "fuzz-keyblob";
HCRYPTPROV provider = 0;

uint32_t le32(const uint8_t *p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Checks an RSA PKCS#1 v1.5 SHA-1 signature (big-endian) with OpenSSL.
bool verifies(const Bytes &modulusBE, uint32_t exponent, const uint8_t *hash, const Bytes &sig) {
  BIGNUM *n = BN_bin2bn(modulusBE.data(), static_cast<int>(modulusBE.size()), nullptr);
  BIGNUM *e = BN_new();
  BN_set_word(e, exponent);
  OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
  OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX *fromCtx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY *pkey = nullptr;
  bool ok = fromCtx != nullptr && EVP_PKEY_fromdata_init(fromCtx) == 1 &&
            EVP_PKEY_fromdata(fromCtx, &pkey, EVP_PKEY_PUBLIC_KEY, params) == 1;
  EVP_PKEY_CTX *vctx = ok ? EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr) : nullptr;
  ok = vctx != nullptr && EVP_PKEY_verify_init(vctx) == 1 &&
       EVP_PKEY_CTX_set_rsa_padding(vctx, RSA_PKCS1_PADDING) == 1 &&
       EVP_PKEY_CTX_set_signature_md(vctx, EVP_sha1()) == 1 &&
       EVP_PKEY_verify(vctx, sig.data(), sig.size(), hash, 20) == 1;
  EVP_PKEY_CTX_free(vctx);
  EVP_PKEY_free(pkey);
  EVP_PKEY_CTX_free(fromCtx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(e);
  BN_free(n);
  return ok;
}

Bytes exportBlob(HCRYPTKEY key, DWORD type) {
  DWORD len = 0;
  FUZZ_CHECK(CryptExportKey(key, 0, type, 0, nullptr, &len));
  Bytes blob(len);
  FUZZ_CHECK(CryptExportKey(key, 0, type, 0, blob.data(), &len));
  FUZZ_CHECK(len <= blob.size());
  blob.resize(len);
  return blob;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::setUpProcess();
  if (!CryptAcquireContextA(&provider, kContainer, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
    std::fprintf(stderr, "cannot create the container (error 0x%lx)\n",
                 static_cast<unsigned long>(GetLastError()));
    std::exit(2);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  HCRYPTKEY key = 0;
  if (!CryptImportKey(provider, data, static_cast<DWORD>(size), 0, CRYPT_EXPORTABLE, &key)) {
    FUZZ_CHECK(key == 0);
    return 0;
  }
  FUZZ_CHECK(key != 0);
  // Accepted: a PRIVATEKEYBLOB header, "RSA2", a bit length and exponent.
  FUZZ_CHECK(size >= 20 && data[0] == PRIVATEKEYBLOB);
  const uint32_t alg = le32(data + 4), bits = le32(data + 12), exponent = le32(data + 16);
  FUZZ_CHECK(alg == CALG_RSA_KEYX || alg == CALG_RSA_SIGN);
  const DWORD spec = alg == CALG_RSA_KEYX ? AT_KEYEXCHANGE : AT_SIGNATURE;
  const size_t modulusBytes = (bits + 7) / 8;
  FUZZ_CHECK(size >= 20 + modulusBytes);

  // The public blob carries the imported modulus and exponent unchanged.
  const Bytes pub = exportBlob(key, PUBLICKEYBLOB);
  FUZZ_CHECK(pub.size() == 20 + modulusBytes);
  FUZZ_CHECK(pub[0] == PUBLICKEYBLOB && le32(pub.data() + 4) == alg);
  FUZZ_CHECK(le32(pub.data() + 12) == bits && le32(pub.data() + 16) == exponent);
  FUZZ_CHECK(std::memcmp(pub.data() + 20, data + 20, modulusBytes) == 0);

  // The private blob is a whole PRIVATEKEYBLOB of that length.
  const Bytes priv = exportBlob(key, PRIVATEKEYBLOB);
  FUZZ_CHECK(priv.size() == 20 + 2 * modulusBytes + 5 * ((bits + 15) / 16));
  FUZZ_CHECK(priv[0] == PRIVATEKEYBLOB && le32(priv.data() + 12) == bits);
  FUZZ_CHECK(std::memcmp(priv.data() + 20, data + 20, modulusBytes) == 0);

  // Signs a SHA-1 value made from the input; OpenSSL checks the signature
  // (CryptoAPI gives it least significant byte first).
  uint8_t hashValue[20];
  for (size_t i = 0; i < sizeof hashValue; ++i) hashValue[i] = data[(i * 7) % size] ^ uint8_t(i);
  HCRYPTHASH hash = 0;
  FUZZ_CHECK(CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash));
  FUZZ_CHECK(CryptSetHashParam(hash, HP_HASHVAL, hashValue, 0));
  DWORD sigLen = 0;
  FUZZ_CHECK(CryptSignHashA(hash, spec, nullptr, 0, nullptr, &sigLen));
  Bytes sig(sigLen);
  FUZZ_CHECK(CryptSignHashA(hash, spec, nullptr, 0, sig.data(), &sigLen));
  FUZZ_CHECK(sigLen == modulusBytes);
  sig.resize(sigLen);
  std::reverse(sig.begin(), sig.end());
  Bytes modulusBE(data + 20, data + 20 + modulusBytes);
  std::reverse(modulusBE.begin(), modulusBE.end());
  FUZZ_CHECK(verifies(modulusBE, exponent, hashValue, sig));
  FUZZ_CHECK(CryptDestroyHash(hash));
  FUZZ_CHECK(CryptDestroyKey(key));
  return 0;
}
