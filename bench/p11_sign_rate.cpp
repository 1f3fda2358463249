// The baselines of tokens_bench, measured outside the JVM:
//   p11_sign_rate pkcs11 MODULE TOKEN_LABEL PIN KEY_LABEL N
//     the module's own C_SignInit + C_Sign (CKM_RSA_PKCS over the SHA-256
//     DigestInfo of a fixed message) with the private key labelled KEY_LABEL
//     on the token, one session, logged in once, N signatures;
//   p11_sign_rate openssl N
//     OpenSSL's EVP_PKEY_sign (RSA-2048, PKCS#1 v1.5, SHA-256) with one key
//     loaded once, for scale.
// Prints "signatures_per_second X Y": N over the calling thread's CPU time
// (X) and over the wall clock (Y) of the N signatures.
//   p11_sign_rate fill MODULE TOKEN_LABEL PIN N CERT_DER
//     puts N objects on the token, a quarter each of RSA private keys,
//     their public keys (joined by CKA_ID, labelled "filler <i>": key pairs
//     as card issuers make them, one RSA-1024 key imported again and
//     again), certificates (the bytes of CERT_DER, with the pairs' CKA_IDs)
//     and data objects of another application; prints "objects N".
#include <dlfcn.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <p11-kit/pkcs11.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// DigestInfo of SHA-256 over "benchmark message" (the prefix is fixed by
// PKCS#1; the hash is computed with OpenSSL).
std::vector<unsigned char> digestInfo() {
  static const unsigned char prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                         0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  std::vector<unsigned char> out(prefix, prefix + sizeof prefix);
  unsigned char h[32];
  unsigned int n = 0;
  const char msg[] = "benchmark message";
  EVP_Digest(msg, sizeof msg - 1, h, &n, EVP_sha256(), nullptr);
  out.insert(out.end(), h, h + n);
  return out;
}

// The calling thread's CPU time and the wall clock, in seconds.
struct Clock {
  double cpu = 0, wall = 0;
  static Clock now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    Clock c;
    c.cpu = static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    c.wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    return c;
  }
};

void report(long n, const Clock &a, const Clock &b) {
  std::printf("signatures_per_second %.1f %.1f\n", static_cast<double>(n) / (b.cpu - a.cpu),
              static_cast<double>(n) / (b.wall - a.wall));
}

int fail(const char *what, CK_RV rv) {
  std::fprintf(stderr, "p11_sign_rate: %s failed: 0x%lx\n", what, static_cast<unsigned long>(rv));
  return 1;
}

// The private key labelled `keyLabel` in session `s`; CK_INVALID_HANDLE
// unless exactly one is found first.
CK_OBJECT_HANDLE privateKey(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, const char *keyLabel) {
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                         {CKA_LABEL, const_cast<char *>(keyLabel), std::strlen(keyLabel)}};
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  CK_ULONG got = 0;
  f->C_FindObjectsInit(s, tmpl, 2);
  f->C_FindObjects(s, &key, 1, &got);
  f->C_FindObjectsFinal(s);
  return got == 1 ? key : CK_INVALID_HANDLE;
}

int pkcs11Rate(const char *module, const char *token, const char *pin, const char *keyLabel,
               long n) {
  void *lib = dlopen(module, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "p11_sign_rate: %s\n", dlerror());
    return 1;
  }
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR f = nullptr;
  if (getList == nullptr || getList(&f) != CKR_OK) return fail("C_GetFunctionList", 0);
  CK_C_INITIALIZE_ARGS init{};
  init.flags = CKF_OS_LOCKING_OK;
  CK_RV rv = f->C_Initialize(&init);
  if (rv != CKR_OK) return fail("C_Initialize", rv);
  CK_ULONG count = 0;
  f->C_GetSlotList(CK_TRUE, nullptr, &count);
  std::vector<CK_SLOT_ID> slots(count);
  f->C_GetSlotList(CK_TRUE, slots.data(), &count);
  CK_SLOT_ID slot = 0;
  bool found = false;
  for (CK_ULONG i = 0; i < count && !found; ++i) {
    CK_TOKEN_INFO info{};
    if (f->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
    std::string label(reinterpret_cast<const char *>(info.label), sizeof info.label);
    label.erase(label.find_last_not_of(' ') + 1);
    if (label == token) slot = slots[i], found = true;
  }
  if (!found) return fail("finding the token", 0);
  CK_SESSION_HANDLE s = 0;
  if ((rv = f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s)) != CKR_OK)
    return fail("C_OpenSession", rv);
  if ((rv = f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(pin)),
                       std::strlen(pin))) != CKR_OK)
    return fail("C_Login", rv);
  const CK_OBJECT_HANDLE key = privateKey(f, s, keyLabel);
  if (key == CK_INVALID_HANDLE) return fail("finding the key", 0);
  std::vector<unsigned char> in = digestInfo();
  std::vector<unsigned char> sig(1024);
  CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
  const Clock t0 = Clock::now();
  for (long i = 0; i < n; ++i) {
    CK_ULONG len = sig.size();
    if ((rv = f->C_SignInit(s, &mech, key)) != CKR_OK) return fail("C_SignInit", rv);
    if ((rv = f->C_Sign(s, in.data(), in.size(), sig.data(), &len)) != CKR_OK)
      return fail("C_Sign", rv);
  }
  report(n, t0, Clock::now());
  f->C_Logout(s);
  f->C_CloseSession(s);
  f->C_Finalize(nullptr);
  return 0;
}

// The module's function list, initialised, and a logged-in read/write
// session on the token labelled `token`.
CK_FUNCTION_LIST_PTR openToken(const char *module, const char *token, const char *pin,
                               CK_FLAGS flags, CK_SESSION_HANDLE &s) {
  void *lib = dlopen(module, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "p11_sign_rate: %s\n", dlerror());
    return nullptr;
  }
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR f = nullptr;
  if (getList == nullptr || getList(&f) != CKR_OK) return fail("C_GetFunctionList", 0), nullptr;
  CK_C_INITIALIZE_ARGS init{};
  init.flags = CKF_OS_LOCKING_OK;
  CK_RV rv = f->C_Initialize(&init);
  if (rv != CKR_OK) return fail("C_Initialize", rv), nullptr;
  CK_ULONG count = 0;
  f->C_GetSlotList(CK_TRUE, nullptr, &count);
  std::vector<CK_SLOT_ID> slots(count);
  f->C_GetSlotList(CK_TRUE, slots.data(), &count);
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_TOKEN_INFO info{};
    if (f->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
    std::string label(reinterpret_cast<const char *>(info.label), sizeof info.label);
    label.erase(label.find_last_not_of(' ') + 1);
    if (label != token) continue;
    if ((rv = f->C_OpenSession(slots[i], flags, nullptr, nullptr, &s)) != CKR_OK)
      return fail("C_OpenSession", rv), nullptr;
    if ((rv = f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(pin)),
                         std::strlen(pin))) != CKR_OK)
      return fail("C_Login", rv), nullptr;
    return f;
  }
  return fail("finding the token", 0), nullptr;
}

std::vector<unsigned char> bnParam(EVP_PKEY *key, const char *name) {
  BIGNUM *bn = nullptr;
  std::vector<unsigned char> out;
  if (EVP_PKEY_get_bn_param(key, name, &bn) == 1) {
    out.resize(BN_num_bytes(bn));
    BN_bn2bin(bn, out.data());
  }
  BN_free(bn);
  return out;
}

int fill(const char *module, const char *token, const char *pin, long n, const char *certFile) {
  std::vector<unsigned char> cert;
  if (FILE *in = std::fopen(certFile, "rb")) {
    unsigned char buf[4096];
    for (size_t got; (got = std::fread(buf, 1, sizeof buf, in)) > 0;)
      cert.insert(cert.end(), buf, buf + got);
    std::fclose(in);
  }
  if (cert.empty()) return fail("reading the certificate", 0);
  // A certificate object's CKA_SUBJECT is required.
  std::vector<unsigned char> subject;
  {
    const unsigned char *p = cert.data();
    X509 *x = d2i_X509(nullptr, &p, static_cast<long>(cert.size()));
    unsigned char *der = nullptr;
    const int len = x == nullptr ? -1 : i2d_X509_NAME(X509_get_subject_name(x), &der);
    if (len > 0) subject.assign(der, der + len);
    OPENSSL_free(der);
    X509_free(x);
  }
  if (subject.empty()) return fail("reading the certificate's subject", 0);
  CK_SESSION_HANDLE s = 0;
  CK_FUNCTION_LIST_PTR f = openToken(module, token, pin, CKF_SERIAL_SESSION | CKF_RW_SESSION, s);
  if (f == nullptr) return 1;
  EVP_PKEY *key = EVP_RSA_gen(1024);
  if (key == nullptr) return fail("EVP_RSA_gen", 0);
  const char *names[] = {"n",
                         "e",
                         "d",
                         "rsa-factor1",
                         "rsa-factor2",
                         "rsa-exponent1",
                         "rsa-exponent2",
                         "rsa-coefficient1"};
  const CK_ATTRIBUTE_TYPE types[] = {CKA_MODULUS,    CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT,
                                     CKA_PRIME_1,    CKA_PRIME_2,         CKA_EXPONENT_1,
                                     CKA_EXPONENT_2, CKA_COEFFICIENT};
  std::vector<unsigned char> parts[8];
  for (int i = 0; i < 8; ++i) parts[i] = bnParam(key, names[i]);
  EVP_PKEY_free(key);
  CK_BBOOL yes = CK_TRUE;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  const char app[] = "filler application";
  long made = 0;
  for (long i = 0; made < n; ++i) {
    const std::string label = "filler " + std::to_string(i);
    unsigned char id[4] = {0xf1, static_cast<unsigned char>(i >> 16),
                           static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i)};
    for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE, CKO_DATA}) {
      if (made == n) break;
      std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls},
                                     {CKA_TOKEN, &yes, sizeof yes},
                                     {CKA_LABEL, const_cast<char *>(label.data()), label.size()}};
      if (cls == CKO_PRIVATE_KEY || cls == CKO_PUBLIC_KEY) {
        t.push_back({CKA_KEY_TYPE, &rsa, sizeof rsa});
        t.push_back({CKA_ID, id, sizeof id});
        for (int k = 0; k < (cls == CKO_PRIVATE_KEY ? 8 : 2); ++k)
          t.push_back({types[k], parts[k].data(), parts[k].size()});
      } else if (cls == CKO_CERTIFICATE) {
        t.push_back({CKA_CERTIFICATE_TYPE, &x509, sizeof x509});
        t.push_back({CKA_ID, id, sizeof id});
        t.push_back({CKA_VALUE, cert.data(), cert.size()});
        t.push_back({CKA_SUBJECT, subject.data(), subject.size()});
      } else {
        t.push_back({CKA_APPLICATION, const_cast<char *>(app), sizeof app - 1});
        t.push_back({CKA_VALUE, id, sizeof id});
      }
      CK_OBJECT_HANDLE h = 0;
      const CK_RV rv = f->C_CreateObject(s, t.data(), t.size(), &h);
      if (rv != CKR_OK) {
        std::fprintf(stderr, "p11_sign_rate: object class %lu: ", static_cast<unsigned long>(cls));
        return fail("C_CreateObject", rv);
      }
      ++made;
    }
  }
  f->C_Logout(s);
  f->C_CloseSession(s);
  f->C_Finalize(nullptr);
  std::printf("objects %ld\n", made);
  return 0;
}

// T threads at once, each in a session of its own, signing N times with the
// key labelled KEY_LABEL; prints "signatures_per_second 0 Y", Y over the
// wall clock until the first thread has made N (counting every thread's
// signatures by then).
int pkcs11Threads(const char *module, const char *token, const char *pin, const char *keyLabel,
                  long n, int threads) {
  CK_SESSION_HANDLE s = 0;
  CK_FUNCTION_LIST_PTR f = openToken(module, token, pin, CKF_SERIAL_SESSION, s);
  if (f == nullptr) return 1;
  const CK_OBJECT_HANDLE key = privateKey(f, s, keyLabel);
  if (key == CK_INVALID_HANDLE) return fail("finding the key", 0);
  const std::vector<unsigned char> in = digestInfo();
  std::atomic<long> made{0};
  std::atomic<bool> stop{false}, failed{false};
  std::atomic<double> ended{0};
  std::atomic<long> atEnd{0};
  std::vector<std::thread> all;
  const Clock t0 = Clock::now();
  for (int t = 0; t < threads; ++t)
    all.emplace_back([&] {
      CK_SESSION_HANDLE mine = 0;
      CK_SLOT_ID slot = 0;
      CK_SESSION_INFO info{};
      if (f->C_GetSessionInfo(s, &info) != CKR_OK) return failed.store(true);
      slot = info.slotID;
      if (f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &mine) != CKR_OK)
        return failed.store(true);
      std::vector<unsigned char> sig(1024);
      CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
      for (long i = 0; i < n && !stop.load(); ++i) {
        CK_ULONG len = sig.size();
        if (f->C_SignInit(mine, &mech, key) != CKR_OK ||
            f->C_Sign(mine, const_cast<unsigned char *>(in.data()), in.size(), sig.data(), &len) !=
                CKR_OK)
          return failed.store(true);
        ++made;
      }
      if (!stop.exchange(true)) {
        ended.store(Clock::now().wall);
        atEnd.store(made.load());
      }
      f->C_CloseSession(mine);
    });
  for (std::thread &t : all) t.join();
  if (failed.load()) return fail("signing in threads", 0);
  std::printf("signatures_per_second 0 %.1f\n",
              static_cast<double>(atEnd.load()) / (ended.load() - t0.wall));
  f->C_Logout(s);
  f->C_CloseSession(s);
  f->C_Finalize(nullptr);
  return 0;
}

int opensslRate(long n) {
  EVP_PKEY *key = EVP_RSA_gen(2048);
  if (key == nullptr) return fail("EVP_RSA_gen", 0);
  const unsigned char *msg = reinterpret_cast<const unsigned char *>("benchmark message");
  unsigned char h[32];
  unsigned int hn = 0;
  EVP_Digest(msg, 17, h, &hn, EVP_sha256(), nullptr);
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
  if (ctx == nullptr || EVP_PKEY_sign_init(ctx) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) <= 0)
    return fail("EVP_PKEY_sign_init", 0);
  unsigned char sig[512];
  const Clock t0 = Clock::now();
  for (long i = 0; i < n; ++i) {
    size_t len = sizeof sig;
    if (EVP_PKEY_sign(ctx, sig, &len, h, hn) <= 0) return fail("EVP_PKEY_sign", 0);
  }
  report(n, t0, Clock::now());
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(key);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 7 && std::strcmp(argv[1], "pkcs11") == 0)
    return pkcs11Rate(argv[2], argv[3], argv[4], argv[5], std::atol(argv[6]));
  if (argc == 3 && std::strcmp(argv[1], "openssl") == 0) return opensslRate(std::atol(argv[2]));
  if (argc == 8 && std::strcmp(argv[1], "threads") == 0)
    return pkcs11Threads(argv[2], argv[3], argv[4], argv[5], std::atol(argv[6]),
                         std::atoi(argv[7]));
  if (argc == 7 && std::strcmp(argv[1], "fill") == 0)
    return fill(argv[2], argv[3], argv[4], std::atol(argv[5]), argv[6]);
  std::fprintf(stderr,
               "usage: p11_sign_rate pkcs11 MODULE TOKEN PIN KEY_LABEL N | p11_sign_rate openssl N"
               " | p11_sign_rate threads MODULE TOKEN PIN KEY_LABEL N T"
               " | p11_sign_rate fill MODULE TOKEN PIN N CERT_DER\n");
  return 2;
}
