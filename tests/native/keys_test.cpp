// The emulated CSP's key containers, keys, hashes, signatures and PINs.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "test_home.h"
#include "winapi/advapi32.h"

namespace {

using Bytes = std::vector<uint8_t>;
const char kStrong[] = "Microsoft Strong Cryptographic Provider";
const char kBase[] = "Microsoft Base Cryptographic Provider v1.0";
const char kToken[] = "Soft Token RSA Provider";

// ---- an independent reading of the published blob layout -----------------

void put32(Bytes &b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A big-endian OpenSSL number as a little-endian field of `width` bytes.
void putNumber(Bytes &b, EVP_PKEY *k, const char *name, size_t width) {
  BIGNUM *bn = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(k, name, &bn), 1);
  Bytes le(width);
  ASSERT_EQ(BN_bn2lebinpad(bn, le.data(), static_cast<int>(width)), static_cast<int>(width));
  BN_free(bn);
  b.insert(b.end(), le.begin(), le.end());
}

struct TestKey {
  EVP_PKEY *pkey = nullptr;
  Bytes privateBlob;  // PRIVATEKEYBLOB built here from OpenSSL's components
  Bytes modulusLE;
  ~TestKey() { EVP_PKEY_free(pkey); }
};

void makeKey(TestKey &k, unsigned bits, ALG_ID alg) {
  k.pkey = EVP_RSA_gen(bits);
  ASSERT_NE(k.pkey, nullptr);
  const size_t n = bits / 8, h = bits / 16;
  Bytes &b = k.privateBlob;
  b = {PRIVATEKEYBLOB, 2, 0, 0};
  put32(b, alg);
  put32(b, 0x32415352);  // "RSA2"
  put32(b, bits);
  put32(b, 65537);
  putNumber(b, k.pkey, OSSL_PKEY_PARAM_RSA_N, n);
  putNumber(b, k.pkey, OSSL_PKEY_PARAM_RSA_FACTOR1, h);
  putNumber(b, k.pkey, OSSL_PKEY_PARAM_RSA_FACTOR2, h);
  putNumber(b, k.pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1, h);
  putNumber(b, k.pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2, h);
  putNumber(b, k.pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, h);
  putNumber(b, k.pkey, OSSL_PKEY_PARAM_RSA_D, n);
  k.modulusLE.assign(b.begin() + 20, b.begin() + 20 + static_cast<long>(n));
}

class Keys : public HomeTest {
 protected:
  HCRYPTPROV open(const char *provider, const char *container, DWORD flags = 0) {
    HCRYPTPROV p = 0;
    EXPECT_TRUE(CryptAcquireContextA(&p, container, provider, PROV_RSA_FULL, flags))
        << container << " " << std::hex << GetLastError();
    return p;
  }
  // A new container holding `blob` (imported with `flags`).
  HCRYPTPROV withKey(const char *provider, const char *container, const Bytes &blob,
                     DWORD flags = CRYPT_EXPORTABLE) {
    HCRYPTPROV p = open(provider, container, CRYPT_NEWKEYSET);
    HCRYPTKEY k = 0;
    EXPECT_TRUE(CryptImportKey(p, blob.data(), static_cast<DWORD>(blob.size()), 0, flags, &k))
        << std::hex << GetLastError();
    CryptDestroyKey(k);
    return p;
  }
  static Bytes exportBlob(HCRYPTKEY k, DWORD type) {
    DWORD n = 0;
    if (!CryptExportKey(k, 0, type, 0, nullptr, &n)) return {};
    Bytes b(n);
    if (!CryptExportKey(k, 0, type, 0, b.data(), &n)) return {};
    b.resize(n);
    return b;
  }
  static Bytes signHash(HCRYPTPROV p, ALG_ID alg, const Bytes &value, DWORD spec) {
    HCRYPTHASH h = 0;
    if (!CryptCreateHash(p, alg, 0, 0, &h)) return {};
    Bytes sig;
    DWORD n = 0;
    if (CryptSetHashParam(h, HP_HASHVAL, value.data(), 0) &&
        CryptSignHashA(h, spec, nullptr, 0, nullptr, &n)) {
      sig.resize(n);
      if (!CryptSignHashA(h, spec, nullptr, 0, sig.data(), &n)) sig.clear();
    }
    CryptDestroyHash(h);
    return sig;
  }
  static DWORD lastError() { return GetLastError(); }
};

TEST_F(Keys, BlobLayoutsAreByteExact) {
  TestKey key;
  makeKey(key, 1024, CALG_RSA_SIGN);
  ASSERT_EQ(key.privateBlob.size(), 596u);
  HCRYPTPROV p = withKey(kStrong, "layout", key.privateBlob);
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGetUserKey(p, AT_SIGNATURE, &k));

  const Bytes pub = exportBlob(k, PUBLICKEYBLOB);
  ASSERT_EQ(pub.size(), 148u);
  Bytes expected = {PUBLICKEYBLOB, 2, 0, 0};
  put32(expected, CALG_RSA_SIGN);
  put32(expected, 0x31415352);  // "RSA1"
  put32(expected, 1024);
  put32(expected, 65537);
  expected.insert(expected.end(), key.modulusLE.begin(), key.modulusLE.end());
  EXPECT_EQ(pub, expected);
  EXPECT_EQ(exportBlob(k, PRIVATEKEYBLOB), key.privateBlob);

  // A null buffer asks the size; a short one fails with the size needed.
  DWORD n = 0;
  ASSERT_TRUE(CryptExportKey(k, 0, PRIVATEKEYBLOB, 0, nullptr, &n));
  EXPECT_EQ(n, 596u);
  Bytes small(595);
  n = 595;
  EXPECT_FALSE(CryptExportKey(k, 0, PRIVATEKEYBLOB, 0, small.data(), &n));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(n, 596u);

  DWORD perms = 0, len = 4;
  ASSERT_TRUE(CryptGetKeyParam(k, KP_PERMISSIONS, reinterpret_cast<BYTE *>(&perms), &len, 0));
  EXPECT_NE(perms & CRYPT_EXPORT, 0u);
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
}

TEST_F(Keys, SignatureIsOpenSslsOwnPkcs1Signature) {
  TestKey key;
  makeKey(key, 1024, CALG_RSA_KEYX);
  HCRYPTPROV p = withKey(kStrong, "reference", key.privateBlob);
  struct Case {
    ALG_ID alg;
    const EVP_MD *md;  // null: no DigestInfo
    size_t size;
  } cases[] = {{CALG_SHA1, EVP_sha1(), 20},      {CALG_MD5, EVP_md5(), 16},
               {CALG_SHA_256, EVP_sha256(), 32}, {CALG_SHA_384, EVP_sha384(), 48},
               {CALG_SHA_512, EVP_sha512(), 64}, {CALG_SSL3_SHAMD5, nullptr, 36}};
  for (const Case &c : cases) {
    Bytes value(c.size);
    for (size_t i = 0; i < c.size; ++i) value[i] = static_cast<uint8_t>(i * 7 + 1);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key.pkey, nullptr);
    ASSERT_EQ(EVP_PKEY_sign_init(ctx), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 1);
    if (c.md != nullptr) {
      ASSERT_EQ(EVP_PKEY_CTX_set_signature_md(ctx, c.md), 1);
    }
    size_t n = 128;
    Bytes want(n);
    ASSERT_EQ(EVP_PKEY_sign(ctx, want.data(), &n, value.data(), value.size()), 1);
    EVP_PKEY_CTX_free(ctx);
    Bytes got = signHash(p, c.alg, value, AT_KEYEXCHANGE);
    std::reverse(got.begin(), got.end());  // the CSP's output is little-endian
    EXPECT_EQ(got, want) << "alg " << std::hex << c.alg;
  }
  CryptReleaseContext(p, 0);
}

TEST_F(Keys, ErrorResults) {
  TestKey key;
  makeKey(key, 1024, CALG_RSA_SIGN);
  HCRYPTPROV p = 0;
  // Acquiring containers.
  EXPECT_FALSE(CryptAcquireContextA(&p, "absent", kStrong, PROV_RSA_FULL, 0));
  EXPECT_EQ(lastError(), NTE_BAD_KEYSET);
  EXPECT_FALSE(CryptAcquireContextA(&p, "absent", kStrong, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
  EXPECT_EQ(lastError(), NTE_BAD_KEYSET);
  p = open(kStrong, "errors", CRYPT_NEWKEYSET);
  HCRYPTPROV q = 99;
  EXPECT_FALSE(CryptAcquireContextA(&q, "ERRORS", kBase, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_EQ(lastError(), NTE_EXISTS);
  EXPECT_EQ(q, 0u);

  // Generating keys.
  HCRYPTKEY k = 0;
  const struct {
    ALG_ID alg;
    DWORD flags;
    DWORD error;
  } gen[] = {{CALG_SHA1, 1024u << 16, NTE_BAD_ALGID},
             {3, 1024u << 16, NTE_BAD_ALGID},
             {AT_SIGNATURE, 376u << 16, NTE_BAD_FLAGS},
             {AT_SIGNATURE, 1028u << 16, NTE_BAD_FLAGS},
             {AT_SIGNATURE, 16392u << 16, NTE_BAD_FLAGS}};
  for (const auto &g : gen) {
    EXPECT_FALSE(CryptGenKey(p, g.alg, g.flags, &k));
    EXPECT_EQ(lastError(), g.error) << g.alg << " " << (g.flags >> 16);
    EXPECT_EQ(k, 0u);
  }
  EXPECT_FALSE(CryptGetUserKey(p, AT_SIGNATURE, &k));
  EXPECT_EQ(lastError(), NTE_NO_KEY);

  // Importing: every damaged blob is refused and nothing is stored.
  const std::vector<std::pair<std::function<void(Bytes &)>, DWORD>> damage = {
      {[](Bytes &b) { b[0] = PUBLICKEYBLOB; }, NTE_BAD_TYPE},
      {[](Bytes &b) { b[1] = 3; }, NTE_BAD_VER},
      {[](Bytes &b) { b[2] = 1; }, NTE_BAD_DATA},
      {[](Bytes &b) { b[8] = 'X'; }, NTE_BAD_DATA},
      {[](Bytes &b) { b[5] = 0x66; }, NTE_BAD_ALGID},
      {[](Bytes &b) { b.resize(595); }, NTE_BAD_LEN},
      {[](Bytes &b) { b[13] = 8; }, NTE_BAD_LEN},          // bitlen 2048, blob too short
      {[](Bytes &b) { b[20 + 128] ^= 1; }, NTE_BAD_DATA},  // prime1 changed
      {[](Bytes &b) { b[595] ^= 1; }, NTE_BAD_DATA},       // d changed
      {[](Bytes &b) {
         b[16] = 0;
         b[18] = 0;
       },
       NTE_BAD_DATA},  // exponent 0
  };
  for (size_t i = 0; i < damage.size(); ++i) {
    Bytes b = key.privateBlob;
    damage[i].first(b);
    EXPECT_FALSE(CryptImportKey(p, b.data(), static_cast<DWORD>(b.size()), 0, 0, &k)) << i;
    EXPECT_EQ(lastError(), damage[i].second) << i;
  }
  EXPECT_FALSE(CryptGetUserKey(p, AT_SIGNATURE, &k));

  // A non-exportable key keeps its private half.
  ASSERT_TRUE(CryptImportKey(p, key.privateBlob.data(), 596, 0, 0, &k));
  DWORD n = 0;
  EXPECT_FALSE(CryptExportKey(k, 0, PRIVATEKEYBLOB, 0, nullptr, &n));
  EXPECT_EQ(lastError(), NTE_BAD_KEY_STATE);
  EXPECT_EQ(exportBlob(k, PUBLICKEYBLOB).size(), 148u);
  CryptDestroyKey(k);

  // Hashes and signatures.
  HCRYPTHASH h = 0;
  EXPECT_FALSE(CryptCreateHash(p, 0x8001, 0, 0, &h));  // MD2
  EXPECT_EQ(lastError(), NTE_BAD_ALGID);
  EXPECT_FALSE(CryptCreateHash(p, CALG_RSA_SIGN, 0, 0, &h));
  ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
  DWORD size = 0, len = 4;
  ASSERT_TRUE(CryptGetHashParam(h, HP_HASHSIZE, reinterpret_cast<BYTE *>(&size), &len, 0));
  EXPECT_EQ(size, 20u);
  EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, nullptr, &n));
  EXPECT_EQ(lastError(), NTE_BAD_HASH_STATE);  // no value yet
  const Bytes value(20, 0xAB);
  ASSERT_TRUE(CryptSetHashParam(h, HP_HASHVAL, value.data(), 0));
  EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, "description", 0, nullptr, &n));
  EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 1, nullptr, &n));
  EXPECT_FALSE(CryptSignHashA(h, AT_KEYEXCHANGE, nullptr, 0, nullptr, &n));
  EXPECT_EQ(lastError(), NTE_NO_KEY);
  ASSERT_TRUE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, nullptr, &n));
  EXPECT_EQ(n, 128u);
  Bytes sig(127);
  n = 127;
  EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, sig.data(), &n));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(n, 128u);
  EXPECT_TRUE(CryptDestroyHash(h));
  EXPECT_FALSE(CryptDestroyHash(h));

  // The software family has no PINs.
  EXPECT_FALSE(CryptSetProvParam(p, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>("1234"), 0));
  EXPECT_TRUE(CryptReleaseContext(p, 0));

  // Deleting leaves no handle and frees the name.
  q = 77;
  EXPECT_TRUE(CryptAcquireContextA(&q, "Errors", kBase, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
  EXPECT_EQ(q, 0u);
  EXPECT_FALSE(CryptAcquireContextA(&q, "errors", kStrong, PROV_RSA_FULL, 0));
}

TEST_F(Keys, TokenNeverGeneratesExportableKeys) {
  HCRYPTPROV p = open(kToken, "token", CRYPT_NEWKEYSET);
  HCRYPTKEY k = 0;
  EXPECT_FALSE(CryptGenKey(p, AT_SIGNATURE, (1024u << 16) | CRYPT_EXPORTABLE, &k));
  ASSERT_TRUE(CryptGenKey(p, AT_SIGNATURE, 1024u << 16, &k));
  DWORD perms = 0, len = 4;
  ASSERT_TRUE(CryptGetKeyParam(k, KP_PERMISSIONS, reinterpret_cast<BYTE *>(&perms), &len, 0));
  EXPECT_EQ(perms & CRYPT_EXPORT, 0u);
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
}

std::vector<std::string> enumerate(HCRYPTPROV p) {
  std::vector<std::string> names;
  DWORD flags = CRYPT_FIRST;
  for (;;) {
    char buf[500];
    DWORD len = sizeof buf;
    if (!CryptGetProvParam(p, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(buf), &len, flags)) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
      return names;
    }
    EXPECT_EQ(len, std::strlen(buf) + 1);
    names.push_back(buf);
    flags = 0;
  }
}

TEST_F(Keys, EnumerateContainers) {
  for (const char *name : {"Beta", "alpha", "Gamma-Long-Name-For-A-Short-Buffer"})
    CryptReleaseContext(open(kStrong, name, CRYPT_NEWKEYSET), 0);
  CryptReleaseContext(open(kToken, "token-only", CRYPT_NEWKEYSET), 0);

  HCRYPTPROV verify = 0;
  ASSERT_TRUE(CryptAcquireContextA(&verify, nullptr, kBase, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  const std::vector<std::string> all = {"alpha", "Beta", "Gamma-Long-Name-For-A-Short-Buffer"};
  EXPECT_EQ(enumerate(verify), all);
  EXPECT_EQ(enumerate(verify), all) << "CRYPT_FIRST restarts";

  // A short buffer fails with the size needed and does not move on.
  HCRYPTPROV p = open(kStrong, "beta");
  char buf[500];
  DWORD len = 0;
  ASSERT_TRUE(CryptGetProvParam(p, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(buf), &(len = 500),
                                CRYPT_FIRST));
  ASSERT_TRUE(
      CryptGetProvParam(p, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(buf), &(len = 500), 0));
  len = 5;
  EXPECT_FALSE(CryptGetProvParam(p, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(buf), &len, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(len, all[2].size() + 1);
  ASSERT_TRUE(
      CryptGetProvParam(p, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(buf), &(len = 500), 0));
  EXPECT_EQ(std::string(buf), all[2]);
  EXPECT_FALSE(
      CryptGetProvParam(p, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(buf), &(len = 500), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  CryptReleaseContext(p, 0);

  HCRYPTPROV token = 0;
  ASSERT_TRUE(CryptAcquireContextA(&token, nullptr, kToken, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(enumerate(token), std::vector<std::string>{"token-only"});
  CryptReleaseContext(token, 0);
  CryptReleaseContext(verify, 0);
}

// A home deleted while the process runs: a container made afterwards is in
// the new home's key database, where another thread's connection finds it,
// and the containers of the deleted one are gone for this thread too.
TEST_F(Keys, ContainersMadeAfterTheHomeWasDeletedLandInTheNewHome) {
  CryptReleaseContext(open(kStrong, "before", CRYPT_NEWKEYSET), 0);
  std::filesystem::remove_all(home_);
  CryptReleaseContext(open(kStrong, "after", CRYPT_NEWKEYSET), 0);
  const auto listed = [] {
    HCRYPTPROV v = 0;
    EXPECT_TRUE(CryptAcquireContextA(&v, nullptr, kStrong, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    std::vector<std::string> names = enumerate(v);
    CryptReleaseContext(v, 0);
    return names;
  };
  EXPECT_EQ(listed(), std::vector<std::string>{"after"});
  std::vector<std::string> elsewhere;
  std::thread([&] { elsewhere = listed(); }).join();
  EXPECT_EQ(elsewhere, std::vector<std::string>{"after"});
}

TEST_F(Keys, PinProtectedKeyAtRest) {
  TestKey key;
  makeKey(key, 1024, CALG_RSA_KEYX);
  const BYTE *pin = reinterpret_cast<const BYTE *>("s3cret");
  HCRYPTPROV p = open(kToken, "pinned", CRYPT_NEWKEYSET);
  ASSERT_TRUE(CryptSetProvParam(p, PP_KEYEXCHANGE_PIN, pin, 0));
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptImportKey(p, key.privateBlob.data(), 596, 0, CRYPT_EXPORTABLE, &k));
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);

  // Neither the private exponent nor a prime is on disk, in either byte
  // order; the modulus is (which shows the search finds what is there).
  std::string disk;
  for (const char *f : {"/keys.db", "/keys.db-wal"}) {
    std::ifstream in(home_ + f, std::ios::binary);
    disk.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  auto onDisk = [&](Bytes b, bool reversed) {
    if (reversed) std::reverse(b.begin(), b.end());
    return disk.find(std::string(b.begin(), b.end())) != std::string::npos;
  };
  const Bytes d(key.privateBlob.begin() + 468, key.privateBlob.end());
  const Bytes p1(key.privateBlob.begin() + 148, key.privateBlob.begin() + 212);
  EXPECT_TRUE(onDisk(key.modulusLE, true));
  for (bool rev : {false, true}) {
    EXPECT_FALSE(onDisk(d, rev));
    EXPECT_FALSE(onDisk(p1, rev));
  }

  // A context without the PIN reads the public key only.
  p = open(kToken, "pinned");
  ASSERT_TRUE(CryptGetUserKey(p, AT_KEYEXCHANGE, &k));
  EXPECT_EQ(exportBlob(k, PUBLICKEYBLOB).size(), 148u);
  EXPECT_TRUE(exportBlob(k, PRIVATEKEYBLOB).empty());
  EXPECT_TRUE(signHash(p, CALG_SHA1, Bytes(20, 1), AT_KEYEXCHANGE).empty());
  EXPECT_FALSE(
      CryptSetProvParam(p, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE *>("s3creT"), 0));
  EXPECT_EQ(GetLastError(), SCARD_W_WRONG_CHV);
  EXPECT_FALSE(CryptSetProvParam(p, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE *>(""), 0));
  ASSERT_TRUE(CryptSetProvParam(p, PP_KEYEXCHANGE_PIN, pin, 0));
  EXPECT_EQ(exportBlob(k, PRIVATEKEYBLOB), key.privateBlob);
  EXPECT_EQ(signHash(p, CALG_SHA1, Bytes(20, 1), AT_KEYEXCHANGE).size(), 128u);
  // Replacing the protected key needs the PIN: another context cannot.
  HCRYPTPROV other = open(kToken, "pinned");
  HCRYPTKEY k2 = 0;
  EXPECT_FALSE(CryptGenKey(other, AT_KEYEXCHANGE, 512u << 16, &k2));
  EXPECT_EQ(GetLastError(), NTE_PERM);
  CryptReleaseContext(other, 0);
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
}

TEST_F(Keys, SecondProcessSeesChanges) {
  TestKey first, second;
  makeKey(first, 1024, CALG_RSA_SIGN);
  makeKey(second, 1024, CALG_RSA_SIGN);
  HCRYPTPROV p = withKey(kStrong, "shared", first.privateBlob);
  const Bytes value(32, 5);
  const Bytes before = signHash(p, CALG_SHA_256, value, AT_SIGNATURE);  // now cached
  ASSERT_EQ(before.size(), 128u);
  CryptReleaseContext(p, 0);

  // Another process sees the key, then replaces the container.
  const int rc = child::run([&] {
    HCRYPTPROV c = 0;
    HCRYPTKEY k = 0;
    if (!CryptAcquireContextA(&c, "SHARED", kBase, PROV_RSA_FULL, 0)) return 1;
    if (!CryptGetUserKey(c, AT_SIGNATURE, &k)) return 2;
    if (exportBlob(k, PRIVATEKEYBLOB) != first.privateBlob) return 3;
    CryptDestroyKey(k);
    CryptReleaseContext(c, 0);
    if (!CryptAcquireContextA(&c, "shared", kStrong, PROV_RSA_FULL, CRYPT_DELETEKEYSET)) return 4;
    if (!CryptAcquireContextA(&c, "shared", kStrong, PROV_RSA_FULL, CRYPT_NEWKEYSET)) return 5;
    if (!CryptImportKey(c, second.privateBlob.data(), 596, 0, CRYPT_EXPORTABLE, &k)) return 6;
    CryptDestroyKey(k);
    CryptReleaseContext(c, 0);
    return 0;
  });
  ASSERT_EQ(rc, 0);

  // This process signs with the new key, not its cached old one.
  p = open(kStrong, "shared");
  Bytes after = signHash(p, CALG_SHA_256, value, AT_SIGNATURE);
  std::reverse(after.begin(), after.end());
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(second.pkey, nullptr);
  EVP_PKEY_verify_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
  EXPECT_EQ(EVP_PKEY_verify(ctx, after.data(), after.size(), value.data(), value.size()), 1);
  EVP_PKEY_CTX_free(ctx);
  CryptReleaseContext(p, 0);
}

TEST_F(Keys, TwoProcessesRacingForOneNameOneWins) {
  for (int round = 0; round < 8; ++round) {
    const std::string name = "race-" + std::to_string(round);
    child::Signal go;
    ASSERT_TRUE(go.ok());
    std::vector<pid_t> kids;
    for (int i = 0; i < 2; ++i)
      kids.push_back(child::start([&] {
        if (!go.receive()) return 99;
        HCRYPTPROV p = 0;
        if (!CryptAcquireContextA(&p, name.c_str(), kStrong, PROV_RSA_FULL, CRYPT_NEWKEYSET))
          return GetLastError() == NTE_EXISTS ? 1 : 2;
        CryptReleaseContext(p, 0);
        return 0;
      }));
    ASSERT_TRUE(go.send(2));  // both children start at once
    std::multiset<int> outcomes;
    for (pid_t pid : kids) outcomes.insert(child::wait(pid));
    EXPECT_EQ(outcomes, (std::multiset<int>{0, 1})) << name;
  }
}

}  // namespace
