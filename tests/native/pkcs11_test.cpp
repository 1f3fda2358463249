// The PKCS#11 family against SoftHSM2: each test has its own token store
// (SOFTHSM2_CONF in its home), tokens made by softhsm2-util, and checks the
// CSP's results with OpenSSL and OpenSC's pkcs11-tool. Every case runs with
// SoftHSM2's module itself and through p11-kit's proxy (with a p11-kit user
// configuration in the test's HOME that leaves only SoftHSM2).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <p11-kit/pkcs11.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "common/test_hooks.h"
#include "common/trace.h"
#include "csp/keystore.h"
#include "csp/pkcs11/module.h"
#include "platform/key_blobs.h"
#include "test_home.h"
#include "winapi/advapi32.h"
#include "winapi/crypt32.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A keystore step's outcome as these tests compare it: whether it did
// what was asked, and the platform's error code it failed with (0 when it
// did not fail).
bool succeeded(const emu::Status &failed, DWORD &error) {
  error = failed ? failed->code : 0;
  return !failed;
}

const char kSoftHsm[] = "/usr/lib/softhsm/libsofthsm2.so";
const char kSpy[] = "/usr/lib/x86_64-linux-gnu/pkcs11-spy.so";  // OpenSC's
const char kProvider[] = "Test PKCS11 Provider";
const char kPin[] = "123456";
const char kProviders[] =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";

std::string proxyModule() {
  for (const char *p : {"/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so", "/usr/lib/p11-kit-proxy.so",
                        "/usr/lib64/p11-kit-proxy.so"})
    if (std::filesystem::exists(p)) return p;
  return "";
}

std::string clientModule() {
  for (const char *p :
       {"/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-client.so", "/usr/lib/pkcs11/p11-kit-client.so"})
    if (std::filesystem::exists(p)) return p;
  return "";
}

std::string capture(const std::string &cmd, int *status = nullptr) {
  std::string out;
  FILE *f = popen(cmd.c_str(), "r");
  if (f == nullptr) return out;
  char buf[4096];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  const int rc = pclose(f);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

int sh(const std::string &cmd) {
  const int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

Bytes readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string &path, const Bytes &b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), b.size());
}

// An RSA public key from a PUBLICKEYBLOB.
EVP_PKEY *fromPublicBlob(const Bytes &blob) {
  if (blob.size() < keyblob::kModulusOffset) return nullptr;
  const uint32_t bits = keyblob::readLE32(blob.data() + keyblob::kBitLenOffset);
  const uint32_t e = keyblob::readLE32(blob.data() + keyblob::kExponentOffset);
  Bytes n(blob.begin() + keyblob::kModulusOffset,
          blob.begin() + keyblob::kModulusOffset + bits / 8);
  std::reverse(n.begin(), n.end());
  BIGNUM *bn = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
  BIGNUM *be = BN_new();
  BN_set_word(be, e);
  OSSL_PARAM_BLD *b = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_N, bn);
  OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_E, be);
  OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(b);
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY *key = nullptr;
  EVP_PKEY_fromdata_init(ctx);
  EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(b);
  BN_free(bn);
  BN_free(be);
  return key;
}

// Verifies a PKCS#1 v1.5 signature (big-endian) of a hash value.
bool verifies(EVP_PKEY *key, const EVP_MD *md, const Bytes &hash, const Bytes &sig) {
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
  bool ok = EVP_PKEY_verify_init(ctx) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
            (md == nullptr || EVP_PKEY_CTX_set_signature_md(ctx, md) == 1) &&
            EVP_PKEY_verify(ctx, sig.data(), sig.size(), hash.data(), hash.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

struct HashCase {
  ALG_ID alg;
  size_t size;
  const EVP_MD *(*md)();
};

const HashCase kHashes[] = {
    {CALG_MD5, 16, EVP_md5},        {CALG_SHA1, 20, EVP_sha1},      {CALG_SSL3_SHAMD5, 36, nullptr},
    {CALG_SHA_256, 32, EVP_sha256}, {CALG_SHA_384, 48, EVP_sha384}, {CALG_SHA_512, 64, EVP_sha512},
};

// Certificates for cards: `count` certificates (serials 1.., subject
// CN=<prefix><i>), all for the public key of `key` and signed by it.
std::vector<Bytes> certificatesFor(EVP_PKEY *key, const std::string &prefix, int count) {
  std::vector<Bytes> out;
  for (int i = 0; i < count; ++i) {
    X509 *x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), i + 1);
    X509_NAME *name = X509_NAME_new();
    const std::string cn = prefix + std::to_string(i);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(cn.c_str()), -1, -1, 0);
    X509_set_subject_name(x, name);
    X509_set_issuer_name(x, name);
    X509_NAME_free(name);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 30L * 24 * 3600);
    X509_set_pubkey(x, key);
    X509_sign(x, key, EVP_sha256());
    unsigned char *der = nullptr;
    const int n = i2d_X509(x, &der);
    if (n > 0) out.emplace_back(der, der + n);
    OPENSSL_free(der);
    X509_free(x);
  }
  return out;
}

// Writes onto token L, through SoftHSM2's module loaded in this (child)
// process, the certificate certs[i] and an RSA public key object of `key`
// beside it, both with CKA_ID C0 <i> and label card<i>, as an issuer puts a
// key pair's certificate on a card. 0 when every object was made.
int writeCardObjects(EVP_PKEY *key, const std::vector<Bytes> &certs) {
  void *lib = dlopen(kSoftHsm, RTLD_NOW);
  if (lib == nullptr) return 1;
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
  CK_FUNCTION_LIST *fn = nullptr;
  if (getList == nullptr || getList(&fn) != CKR_OK || fn->C_Initialize(nullptr) != CKR_OK) return 2;
  CK_SLOT_ID slots[8];
  CK_ULONG n = 8;
  CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
  if (fn->C_GetSlotList(CK_TRUE, slots, &n) != CKR_OK) return 3;
  for (CK_ULONG i = 0; i < n && s == CK_INVALID_HANDLE; ++i) {
    CK_TOKEN_INFO info{};
    if (fn->C_GetTokenInfo(slots[i], &info) != CKR_OK || info.label[0] != 'L' ||
        info.label[1] != ' ')
      continue;
    if (fn->C_OpenSession(slots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) !=
        CKR_OK)
      return 4;
  }
  if (s == CK_INVALID_HANDLE) return 5;
  if (fn->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR *>(const_cast<char *>(kPin)),
                  std::strlen(kPin)) != CKR_OK)
    return 6;
  BIGNUM *bn = nullptr, *be = nullptr;
  EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &bn);
  EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &be);
  Bytes modulus(BN_num_bytes(bn)), exponent(BN_num_bytes(be));
  BN_bn2bin(bn, modulus.data());
  BN_bn2bin(be, exponent.data());
  BN_free(bn);
  BN_free(be);
  CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY, certClass = CKO_CERTIFICATE;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  CK_BBOOL yes = CK_TRUE;
  for (size_t i = 0; i < certs.size(); ++i) {
    CK_BYTE id[] = {0xC0, static_cast<CK_BYTE>(i)};
    const std::string label = "card" + std::to_string(i);
    const unsigned char *q = certs[i].data();
    X509 *x = d2i_X509(nullptr, &q, static_cast<long>(certs[i].size()));
    unsigned char *subject = nullptr;
    const int subjectLen = x != nullptr ? i2d_X509_NAME(X509_get_subject_name(x), &subject) : 0;
    X509_free(x);
    if (subjectLen <= 0) return 7;
    auto *lbl = reinterpret_cast<CK_VOID_PTR>(const_cast<char *>(label.data()));
    CK_ATTRIBUTE pub[] = {{CKA_CLASS, &pubClass, sizeof pubClass},
                          {CKA_KEY_TYPE, &rsa, sizeof rsa},
                          {CKA_TOKEN, &yes, sizeof yes},
                          {CKA_ID, id, sizeof id},
                          {CKA_LABEL, lbl, label.size()},
                          {CKA_MODULUS, modulus.data(), modulus.size()},
                          {CKA_PUBLIC_EXPONENT, exponent.data(), exponent.size()}};
    CK_ATTRIBUTE cert[] = {{CKA_CLASS, &certClass, sizeof certClass},
                           {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                           {CKA_TOKEN, &yes, sizeof yes},
                           {CKA_ID, id, sizeof id},
                           {CKA_LABEL, lbl, label.size()},
                           {CKA_SUBJECT, subject, static_cast<CK_ULONG>(subjectLen)},
                           {CKA_VALUE, const_cast<uint8_t *>(certs[i].data()), certs[i].size()}};
    CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
    const bool made = fn->C_CreateObject(s, pub, sizeof pub / sizeof pub[0], &h) == CKR_OK &&
                      fn->C_CreateObject(s, cert, sizeof cert / sizeof cert[0], &h) == CKR_OK;
    OPENSSL_free(subject);
    if (!made) return 8;
  }
  fn->C_Finalize(nullptr);
  return 0;
}

enum class Via { Module, Proxy };

bool &softHsmLoaded() {
  static bool loaded = false;
  return loaded;
}

class Pkcs11 : public HomeTest, public ::testing::WithParamInterface<Via> {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    if (!std::filesystem::exists(kSoftHsm)) GTEST_SKIP() << "SoftHSM2 is not installed";
    module_ = kSoftHsm;
    const std::string hsm = home_ + "/softhsm";
    std::filesystem::create_directories(hsm + "/tokens");
    conf_ = hsm + "/softhsm2.conf";
    std::ofstream(conf_) << "directories.tokendir = " << hsm
                         << "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
    setenv("SOFTHSM2_CONF", conf_.c_str(), 1);
    if (GetParam() == Via::Module) softHsmLoaded() = true;
    if (GetParam() == Via::Proxy) {
      // SoftHSM2 is one library per process: once loaded directly (and
      // initialised with another test's token store), the proxy would get
      // that instance. ctest runs every case in a process of its own.
      if (softHsmLoaded()) GTEST_SKIP() << "run through the proxy in a process of its own";
      module_ = proxyModule();
      if (module_.empty()) GTEST_SKIP() << "p11-kit's proxy module is not installed";
      // p11-kit reads the user's configuration from $HOME/.config/pkcs11:
      // every module the system registers is blanked out there except
      // SoftHSM2's, which sees only this test's tokens.
      const char *oldHome = getenv("HOME");
      if (oldHome) savedHome_ = oldHome;
      const std::string modules = home_ + "/user/.config/pkcs11/modules";
      std::filesystem::create_directories(modules);
      for (const char *dir : {"/usr/share/p11-kit/modules", "/etc/pkcs11/modules"}) {
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator(dir, ec))
          if (e.path().filename() != "softhsm2.module")
            std::ofstream(modules + "/" + e.path().filename().string()) << "module:\n";
      }
      std::ofstream(modules + "/softhsm2.module") << "module: " << kSoftHsm << "\n";
      setenv("HOME", (home_ + "/user").c_str(), 1);
    }
    ASSERT_EQ(initToken("L"), 0);
    // The default registration first (a registry folder that exists is
    // never given it), then the test's provider.
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);
    registerProvider(module_, "");
  }

  void TearDown() override {
    if (serverPid_ > 0) {
      kill(serverPid_, SIGTERM);
      waitpid(serverPid_, nullptr, 0);
    }
    if (!savedHome_.empty()) setenv("HOME", savedHome_.c_str(), 1);
    unsetenv("SOFTHSM2_CONF");
    HomeTest::TearDown();
  }

  int initToken(const std::string &label) {
    int status = -1;
    const std::string out = capture("softhsm2-util --init-token --free --label " + label +
                                        " --pin " + kPin + " --so-pin 654321 2>&1",
                                    &status);
    if (status != 0) ADD_FAILURE() << out;
    return status;
  }

  // Registers the test's provider with `image` and, when given, its PIN
  // prompt; the default registration's PKCS#11 provider is removed.
  // A `timeout` other than 0 is the prompt's time limit in seconds.
  void registerProvider(const std::string &image, const std::string &prompt,
                        const std::string &name = kProvider, unsigned timeout = 0) {
    std::string reg = std::string("Windows Registry Editor Version 5.00\n\n[-") + (kProviders + 1) +
                      "PKCS#11 Token RSA Provider]\n\n" + kProviders + name +
                      "]\n\"Image Path\"=\"" + image + "\"\n\"Type\"=dword:00000001\n";
    if (!prompt.empty()) reg += "\"PIN Prompt\"=\"" + prompt + "\"\n";
    if (timeout != 0) {
      char dword[16];
      std::snprintf(dword, sizeof dword, "%08x", timeout);
      reg += std::string("\"PIN Prompt Timeout\"=dword:") + dword + "\n";
    }
    writeReg("50-" + name + ".reg", reg);
  }

  // A PIN prompt script: logs its argument, answers `answer`, exits `status`.
  std::string promptScript(const std::string &answer, int status = 0) {
    const std::string path = home_ + "/prompt-" + std::to_string(++prompts_) + ".sh";
    std::ofstream(path) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << home_
                        << "/prompts.log'\nprintf '%s\\n' '" << answer << "'\nexit " << status
                        << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
  }

  int promptCount() {
    std::ifstream in(home_ + "/prompts.log");
    return static_cast<int>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
  }

  std::string tool(const std::string &args, int *status = nullptr) {
    return capture("pkcs11-tool --module " + std::string(kSoftHsm) + " " + args + " 2>&1", status);
  }

  HCRYPTPROV open(const std::string &container, DWORD flags = 0,
                  const std::string &provider = kProvider) {
    HCRYPTPROV p = 0;
    if (!CryptAcquireContextA(&p, container.c_str(), provider.c_str(), PROV_RSA_FULL, flags))
      return 0;
    return p;
  }

  std::string provParam(HCRYPTPROV p, DWORD param) {
    char buf[600];
    DWORD n = sizeof buf;
    if (!CryptGetProvParam(p, param, reinterpret_cast<BYTE *>(buf), &n, 0)) return "";
    return buf;
  }

  std::vector<std::string> enumerate() {
    std::vector<std::string> names;
    HCRYPTPROV v = 0;
    if (!CryptAcquireContextA(&v, nullptr, kProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
      return names;
    char buf[600];
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
      DWORD n = sizeof buf;
      if (!CryptGetProvParam(v, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(buf), &n, flags)) break;
      names.push_back(buf);
    }
    CryptReleaseContext(v, 0);
    return names;
  }

  bool pin(HCRYPTPROV p, const char *value, DWORD param = PP_SIGNATURE_PIN) {
    return CryptSetProvParam(p, param, reinterpret_cast<const BYTE *>(value), 0) != FALSE;
  }

  // The CKA_ID a key of the CSP has on the token, in lowercase hex as
  // pkcs11-tool shows it: the SHA-1 of its modulus, as NSS and OpenSC make
  // it (computed here from the key's public blob).
  std::string keyId(HCRYPTPROV p, DWORD spec) {
    EVP_PKEY *pub = fromPublicBlob(exportBlob(p, spec, PUBLICKEYBLOB));
    BIGNUM *n = nullptr;
    if (pub == nullptr || !EVP_PKEY_get_bn_param(pub, OSSL_PKEY_PARAM_RSA_N, &n)) {
      EVP_PKEY_free(pub);
      return "";
    }
    Bytes modulus(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, modulus.data());
    BN_free(n);
    EVP_PKEY_free(pub);
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(modulus.data(), modulus.size(), digest);
    std::string hex;
    for (unsigned char b : digest) {
      hex += "0123456789abcdef"[b >> 4];
      hex += "0123456789abcdef"[b & 15];
    }
    return hex;
  }

  Bytes exportBlob(HCRYPTPROV p, DWORD spec, DWORD type) {
    HCRYPTKEY k = 0;
    Bytes out;
    if (!CryptGetUserKey(p, spec, &k)) return out;
    DWORD n = 0;
    if (CryptExportKey(k, 0, type, 0, nullptr, &n)) {
      out.resize(n);
      if (!CryptExportKey(k, 0, type, 0, out.data(), &n)) out.clear();
    }
    CryptDestroyKey(k);
    return out;
  }

  // Signs a hash value; the signature big-endian (empty on failure).
  Bytes signHash(HCRYPTPROV p, DWORD spec, ALG_ID alg, const Bytes &hash) {
    HCRYPTHASH h = 0;
    Bytes sig;
    if (!CryptCreateHash(p, alg, 0, 0, &h)) return sig;
    DWORD n = 0;
    if (CryptSetHashParam(h, HP_HASHVAL, hash.data(), 0) &&
        CryptSignHashA(h, spec, nullptr, 0, nullptr, &n)) {
      sig.resize(n);
      if (!CryptSignHashA(h, spec, nullptr, 0, sig.data(), &n)) sig.clear();
    }
    CryptDestroyHash(h);
    std::reverse(sig.begin(), sig.end());
    return sig;
  }

  static Bytes randomHash(size_t n) {
    Bytes b(n);
    RAND_bytes(b.data(), static_cast<int>(n));
    return b;
  }

  // Signs a fresh SHA-256 value with the key of `spec` and verifies it
  // with the key's public blob.
  bool signsAndVerifies(HCRYPTPROV p, DWORD spec) {
    const Bytes pub = exportBlob(p, spec, PUBLICKEYBLOB);
    EVP_PKEY *key = fromPublicBlob(pub);
    if (key == nullptr) return false;
    const Bytes hash = randomHash(32);
    const bool ok = verifies(key, EVP_sha256(), hash, signHash(p, spec, CALG_SHA_256, hash));
    EVP_PKEY_free(key);
    return ok;
  }

  // A new container with a 1024-bit signature key, logged in with the PIN,
  // whose signature verifies: its context, or 0 after a failed assertion.
  HCRYPTPROV withSigningKey(const std::string &name) {
    HCRYPTPROV p = open(name, CRYPT_NEWKEYSET);
    HCRYPTKEY k = 0;
    EXPECT_NE(p, 0u);
    EXPECT_TRUE(p != 0 && pin(p, kPin) && CryptGenKey(p, AT_SIGNATURE, 1024u << 16, &k));
    CryptDestroyKey(k);
    EXPECT_TRUE(p != 0 && signsAndVerifies(p, AT_SIGNATURE));
    return p;
  }

  // The body of TheTokenGoesAwayWhileThreadsSign.
  void tokenGoesAwayWhileThreadsSign();

  // Logs this process out of token L through a session of its own on
  // SoftHSM2 (as another library in the process could): true when
  // C_Logout succeeded.
  static bool logOutElsewhere() {
    void *lib = dlopen(kSoftHsm, RTLD_NOW | RTLD_NOLOAD);
    if (lib == nullptr) return false;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
    CK_FUNCTION_LIST *fn = nullptr;
    bool out = false;
    CK_SLOT_ID slots[8];
    CK_ULONG n = 8;
    if (getList != nullptr && getList(&fn) == CKR_OK &&
        fn->C_GetSlotList(CK_TRUE, slots, &n) == CKR_OK) {
      for (CK_ULONG i = 0; i < n && !out; ++i) {
        CK_TOKEN_INFO info{};
        CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
        if (fn->C_GetTokenInfo(slots[i], &info) != CKR_OK || info.label[0] != 'L' ||
            info.label[1] != ' ' ||
            fn->C_OpenSession(slots[i], CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK)
          continue;
        out = fn->C_Logout(s) == CKR_OK;
        fn->C_CloseSession(s);
      }
    }
    dlclose(lib);
    return out;
  }

  // The module calls in OpenSC's pkcs11-spy log, by name.
  static std::map<std::string, int> spyCalls(const std::string &log) {
    std::map<std::string, int> calls;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
      const size_t colon = line.find(": C_");
      if (colon != std::string::npos && colon > 0 &&
          std::all_of(line.begin(), line.begin() + colon, ::isdigit))
        ++calls[line.substr(colon + 2)];
    }
    return calls;
  }

  std::string module_, conf_, savedHome_;
  int prompts_ = 0;
  pid_t serverPid_ = 0;
};

TEST_P(Pkcs11, ContainerLifeCycleAndFullNames) {
  HCRYPTPROV p = open("box", CRYPT_NEWKEYSET);
  ASSERT_NE(p, 0u);
  EXPECT_EQ(provParam(p, PP_CONTAINER), "\\\\.\\L\\box");
  CryptReleaseContext(p, 0);
  // The marker is a data object on the token, seen by another tool.
  const std::string objects = tool("--token-label L --list-objects --type data");
  EXPECT_NE(objects.find("box"), std::string::npos) << objects;

  EXPECT_EQ(open("box", CRYPT_NEWKEYSET), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS));
  EXPECT_EQ(open("\\\\.\\L\\box", CRYPT_NEWKEYSET), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS));
  const std::vector<std::string> names = enumerate();
  EXPECT_EQ(names, std::vector<std::string>{"\\\\.\\L\\box"});
  // Every enumerated name opens (round trip), and so does the plain name.
  for (const std::string &n : {names.at(0), std::string("box")}) {
    HCRYPTPROV q = open(n);
    EXPECT_NE(q, 0u) << n;
    if (q) CryptReleaseContext(q, 0);
  }
  // Names that do not resolve.
  for (const char *bad : {"Box", "\\\\.\\M\\box", "\\\\.\\L\\", "\\\\.\\L"}) {
    EXPECT_EQ(open(bad), 0u) << bad;
  }
  HCRYPTPROV gone = 0;
  ASSERT_TRUE(
      CryptAcquireContextA(&gone, "\\\\.\\L\\box", kProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
  EXPECT_EQ(open("box"), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
  EXPECT_TRUE(enumerate().empty());
  EXPECT_FALSE(CryptAcquireContextA(&gone, "box", kProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
  EXPECT_EQ(tool("--token-label L --list-objects --type data").find("box"), std::string::npos);

  // A container another program deletes is gone for this process too,
  // though this process opened it before: once the handle it was found by
  // is no longer trusted.
  HCRYPTPROV other = open("other", CRYPT_NEWKEYSET);
  ASSERT_NE(other, 0u);
  CryptReleaseContext(other, 0);
  other = open("other");
  ASSERT_NE(other, 0u);
  CryptReleaseContext(other, 0);
  ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) +
               " --token-label L --delete-object --type data --label other"),
            0);
  // Read back at once (without the hook, only once a signature fails or the
  // caller enumerates).
  EmuTestControl(emu::hooks::kTrustNothing, 0);
  EXPECT_EQ(open("other"), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
  EmuTestControl(0, emu::hooks::kTrustNothing);
}

TEST_P(Pkcs11, PlainNamesGoToTheFirstTokenInSlotOrder) {
  ASSERT_EQ(initToken("M"), 0);
  // The slot order as OpenSC lists it.
  const std::string slots = tool("-L");
  const size_t l = slots.find("token label        : L"), m = slots.find("token label        : M");
  ASSERT_NE(l, std::string::npos) << slots;
  ASSERT_NE(m, std::string::npos) << slots;
  const std::string first = l < m ? "L" : "M", second = l < m ? "M" : "L";
  // A token created after the module was first used is seen after the
  // module is re-initialised: this process has not used it yet.
  HCRYPTPROV a = open("same", CRYPT_NEWKEYSET);
  ASSERT_NE(a, 0u);
  EXPECT_EQ(provParam(a, PP_CONTAINER), "\\\\.\\" + first + "\\same");
  HCRYPTPROV b = open("\\\\.\\" + second + "\\same", CRYPT_NEWKEYSET);
  ASSERT_NE(b, 0u);
  EXPECT_EQ(provParam(b, PP_CONTAINER), "\\\\.\\" + second + "\\same");
  HCRYPTPROV c = open("\\\\.\\" + second + "\\only", CRYPT_NEWKEYSET);
  ASSERT_NE(c, 0u);
  HCRYPTPROV plain = open("same");
  EXPECT_EQ(provParam(plain, PP_CONTAINER), "\\\\.\\" + first + "\\same");
  HCRYPTPROV only = open("only");
  EXPECT_EQ(provParam(only, PP_CONTAINER), "\\\\.\\" + second + "\\only");
  const std::vector<std::string> expected = {
      "\\\\.\\" + first + "\\same", "\\\\.\\" + second + "\\only", "\\\\.\\" + second + "\\same"};
  EXPECT_EQ(enumerate(), expected);
  for (HCRYPTPROV h : {a, b, c, plain, only}) CryptReleaseContext(h, 0);
}

TEST_P(Pkcs11, GeneratedKeysSignEveryHashAndNeverLeaveTheToken) {
  HCRYPTPROV p = open("gen", CRYPT_NEWKEYSET);
  ASSERT_NE(p, 0u);
  ASSERT_TRUE(pin(p, kPin));
  HCRYPTKEY k = 0;
  EXPECT_FALSE(CryptGenKey(p, AT_SIGNATURE, (1024u << 16) | CRYPT_EXPORTABLE, &k));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
  ASSERT_TRUE(CryptGenKey(p, AT_SIGNATURE, 1024u << 16, &k));
  DWORD perms = 0, n = sizeof perms;
  ASSERT_TRUE(CryptGetKeyParam(k, KP_PERMISSIONS, reinterpret_cast<BYTE *>(&perms), &n, 0));
  EXPECT_EQ(perms & CRYPT_EXPORT, 0u);
  CryptDestroyKey(k);
  EXPECT_TRUE(exportBlob(p, AT_SIGNATURE, PRIVATEKEYBLOB).empty());
  EXPECT_TRUE(exportBlob(p, AT_KEYEXCHANGE, PUBLICKEYBLOB).empty());  // no such key

  const Bytes pub = exportBlob(p, AT_SIGNATURE, PUBLICKEYBLOB);
  ASSERT_EQ(pub.size(), keyblob::publicSize(1024));
  EVP_PKEY *key = fromPublicBlob(pub);
  ASSERT_NE(key, nullptr);
  for (const HashCase &h : kHashes) {
    const Bytes hash = randomHash(h.size);
    const Bytes sig = signHash(p, AT_SIGNATURE, h.alg, hash);
    EXPECT_EQ(sig.size(), 128u) << std::hex << h.alg;
    EXPECT_TRUE(verifies(key, h.md ? h.md() : nullptr, hash, sig)) << std::hex << h.alg;
  }
  EVP_PKEY_free(key);
  // OpenSC sees the private key as sensitive and never extractable.
  const std::string objects =
      tool("--token-label L --login --pin 123456 --list-objects --type privkey");
  EXPECT_NE(objects.find("gen"), std::string::npos) << objects;
  EXPECT_NE(objects.find("never extractable"), std::string::npos) << objects;
  EXPECT_NE(objects.find("ID:         " + keyId(p, AT_SIGNATURE)), std::string::npos) << objects;
  CryptReleaseContext(p, 0);
}

TEST_P(Pkcs11, ImportedKeysKeepTheirExportPermission) {
  // A key from the software provider, exported as a private blob.
  HCRYPTPROV soft = open("src", CRYPT_NEWKEYSET, "Microsoft Strong Cryptographic Provider");
  ASSERT_NE(soft, 0u);
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(soft, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, &k));
  CryptDestroyKey(k);
  const Bytes priv = exportBlob(soft, AT_KEYEXCHANGE, PRIVATEKEYBLOB);
  const Bytes pub = exportBlob(soft, AT_KEYEXCHANGE, PUBLICKEYBLOB);
  ASSERT_FALSE(priv.empty());
  CryptReleaseContext(soft, 0);

  struct Case {
    const char *container;
    DWORD flags;
    bool exportable;
  };
  for (const Case &c : {Case{"exportable", CRYPT_EXPORTABLE, true}, Case{"kept", 0, false}}) {
    HCRYPTPROV p = open(c.container, CRYPT_NEWKEYSET);
    ASSERT_NE(p, 0u);
    ASSERT_TRUE(pin(p, kPin, PP_KEYEXCHANGE_PIN));
    ASSERT_TRUE(CryptImportKey(p, priv.data(), static_cast<DWORD>(priv.size()), 0, c.flags, &k))
        << c.container;
    CryptDestroyKey(k);
    EXPECT_EQ(exportBlob(p, AT_KEYEXCHANGE, PUBLICKEYBLOB), pub) << c.container;
    const Bytes back = exportBlob(p, AT_KEYEXCHANGE, PRIVATEKEYBLOB);
    if (c.exportable)
      EXPECT_EQ(back, priv);
    else
      EXPECT_TRUE(back.empty());
    EXPECT_TRUE(signsAndVerifies(p, AT_KEYEXCHANGE)) << c.container;
    CryptReleaseContext(p, 0);
  }
}

// KP_CERTIFICATE: a key's certificate is written onto the token beside it
// (pkcs11-tool reads it back with the key's CKA_ID), a certificate of
// another key or not DER is refused, writing it again keeps one object, a
// renewed one replaces it, and the container takes it along when deleted.
// The software family keeps no certificates.
TEST_P(Pkcs11, AKeysCertificateIsWrittenBesideItOnTheToken) {
  const std::string dir = home_ + "/kc";
  std::filesystem::create_directories(dir);
  HCRYPTPROV soft = open("soft", CRYPT_NEWKEYSET, "Microsoft Strong Cryptographic Provider");
  ASSERT_NE(soft, 0u);
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(soft, AT_SIGNATURE, 1024u << 16, &k));
  ASSERT_EQ(sh("cd " + dir +
               " && openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -outform DER -out "
               "ca.der -subj /CN=Test-CA -days 30"),
            0);
  const Bytes foreign = readFile(dir + "/ca.der");
  EXPECT_FALSE(CryptSetKeyParam(k, KP_CERTIFICATE, foreign.data(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_TYPE));
  CryptDestroyKey(k);
  CryptReleaseContext(soft, 0);

  HCRYPTPROV p = open("holder", CRYPT_NEWKEYSET);
  ASSERT_NE(p, 0u);
  ASSERT_TRUE(pin(p, kPin));
  ASSERT_TRUE(CryptGenKey(p, AT_SIGNATURE, 1024u << 16, &k));
  EVP_PKEY *pub = fromPublicBlob(exportBlob(p, AT_SIGNATURE, PUBLICKEYBLOB));
  ASSERT_NE(pub, nullptr);
  unsigned char *spki = nullptr;
  const int spkiLen = i2d_PUBKEY(pub, &spki);
  ASSERT_GT(spkiLen, 0);
  writeFile(dir + "/pub.der", Bytes(spki, spki + spkiLen));
  OPENSSL_free(spki);
  EVP_PKEY_free(pub);
  const std::string id = keyId(p, AT_SIGNATURE);
  ASSERT_EQ(id.size(), 40u);
  for (const char *name : {"first", "renewed"})
    ASSERT_EQ(sh("cd " + dir + " && openssl pkey -pubin -inform DER -in pub.der -out pub.pem && " +
                 "openssl req -new -key ca.key -subj /CN=" + name + " -out c.csr && " +
                 "openssl x509 -req -in c.csr -force_pubkey pub.pem -CA ca.der -CAform DER " +
                 "-CAkey ca.key -set_serial 7 -days 30 -outform DER -out " + name + ".der"),
              0);
  const Bytes first = readFile(dir + "/first.der"), renewed = readFile(dir + "/renewed.der");
  const Bytes garbage = {0x04, 0x02, 0x00, 0x00};

  // The certificate objects pkcs11-tool lists, and the value of the one labelled "holder".
  auto certs = [&] {
    const std::string out = tool("--token-label L --list-objects --type cert");
    size_t n = 0;
    for (size_t at = out.find("Certificate Object"); at != std::string::npos;
         at = out.find("Certificate Object", at + 1))
      ++n;
    return n;
  };
  auto stored = [&] {
    tool("--token-label L --read-object --type cert --id " + id + " --label holder -o " + dir +
         "/back.der");
    return readFile(dir + "/back.der");
  };
  struct Case {
    const char *what;
    const Bytes &der;
    BOOL ok;
    DWORD error;
    size_t objects;
  };
  const Case cases[] = {{"another key's", foreign, FALSE, NTE_BAD_KEY, 0},
                        {"not a certificate", garbage, FALSE, CRYPT_E_ASN1_BADTAG, 0},
                        {"the key's", first, TRUE, 0, 1},
                        {"the same again", first, TRUE, 0, 1},
                        {"a renewed one", renewed, TRUE, 0, 1}};
  for (const Case &c : cases) {
    SetLastError(0);
    EXPECT_EQ(CryptSetKeyParam(k, KP_CERTIFICATE, c.der.data(), 0), c.ok) << c.what;
    if (!c.ok) {
      EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    EXPECT_EQ(certs(), c.objects) << c.what;
    if (c.ok) {
      EXPECT_EQ(stored(), c.der) << c.what;
    }
  }
  const std::string listed = tool("--token-label L --list-objects --type cert");
  EXPECT_NE(listed.find("label:      holder"), std::string::npos) << listed;
  EXPECT_NE(listed.find("ID:         " + id), std::string::npos) << listed;
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
  HCRYPTPROV gone = 0;
  ASSERT_TRUE(CryptAcquireContextA(&gone, "holder", kProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
  EXPECT_EQ(certs(), 0u);
}

TEST_P(Pkcs11, PinsAreCheckedByTheTokenThenAgainstItsHash) {
  // A key made by OpenSC on the token; this process is not logged in.
  ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) +
               " --token-label L --login --pin 123456 --keypairgen --key-type rsa:1024 "
               "--label pins --id 02"),
            0);
  HCRYPTPROV p = open("pins");
  ASSERT_NE(p, 0u);
  // Without a login (and no PIN prompt) the key cannot sign.
  EXPECT_TRUE(signHash(p, AT_SIGNATURE, CALG_SHA_256, randomHash(32)).empty());
  // The token refuses a wrong PIN and one of a length it does not take.
  for (const char *wrong : {"000000", "12"}) {
    EXPECT_FALSE(pin(p, wrong)) << wrong;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_WRONG_CHV)) << wrong;
  }
  EXPECT_FALSE(pin(p, ""));
  ASSERT_TRUE(pin(p, kPin));
  EXPECT_TRUE(signsAndVerifies(p, AT_SIGNATURE));
  // Logged in: later PINs are compared with the accepted one's hash, each
  // counted in the home like a PIN handed to the token. Four wrong ones are
  // refused and the login holds; the right one then clears the count.
  const std::string db = emu::csp::keystore::databasePath();
  EmuTestCount(emu::hooks::kTokenLogins, 1);
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(pin(p, "654321"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_WRONG_CHV));
  }
  EXPECT_EQ(emu::csp::keystore::tokenWrongPins(db, "L"), 4u);
  EXPECT_TRUE(signsAndVerifies(p, AT_SIGNATURE));
  EXPECT_TRUE(pin(p, kPin, PP_KEYEXCHANGE_PIN));  // one PIN per token, either parameter
  EXPECT_EQ(emu::csp::keystore::tokenWrongPins(db, "L"), 0u);
  // Another context of the process shares the login state.
  HCRYPTPROV q = open("\\\\.\\L\\pins");
  ASSERT_NE(q, 0u);
  ASSERT_TRUE(pin(q, kPin));
  // A wrong PIN counted elsewhere (another connection to the home, as
  // another process's) ends the shortcut at once: the accepted PIN is then
  // counted and judged, and clears the count.
  const std::string slots = tool("-L");
  const auto field = [&](const std::string &name) {
    const size_t at = slots.find(name);
    if (at == std::string::npos) return std::string();
    const size_t from = slots.find(": ", at) + 2;
    return slots.substr(from, slots.find('\n', from) - from);
  };
  const emu::csp::keystore::TokenRef ref{field("token manufacturer"), field("token model"),
                                         field("serial num"), "L"};
  std::thread([&] {
    uint32_t failures = 0;
    EXPECT_EQ(emu::csp::keystore::countTokenPin(db, ref, failures),
              emu::csp::keystore::TokenAttempt::Counted);
    emu::csp::keystore::settleTokenPin(db, ref, emu::csp::keystore::TokenVerdict::Wrong);
  }).join();
  EXPECT_EQ(emu::csp::keystore::tokenWrongPins(db, "L"), 1u) << slots;
  EXPECT_TRUE(pin(p, kPin));
  EXPECT_EQ(emu::csp::keystore::tokenWrongPins(db, "L"), 0u);
  // Right, six wrong, right: the fifth wrong one reaches the count, the
  // process logs out, and the right PIN is refused in every context (the
  // count is the home's: other processes refuse it too, as the race below
  // shows); none of these PINs went to the token.
  for (int i = 0; i < 6; ++i) {
    EXPECT_FALSE(pin(p, "111111")) << i;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(i < 4 ? SCARD_W_WRONG_CHV : SCARD_W_CHV_BLOCKED))
        << i;
  }
  EXPECT_FALSE(pin(q, kPin));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_CHV_BLOCKED));
  EXPECT_TRUE(signHash(p, AT_SIGNATURE, CALG_SHA_256, randomHash(32)).empty());
  EXPECT_EQ(EmuTestCount(emu::hooks::kTokenLogins, 0), 0u);
  EXPECT_EQ(emu::csp::keystore::tokenWrongPins(db, "L"), 5u);
  int status = -1;
  tool("--token-label L --login --pin 123456 --list-objects", &status);
  EXPECT_EQ(status, 0) << "the token itself still takes the PIN";
  CryptReleaseContext(q, 0);
  CryptReleaseContext(p, 0);
}

// Wrong PINs presented at once by 64 threads and by 4 processes of 16
// threads: each is counted in the home before it is handed to the token,
// so the token sees at most five (the hook counts the C_Login calls made).
// SoftHSM2 itself never locks: the right PIN is refused after them by the
// home's own count alone (the token still takes it, as pkcs11-tool shows),
// until the unblock code clears the count.
TEST_P(Pkcs11, RacingWrongPinsReachTheTokenAtMostFiveTimes) {
  ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) +
               " --token-label L --login --pin 123456 --keypairgen --key-type rsa:1024 "
               "--label race --id 02"),
            0);
  // The processes are forked before this one loads the module.
  constexpr int kThreads = 64, kProcesses = 4, kEach = 16;
  // Each thread's result (0: the PIN was taken), and the reason it was
  // given for a failure, which a failure of the test prints.
  struct Result {
    DWORD code = 1;
    std::string why;
  };
  const auto presentWrong = [&](int threads, std::vector<Result> &results) {
    std::atomic<bool> go{false};
    std::atomic<int> ready{0};
    std::vector<std::thread> all;
    for (int t = 0; t < threads; ++t)
      all.emplace_back([&, t] {
        HCRYPTPROV p = open("race");
        const DWORD openError = p == 0 ? GetLastError() : 0;
        ++ready;
        while (!go) std::this_thread::yield();
        Result &r = results[t];
        r.code = p == 0 ? openError : pin(p, "000000") ? 0 : GetLastError();
        if (r.code != 0) r.why = (p == 0 ? "open: " : "PIN: ") + emu::trace::lastFailure(r.code);
        if (p != 0) CryptReleaseContext(p, 0);
      });
    while (ready < threads) std::this_thread::yield();
    go = true;
    for (std::thread &t : all) t.join();
  };
  // Each refusal is a wrong PIN or a blocked one; or the token was not
  // found, when the context was opened or when the PIN was presented
  // (NTE_BAD_KEYSET: SoftHSM2's file store shows the token absent to a
  // process that reads it while another rewrites its file, as it does to
  // keep a low retry count after every wrong PIN; here about one open in 75
  // by a fresh process, and one PIN in 40, while wrong PINs are given in
  // a loop). A failed open counts with its own error, so a child whose
  // first open met a rewrite is not taken for one whose PIN was taken.
  const auto refused = [](const std::vector<Result> &results) {
    bool all = true;
    for (const Result &r : results) {
      if (r.code == static_cast<DWORD>(SCARD_W_WRONG_CHV) ||
          r.code == static_cast<DWORD>(SCARD_W_CHV_BLOCKED) ||
          r.code == static_cast<DWORD>(NTE_BAD_KEYSET))
        continue;
      std::fprintf(stderr, "pid %d: result 0x%08lx %s\n", static_cast<int>(getpid()),
                   static_cast<unsigned long>(r.code), r.why.c_str());
      all = false;
    }
    return all;
  };
  child::Signal gate;
  ASSERT_TRUE(gate.ok());
  std::vector<pid_t> children;
  std::fflush(nullptr);
  for (int i = 0; i < kProcesses; ++i) {
    // Exit status: the C_Login calls the child made; 200 when a PIN was not
    // refused as wrong or blocked.
    const pid_t pid = child::start([&] {
      EmuTestCount(emu::hooks::kTokenLogins, 1);
      std::vector<Result> results(kEach);
      gate.receive();
      presentWrong(kEach, results);
      return refused(results)
                 ? static_cast<int>(std::min(EmuTestCount(emu::hooks::kTokenLogins, 0), 100ull))
                 : 200;
    });
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  EmuTestCount(emu::hooks::kTokenLogins, 1);
  std::vector<Result> results(kThreads);
  ASSERT_TRUE(gate.send(kProcesses));
  presentWrong(kThreads, results);
  EXPECT_TRUE(refused(results));
  unsigned long long logins = EmuTestCount(emu::hooks::kTokenLogins, 1);
  for (pid_t pid : children) {
    const int status = child::wait(pid);
    ASSERT_LT(status, 100) << "a child's PIN was not refused";
    logins += static_cast<unsigned>(status);
  }
  std::printf("%llu of %d wrong PINs handed to the token\n", logins, kThreads + kProcesses * kEach);
  EXPECT_LE(logins, 5u);
  // Wrong PINs until the count is reached (none left to give unless the
  // token was not found for some above): five reached the token in all.
  HCRYPTPROV p = open("race");
  ASSERT_NE(p, 0u);
  for (int i = 0; i < 5 && !pin(p, "000000") && GetLastError() == SCARD_W_WRONG_CHV; ++i) {
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_CHV_BLOCKED));
  EXPECT_EQ(logins + EmuTestCount(emu::hooks::kTokenLogins, 0), 5u);
  const std::string db = emu::csp::keystore::databasePath();
  EXPECT_EQ(emu::csp::keystore::tokenWrongPins(db, "L"), 5u);

  // The right PIN is not handed to the token either; the token takes it.
  EmuTestCount(emu::hooks::kTokenLogins, 1);
  EXPECT_FALSE(pin(p, kPin));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_CHV_BLOCKED));
  EXPECT_NE(emu::trace::lastFailure(SCARD_W_CHV_BLOCKED).find("5 wrong PINs in a row were counted"),
            std::string::npos)
      << emu::trace::lastFailure(SCARD_W_CHV_BLOCKED);
  EXPECT_EQ(EmuTestCount(emu::hooks::kTokenLogins, 0), 0u);
  int status = -1;
  tool("--token-label L --login --pin 123456 --list-objects", &status);
  EXPECT_EQ(status, 0);

  // The unblock code clears the count: a wrong PIN reaches the token
  // again, with four tries left (and SoftHSM2 says its own count is low
  // after a wrong PIN), and the right one logs in.
  DWORD error = 0;
  ASSERT_TRUE(succeeded(
      emu::csp::keystore::setUnblockCode(db, emu::csp::ContainerNamespace::Token, "", "87654321"),
      error));
  EXPECT_FALSE(succeeded(emu::csp::keystore::unblockToken(db, "L", "bad"), error));
  EXPECT_EQ(error, static_cast<DWORD>(SCARD_W_WRONG_CHV));
  ASSERT_TRUE(succeeded(emu::csp::keystore::unblockToken(db, "L", "87654321"), error));
  EXPECT_FALSE(pin(p, "000000"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_WRONG_CHV));
  EXPECT_NE(emu::trace::lastFailure(SCARD_W_WRONG_CHV)
                .find("wrong PIN for token \"L\" (the token reports few tries left), 4 tries left"),
            std::string::npos)
      << emu::trace::lastFailure(SCARD_W_WRONG_CHV);
  EXPECT_TRUE(pin(p, kPin));
  EXPECT_TRUE(signsAndVerifies(p, AT_SIGNATURE));
  EXPECT_EQ(EmuTestCount(emu::hooks::kTokenLogins, 0), 2u);
  EXPECT_EQ(emu::csp::keystore::tokenWrongPins(db, "L"), 0u);
  CryptReleaseContext(p, 0);
}

// A PIN whose attempt cannot be counted is not handed to the token: on a
// full disk and in a home mounted read-only (needs root), the right PIN
// too is refused with that cause, and no C_Login is made.
TEST_P(Pkcs11, NoPinReachesTheTokenWhenItCannotBeCounted) {
  ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) +
               " --token-label L --login --pin 123456 --keypairgen --key-type rsa:1024 "
               "--label full --id 02"),
            0);
  const std::string db = emu::csp::keystore::databasePath();
  ASSERT_EQ(emu::csp::keystore::tokenWrongPins(db, "L"), 0u);  // keys.db is made
  // Read-only first, in a child forked before this process loads the module.
  if (geteuid() == 0) {
    const int rc = child::run([&]() -> int {
      if (unshare(CLONE_NEWNS) != 0) return 70;
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 71;
      if (mount(home_.c_str(), home_.c_str(), nullptr, MS_BIND, nullptr) != 0) return 72;
      if (mount(nullptr, home_.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        return 73;
      EmuTestCount(emu::hooks::kTokenLogins, 1);
      HCRYPTPROV p = open("full");
      if (p == 0) return 10;
      if (pin(p, kPin)) return 11;
      if (GetLastError() != ERROR_ACCESS_DENIED) return 12;
      if (emu::trace::lastFailure(ERROR_ACCESS_DENIED).find("the home is read-only") ==
          std::string::npos)
        return 13;
      CryptReleaseContext(p, 0);
      return EmuTestCount(emu::hooks::kTokenLogins, 0) == 0 ? 0 : 14;
    });
    if (rc < 70 || rc >= 80) {
      EXPECT_EQ(rc, 0);
    } else {
      std::printf("no private mount namespace here (%d): read-only home not tried\n", rc);
    }
  }
  HCRYPTPROV p = open("full");
  ASSERT_NE(p, 0u);
  EXPECT_FALSE(pin(p, "000000"));  // one counted before the disk fills
  EmuTestCount(emu::hooks::kTokenLogins, 1);
  EmuTestControl(emu::hooks::kKeyStoreDiskFull, 0);
  for (const char *presented : {kPin, "000000"}) {
    EXPECT_FALSE(pin(p, presented));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_NE(emu::trace::lastFailure(ERROR_DISK_FULL).find("the attempt cannot be counted"),
              std::string::npos)
        << emu::trace::lastFailure(ERROR_DISK_FULL);
  }
  EmuTestControl(0, emu::hooks::kKeyStoreDiskFull);
  EXPECT_EQ(EmuTestCount(emu::hooks::kTokenLogins, 0), 0u);
  EXPECT_EQ(emu::csp::keystore::tokenWrongPins(db, "L"), 1u);
  EXPECT_TRUE(pin(p, kPin));
  EXPECT_EQ(emu::csp::keystore::tokenWrongPins(db, "L"), 0u);
  CryptReleaseContext(p, 0);
}

// What a token reports of its own retry counter is said with each wrong
// PIN, beside the tries the home's count leaves (SoftHSM2's module behind a
// wrapper that adds the flags the test sets to C_GetTokenInfo); a locked
// token's own lock is said rather than the count.
TEST_P(Pkcs11, WhatTheTokenReportsOfItsTriesIsSaid) {
  if (GetParam() != Via::Module) GTEST_SKIP() << "the wrapper is a module of its own: one run";
  ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) +
               " --token-label L --login --pin 123456 --keypairgen --key-type rsa:1024 "
               "--label flags --id 02"),
            0);
  registerProvider(TEST_FLAGS_MODULE, "", "Flags Provider");
  HCRYPTPROV p = open("flags", 0, "Flags Provider");
  ASSERT_NE(p, 0u);
  const struct {
    CK_FLAGS flags;
    const char *pin;
    DWORD error;
    const char *words;
  } cases[] = {
      {CKF_USER_PIN_FINAL_TRY, "000000", static_cast<DWORD>(SCARD_W_WRONG_CHV),
       "wrong PIN for token \"L\" (the token reports a final try left), 4 tries left"},
      {CKF_USER_PIN_LOCKED, "000000", static_cast<DWORD>(SCARD_W_WRONG_CHV),
       "wrong PIN for token \"L\" (the token reports its PIN locked), 3 tries left"},
      // SoftHSM2's own flag after a wrong PIN.
      {0, "000000", static_cast<DWORD>(SCARD_W_WRONG_CHV),
       "wrong PIN for token \"L\" (the token reports few tries left), 2 tries left"},
      {0, "000000", static_cast<DWORD>(SCARD_W_WRONG_CHV), "1 try left"},
      {0, "000000", static_cast<DWORD>(SCARD_W_CHV_BLOCKED),
       "after 5 wrong PINs in a row no more are handed to it"},
      // Not handed to the token: the token's own lock is said first.
      {CKF_USER_PIN_LOCKED, kPin, static_cast<DWORD>(SCARD_W_CHV_BLOCKED),
       "token \"L\" reports its user PIN locked"},
      {0, kPin, static_cast<DWORD>(SCARD_W_CHV_BLOCKED), "5 wrong PINs in a row were counted"},
  };
  EmuTestCount(emu::hooks::kTokenLogins, 1);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.words);
    setenv("TEST_TOKEN_FLAGS", std::to_string(c.flags).c_str(), 1);
    EXPECT_FALSE(pin(p, c.pin));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_NE(emu::trace::lastFailure(c.error).find(c.words), std::string::npos)
        << emu::trace::lastFailure(c.error);
  }
  unsetenv("TEST_TOKEN_FLAGS");
  EXPECT_EQ(EmuTestCount(emu::hooks::kTokenLogins, 0), 5u);
  CryptReleaseContext(p, 0);
}

TEST_P(Pkcs11, ThePinPromptLogsInWhenNoLoginHolds) {
  struct Case {
    std::string answer;
    int status;
    bool generates;
  };
  const Case cases[] = {{"000000", 0, false}, {kPin, 1, false}, {kPin, 0, true}};
  // A silent context (CRYPT_SILENT) never asks: the key needs a login,
  // which it says as a smart card CSP does.
  registerProvider(module_, promptScript(kPin));
  HCRYPTPROV silent = open("silent", CRYPT_NEWKEYSET | CRYPT_SILENT);
  ASSERT_NE(silent, 0u);
  HCRYPTKEY none = 0;
  EXPECT_FALSE(CryptGenKey(silent, AT_SIGNATURE, 1024u << 16, &none));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_SILENT_CONTEXT));
  EXPECT_EQ(promptCount(), 0);
  CryptReleaseContext(silent, 0);
  int expectedPrompts = 0;
  for (const Case &c : cases) {
    registerProvider(module_, promptScript(c.answer, c.status));
    const std::string name = "asked" + std::to_string(expectedPrompts);
    HCRYPTPROV p = open(name, CRYPT_NEWKEYSET);
    ASSERT_NE(p, 0u);
    HCRYPTKEY k = 0;
    EXPECT_EQ(CryptGenKey(p, AT_SIGNATURE, 1024u << 16, &k) != FALSE, c.generates) << c.answer;
    if (k) CryptDestroyKey(k);
    EXPECT_EQ(promptCount(), ++expectedPrompts);
    if (c.generates) {
      // The login holds for the process: signing asks no more.
      EXPECT_TRUE(signsAndVerifies(p, AT_SIGNATURE));
      EXPECT_EQ(promptCount(), expectedPrompts);
    }
    CryptReleaseContext(p, 0);
  }
  std::ifstream log(home_ + "/prompts.log");
  std::string first;
  std::getline(log, first);
  EXPECT_NE(first.find("\"L\""), std::string::npos) << first;
}

// Whether a process is still running (a zombie is not).
bool running(const std::string &pidFile) {
  std::ifstream in(pidFile);
  std::string pid;
  if (!(in >> pid)) return false;
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const size_t close = text.rfind(") ");
  return close != std::string::npos && text[close + 2] != 'Z' && text[close + 2] != 'X';
}

// Waits (30 s at most) until a process ended: a killed process ends when
// it next runs, after the kill returned.
bool ends(const std::string &pidFile) {
  for (int tries = 0; tries < 600; ++tries) {
    if (!running(pidFile)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// Waits (30 s at most) until a file exists.
bool appears(const std::string &path) {
  for (int tries = 0; tries < 600; ++tries) {
    if (std::filesystem::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// The PIN prompt cannot hang the process: one that never ends is killed,
// with all it started, at its time limit; its PIN is read as soon as its
// line is complete or it ended, though a child it left behind holds its
// output open; and while it runs, another thread presenting its own PIN
// logs in and signs.
TEST_P(Pkcs11, ThePinPromptHasATimeLimitAndHoldsUpNoOne) {
  if (!emu::trace::enabled()) {
    int status = -1;
    const std::string trace = rerunTraced(home_, status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(trace.find("did not finish within 2 s (\"PIN Prompt Timeout\"); its process group "
                         "was killed"),
              std::string::npos)
        << trace;
    return;
  }
  // A key made by OpenSC: this process is not logged in.
  ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) +
               " --token-label L --login --pin 123456 --keypairgen --key-type rsa:1024 "
               "--label k --id 02"),
            0);
  auto script = [&](const std::string &name, const std::string &body) {
    const std::string path = home_ + "/" + name + ".sh";
    std::ofstream(path) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
  };
  // Never ends, nor does the child it starts: both are killed at 2 s.
  registerProvider(module_,
                   script("forever", "echo $$ > '" + home_ + "/leader'\nsleep 9999 &\necho $! > '" +
                                         home_ + "/child'\nwait\n"),
                   kProvider, 2);
  HCRYPTPROV p = open("k");
  ASSERT_NE(p, 0u);
  EXPECT_TRUE(signHash(p, AT_SIGNATURE, CALG_SHA_256, randomHash(32)).empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PERM));
  CryptReleaseContext(p, 0);
  EXPECT_TRUE(std::filesystem::exists(home_ + "/child"));
  EXPECT_TRUE(ends(home_ + "/leader"));
  EXPECT_TRUE(ends(home_ + "/child"));

  // Answers, with or without the line's end, and leaves a child holding
  // its output.
  const std::string db = emu::csp::keystore::databasePath();
  DWORD error = 0;
  ASSERT_TRUE(succeeded(
      emu::csp::keystore::setUnblockCode(db, emu::csp::ContainerNamespace::Token, "", "87654321"),
      error));
  for (const char *end : {"\\n", ""}) {
    SCOPED_TRACE(*end ? "a complete line" : "no line end");
    const std::string child = home_ + "/left" + (*end ? "1" : "0");
    registerProvider(module_, script(std::string("leaves") + (*end ? "1" : "0"),
                                     "sleep 9999 &\necho $! > '" + child + "'\nprintf '%s" + end +
                                         "' " + kPin + "\n"));
    p = open("k");
    ASSERT_NE(p, 0u);
    EXPECT_TRUE(signsAndVerifies(p, AT_SIGNATURE));
    // Five PINs other than the one accepted log the process out again;
    // the unblock code clears their count.
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(pin(p, "111111"));
    EXPECT_TRUE(succeeded(emu::csp::keystore::unblockToken(db, "L", "87654321"), error));
    CryptReleaseContext(p, 0);
    std::ifstream in(child);
    pid_t left = 0;
    if (in >> left && left > 0) kill(left, SIGKILL);
  }

  // Waits until the test lets it answer; meanwhile another thread logs in
  // with its own PIN and signs.
  const std::string fifo = home_ + "/answer";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  registerProvider(module_, script("waits", "echo $$ > '" + home_ + "/asking'\nread line < '" +
                                                fifo + "'\nprintf '%s\\n' " + kPin + "\n"));
  bool promptedSigned = false;
  std::thread prompted([&] {
    HCRYPTPROV c = open("k");
    promptedSigned = c != 0 && signsAndVerifies(c, AT_SIGNATURE);
    if (c) CryptReleaseContext(c, 0);
  });
  const bool asking = appears(home_ + "/asking");
  EXPECT_TRUE(asking);
  HCRYPTPROV own = open("k");
  EXPECT_NE(own, 0u);
  EXPECT_TRUE(own != 0 && pin(own, kPin));
  EXPECT_TRUE(own != 0 && signsAndVerifies(own, AT_SIGNATURE));
  if (own) CryptReleaseContext(own, 0);
  EXPECT_TRUE(running(home_ + "/asking")) << "the PIN given directly waited for the prompt";
  std::ofstream(fifo) << "go\n";  // lets the prompt answer
  prompted.join();
  EXPECT_TRUE(promptedSigned);
}

TEST_P(Pkcs11, ATokenRecreatedByAnotherProcessWorksWithoutRestarting) {
  HCRYPTPROV p = withSigningKey("before");
  ASSERT_FALSE(HasFailure());
  ASSERT_EQ(sh("softhsm2-util --delete-token --token L"), 0);
  ASSERT_EQ(initToken("L"), 0);
  // The old container went with its token.
  EXPECT_TRUE(signHash(p, AT_SIGNATURE, CALG_SHA_256, randomHash(32)).empty());
  CryptReleaseContext(p, 0);
  EXPECT_EQ(open("before"), 0u);
  // The new token is found: a container, a key and a signature on it.
  HCRYPTPROV q = open("after", CRYPT_NEWKEYSET);
  ASSERT_NE(q, 0u);
  EXPECT_EQ(provParam(q, PP_CONTAINER), "\\\\.\\L\\after");
  ASSERT_TRUE(pin(q, kPin));
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(q, AT_KEYEXCHANGE, 1024u << 16, &k));
  CryptDestroyKey(k);
  EXPECT_TRUE(signsAndVerifies(q, AT_KEYEXCHANGE));
  EXPECT_EQ(enumerate(), std::vector<std::string>{"\\\\.\\L\\after"});
  CryptReleaseContext(q, 0);
}

TEST_P(Pkcs11, KeysAreSharedWithOpenSC) {
  const std::string dir = home_ + "/x";
  std::filesystem::create_directories(dir);
  // OpenSC's key, with a CKA_ID that names no key spec: the exchange key.
  ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) +
               " --token-label L --login --pin 123456 --keypairgen --key-type rsa:2048 "
               "--label theirs --id 4567"),
            0);
  const std::vector<std::string> names = enumerate();
  ASSERT_EQ(names, std::vector<std::string>{"\\\\.\\L\\theirs"});
  HCRYPTPROV p = open(names[0]);
  ASSERT_NE(p, 0u);
  ASSERT_TRUE(pin(p, kPin));
  // Verified with the public key OpenSC reads from the token.
  ASSERT_EQ(
      sh("pkcs11-tool --module " + std::string(kSoftHsm) +
         " --token-label L --read-object --type pubkey --label theirs -o " + dir + "/theirs.der"),
      0);
  const Bytes der = readFile(dir + "/theirs.der");
  const unsigned char *q = der.data();
  EVP_PKEY *theirs = d2i_PUBKEY(nullptr, &q, static_cast<long>(der.size()));
  ASSERT_NE(theirs, nullptr);
  const Bytes hash = randomHash(32);
  EXPECT_TRUE(
      verifies(theirs, EVP_sha256(), hash, signHash(p, AT_KEYEXCHANGE, CALG_SHA_256, hash)));
  EVP_PKEY_free(theirs);
  EXPECT_TRUE(signHash(p, AT_SIGNATURE, CALG_SHA_256, hash).empty());
  CryptReleaseContext(p, 0);

  // The CSP's key signs through OpenSC; verified with the CSP's public blob.
  HCRYPTPROV mine = open("mine", CRYPT_NEWKEYSET);
  ASSERT_NE(mine, 0u);
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(mine, AT_SIGNATURE, 2048u << 16, &k));
  CryptDestroyKey(k);
  EVP_PKEY *pub = fromPublicBlob(exportBlob(mine, AT_SIGNATURE, PUBLICKEYBLOB));
  ASSERT_NE(pub, nullptr);
  const Bytes message = randomHash(100);
  writeFile(dir + "/message", message);
  ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) +
               " --token-label L --login --pin 123456 --sign --mechanism SHA256-RSA-PKCS "
               "--label mine --id " +
               keyId(mine, AT_SIGNATURE) + " -i " + dir + "/message -o " + dir + "/sig"),
            0);
  Bytes digest(32);
  EVP_Digest(message.data(), message.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
  EXPECT_TRUE(verifies(pub, EVP_sha256(), digest, readFile(dir + "/sig")));
  EVP_PKEY_free(pub);
  CryptReleaseContext(mine, 0);
}

// Key pairs as card issuers make them (private key, public key joined by
// CKA_ID, any label): each listed once, under a name of its own that stays
// the same; a label several pairs share names none of them.
TEST_P(Pkcs11, CardKeyPairsAreListedOnceUnderNamesOfTheirOwn) {
  const std::string dir = home_ + "/x";
  std::filesystem::create_directories(dir);
  const std::string login = "--token-label L --login --pin 123456 ";
  for (const char *pair : {"--id 45 --label 'Bob signing key'", "--id 47 --label 'Bob signing key'",
                           "--id 49", "--id 51 --label solo"})
    ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) + " " + login +
                 "--keypairgen --key-type rsa:1024 " + pair + " >/dev/null"),
              0)
        << pair;
  HCRYPTPROV mine = withSigningKey("mine");
  ASSERT_FALSE(HasFailure());
  CryptReleaseContext(mine, 0);
  const std::vector<std::string> expected = {"\\\\.\\L\\#49", "\\\\.\\L\\Bob signing key #45",
                                             "\\\\.\\L\\Bob signing key #47", "\\\\.\\L\\mine",
                                             "\\\\.\\L\\solo"};
  ASSERT_EQ(enumerate(), expected);
  EXPECT_EQ(enumerate(), expected);
  struct Case {
    std::string name, id;  // a name it is opened by, its CKA_ID
  };
  const Case cases[] = {{"Bob signing key #45", "45"},
                        {"\\\\.\\L\\Bob signing key #47", "47"},
                        {"#49", "49"},
                        {"solo", "51"},
                        {"solo #51", "51"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    HCRYPTPROV p = open(c.name);
    ASSERT_NE(p, 0u);
    ASSERT_TRUE(pin(p, kPin));
    // Verified with the public key OpenSC reads by the pair's CKA_ID.
    const std::string der = dir + "/" + c.id + ".der";
    ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) +
                 " --token-label L --read-object --type pubkey --id " + c.id + " -o " + der),
              0);
    const Bytes pub = readFile(der);
    const unsigned char *q = pub.data();
    EVP_PKEY *theirs = d2i_PUBKEY(nullptr, &q, static_cast<long>(pub.size()));
    ASSERT_NE(theirs, nullptr);
    const Bytes hash = randomHash(32);
    EXPECT_TRUE(
        verifies(theirs, EVP_sha256(), hash, signHash(p, AT_KEYEXCHANGE, CALG_SHA_256, hash)));
    EVP_PKEY_free(theirs);
    CryptReleaseContext(p, 0);
  }
  // The label the two pairs share means neither.
  EXPECT_EQ(open("Bob signing key"), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
  EXPECT_EQ(open("Bob signing key", CRYPT_NEWKEYSET), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS));
  // Deleting one pair leaves the other (listed by its label alone now) and
  // the library's container.
  HCRYPTPROV gone = 0;
  ASSERT_TRUE(CryptAcquireContextA(&gone, "\\\\.\\L\\Bob signing key #47", kProvider, PROV_RSA_FULL,
                                   CRYPT_DELETEKEYSET));
  EXPECT_EQ(enumerate(), (std::vector<std::string>{"\\\\.\\L\\#49", "\\\\.\\L\\Bob signing key",
                                                   "\\\\.\\L\\mine", "\\\\.\\L\\solo"}));
  HCRYPTPROV kept = open("Bob signing key #45");
  EXPECT_NE(kept, 0u);
  if (kept) CryptReleaseContext(kept, 0);
}

// A card as issuers make one (key pairs made by pkcs11-tool, certificates
// signed by a CA written beside them with the pair's CKA_ID): opening the
// user's "MY" copies each certificate that has a key there, bound to the
// pair's container; the copies stay when the card goes.
TEST_P(Pkcs11, CardCertificatesAppearInMyBoundToTheirKeyPairs) {
  const std::string dir = home_ + "/x";
  std::filesystem::create_directories(dir);
  const std::string p11 =
      "pkcs11-tool --module " + std::string(kSoftHsm) + " --token-label L --login --pin 123456 ";
  ASSERT_EQ(sh("cd " + dir +
               " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem "
               "-subj /CN=Test-CA -days 30 2>/dev/null"),
            0);
  struct Card {
    std::string id, label;
    bool key;               // a key pair with that CKA_ID, or a certificate alone
    std::string container;  // the pair's full name ("" when not propagated)
  };
  const Card cards[] = {{"45", "'Bob signing key'", true, "\\\\.\\L\\Bob signing key #45"},
                        {"47", "'Bob signing key'", true, "\\\\.\\L\\Bob signing key #47"},
                        {"49", "", true, "\\\\.\\L\\#49"},
                        {"53", "orphan", false, ""}};
  for (const Card &c : cards) {
    const std::string label = c.label.empty() ? "" : " --label " + c.label;
    const std::string pub = c.key ? "pub" + c.id + ".pem" : "ca.pem";
    if (c.key) {
      ASSERT_EQ(sh(p11 + "--keypairgen --key-type rsa:1024 --id " + c.id + label + " >/dev/null"),
                0);
      ASSERT_EQ(sh(p11 + "--read-object --type pubkey --id " + c.id + " -o " + dir + "/pub" + c.id +
                   ".der >/dev/null && openssl pkey -pubin -inform DER -in " + dir + "/pub" + c.id +
                   ".der -out " + dir + "/" + pub),
                0);
    }
    ASSERT_EQ(sh("cd " + dir + " && openssl req -new -key ca.key -subj /CN=holder" + c.id +
                 " -out c.csr && openssl x509 -req -in c.csr " +
                 (c.key ? "-force_pubkey " + pub : std::string()) +
                 " -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -outform DER -out c" + c.id +
                 ".der 2>/dev/null"),
              0);
    ASSERT_EQ(sh(p11 + "--write-object " + dir + "/c" + c.id + ".der --type cert --id " + c.id +
                 label + " >/dev/null"),
              0);
  }
  // Each certificate of "MY": its encoding and its binding.
  struct Bound {
    Bytes der;
    std::string container, provider;
    DWORD spec;
  };
  auto narrow = [](const WCHAR *w) {
    std::string s;
    for (; w != nullptr && *w != 0; ++w) s += static_cast<char>(*w);
    return s;
  };
  auto my = [&] {
    std::vector<Bound> out;
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (store == nullptr) return out;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;) {
      Bound b{Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded), "", "", 0};
      DWORD n = 0;
      if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) {
        std::vector<uint64_t> buf((n + 7) / 8);
        if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n)) {
          const auto *info = reinterpret_cast<const CRYPT_KEY_PROV_INFO *>(buf.data());
          b.container = narrow(info->pwszContainerName);
          b.provider = narrow(info->pwszProvName);
          b.spec = info->dwKeySpec;
        }
      }
      out.push_back(b);
    }
    CertCloseStore(store, 0);
    return out;
  };
  const std::vector<Bound> listed = my();
  ASSERT_EQ(listed.size(), 3u);
  for (const Card &c : cards) {
    SCOPED_TRACE(c.id);
    const Bytes der = readFile(dir + "/c" + c.id + ".der");
    const auto it =
        std::find_if(listed.begin(), listed.end(), [&](const Bound &b) { return b.der == der; });
    ASSERT_EQ(it != listed.end(), c.key);
    if (!c.key) continue;
    EXPECT_EQ(it->container, c.container);
    EXPECT_EQ(it->provider, kProvider);
    EXPECT_EQ(it->spec, static_cast<DWORD>(AT_KEYEXCHANGE));
    // Signing through the binding verifies with the certificate's key.
    HCRYPTPROV p = open(it->container, 0, it->provider);
    ASSERT_NE(p, 0u);
    ASSERT_TRUE(pin(p, kPin));
    const unsigned char *q = der.data();
    X509 *cert = d2i_X509(nullptr, &q, static_cast<long>(der.size()));
    ASSERT_NE(cert, nullptr);
    const Bytes hash = randomHash(32);
    EXPECT_TRUE(verifies(X509_get0_pubkey(cert), EVP_sha256(), hash,
                         signHash(p, it->spec, CALG_SHA_256, hash)));
    X509_free(cert);
    CryptReleaseContext(p, 0);
  }
  // A renewed certificate (same key, new serial) comes beside the old one,
  // bound to the same container.
  ASSERT_EQ(sh("cd " + dir +
               " && openssl req -new -key ca.key -subj /CN=holder45 -out r.csr && openssl x509 "
               "-req -in r.csr -force_pubkey pub45.pem -CA ca.pem -CAkey ca.key "
               "-CAcreateserial -days 60 -outform DER -out renewed.der 2>/dev/null"),
            0);
  ASSERT_EQ(sh(p11 + "--write-object " + dir + "/renewed.der --type cert --id 45 --label " +
               "'Bob signing key' >/dev/null"),
            0);
  const Bytes renewed = readFile(dir + "/renewed.der");
  std::vector<Bound> now = my();
  ASSERT_EQ(now.size(), 4u);
  const auto it =
      std::find_if(now.begin(), now.end(), [&](const Bound &b) { return b.der == renewed; });
  ASSERT_NE(it, now.end());
  EXPECT_EQ(it->container, cards[0].container);
  // The card goes (its token folder moved away): the copies stay.
  const std::string tokens = home_ + "/softhsm/tokens";
  std::filesystem::rename(tokens, home_ + "/softhsm/away");
  std::filesystem::create_directories(tokens);
  EXPECT_EQ(my().size(), 4u);
}

// Propagation never hides "MY": the home on an 8 MB tmpfs (in a private
// mount namespace; needs root), filled but for 512 KB when a card with 200
// certificates is first read. The copy fills the disk: the listing shows
// what is stored (the user's own certificates and the copies made), a
// listing while the disk is still full shows as much or more, and the trace
// says why. Once space is freed, the next listing in the same process
// copies the rest: all 200 in the end, each once. (8 MB, not 4: each copy
// is a transaction of its own, and SQLite lets certs.db's write-ahead log
// grow to about 4 MB before it reuses it, so in 4 MB the copies one read
// makes after the space is freed fill it again: 152 of 203 listed.)
TEST_P(Pkcs11, ACopyThatFillsTheDiskHidesNothingAndIsFinishedLater) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  const std::string mnt = home_ + "/h";
  std::filesystem::create_directories(mnt);
  // A private mount namespace with a tmpfs in it, tried in a child.
  auto mountTmpfs = [&] {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=8m,mode=0700") == 0;
  };
  if (!child::runOk(mountTmpfs)) GTEST_SKIP() << "a tmpfs cannot be mounted here";
  if (!emu::trace::enabled()) {
    int status = -1;
    const std::string trace = rerunTraced(home_, status);
    EXPECT_EQ(status, 0);
    // The listing that met the full disk says so, as a note of a call that
    // succeeded.
    EXPECT_NE(
        trace.find("cause=STORAGE_DISK_FULL) = handle, last error 0x00000000 (ERROR_SUCCESS): "
                   "note: card "
                   "certificates not copied into \"MY\""),
        std::string::npos)
        << trace;
    return;
  }
  constexpr int kCards = 200;
  EVP_PKEY *key = EVP_RSA_gen(1024);
  ASSERT_NE(key, nullptr);
  const std::vector<Bytes> cards = certificatesFor(key, "card", kCards);
  const std::vector<Bytes> own = certificatesFor(key, "own", 3);
  ASSERT_EQ(cards.size(), static_cast<size_t>(kCards));
  ASSERT_EQ(child::run([&] { return writeCardObjects(key, cards); }), 0);
  EVP_PKEY_free(key);
  // Every listing of "MY" as encodings; a failed open or enumeration ends
  // the child with its own code.
  auto listing = [](std::vector<Bytes> &out) {
    out.clear();
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (store == nullptr) return false;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;)
      out.emplace_back(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
    const bool ended = GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
    CertCloseStore(store, 0);
    return ended;
  };
  // What a listing must hold: the user's own certificates, and nothing but
  // them and the cards' (each once).
  auto sound = [&](const std::vector<Bytes> &listed) {
    for (const Bytes &o : own)
      if (std::count(listed.begin(), listed.end(), o) != 1) return false;
    for (const Bytes &l : listed)
      if (std::count(listed.begin(), listed.end(), l) != 1 ||
          (std::find(own.begin(), own.end(), l) == own.end() &&
           std::find(cards.begin(), cards.end(), l) == cards.end()))
        return false;
    return true;
  };
  const int rc = child::run([&]() -> int {
    if (!mountTmpfs()) return 1;
    std::filesystem::copy(home_ + "/registry", mnt + "/registry");
    setenv("MSCAPI_HOME", mnt.c_str(), 1);
    // The user's own certificates (adding reads no card).
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (store == nullptr) return 10;
    for (const Bytes &o : own) {
      PCCERT_CONTEXT c =
          CertCreateCertificateContext(X509_ASN_ENCODING, o.data(), static_cast<DWORD>(o.size()));
      const bool added =
          c != nullptr && CertAddCertificateContextToStore(store, c, CERT_STORE_ADD_NEW, nullptr);
      if (c != nullptr) CertFreeCertificateContext(c);
      if (!added) return 11;
    }
    CertCloseStore(store, 0);
    // The disk filled but for 512 KB: room for some of the copies, not all.
    struct statvfs fs {};
    if (statvfs(mnt.c_str(), &fs) != 0) return 12;
    const uint64_t fill = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize - 512 * 1024;
    {
      std::ofstream filler(mnt + "/filler", std::ios::binary);
      const std::string block(64 * 1024, 'x');
      for (uint64_t done = 0; done < fill; done += block.size()) filler << block;
      filler.flush();
    }
    std::vector<Bytes> first, second, last;
    if (!listing(first)) return 20;
    std::printf("a full disk: %zu certificates listed\n", first.size());
    if (!sound(first)) return 21;
    if (first.size() <= own.size()) return 22;                 // no copy was made before it filled
    if (first.size() >= own.size() + cards.size()) return 23;  // the disk never filled
    // Still full: what was listed and what more could be copied, no failure.
    if (!listing(second) || !sound(second) || second.size() < first.size() ||
        !std::equal(first.begin(), first.end(), second.begin()))
      return 24;
    std::filesystem::remove(mnt + "/filler");
    if (!listing(last)) return 30;
    std::printf("still full: %zu; space freed: %zu certificates listed\n", second.size(),
                last.size());
    if (!sound(last) || last.size() != own.size() + cards.size()) return 31;
    return 0;
  });
  EXPECT_EQ(rc, 0);
}

// Signing trusts the key handle it found (for a while), but never signs
// with a key another program deleted or replaced: the next signature fails,
// or is made with the new key.
TEST_P(Pkcs11, AKeyAnotherProgramDeletesOrReplacesIsSeenByTheNextSignature) {
  struct Restore {
    ~Restore() { EmuTestControl(0, emu::hooks::kLongTrust); }
  } restore;
  EmuTestControl(emu::hooks::kLongTrust, 0);
  const std::string dir = home_ + "/x";
  std::filesystem::create_directories(dir);
  const std::string login = "--token-label L --login --pin 123456 ";
  struct Case {
    const char *name;
    bool replace;  // a new key pair with the same label and CKA_ID
  };
  for (const Case &c : {Case{"deleted", false}, Case{"replaced", true}}) {
    SCOPED_TRACE(c.name);
    HCRYPTPROV p = withSigningKey(c.name);
    ASSERT_FALSE(HasFailure());
    const std::string id = keyId(p, AT_SIGNATURE);
    // Another program takes the key away (and puts a new one in its place,
    // with the key spec as CKA_ID, as keys made before ids were recorded
    // have it).
    for (const char *type : {"privkey", "pubkey"}) {
      ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) + " " + login +
                   "--delete-object --type " + type + " --label " + c.name + " --id " + id),
                0);
    }
    if (c.replace) {
      ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) + " " + login +
                   "--keypairgen --key-type rsa:1024 --label " + c.name + " --id 02"),
                0);
    }
    const Bytes hash = randomHash(32);
    const Bytes sig = signHash(p, AT_SIGNATURE, CALG_SHA_256, hash);
    if (!c.replace) {
      EXPECT_TRUE(sig.empty());
      CryptReleaseContext(p, 0);
      continue;
    }
    // Verified with the new public key, as OpenSC reads it from the token.
    const std::string der = dir + "/" + c.name + ".der";
    ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) +
                 " --token-label L --read-object --type pubkey --label " + c.name + " -o " + der),
              0);
    const Bytes pub = readFile(der);
    const unsigned char *q = pub.data();
    EVP_PKEY *theirs = d2i_PUBKEY(nullptr, &q, static_cast<long>(pub.size()));
    ASSERT_NE(theirs, nullptr);
    EXPECT_TRUE(verifies(theirs, EVP_sha256(), hash, sig));
    EVP_PKEY_free(theirs);
    CryptReleaseContext(p, 0);
  }
}

// A signature in the steady state is two module calls, C_SignInit and
// C_Sign, as OpenSC's pkcs11-spy logs them in front of the module: a process
// that makes 110 signatures makes 200 calls more than one that makes 10
// after the same set-up, and no others. Each signature opens a context and
// a hash object, with the PIN (as verifyAndSign does) or without it (sign,
// after a first context logged in), back to back or with pauses longer than
// any time window a cache might keep (no re-read is driven by the clock).
// With no trust at all (a test hook) the open reads the container back; the
// key is checked by verifying its signature, with no call.
TEST_P(Pkcs11, ASignatureInTheSteadyStateIsTwoModuleCalls) {
  if (!std::filesystem::exists(kSpy)) GTEST_SKIP() << "OpenSC's pkcs11-spy is not installed";
  ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) +
               " --token-label L --login --pin 123456 --keypairgen --key-type rsa:1024 "
               "--label steady --id 02"),
            0);
  registerProvider(kSpy, "");
  struct Case {
    const char *name;
    bool pinEach;  // a PIN with every signature
    unsigned hook;
    int pauseEvery;           // a pause of 150 ms after every this many signatures (0: none)
    const char *perHundred;   // the calls 100 more signatures make, by name
    bool blobAround = false;  // the key's public blob read before and after each signature
  };
  const Case cases[] = {
      {"verifyAndSign", true, 0, 0, "C_Sign=100 C_SignInit=100 "},
      {"sign", false, 0, 0, "C_Sign=100 C_SignInit=100 "},
      {"with pauses", true, 0, 10, "C_Sign=100 C_SignInit=100 "},
      {"nothing trusted", true, emu::hooks::kTrustNothing, 0,
       "C_GetAttributeValue=100 C_Sign=100 C_SignInit=100 "},
      // As the JCA provider compares the container's key with its
      // certificate's at initSign and after a signature.
      {"public blob around", true, 0, 0, "C_Sign=100 C_SignInit=100 ", true},
      {"public blob around, with pauses", true, 0, 10, "C_Sign=100 C_SignInit=100 ", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::map<std::string, int> calls[2];
    for (int run = 0; run < 2; ++run) {
      const int signatures = run == 0 ? 10 : 110;
      const std::string log =
          home_ + "/spy-" + std::to_string(&c - cases) + "-" + std::to_string(signatures);
      // In a process of its own, which loads the spy with the module behind it.
      const pid_t pid = child::start([&] {
        setenv("PKCS11SPY", module_.c_str(), 1);
        setenv("PKCS11SPY_OUTPUT", log.c_str(), 1);
        EmuTestControl(c.hook, 0);
        HCRYPTPROV first = open("steady");
        EVP_PKEY *pub = first != 0 && pin(first, kPin)
                            ? fromPublicBlob(exportBlob(first, AT_SIGNATURE, PUBLICKEYBLOB))
                            : nullptr;
        if (first != 0) CryptReleaseContext(first, 0);
        if (pub == nullptr) return 2;
        int good = 0;
        for (int i = 0; i < signatures; ++i) {
          HCRYPTPROV p = open("steady");
          const Bytes hash = randomHash(32);
          const Bytes blob = c.blobAround ? exportBlob(p, AT_SIGNATURE, PUBLICKEYBLOB) : Bytes{};
          if (p != 0 && (!c.pinEach || pin(p, kPin)) &&
              verifies(pub, EVP_sha256(), hash, signHash(p, AT_SIGNATURE, CALG_SHA_256, hash)) &&
              (!c.blobAround ||
               (exportBlob(p, AT_SIGNATURE, PUBLICKEYBLOB) == blob && !blob.empty())))
            ++good;
          if (p != 0) CryptReleaseContext(p, 0);
          if (c.pauseEvery != 0 && i % c.pauseEvery == c.pauseEvery - 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        EVP_PKEY_free(pub);
        return good == signatures ? 0 : 1;
      });
      ASSERT_GE(pid, 0);
      ASSERT_EQ(child::wait(pid), 0) << "every signature verifies";
      calls[run] = spyCalls(log);
    }
    std::string perSignature;
    for (const auto &[name, count] : calls[1]) {
      const int extra = count - calls[0][name];
      if (extra != 0) perSignature += name + "=" + std::to_string(extra) + " ";
    }
    EXPECT_EQ(perSignature, c.perHundred) << "the calls 100 more signatures made, by name";
  }
}

// A login that went away (another library of the process called C_Logout;
// SoftHSM2 then takes the handles of private objects) is taken again by the
// next signature: with the PIN the context presented, else through the PIN
// prompt, else the signature is refused.
TEST_P(Pkcs11, ALoginThatWentAwayIsTakenAgainByTheNextSignature) {
  ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) +
               " --token-label L --login --pin 123456 --keypairgen --key-type rsa:1024 "
               "--label gone --id 02"),
            0);
  struct Case {
    const char *name;
    bool presentsPin;  // the signing context presented the PIN
    bool prompt;       // a PIN prompt is registered
    bool signs;
    int prompts;  // how often the prompt ran
  };
  const Case cases[] = {
      {"the context's PIN", true, false, true, 0},
      {"the PIN prompt", false, true, true, 1},
      {"refused", false, false, false, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    registerProvider(module_, c.prompt ? promptScript(kPin) : "");
    const int promptsBefore = promptCount();
    // Logged in and signing; the same context signs again after the logout.
    HCRYPTPROV p = open("gone");
    ASSERT_NE(p, 0u);
    ASSERT_TRUE(pin(p, kPin));
    EXPECT_TRUE(signsAndVerifies(p, AT_SIGNATURE));
    if (!c.presentsPin) {
      CryptReleaseContext(p, 0);
      p = open("gone");
      ASSERT_NE(p, 0u);
      EXPECT_TRUE(signsAndVerifies(p, AT_SIGNATURE));  // the login holds: no PIN needed
    }
    ASSERT_TRUE(logOutElsewhere());
    const Bytes sig = signHash(p, AT_SIGNATURE, CALG_SHA_256, randomHash(32));
    const DWORD error = GetLastError();
    EXPECT_EQ(!sig.empty(), c.signs);
    if (c.signs) {
      EXPECT_TRUE(signsAndVerifies(p, AT_SIGNATURE));
    } else {
      EXPECT_EQ(error, static_cast<DWORD>(NTE_PERM));
    }
    EXPECT_EQ(promptCount() - promptsBefore, c.prompts);
    CryptReleaseContext(p, 0);
    // A new context presenting the PIN (verifyAndSign's way) signs after a
    // logout too: the PIN matches the accepted one's hash, and the
    // signature logs in with it.
    ASSERT_TRUE(logOutElsewhere() || !c.signs);
    HCRYPTPROV q = open("gone");
    ASSERT_NE(q, 0u);
    EXPECT_TRUE(pin(q, kPin));
    EXPECT_TRUE(signsAndVerifies(q, AT_SIGNATURE));
    CryptReleaseContext(q, 0);
    EXPECT_EQ(promptCount() - promptsBefore, c.prompts);
  }
}

TEST_P(Pkcs11, ThreadsSignAtOnce) {
  HCRYPTPROV p = withSigningKey("threads");
  ASSERT_FALSE(HasFailure());
  EVP_PKEY *pub = fromPublicBlob(exportBlob(p, AT_SIGNATURE, PUBLICKEYBLOB));
  ASSERT_NE(pub, nullptr);
  CryptReleaseContext(p, 0);
  // Each thread opens the container by one of its names, presents the PIN
  // and signs; every signature is checked afterwards.
  constexpr int kThreads = 4, kEach = 10;
  std::vector<std::vector<std::pair<Bytes, Bytes>>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        HCRYPTPROV c = open(t % 2 ? "threads" : "\\\\.\\L\\threads");
        if (c == 0) continue;
        const Bytes hash = randomHash(32);
        if (pin(c, kPin)) made[t].emplace_back(hash, signHash(c, AT_SIGNATURE, CALG_SHA_256, hash));
        CryptReleaseContext(c, 0);
      }
    });
  for (std::thread &t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(made[t].size(), static_cast<size_t>(kEach)) << t;
    for (const auto &m : made[t]) EXPECT_TRUE(verifies(pub, EVP_sha256(), m.first, m.second));
  }
  EVP_PKEY_free(pub);
}

// Threads signing at once each take a session of the token, and no more
// than the cap are ever opened (OpenSC's pkcs11-spy counts C_OpenSession in
// front of the module): threads beyond it wait for one to come back. Every
// signature verifies.
TEST_P(Pkcs11, ThreadsSigningAtOnceOpenNoMoreSessionsThanTheCap) {
  if (!std::filesystem::exists(kSpy)) GTEST_SKIP() << "OpenSC's pkcs11-spy is not installed";
  ASSERT_EQ(sh("pkcs11-tool --module " + std::string(kSoftHsm) +
               " --token-label L --login --pin 123456 --keypairgen --key-type rsa:1024 "
               "--label capped --id 02"),
            0);
  registerProvider(kSpy, "");
  const std::string log = home_ + "/spy-sessions";
  constexpr int kThreads = static_cast<int>(emu::csp::pkcs11::Module::kMaxSessions) + 8, kEach = 6;
  const pid_t pid = child::start([&] {
    setenv("PKCS11SPY", module_.c_str(), 1);
    setenv("PKCS11SPY_OUTPUT", log.c_str(), 1);
    HCRYPTPROV first = open("capped");
    EVP_PKEY *pub = first != 0 && pin(first, kPin)
                        ? fromPublicBlob(exportBlob(first, AT_SIGNATURE, PUBLICKEYBLOB))
                        : nullptr;
    if (first != 0) CryptReleaseContext(first, 0);
    if (pub == nullptr) return 2;
    std::atomic<int> ready{0}, good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&] {
        for (++ready; ready.load() < kThreads;) std::this_thread::yield();
        for (int i = 0; i < kEach; ++i) {
          HCRYPTPROV p = open("capped");
          const Bytes hash = randomHash(32);
          if (p != 0 && pin(p, kPin) &&
              verifies(pub, EVP_sha256(), hash, signHash(p, AT_SIGNATURE, CALG_SHA_256, hash)))
            ++good;
          if (p != 0) CryptReleaseContext(p, 0);
        }
      });
    for (std::thread &t : threads) t.join();
    EVP_PKEY_free(pub);
    return good.load() == kThreads * kEach ? 0 : 1;
  });
  ASSERT_GE(pid, 0);
  ASSERT_EQ(child::wait(pid), 0) << "every signature verifies";
  const int opened = spyCalls(log)["C_OpenSession"];
  EXPECT_GE(opened, 1);
  EXPECT_LE(opened, static_cast<int>(emu::csp::pkcs11::Module::kMaxSessions));
}

// A container another program deletes is seen without waiting out any time
// window: the next signature with its key fails, and no open finds it after
// that failure, nor after an enumeration of the containers.
TEST_P(Pkcs11, AContainerAnotherProgramDeletesIsSeenAfterAFailureOrAnEnumeration) {
  const std::string login = "pkcs11-tool --module " + std::string(kSoftHsm) +
                            " --token-label L --login --pin 123456 --delete-object --type ";
  for (const bool listed : {false, true}) {
    const std::string name = listed ? "listed" : "signed";
    SCOPED_TRACE(name);
    HCRYPTPROV p = withSigningKey(name);
    ASSERT_FALSE(HasFailure());
    CryptReleaseContext(p, 0);
    for (const char *type : {"privkey", "pubkey", "data"})
      ASSERT_EQ(sh(login + type + " --label " + name), 0) << type;
    // The container's marker and the record of its key's CKA_ID are both
    // data objects under its label: every one goes.
    for (int more = 0; more < 4 && sh(login + "data --label " + name) == 0; ++more) {
    }
    if (listed) {
      const std::vector<std::string> names = enumerate();
      EXPECT_EQ(std::count(names.begin(), names.end(), "\\\\.\\L\\" + name), 0);
    } else {
      // Opened as found before, without asking the token; the signature fails.
      HCRYPTPROV q = open(name);
      EXPECT_TRUE(q == 0 || (pin(q, kPin) &&
                             signHash(q, AT_SIGNATURE, CALG_SHA_256, randomHash(32)).empty()));
      if (q != 0) CryptReleaseContext(q, 0);
    }
    EXPECT_EQ(open(name), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
  }
}

// Threads keep signing while another process deletes and re-creates the
// token: the module is re-initialised under them without a crash or a
// hang, every signature made verifies, and the new token serves afterwards.
TEST_P(Pkcs11, TheTokenGoesAwayWhileThreadsSign) {
  // In a process of its own, which leaves by _exit: SoftHSM2 leaks memory
  // when its token is deleted under it, which the leak checker of the
  // sanitizer builds would report at exit. The child's failures are
  // printed by the child and make its exit status non-zero.
  const pid_t pid = child::start(
      [this] {
        tokenGoesAwayWhileThreadsSign();
        return ::testing::Test::HasFailure() ? 1 : 0;
      },
      false);
  ASSERT_GE(pid, 0);
  EXPECT_EQ(child::wait(pid), 0);
}

void Pkcs11::tokenGoesAwayWhileThreadsSign() {
  HCRYPTPROV p = withSigningKey("busy");
  ASSERT_FALSE(HasFailure());
  EVP_PKEY *pub = fromPublicBlob(exportBlob(p, AT_SIGNATURE, PUBLICKEYBLOB));
  ASSERT_NE(pub, nullptr);
  CryptReleaseContext(p, 0);
  constexpr int kThreads = 3, kEach = 30;
  std::atomic<int> started{0};
  std::vector<std::vector<std::pair<Bytes, Bytes>>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        HCRYPTPROV c = open("busy");
        if (i == 0) ++started;
        if (c == 0) continue;
        const Bytes hash = randomHash(32);
        const Bytes sig = signHash(c, AT_SIGNATURE, CALG_SHA_256, hash);
        if (!sig.empty()) made[t].emplace_back(hash, sig);
        CryptReleaseContext(c, 0);
      }
    });
  while (started.load() < kThreads) std::this_thread::yield();
  // SoftHSM2 in this process may write its token's generation file while
  // softhsm2-util removes the token's folder (which then fails): what is
  // left is removed until it stays gone (this process stops touching the
  // old token once the module is re-initialised).
  std::vector<std::filesystem::path> folders;
  for (const auto &e : std::filesystem::directory_iterator(home_ + "/softhsm/tokens"))
    folders.push_back(e.path());
  ASSERT_EQ(folders.size(), 1u);
  sh("softhsm2-util --delete-token --token L");
  for (int tries = 0; std::filesystem::exists(folders[0]) && tries < 200; ++tries) {
    std::error_code ec;
    std::filesystem::remove_all(folders[0], ec);
    if (std::filesystem::exists(folders[0]))
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_FALSE(std::filesystem::exists(folders[0]));
  EXPECT_EQ(initToken("L"), 0);
  for (std::thread &t : threads) t.join();
  for (const auto &m : made)
    for (const auto &one : m) EXPECT_TRUE(verifies(pub, EVP_sha256(), one.first, one.second));
  EVP_PKEY_free(pub);
  // A token re-created while the module was being re-initialised is found
  // by a later lookup (the emulation looks again, a few times a second,
  // while a token that went away has not shown up). Up to 30 s: on a busy
  // machine the threads may still be re-initialising the module for a
  // while.
  HCRYPTPROV q = 0;
  for (int tries = 0; q == 0 && tries < 600; ++tries) {
    q = open("fresh", CRYPT_NEWKEYSET);
    if (q == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_NE(q, 0u);
  ASSERT_TRUE(pin(q, kPin));
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(q, AT_SIGNATURE, 1024u << 16, &k));
  CryptDestroyKey(k);
  EXPECT_TRUE(signsAndVerifies(q, AT_SIGNATURE));
  EXPECT_EQ(enumerate(), std::vector<std::string>{"\\\\.\\L\\fresh"});
  CryptReleaseContext(q, 0);
}

// The default registration's PKCS#11 provider: p11-kit's proxy, listed
// and acquirable; with no token it finds no container.
class Pkcs11Default : public Pkcs11 {};

void onSigpipe(int) {}

TEST_P(Pkcs11Default, TheDefaultRegistrationServesTheProxy) {
  // A host's own SIGPIPE handler (a JVM has one, and checks it) survives
  // the modules the proxy loads, some of which ignore the signal.
  struct sigaction own {};
  own.sa_handler = &onSigpipe;
  sigemptyset(&own.sa_mask);
  ASSERT_EQ(sigaction(SIGPIPE, &own, nullptr), 0);
  ASSERT_EQ(sh("softhsm2-util --delete-token --token L"), 0);
  const char kDefault[] = "PKCS#11 Token RSA Provider";
  std::filesystem::remove(home_ + "/registry/50-" + std::string(kProvider) + ".reg");
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(
                HKEY_LOCAL_MACHINE,
                (std::string("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\") + kDefault)
                    .c_str(),
                0, KEY_QUERY_VALUE, &k),
            ERROR_SUCCESS);
  char image[300];
  DWORD size = sizeof image, type = 0;
  ASSERT_EQ(
      RegQueryValueExA(k, "Image Path", nullptr, &type, reinterpret_cast<BYTE *>(image), &size),
      ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(std::filesystem::canonical(image), std::filesystem::canonical(module_));
  HCRYPTPROV v = 0;
  ASSERT_TRUE(CryptAcquireContextA(&v, nullptr, kDefault, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  char name[600];
  DWORD n = sizeof name;
  EXPECT_FALSE(
      CryptGetProvParam(v, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(name), &n, CRYPT_FIRST));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  CryptReleaseContext(v, 0);
  HCRYPTPROV c = 0;
  EXPECT_FALSE(CryptAcquireContextA(&c, "new", kDefault, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &now), 0);
  EXPECT_TRUE((now.sa_flags & SA_SIGINFO) == 0 && now.sa_handler == &onSigpipe)
      << "a module replaced the host's SIGPIPE handler";
}

// The client module is an image of its own: one run.
class Pkcs11Socket : public Pkcs11 {};

TEST_P(Pkcs11Socket, ATokenOverASocketSigns) {
  const std::string client = clientModule();
  if (client.empty()) GTEST_SKIP() << "p11-kit's client module is not installed";
  const std::string run = home_ + "/run";
  std::filesystem::create_directories(run);
  std::filesystem::permissions(run, std::filesystem::perms::owner_all);
  // The server exports the token; its first lines say where and who it is.
  FILE *out = popen(("XDG_RUNTIME_DIR=" + run + " p11-kit server --provider " + kSoftHsm +
                     " -f 'pkcs11:token=L' 2>&1")
                        .c_str(),
                    "r");
  ASSERT_NE(out, nullptr);
  std::string address;
  char line[1024];
  while ((address.empty() || serverPid_ == 0) && fgets(line, sizeof line, out) != nullptr) {
    std::string l(line);
    const auto value = [&](const char *name) {
      const size_t at = l.find(name);
      if (at == std::string::npos) return std::string();
      std::string v = l.substr(at + std::strlen(name));
      v = v.substr(0, v.find(';'));
      if (!v.empty() && v.front() == '\'') v = v.substr(1, v.size() - 2);
      return v;
    };
    if (address.empty()) address = value("P11_KIT_SERVER_ADDRESS=");
    const std::string pid = value("P11_KIT_SERVER_PID=");
    if (!pid.empty()) serverPid_ = static_cast<pid_t>(std::stol(pid));
  }
  ASSERT_FALSE(address.empty());
  setenv("P11_KIT_SERVER_ADDRESS", address.c_str(), 1);
  registerProvider(client, "", "Remote Provider");
  HCRYPTPROV p = open("remote", CRYPT_NEWKEYSET, "Remote Provider");
  ASSERT_NE(p, 0u);
  EXPECT_EQ(provParam(p, PP_CONTAINER), "\\\\.\\L\\remote");
  ASSERT_TRUE(pin(p, kPin));
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(p, AT_SIGNATURE, 1024u << 16, &k));
  CryptDestroyKey(k);
  EXPECT_TRUE(signsAndVerifies(p, AT_SIGNATURE));
  CryptReleaseContext(p, 0);
  // The key is on the token itself, as SoftHSM2's module shows it.
  EXPECT_NE(tool("--token-label L --list-objects --type pubkey").find("remote"), std::string::npos);
  unsetenv("P11_KIT_SERVER_ADDRESS");
  kill(serverPid_, SIGTERM);
  serverPid_ = 0;
  pclose(out);
}

INSTANTIATE_TEST_SUITE_P(Via, Pkcs11, ::testing::Values(Via::Module, Via::Proxy),
                         [](const ::testing::TestParamInfo<Via> &i) {
                           return i.param == Via::Module ? std::string("module")
                                                         : std::string("proxy");
                         });

INSTANTIATE_TEST_SUITE_P(Via, Pkcs11Socket, ::testing::Values(Via::Module),
                         [](const ::testing::TestParamInfo<Via> &) {
                           return std::string("module");
                         });

INSTANTIATE_TEST_SUITE_P(Via, Pkcs11Default, ::testing::Values(Via::Proxy),
                         [](const ::testing::TestParamInfo<Via> &) {
                           return std::string("proxy");
                         });

}  // namespace
