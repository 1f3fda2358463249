// The contract every key family meets, run the same way over the three
// families through CryptoAPI: the software provider, the soft token and a
// SoftHSM2 token made for the test (its own token store, SOFTHSM2_CONF in
// the test's home, as in pkcs11_test.cpp). Signatures are checked with
// OpenSSL against the key's public half; an imported key is one OpenSSL
// made. A family that keeps certificates with its keys has them shown in
// the user's "MY" store (KeyFamily::heldCertificates). A family added later gets a row in kFamilies
// and must pass as is.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/key_blobs.h"
#include "test_home.h"
#include "winapi/advapi32.h"
#include "winapi/crypt32.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char kSoftHsm[] = "/usr/lib/softhsm/libsofthsm2.so";

// What a family does where families differ; everything else is the same.
struct FamilyCase {
  const char *test;      // the case's name
  const char *provider;  // the registered provider that uses the family
  bool token;            // its containers are on a SoftHSM2 token labelled L
  const char *pin;       // the PIN it takes; null when its keys have none
  bool exportable;       // generates exportable keys when asked
  const char *listed;    // what PP_ENUMCONTAINERS puts before a plain name
  bool certificates;     // keeps a key's certificate, which "MY" then shows
};

const FamilyCase kFamilies[] = {
    {"Software", "Microsoft Strong Cryptographic Provider", false, nullptr, true, "", false},
    {"SoftToken", "Soft Token RSA Provider", false, "s3cret", false, "", false},
    {"Pkcs11Token", "Contract PKCS11 Provider", true, "123456", false, "\\\\.\\L\\", true},
};

// Names the case in test listings.
void PrintTo(const FamilyCase &f, std::ostream *os) {
  *os << f.test;
}

struct PkeyFree {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// A little-endian number of `size` bytes from one of OpenSSL's key
// parameters, appended to `out`.
void putNumber(Bytes &out, EVP_PKEY *key, const char *param, size_t size) {
  BIGNUM *bn = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(key, param, &bn), 1) << param;
  Bytes le(size);
  ASSERT_EQ(BN_bn2lebinpad(bn, le.data(), static_cast<int>(size)), static_cast<int>(size));
  BN_free(bn);
  out.insert(out.end(), le.begin(), le.end());
}

// The PRIVATEKEYBLOB of an OpenSSL key, for CryptImportKey.
Bytes privateBlob(EVP_PKEY *key, unsigned bits) {
  Bytes b(keyblob::kHeaderSize);
  b[keyblob::kTypeOffset] = PRIVATEKEYBLOB;
  b[keyblob::kVersionOffset] = keyblob::kBlobVersion;
  keyblob::writeLE32(b.data() + keyblob::kAlgOffset, CALG_RSA_KEYX);
  keyblob::writeLE32(b.data() + keyblob::kMagicOffset, keyblob::kMagicPrivate);
  keyblob::writeLE32(b.data() + keyblob::kBitLenOffset, bits);
  keyblob::writeLE32(b.data() + keyblob::kExponentOffset, 65537);
  const size_t n = keyblob::modulusBytes(bits), h = keyblob::halfBytes(bits);
  putNumber(b, key, OSSL_PKEY_PARAM_RSA_N, n);
  for (const char *half :
       {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
        OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1})
    putNumber(b, key, half, h);
  putNumber(b, key, OSSL_PKEY_PARAM_RSA_D, n);
  return b;
}

// An OpenSSL public key from a PUBLICKEYBLOB's modulus and exponent.
Pkey fromPublicBlob(const Bytes &blob) {
  if (blob.size() < keyblob::kHeaderSize) return nullptr;
  const uint32_t bits = keyblob::readLE32(blob.data() + keyblob::kBitLenOffset);
  if (blob.size() != keyblob::publicSize(bits)) return nullptr;
  BIGNUM *n = BN_lebin2bn(blob.data() + keyblob::kModulusOffset,
                          static_cast<int>(keyblob::modulusBytes(bits)), nullptr);
  BIGNUM *e = BN_new();
  BN_set_word(e, keyblob::readLE32(blob.data() + keyblob::kExponentOffset));
  OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
  OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY *key = nullptr;
  if (EVP_PKEY_fromdata_init(ctx) != 1 ||
      EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) != 1)
    key = nullptr;
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(n);
  BN_free(e);
  return Pkey(key);
}

// A self-signed certificate for `key`, DER.
Bytes certificateFor(EVP_PKEY *key) {
  X509 *x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_NAME *name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>("Contract"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 24 * 3600);
  X509_set_pubkey(x, key);
  Bytes der;
  unsigned char *out = nullptr;
  const int n = X509_sign(x, key, EVP_sha256()) > 0 ? i2d_X509(x, &out) : 0;
  if (n > 0) der.assign(out, out + n);
  OPENSSL_free(out);
  X509_free(x);
  return der;
}

// The container names "MY" binds the certificate `der` to (one per copy).
std::vector<std::string> boundInMy(const Bytes &der) {
  std::vector<std::string> out;
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  if (store == nullptr) return out;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;) {
    if (Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded) != der) continue;
    std::string container;
    DWORD n = 0;
    std::vector<uint64_t> buf;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) {
      buf.resize((n + 7) / 8);
      if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n))
        for (const WCHAR *w =
                 reinterpret_cast<const CRYPT_KEY_PROV_INFO *>(buf.data())->pwszContainerName;
             w != nullptr && *w != 0; ++w)
          container += static_cast<char>(*w);
    }
    out.push_back(container);
  }
  CertCloseStore(store, 0);
  return out;
}

// Whether `sig` (as CryptSignHash gives it: little-endian) is `key`'s
// PKCS#1 v1.5 SHA-256 signature of `message`.
bool verifies(EVP_PKEY *key, const std::string &message, Bytes sig) {
  std::reverse(sig.begin(), sig.end());
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  const bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                  EVP_DigestVerify(ctx, sig.data(), sig.size(),
                                   reinterpret_cast<const unsigned char *>(message.data()),
                                   message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

class FamilyContract : public HomeTest, public ::testing::WithParamInterface<FamilyCase> {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    // The default registration's PKCS#11 provider (p11-kit's proxy, the
    // machine's modules) is removed: reading "MY" asks only the test's
    // family for certificates, and no case touches the machine's tokens.
    const char providers[] =
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";
    std::string reg = std::string("Windows Registry Editor Version 5.00\n\n[-") + providers +
                      "PKCS#11 Token RSA Provider]\n";
    if (family().token) {
      if (!std::filesystem::exists(kSoftHsm)) GTEST_SKIP() << "SoftHSM2 is not installed";
      const std::string hsm = home_ + "/softhsm";
      std::filesystem::create_directories(hsm + "/tokens");
      const std::string conf = hsm + "/softhsm2.conf";
      std::ofstream(conf) << "directories.tokendir = " << hsm
                          << "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
      setenv("SOFTHSM2_CONF", conf.c_str(), 1);
      const std::string init = std::string("softhsm2-util --init-token --free --label L --pin ") +
                               family().pin + " --so-pin 654321 >/dev/null 2>&1";
      const int rc = std::system(init.c_str());
      ASSERT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << init;
      // SoftHSM2's module as the test's provider.
      reg += std::string("\n[") + providers + family().provider + "]\n\"Image Path\"=\"" +
             kSoftHsm + "\"\n\"Type\"=dword:00000001\n";
    }
    writeReg("50-contract.reg", reg);
  }
  void TearDown() override {
    unsetenv("SOFTHSM2_CONF");
    HomeTest::TearDown();
  }

  const FamilyCase &family() const { return GetParam(); }

  // A context on `container` (none: a verification context), 0 on failure.
  HCRYPTPROV open(const char *container, DWORD flags = 0) {
    HCRYPTPROV p = 0;
    if (!CryptAcquireContextA(&p, container, family().provider, PROV_RSA_FULL, flags)) return 0;
    return p;
  }

  std::vector<std::string> listed() {
    std::vector<std::string> names;
    HCRYPTPROV v = open(nullptr, CRYPT_VERIFYCONTEXT);
    EXPECT_NE(v, 0u);
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
      char buf[512];
      DWORD len = sizeof buf;
      if (!CryptGetProvParam(v, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(buf), &len, flags))
        break;
      names.emplace_back(buf);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    CryptReleaseContext(v, 0);
    return names;
  }

  // Presents `pin` for the key of `spec`.
  static bool pin(HCRYPTPROV p, const char *pin, DWORD param = PP_SIGNATURE_PIN) {
    return CryptSetProvParam(p, param, reinterpret_cast<const BYTE *>(pin), 0) != 0;
  }

  static Bytes exportBlob(HCRYPTPROV p, DWORD spec, DWORD type) {
    HCRYPTKEY k = 0;
    if (!CryptGetUserKey(p, spec, &k)) return {};
    DWORD len = 0;
    Bytes out;
    if (CryptExportKey(k, 0, type, 0, nullptr, &len)) {
      out.resize(len);
      if (!CryptExportKey(k, 0, type, 0, out.data(), &len)) out.clear();
      out.resize(out.empty() ? 0 : len);
    }
    CryptDestroyKey(k);
    return out;
  }

  // The SHA-256 signature of `message` with the key of `spec` (OpenSSL
  // hashes it); empty when refused.
  static Bytes sign(HCRYPTPROV p, DWORD spec, const std::string &message) {
    Bytes hash(SHA256_DIGEST_LENGTH);
    SHA256(reinterpret_cast<const unsigned char *>(message.data()), message.size(), hash.data());
    HCRYPTHASH h = 0;
    if (!CryptCreateHash(p, CALG_SHA_256, 0, 0, &h)) return {};
    Bytes sig(512);
    DWORD len = static_cast<DWORD>(sig.size());
    const bool ok = CryptSetHashParam(h, HP_HASHVAL, hash.data(), 0) &&
                    CryptSignHashA(h, spec, nullptr, 0, sig.data(), &len);
    CryptDestroyHash(h);
    sig.resize(ok ? len : 0);
    return sig;
  }
};

TEST_P(FamilyContract, ContainersKeysPinsAndRefusals) {
  const FamilyCase &f = family();
  const std::string name = std::string(f.listed) + "contract";
  // Open of a missing container; create; duplicate create; list.
  EXPECT_EQ(open("contract"), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
  HCRYPTPROV p = open("contract", CRYPT_NEWKEYSET);
  ASSERT_NE(p, 0u);
  EXPECT_EQ(open("contract", CRYPT_NEWKEYSET), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS));
  EXPECT_EQ(listed(), std::vector<std::string>{name});

  // A PIN where the family takes one (before the keys: a token logs in, the
  // soft token seals what it stores next); refused where it takes none.
  for (DWORD param : {PP_SIGNATURE_PIN, PP_KEYEXCHANGE_PIN}) {
    if (f.pin != nullptr) {
      ASSERT_TRUE(pin(p, f.pin, param));
    } else {
      EXPECT_FALSE(pin(p, "0000", param));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_TYPE));
    }
  }

  // Generate: exportable only where the family allows it.
  HCRYPTKEY k = 0;
  EXPECT_EQ(CryptGenKey(p, AT_SIGNATURE, (1024u << 16) | CRYPT_EXPORTABLE, &k) != 0, f.exportable);
  if (k != 0) CryptDestroyKey(k);
  if (!f.exportable) {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
  }
  ASSERT_TRUE(CryptGenKey(p, AT_SIGNATURE, 1024u << 16, &k));
  CryptDestroyKey(k);
  EXPECT_TRUE(exportBlob(p, AT_SIGNATURE, PRIVATEKEYBLOB).empty());
  const Pkey generated = fromPublicBlob(exportBlob(p, AT_SIGNATURE, PUBLICKEYBLOB));
  ASSERT_NE(generated, nullptr);
  EXPECT_EQ(EVP_PKEY_get_bits(generated.get()), 1024);

  // Import a key OpenSSL made, kept unexportable: its public half is the
  // one OpenSSL has.
  const Pkey made(EVP_RSA_gen(1024));
  ASSERT_NE(made, nullptr);
  const Bytes blob = privateBlob(made.get(), 1024);
  ASSERT_TRUE(CryptImportKey(p, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &k));
  CryptDestroyKey(k);
  const Bytes pub = exportBlob(p, AT_KEYEXCHANGE, PUBLICKEYBLOB);
  ASSERT_EQ(pub.size(), keyblob::publicSize(1024));
  EXPECT_TRUE(std::equal(pub.begin() + keyblob::kModulusOffset, pub.end(),
                         blob.begin() + keyblob::kModulusOffset));
  EXPECT_TRUE(exportBlob(p, AT_KEYEXCHANGE, PRIVATEKEYBLOB).empty());

  // The key's certificate: kept where the family keeps certificates (and
  // then shown in "MY", bound to the container), refused elsewhere.
  const Bytes cert = certificateFor(made.get());
  ASSERT_FALSE(cert.empty());
  ASSERT_TRUE(CryptGetUserKey(p, AT_KEYEXCHANGE, &k));
  EXPECT_EQ(CryptSetKeyParam(k, KP_CERTIFICATE, cert.data(), 0) != 0, f.certificates);
  if (!f.certificates) {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_TYPE));
  }
  CryptDestroyKey(k);
  EXPECT_EQ(boundInMy(cert),
            f.certificates ? std::vector<std::string>{name} : std::vector<std::string>{});

  // Both keys sign; OpenSSL verifies.
  const std::string message = std::string("contract of the ") + f.test + " family";
  EXPECT_TRUE(verifies(generated.get(), message, sign(p, AT_SIGNATURE, message)));
  EXPECT_TRUE(verifies(made.get(), message, sign(p, AT_KEYEXCHANGE, message)));
  CryptReleaseContext(p, 0);

  // Another context finds both keys; a wrong or empty PIN is refused and
  // the right one taken; it signs with both keys.
  p = open(name.c_str());
  ASSERT_NE(p, 0u);
  for (DWORD spec : {static_cast<DWORD>(AT_SIGNATURE), static_cast<DWORD>(AT_KEYEXCHANGE)}) {
    ASSERT_TRUE(CryptGetUserKey(p, spec, &k)) << spec;
    CryptDestroyKey(k);
  }
  if (f.pin != nullptr) {
    EXPECT_FALSE(pin(p, "999999"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_WRONG_CHV));
    EXPECT_FALSE(pin(p, ""));
    EXPECT_TRUE(pin(p, f.pin));
    EXPECT_TRUE(pin(p, f.pin, PP_KEYEXCHANGE_PIN));
  }
  EXPECT_TRUE(verifies(generated.get(), message, sign(p, AT_SIGNATURE, message)));
  EXPECT_TRUE(verifies(made.get(), message, sign(p, AT_KEYEXCHANGE, message)));
  CryptReleaseContext(p, 0);

  // Delete: the name is free, nothing is listed, a second delete fails.
  HCRYPTPROV gone = 0;
  ASSERT_TRUE(
      CryptAcquireContextA(&gone, name.c_str(), f.provider, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
  EXPECT_EQ(open("contract"), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
  EXPECT_TRUE(listed().empty());
  EXPECT_FALSE(
      CryptAcquireContextA(&gone, "contract", f.provider, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

INSTANTIATE_TEST_SUITE_P(Families, FamilyContract, ::testing::ValuesIn(kFamilies),
                         [](const ::testing::TestParamInfo<FamilyCase> &info) {
                           return std::string(info.param.test);
                         });

}  // namespace
