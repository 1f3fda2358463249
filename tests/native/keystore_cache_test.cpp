// What a thread remembers of the key database (containers found, key slots
// read, providers resolved) must never hide a change: a change made by
// another thread, by another process, or by the same thread is seen by the
// very next call.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "test_home.h"
#include "winapi/advapi32.h"

namespace {

using Bytes = std::vector<uint8_t>;
const char kStrong[] = "Microsoft Strong Cryptographic Provider";
const char kToken[] = "Soft Token RSA Provider";

struct Key {
  EVP_PKEY *pkey = nullptr;
  Bytes blob;  // PRIVATEKEYBLOB for AT_SIGNATURE
  ~Key() { EVP_PKEY_free(pkey); }
};

void put(Bytes &b, EVP_PKEY *k, const char *name, size_t width) {
  BIGNUM *bn = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(k, name, &bn), 1);
  Bytes le(width);
  BN_bn2lebinpad(bn, le.data(), static_cast<int>(width));
  BN_free(bn);
  b.insert(b.end(), le.begin(), le.end());
}

void makeKey(Key &k) {
  k.pkey = EVP_RSA_gen(1024);
  ASSERT_NE(k.pkey, nullptr);
  k.blob = {PRIVATEKEYBLOB, 2, 0, 0};
  for (uint32_t v : {uint32_t{CALG_RSA_SIGN}, 0x32415352u, 1024u, 65537u})
    for (int i = 0; i < 4; ++i) k.blob.push_back(static_cast<uint8_t>(v >> (8 * i)));
  put(k.blob, k.pkey, OSSL_PKEY_PARAM_RSA_N, 128);
  for (const char *n :
       {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
        OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1})
    put(k.blob, k.pkey, n, 64);
  put(k.blob, k.pkey, OSSL_PKEY_PARAM_RSA_D, 128);
}

const Bytes kValue(32, 0x5A);

// Stores the key in the container (created when `create`); false on failure.
bool store(const char *provider, const char *container, const Bytes &blob, bool create,
           const char *pin = nullptr) {
  HCRYPTPROV p = 0;
  HCRYPTKEY k = 0;
  if (!CryptAcquireContextA(&p, container, provider, PROV_RSA_FULL, create ? CRYPT_NEWKEYSET : 0))
    return false;
  const bool ok = (pin == nullptr || CryptSetProvParam(p, PP_SIGNATURE_PIN,
                                                       reinterpret_cast<const BYTE *>(pin), 0)) &&
                  CryptImportKey(p, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &k);
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
  return ok;
}

// Opens the container and signs kValue (SHA-256) as the JNI layer does; the
// signature most significant byte first, or empty with the error.
Bytes sign(const char *provider, const char *container, DWORD &error, const char *pin = nullptr) {
  error = 0;
  HCRYPTPROV p = 0;
  HCRYPTHASH h = 0;
  Bytes sig;
  DWORD n = 0;
  if (CryptAcquireContextA(&p, container, provider, PROV_RSA_FULL, 0) &&
      (pin == nullptr ||
       CryptSetProvParam(p, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>(pin), 0)) &&
      CryptCreateHash(p, CALG_SHA_256, 0, 0, &h) &&
      CryptSetHashParam(h, HP_HASHVAL, kValue.data(), 0) &&
      CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, nullptr, &n)) {
    sig.resize(n);
    if (!CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, sig.data(), &n)) sig.clear();
  }
  if (sig.empty()) error = GetLastError();
  if (h != 0) CryptDestroyHash(h);
  if (p != 0) CryptReleaseContext(p, 0);
  std::reverse(sig.begin(), sig.end());
  return sig;
}

// Whether OpenSSL verifies the signature with the key.
bool verifies(const Key &k, const Bytes &sig) {
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k.pkey, nullptr);
  const bool ok = EVP_PKEY_verify_init(ctx) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
                  EVP_PKEY_verify(ctx, sig.data(), sig.size(), kValue.data(), kValue.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

bool remove(const char *provider, const char *container) {
  HCRYPTPROV p = 0;
  return CryptAcquireContextA(&p, container, provider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
}

// Runs `body` on a new thread (its own database connection) of this process.
bool inThread(const std::function<bool()> &body) {
  bool ok = false;
  std::thread t([&] { ok = body(); });
  t.join();
  return ok;
}

// Where a change is made from: this thread, another thread, another process.
struct Where {
  const char *what;
  std::function<bool(const std::function<bool()> &)> run;
};

const Where kWhere[] = {
    {"same thread", [](const std::function<bool()> &body) { return body(); }},
    {"other thread", inThread},
    {"other process", child::runOk},
};

class KeystoreCache : public HomeTest, public ::testing::WithParamInterface<Where> {};

TEST_P(KeystoreCache, ReplacedKeyIsUsedAtOnce) {
  Key first, second;
  makeKey(first);
  makeKey(second);
  ASSERT_TRUE(store(kStrong, "c", first.blob, true));
  DWORD error = 0;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(verifies(first, sign(kStrong, "c", error)));
  ASSERT_TRUE(GetParam().run([&] { return store(kStrong, "c", second.blob, false); }));
  EXPECT_TRUE(verifies(second, sign(kStrong, "c", error))) << GetParam().what;
}

TEST_P(KeystoreCache, DeletedContainerIsGoneAtOnceAndANewOneIsEmpty) {
  Key k;
  makeKey(k);
  ASSERT_TRUE(store(kStrong, "c", k.blob, true));
  DWORD error = 0;
  ASSERT_TRUE(verifies(k, sign(kStrong, "c", error)));
  ASSERT_TRUE(GetParam().run([&] { return remove(kStrong, "c"); }));
  EXPECT_TRUE(sign(kStrong, "c", error).empty());
  EXPECT_EQ(error, static_cast<DWORD>(NTE_BAD_KEYSET)) << GetParam().what;
  // Made again under the same name: no key in it.
  ASSERT_TRUE(GetParam().run([&] {
    HCRYPTPROV p = 0;
    return CryptAcquireContextA(&p, "C", kStrong, PROV_RSA_FULL, CRYPT_NEWKEYSET) &&
           CryptReleaseContext(p, 0);
  }));
  EXPECT_TRUE(sign(kStrong, "c", error).empty());
  EXPECT_EQ(error, static_cast<DWORD>(NTE_NO_KEY)) << GetParam().what;
}

TEST_P(KeystoreCache, WrongPinsCountedElsewhereBlockTheKeyAtOnce) {
  Key k;
  makeKey(k);
  ASSERT_TRUE(store(kToken, "t", k.blob, true, "right"));
  DWORD error = 0;
  ASSERT_TRUE(verifies(k, sign(kToken, "t", error, "right")));
  ASSERT_TRUE(GetParam().run([&] {
    for (int i = 0; i < 5; ++i) {
      DWORD e = 0;
      if (!sign(kToken, "t", e, "wrong").empty()) return false;
    }
    return true;
  }));
  EXPECT_TRUE(sign(kToken, "t", error, "right").empty());
  EXPECT_EQ(error, static_cast<DWORD>(SCARD_W_CHV_BLOCKED)) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(Changes, KeystoreCache, ::testing::ValuesIn(kWhere), [](const auto &info) {
  std::string n = info.param.what;
  std::replace(n.begin(), n.end(), ' ', '_');
  return n;
});

class ProviderCache : public HomeTest {};

// A provider registered, renamed away and registered again between calls.
TEST_F(ProviderCache, RegistrationChangesAreSeenAtOnce) {
  HCRYPTPROV p = 0;
  ASSERT_TRUE(CryptAcquireContextA(&p, nullptr, "Cache Test Provider", PROV_RSA_FULL,
                                   CRYPT_VERIFYCONTEXT) == FALSE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
  const std::string reg =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\"
      "Cache Test Provider]\n\"Image Path\"=\"rsaenh.dll\"\n\"Type\"=dword:00000001\n";
  writeReg("50-test.reg", reg);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(CryptAcquireContextA(&p, nullptr, "Cache Test Provider", PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT));
    CryptReleaseContext(p, 0);
  }
  writeReg("50-test.reg",
           "Windows Registry Editor Version 5.00\n\n"
           "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\"
           "Provider\\Cache Test Provider]\n");
  EXPECT_FALSE(
      CryptAcquireContextA(&p, nullptr, "Cache Test Provider", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
  // The default of type 1 changes with its registration too.
  writeReg("60-default.reg",
           reg +
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider "
               "Types\\Type 001]\n\"Name\"=\"Cache Test Provider\"\n");
  ASSERT_TRUE(CryptAcquireContextA(&p, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  char name[200];
  DWORD size = sizeof name;
  EXPECT_TRUE(CryptGetProvParam(p, PP_NAME, reinterpret_cast<BYTE *>(name), &size, 0));
  EXPECT_STREQ(name, "Cache Test Provider");
  CryptReleaseContext(p, 0);
}

}  // namespace
