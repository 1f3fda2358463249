// Key benchmark: sign (RSA-2048, SHA-256) through a JVM embedded in this
// process, as Java calls it, against OpenSSL's EVP signing with the same key
// preloaded; verifyAndSign with the right PIN after the first unlock; two
// threads against one; generateKeyPair (2048) against OpenSSL's key
// generation. Every figure is a ratio against a baseline measured in the
// same run.
#include <jni.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "winapi/advapi32.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const char kStrong[] = "Microsoft Strong Cryptographic Provider";
const char kToken[] = "Soft Token RSA Provider";
const char kPin[] = "bench-pin";
constexpr int kSigns = 3000;
constexpr int kKeygens = 15;
constexpr int kWarmup = 1000;

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// CPU time of the calling thread: on a machine that other work keeps busy
// this is the fairer measure of what one call costs.
double threadCpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Calls per second, by the wall clock and by the thread's CPU time.
struct Rate {
  double wall = 0, cpu = 0;
};

template <typename F>
Rate measure(int count, F &&once) {
  const auto t0 = Clock::now();
  const double c0 = threadCpu();
  for (int i = 0; i < count; ++i) once();
  return Rate{count / seconds(Clock::now() - t0), count / (threadCpu() - c0)};
}

void putLE(Bytes &b, EVP_PKEY *k, const char *name, size_t width) {
  BIGNUM *bn = nullptr;
  EVP_PKEY_get_bn_param(k, name, &bn);
  Bytes le(width);
  BN_bn2lebinpad(bn, le.data(), static_cast<int>(width));
  BN_free(bn);
  b.insert(b.end(), le.begin(), le.end());
}

// The PRIVATEKEYBLOB of a 2048-bit key for the signature slot.
Bytes privateBlob(EVP_PKEY *k) {
  Bytes b = {PRIVATEKEYBLOB, 2, 0, 0};
  for (uint32_t v : {uint32_t{CALG_RSA_SIGN}, 0x32415352u, 2048u, 65537u})
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  putLE(b, k, OSSL_PKEY_PARAM_RSA_N, 256);
  for (const char *h :
       {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
        OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1})
    putLE(b, k, h, 128);
  putLE(b, k, OSSL_PKEY_PARAM_RSA_D, 256);
  return b;
}

bool storeKey(const char *provider, const char *container, const Bytes &blob, const char *pin) {
  HCRYPTPROV p = 0;
  HCRYPTKEY k = 0;
  if (!CryptAcquireContextA(&p, container, provider, PROV_RSA_FULL, CRYPT_NEWKEYSET)) return false;
  bool ok = (pin == nullptr ||
             CryptSetProvParam(p, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>(pin), 0)) &&
            CryptImportKey(p, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &k);
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
  return ok;
}

// Signatures per second of OpenSSL with the key loaded once and one
// signing context reused: the fastest way OpenSSL offers.
Rate opensslSignRate(EVP_PKEY *key, const Bytes &digest) {
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY_sign_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
  Bytes sig(256);
  auto once = [&] {
    size_t n = sig.size();
    return EVP_PKEY_sign(ctx, sig.data(), &n, digest.data(), digest.size()) == 1;
  };
  for (int i = 0; i < 100; ++i) once();  // blinding set-up, caches
  const Rate rate = measure(kSigns, [&] {
    if (!once()) std::fprintf(stderr, "OpenSSL signing failed\n");
  });
  EVP_PKEY_CTX_free(ctx);
  return rate;
}

struct Jvm {
  JavaVM *vm = nullptr;
  jclass cls = nullptr;  // global reference
  jmethodID sign = nullptr, verifyAndSign = nullptr, generateKeyPair = nullptr,
            deleteKeyPair = nullptr;
};

bool startJvm(Jvm &j, JNIEnv *&env) {
  std::string cp = std::string("-Djava.class.path=") + MSCAPI_JAR;
  std::string lib = std::string("-Djava.library.path=") + MSCAPI_LIBDIR;
  JavaVMOption options[2] = {{cp.data(), nullptr}, {lib.data(), nullptr}};
  JavaVMInitArgs args{JNI_VERSION_10, 2, options, JNI_FALSE};
  if (JNI_CreateJavaVM(&j.vm, reinterpret_cast<void **>(&env), &args) != JNI_OK) return false;
  jclass local = env->FindClass("com/qel/varnel/MSCAPI");
  if (local == nullptr) return false;
  j.cls = static_cast<jclass>(env->NewGlobalRef(local));
  j.sign = env->GetStaticMethodID(j.cls, "sign", "(Ljava/lang/String;Ljava/lang/String;I[BII)[B");
  j.verifyAndSign = env->GetStaticMethodID(j.cls, "verifyAndSign",
                                           "(Ljava/lang/String;Ljava/lang/String;I[BII[B)[B");
  j.generateKeyPair = env->GetStaticMethodID(j.cls, "generateKeyPair",
                                             "(Ljava/lang/String;Ljava/lang/String;II)[B");
  j.deleteKeyPair =
      env->GetStaticMethodID(j.cls, "deleteKeyPair", "(Ljava/lang/String;Ljava/lang/String;)V");
  return j.sign && j.verifyAndSign && j.generateKeyPair && j.deleteKeyPair;
}

// Signatures per second of `count` calls of sign (or verifyAndSign with the
// PIN) on this thread, which must be attached to the JVM.
Rate javaSignRate(Jvm &j, JNIEnv *env, const char *provider, const char *container,
                  const Bytes &digest, bool withPin, int count) {
  jstring p = env->NewStringUTF(provider);
  jstring c = env->NewStringUTF(container);
  jbyteArray h = env->NewByteArray(static_cast<jsize>(digest.size()));
  env->SetByteArrayRegion(h, 0, static_cast<jsize>(digest.size()),
                          reinterpret_cast<const jbyte *>(digest.data()));
  jbyteArray pin = env->NewByteArray(static_cast<jsize>(sizeof kPin - 1));
  env->SetByteArrayRegion(pin, 0, sizeof kPin - 1, reinterpret_cast<const jbyte *>(kPin));
  bool failed = false;
  auto once = [&] {
    jobject sig = withPin ? env->CallStaticObjectMethod(j.cls, j.verifyAndSign, p, c, jint{2}, h,
                                                        jint{32}, jint{CALG_SHA_256}, pin)
                          : env->CallStaticObjectMethod(j.cls, j.sign, p, c, jint{2}, h, jint{32},
                                                        jint{CALG_SHA_256});
    if (sig == nullptr || env->ExceptionCheck()) {
      env->ExceptionDescribe();
      failed = true;
    }
    env->DeleteLocalRef(sig);
  };
  // The first unlock, the cache, and the JVM's own start-up work (its
  // compiler threads are still busy when the first measurement begins).
  for (int i = 0; i < kWarmup; ++i) once();
  const Rate rate = measure(count, once);
  for (jobject o : {static_cast<jobject>(p), static_cast<jobject>(c), static_cast<jobject>(h),
                    static_cast<jobject>(pin)})
    env->DeleteLocalRef(o);
  return failed ? Rate{} : rate;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  EVP_PKEY *key = EVP_RSA_gen(2048);
  const Bytes blob = privateBlob(key);
  Bytes digest(32);
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(i * 13 + 5);
  if (!storeKey(kStrong, "bench-sign", blob, nullptr) ||
      !storeKey(kToken, "bench-pin", blob, kPin)) {
    std::fprintf(stderr, "could not store the benchmark key\n");
    return 1;
  }
  Jvm j;
  JNIEnv *env = nullptr;
  if (!startJvm(j, env)) {
    std::fprintf(stderr, "could not start the JVM\n");
    return 1;
  }

  const Rate openssl = opensslSignRate(key, digest);
  const Rate sign = javaSignRate(j, env, kStrong, "bench-sign", digest, false, kSigns);
  const Rate pinned = javaSignRate(j, env, kToken, "bench-pin", digest, true, kSigns);
  double load = 0;
  if (FILE *f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = 0;
    std::fclose(f);
  }
  std::printf("RSA-2048 PKCS#1 v1.5 SHA-256, %d signatures each (load average %.2f, %u cores)\n",
              kSigns, load, std::thread::hardware_concurrency());
  std::printf("                                   wall /s   ratio   thread CPU /s   ratio\n");
  auto row = [&](const char *what, Rate r) {
    std::printf("  %-32s %7.0f   %5.2f   %13.0f   %5.2f\n", what, r.wall, r.wall / openssl.wall,
                r.cpu, r.cpu / openssl.cpu);
  };
  row("OpenSSL EVP, key preloaded", openssl);
  row("sign through the JVM", sign);
  row("verifyAndSign, PIN (after unlock)", pinned);
  std::printf("  target: ratio >= 0.8\n");

  // Two threads, each attached to the JVM, signing with one container,
  // against one thread doing the same amount of work alone.
  auto threadsRate = [&](int n) {
    const auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t)
      threads.emplace_back([&] {
        JNIEnv *e = nullptr;
        j.vm->AttachCurrentThread(reinterpret_cast<void **>(&e), nullptr);
        javaSignRate(j, e, kStrong, "bench-sign", digest, false, kSigns);
        j.vm->DetachCurrentThread();
      });
    for (auto &t : threads) t.join();
    return n * (kSigns + kWarmup) / seconds(Clock::now() - t0);
  };
  const double one = threadsRate(1);
  const double two = threadsRate(2);
  std::printf(
      "  sign, one thread  %7.0f /s; two threads at once %7.0f /s: ratio %.2f (target >= 1.7)\n",
      one, two, two / one);

  // Key generation, alternating so that drift affects both alike.
  std::vector<double> ours, theirs;
  jstring provider = env->NewStringUTF(kStrong);
  for (int i = 0; i < kKeygens; ++i) {
    auto t1 = Clock::now();
    EVP_PKEY *k = EVP_RSA_gen(2048);
    theirs.push_back(seconds(Clock::now() - t1) * 1000);
    EVP_PKEY_free(k);
    jstring name = env->NewStringUTF(("bench-gen-" + std::to_string(i)).c_str());
    t1 = Clock::now();
    jobject pub = env->CallStaticObjectMethod(j.cls, j.generateKeyPair, provider, name,
                                              jint{AT_SIGNATURE}, jint{2048});
    ours.push_back(seconds(Clock::now() - t1) * 1000);
    if (pub == nullptr || env->ExceptionCheck()) {
      env->ExceptionDescribe();
      return 1;
    }
    env->CallStaticVoidMethod(j.cls, j.deleteKeyPair, provider, name);
    env->DeleteLocalRef(pub);
    env->DeleteLocalRef(name);
  }
  std::printf("RSA-2048 key generation, median of %d\n", kKeygens);
  std::printf("  OpenSSL EVP_RSA_gen              %8.1f ms\n", median(theirs));
  std::printf("  generateKeyPair through the JVM  %8.1f ms   ratio %.2f (target <= 1.2)\n",
              median(ours), median(ours) / median(theirs));
  EVP_PKEY_free(key);
  return 0;
}
