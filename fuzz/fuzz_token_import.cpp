// token import's request: any bytes as the JSON document mscapi-admin reads
// on standard input, checked as it checks them before a token is touched.
// A refusal gives a short one-line cause; an accepted request holds a key
// blob the software CSP imports, and a certificate the certificate store
// takes, whose modulus is the key's (exported back from the CSP).
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "admin/token_request.h"
#include "fuzz_support.h"
#include "platform/platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kContainer[] = "fuzz-token-import";
HCRYPTPROV provider = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::setUpProcess();
  FUZZ_CHECK(CryptAcquireContextA(&provider, kContainer, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
             CryptAcquireContextA(&provider, kContainer, nullptr, PROV_RSA_FULL, 0));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const int spec = size % 2 == 0 ? AT_SIGNATURE : AT_KEYEXCHANGE;
  emu::admin::ImportRequest request;
  std::string why;
  if (!emu::admin::parseImportRequest(data, size, spec, request, why)) {
    // One line that names what is wrong, never the request's secrets.
    FUZZ_CHECK(!why.empty() && why.size() < 200);
    FUZZ_CHECK(why.find('\n') == std::string::npos);
    return 0;
  }
  FUZZ_CHECK(why.empty());
  FUZZ_CHECK(!request.hasPin || !request.pin.bytes.empty());
  for (uint8_t b : request.pin.bytes) FUZZ_CHECK(b != 0);
  HCRYPTKEY key = 0;
  FUZZ_CHECK(CryptImportKey(provider, request.keyBlob.bytes.data(),
                            static_cast<DWORD>(request.keyBlob.bytes.size()), 0, 0, &key));
  if (!request.certificate.empty()) {
    // The certificate is exactly what the store takes, and certifies the key.
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, request.certificate.data(),
                                     static_cast<DWORD>(request.certificate.size()));
    FUZZ_CHECK(cert != nullptr);
    FUZZ_CHECK(cert->cbCertEncoded == request.certificate.size());
    CertFreeCertificateContext(cert);
    // Its modulus (read by OpenSSL) is the imported key's (PUBLICKEYBLOB:
    // 20 bytes of headers, then the modulus least significant byte first).
    const unsigned char *p = request.certificate.data();
    X509 *x = d2i_X509(nullptr, &p, static_cast<long>(request.certificate.size()));
    FUZZ_CHECK(x != nullptr);
    BIGNUM *n = nullptr;
    FUZZ_CHECK(EVP_PKEY_get_bn_param(X509_get0_pubkey(x), OSSL_PKEY_PARAM_RSA_N, &n) == 1);
    Bytes modulus(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2lebinpad(n, modulus.data(), static_cast<int>(modulus.size()));
    BN_free(n);
    X509_free(x);
    DWORD len = 0;
    FUZZ_CHECK(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &len));
    Bytes blob(len);
    FUZZ_CHECK(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &len));
    FUZZ_CHECK(len >= 20 + modulus.size());
    FUZZ_CHECK(std::equal(modulus.begin(), modulus.end(), blob.begin() + 20));
  }
  CryptDestroyKey(key);
  return 0;
}
