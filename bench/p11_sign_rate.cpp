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
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <p11-kit/pkcs11.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                         {CKA_LABEL, const_cast<char *>(keyLabel), std::strlen(keyLabel)}};
  CK_OBJECT_HANDLE key = 0;
  CK_ULONG got = 0;
  f->C_FindObjectsInit(s, tmpl, 2);
  f->C_FindObjects(s, &key, 1, &got);
  f->C_FindObjectsFinal(s);
  if (got != 1) return fail("finding the key", 0);
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
  std::fprintf(
      stderr,
      "usage: p11_sign_rate pkcs11 MODULE TOKEN PIN KEY_LABEL N | p11_sign_rate openssl N\n");
  return 2;
}
