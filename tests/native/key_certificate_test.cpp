// CryptSetKeyParam(KP_CERTIFICATE) takes no length: the certificate's DER
// header says how long it is. Each buffer here is exactly as long as its
// bytes, on the heap, so that under ASan any read past it fails the test:
// a header that claims more (or fewer) bytes than the certificate's elements
// hold is refused without reading past them. The software family keeps no
// certificates: a certificate that passes the reading is refused later with
// NTE_BAD_TYPE, which tells it from one refused as not DER.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "test_home.h"
#include "winapi/advapi32.h"

namespace {

using Bytes = std::vector<uint8_t>;

class KeyCertificate : public HomeTest {};

// A self-signed certificate of a fresh 1024-bit key, made by OpenSSL.
Bytes certificate() {
  EVP_PKEY *key = EVP_RSA_gen(1024);
  X509 *x = X509_new();
  X509_set_version(x, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>("length check"), -1, -1, 0);
  X509_set_issuer_name(x, X509_get_subject_name(x));
  X509_set_pubkey(x, key);
  X509_sign(x, key, EVP_sha256());
  unsigned char *der = nullptr;
  const int n = i2d_X509(x, &der);
  Bytes out(der, der + (n > 0 ? n : 0));
  OPENSSL_free(der);
  X509_free(x);
  EVP_PKEY_free(key);
  return out;
}

// The certificate's body under an outer header claiming `length` bytes.
Bytes withLength(const Bytes &cert, size_t length) {
  Bytes out = {0x30};
  if (length < 0x10000) {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
  } else {
    out.insert(out.end(),
               {0x84, static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
  }
  out.insert(out.end(), cert.begin() + 4, cert.end());
  return out;
}

TEST_F(KeyCertificate, AHeaderThatLiesIsRefusedWithoutReadingPastTheElements) {
  HCRYPTPROV p = 0;
  ASSERT_TRUE(CryptAcquireContextA(&p, "length", "Microsoft Strong Cryptographic Provider",
                                   PROV_RSA_FULL, CRYPT_NEWKEYSET));
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(p, AT_SIGNATURE, 1024u << 16, &k));
  const Bytes cert = certificate();
  ASSERT_GT(cert.size(), 300u);
  ASSERT_EQ(cert[0], 0x30);
  ASSERT_EQ(cert[1], 0x82);  // two length bytes
  const size_t body = cert.size() - 4;
  Bytes trailing = cert;
  trailing.insert(trailing.end(), {0x30, 0x03, 0x02, 0x01, 0x00});
  struct Case {
    const char *what;
    Bytes bytes;
    DWORD error;
  };
  const Case cases[] = {
      {"the certificate", cert, static_cast<DWORD>(NTE_BAD_TYPE)},
      {"followed by other bytes (it has no length: the element is taken)", trailing,
       static_cast<DWORD>(NTE_BAD_TYPE)},
      {"claiming 120 bytes more", withLength(cert, body + 120),
       static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)},
      {"claiming 6000 bytes more", withLength(cert, body + 6000),
       static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)},
      {"claiming 200000 bytes more", withLength(cert, body + 200000),
       static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)},
      {"claiming 1 GiB", withLength(cert, 1u << 30), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)},
      {"claiming 5 bytes fewer", withLength(cert, body - 5),
       static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)},
      {"an indefinite length", Bytes{0x30, 0x80, 0x00, 0x00},
       static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)},
      {"a SEQUENCE of one empty SEQUENCE", Bytes{0x30, 0x02, 0x30, 0x00},
       static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)},
  };
  for (const Case &c : cases) {
    // Exactly as long as the bytes, so that ASan sees a read past them.
    std::unique_ptr<BYTE[]> exact(new BYTE[c.bytes.size()]);
    std::copy(c.bytes.begin(), c.bytes.end(), exact.get());
    SetLastError(0);
    EXPECT_FALSE(CryptSetKeyParam(k, KP_CERTIFICATE, exact.get(), 0)) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
}

}  // namespace
