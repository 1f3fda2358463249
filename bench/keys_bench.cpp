// Key benchmark, through a JVM embedded in this process as Java calls the
// library, every figure a ratio against a baseline measured in the same run:
//   sign       sign (RSA-2048, PKCS#1 v1.5, SHA-256) against OpenSSL's EVP
//              signing with the same key preloaded and one context reused;
//              verifyAndSign (token family, after the first unlock) against
//              sign. Thread CPU time, alternating rounds.
//   threads    two threads signing at once against one thread (wall clock).
//   jvms       four JVM processes signing at once against one (wall clock).
//   keygen     what generateKeyPair (2048) adds to OpenSSL's generation of
//              the key: the call's time less the time spent inside
//              EVP_PKEY_generate, which this program interposes and times.
//   query      queryKeyPairs over 1,000 containers against 100.
// Usage: keys_bench [SECTION...] (all when none is named). The program also
// runs itself as `keys_bench --child N` for the jvms section.
#include <dlfcn.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "winapi/advapi32.h"

using bench::Clock;
using bench::seconds;

// ---- Time spent generating keys and waiting for the disk ----------------
//
// This program exports its own EVP_PKEY_generate, fdatasync and fsync (see
// CMakeLists.txt), so the library's calls, resolved through the process's
// global scope, come here first; the time inside the real function is added
// up and the call passed on unchanged.
namespace {
std::atomic<int64_t> generatingNs{0};
std::atomic<int64_t> syncingNs{0};
std::atomic<int64_t> syncs{0};  // fdatasync and fsync calls

template <typename R, typename... A>
R timedCall(const char *name, std::atomic<int64_t> &total, A... args) {
  using Real = R (*)(A...);
  const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, name));
  if (real == nullptr) return -1;
  const auto t0 = Clock::now();
  const R rc = real(args...);
  total += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
  return rc;
}
}  // namespace

#define BENCH_EXPORT extern "C" __attribute__((visibility("default")))
BENCH_EXPORT int EVP_PKEY_generate(EVP_PKEY_CTX *ctx, EVP_PKEY **ppkey) {
  return timedCall<int>("EVP_PKEY_generate", generatingNs, ctx, ppkey);
}
BENCH_EXPORT int fdatasync(int fd) {
  ++syncs;
  return timedCall<int>("fdatasync", syncingNs, fd);
}
BENCH_EXPORT int fsync(int fd) {
  ++syncs;
  return timedCall<int>("fsync", syncingNs, fd);
}

namespace {

using Bytes = std::vector<uint8_t>;

const char kStrong[] = "Microsoft Strong Cryptographic Provider";
const char kToken[] = "Soft Token RSA Provider";
const char kPin[] = "bench-pin";
const char kSignContainer[] = "bench-sign";
const char kPinContainer[] = "bench-pin";

constexpr int kRounds = 5;        // alternating rounds of the sign section
constexpr int kSigns = 2000;      // signatures per measurement
constexpr int kWarmup = 1000;     // calls before the first measurement
constexpr int kThreadRounds = 5;  // rounds of the jvms section
// Rounds of the threads section and signatures per thread in each: many
// short rounds, since the machine's own two-core scaling moves by several
// percent from one second to the next.
constexpr int kThreadSectionRounds = 15;
constexpr int kThreadSigns = 600;
constexpr int kChildSigns = 1500;  // signatures per JVM process
constexpr int kJvms = 4;
constexpr int kKeygens = 10;
constexpr int kQueries = 21;     // queryKeyPairs calls per size and round
constexpr int kQueryRounds = 7;  // alternating rounds of the query section

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

// Stores the key in a new container through this program's own copy of the
// emulation (the JVM's library reads the same home).
bool storeKey(const char *provider, const std::string &container, const Bytes &blob,
              const char *pin) {
  HCRYPTPROV p = 0;
  HCRYPTKEY k = 0;
  if (!CryptAcquireContextA(&p, container.c_str(), provider, PROV_RSA_FULL, CRYPT_NEWKEYSET))
    return false;
  bool ok = (pin == nullptr ||
             CryptSetProvParam(p, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE *>(pin), 0)) &&
            CryptImportKey(p, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &k);
  CryptDestroyKey(k);
  CryptReleaseContext(p, 0);
  return ok;
}

Bytes benchDigest() {
  Bytes digest(32);
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(i * 13 + 5);
  return digest;
}

// Calls per second by the wall clock and by the calling thread's CPU time.
struct Rate {
  double wall = 0, cpu = 0;
};

template <typename F>
Rate measure(int count, F &&once) {
  const auto t0 = Clock::now();
  const double c0 = bench::threadCpu();
  for (int i = 0; i < count; ++i) once();
  return Rate{count / seconds(Clock::now() - t0), count / (bench::threadCpu() - c0)};
}

// OpenSSL with the key loaded once and one signing context reused: the
// fastest way OpenSSL offers.
class OpenSslSigner {
 public:
  OpenSslSigner(EVP_PKEY *key, const Bytes &digest) : digest_(digest), sig_(256) {
    ctx_ = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_sign_init(ctx_);
    EVP_PKEY_CTX_set_rsa_padding(ctx_, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx_, EVP_sha256());
    for (int i = 0; i < 100; ++i) once();  // blinding set-up, caches
  }
  ~OpenSslSigner() { EVP_PKEY_CTX_free(ctx_); }
  bool once() {
    size_t n = sig_.size();
    return EVP_PKEY_sign(ctx_, sig_.data(), &n, digest_.data(), digest_.size()) == 1;
  }
  Rate rate(int count) {
    return measure(count, [&] {
      if (!once()) std::fprintf(stderr, "OpenSSL signing failed\n");
    });
  }

 private:
  EVP_PKEY_CTX *ctx_ = nullptr;
  Bytes digest_, sig_;
};

// Calls sign (or verifyAndSign with the PIN) on one thread attached to the
// JVM, with the arguments made once.
class JavaSigner {
 public:
  JavaSigner(const bench::Jvm &jvm, JNIEnv *env, const char *provider, const char *container,
             const Bytes &digest, bool withPin)
      : jvm_(jvm), env_(env), withPin_(withPin) {
    sign_ =
        env->GetStaticMethodID(jvm.cls, "sign", "(Ljava/lang/String;Ljava/lang/String;I[BII)[B");
    verifyAndSign_ = env->GetStaticMethodID(jvm.cls, "verifyAndSign",
                                            "(Ljava/lang/String;Ljava/lang/String;I[BII[B)[B");
    provider_ = env->NewStringUTF(provider);
    container_ = env->NewStringUTF(container);
    hash_ = env->NewByteArray(static_cast<jsize>(digest.size()));
    env->SetByteArrayRegion(hash_, 0, static_cast<jsize>(digest.size()),
                            reinterpret_cast<const jbyte *>(digest.data()));
    pin_ = env->NewByteArray(static_cast<jsize>(sizeof kPin - 1));
    env->SetByteArrayRegion(pin_, 0, sizeof kPin - 1, reinterpret_cast<const jbyte *>(kPin));
  }
  ~JavaSigner() {
    for (jobject o : {static_cast<jobject>(provider_), static_cast<jobject>(container_),
                      static_cast<jobject>(hash_), static_cast<jobject>(pin_)})
      env_->DeleteLocalRef(o);
  }
  bool once() {
    jobject sig = withPin_ ? env_->CallStaticObjectMethod(jvm_.cls, verifyAndSign_, provider_,
                                                          container_, jint{AT_SIGNATURE}, hash_,
                                                          jint{32}, jint{CALG_SHA_256}, pin_)
                           : env_->CallStaticObjectMethod(jvm_.cls, sign_, provider_, container_,
                                                          jint{AT_SIGNATURE}, hash_, jint{32},
                                                          jint{CALG_SHA_256});
    const bool ok = sig != nullptr && !bench::Jvm::failed(env_);
    env_->DeleteLocalRef(sig);
    if (!ok) failed_ = true;
    return ok;
  }
  void run(int count) {
    for (int i = 0; i < count; ++i) once();
  }
  Rate rate(int count) {
    return measure(count, [&] { once(); });
  }
  bool failed() const { return failed_; }

 private:
  const bench::Jvm &jvm_;
  JNIEnv *env_;
  bool withPin_;
  bool failed_ = false;
  jmethodID sign_ = nullptr, verifyAndSign_ = nullptr;
  jstring provider_ = nullptr, container_ = nullptr;
  jbyteArray hash_ = nullptr, pin_ = nullptr;
};

// ---- sign ----------------------------------------------------------------

bool signSection(const bench::Jvm &jvm, EVP_PKEY *key, const Bytes &digest) {
  OpenSslSigner openssl(key, digest);
  JavaSigner sign(jvm, jvm.env, kStrong, kSignContainer, digest, false);
  JavaSigner pinned(jvm, jvm.env, kToken, kPinContainer, digest, true);
  // The first unlock, the caches, and the JVM's own start-up work (its
  // compiler threads are still busy when the first call returns).
  sign.run(kWarmup);
  pinned.run(kWarmup);
  std::vector<double> signCpu, signWall, pinCpu, pinWall;
  std::printf("sign: RSA-2048 PKCS#1 v1.5 SHA-256, %d signatures per measurement\n", kSigns);
  std::printf("  round   OpenSSL /s (cpu)   sign /s (cpu)   verifyAndSign /s (cpu)\n");
  for (int r = 0; r < kRounds; ++r) {
    const Rate o = openssl.rate(kSigns);
    const Rate s = sign.rate(kSigns);
    const Rate p = pinned.rate(kSigns);
    std::printf("  %5d   %16.0f   %13.0f   %22.0f\n", r + 1, o.cpu, s.cpu, p.cpu);
    signCpu.push_back(s.cpu / o.cpu);
    signWall.push_back(s.wall / o.wall);
    pinCpu.push_back(p.cpu / s.cpu);
    pinWall.push_back(p.wall / s.wall);
  }
  if (sign.failed() || pinned.failed()) return false;
  const auto sc = bench::spreadOf(signCpu), sw = bench::spreadOf(signWall);
  const auto pc = bench::spreadOf(pinCpu), pw = bench::spreadOf(pinWall);
  std::printf("  by the wall clock: sign/OpenSSL %.3f (%s), verifyAndSign/sign %.3f (%s)\n",
              sw.median, bench::describe(sw).c_str(), pw.median, bench::describe(pw).c_str());
  bench::ratio("sign_vs_openssl", sc.median, ">=", 0.95,
               "thread CPU, " + bench::describe(sc) + " alternating");
  bench::ratio("verifyAndSign_vs_sign", pc.median, ">=", 0.95,
               "thread CPU, " + bench::describe(pc) + " alternating");
  return true;
}

// ---- threads -------------------------------------------------------------

// Signatures per second by the wall clock of `n` threads signing at once,
// from a common start to the moment the first of them has made its `kThreadSigns`
// signatures, counting every thread's signatures finished by then: the rate
// while all of them sign. (Up to the last one's end, the figure would also
// hold the stretch in which a thread that the scheduler favoured has
// finished and the others sign alone.) A signature that ends after that
// moment is not counted.
struct Together {
  std::atomic<bool> over{false};
  std::atomic<long> made{0};
  Clock::time_point end;

  // Counts one signature unless the measure is over; the thread that makes
  // its last one ends the measure.
  void count(int &mine) {
    if (over.load()) return;
    made.fetch_add(1);
    if (++mine == kThreadSigns && !over.exchange(true)) end = Clock::now();
  }
  double rate(Clock::time_point start) const { return made.load() / seconds(end - start); }
};

// Holds `n` threads back until all of them are ready, then lets them go at
// once.
class StartLine {
 public:
  explicit StartLine(int n) : n_(n) {}
  // A thread is ready; returns when all are let go.
  void ready() {
    std::unique_lock<std::mutex> lock(mu_);
    ++ready_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return go_; });
  }
  // Waits for all threads to be ready and lets them go; the moment they go.
  Clock::time_point release() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return ready_ == n_; });
    go_ = true;
    const auto start = Clock::now();
    cv_.notify_all();
    return start;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int n_, ready_ = 0;
  bool go_ = false;
};

double threadsRate(const bench::Jvm &jvm, const Bytes &digest, int n) {
  StartLine line(n);
  Together together;
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t)
    threads.emplace_back([&] {
      JNIEnv *e = nullptr;
      jvm.vm->AttachCurrentThread(reinterpret_cast<void **>(&e), nullptr);
      {
        JavaSigner signer(jvm, e, kStrong, kSignContainer, digest, false);
        signer.run(200);  // this thread's connection and caches
        line.ready();
        int mine = 0;
        while (!together.over.load() && signer.once()) together.count(mine);
      }
      jvm.vm->DetachCurrentThread();
    });
  const auto start = line.release();
  for (auto &t : threads) t.join();
  return together.over.load() ? together.rate(start) : 0;
}

// The same for OpenSSL alone: what the machine allows at the moment, to
// read the figure above by. Each thread signs with a copy of the key that
// it set up itself: OpenSSL gives a key's blinding to the first thread that
// signs with it, and threads sharing a key's other blinding wait for each
// other.
double opensslThreadsRate(EVP_PKEY *key, const Bytes &digest, int n) {
  StartLine line(n);
  Together together;
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t)
    threads.emplace_back([&] {
      EVP_PKEY *copy = EVP_PKEY_dup(key);
      {
        OpenSslSigner signer(copy, digest);  // its context holds the copy
        EVP_PKEY_free(copy);
        line.ready();
        int mine = 0;
        while (!together.over.load()) {
          signer.once();
          together.count(mine);
        }
      }
    });
  const auto start = line.release();
  for (auto &t : threads) t.join();
  return together.rate(start);
}

void threadsSection(const bench::Jvm &jvm, EVP_PKEY *key, const Bytes &digest) {
  std::vector<double> ratios, machine;
  std::printf("threads: sign, %d signatures per thread, wall clock\n", kThreadSigns);
  for (int r = 0; r < kThreadSectionRounds; ++r) {
    // Which of one and two threads goes first alternates with the rounds.
    double one = 0, two = 0, bareOne = 0, bareTwo = 0;
    for (int k = 0; k < 2; ++k) {
      if ((r + k) % 2 == 0) {
        one = threadsRate(jvm, digest, 1);
        bareOne = opensslThreadsRate(key, digest, 1);
      } else {
        two = threadsRate(jvm, digest, 2);
        bareTwo = opensslThreadsRate(key, digest, 2);
      }
    }
    std::printf(
        "  round %d: one thread %6.0f /s, two threads %6.0f /s (OpenSSL alone: %6.0f, %6.0f)\n",
        r + 1, one, two, bareOne, bareTwo);
    ratios.push_back(two / one);
    machine.push_back(bareTwo / bareOne);
  }
  const auto s = bench::spreadOf(ratios), m = bench::spreadOf(machine);
  std::printf("  OpenSSL alone, two threads against one: %.2f (%s): what the machine allows now\n",
              m.median, bench::describe(m, "%.2f").c_str());
  bench::ratio("sign_2threads_vs_1", s.median, ">=", 1.9,
               "wall clock, " + bench::describe(s) + " alternating");
}

// ---- jvms ----------------------------------------------------------------

int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The child: starts its JVM, warms up, says "ready", waits for a line on
// standard input, signs `count` times and prints when it started and ended.
int childMain(int count) {
  bench::Jvm jvm;
  if (!jvm.start()) return 1;
  JavaSigner signer(jvm, jvm.env, kStrong, kSignContainer, benchDigest(), false);
  signer.run(kWarmup);
  std::printf("ready\n");
  std::fflush(stdout);
  char line[16];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return 1;
  const int64_t start = monotonicNs();
  signer.run(count);
  const int64_t end = monotonicNs();
  std::printf("done %lld %lld\n", static_cast<long long>(start), static_cast<long long>(end));
  return signer.failed() ? 1 : 0;
}

struct Child {
  pid_t pid = -1;
  FILE *out = nullptr;  // its standard output
  FILE *in = nullptr;   // its standard input
};

Child spawn(int count) {
  int toChild[2], fromChild[2];
  Child c;
  if (pipe(toChild) != 0) return c;
  if (pipe(fromChild) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    return c;
  }
  c.pid = fork();
  if (c.pid == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) close(fd);
    const std::string n = std::to_string(count);
    execl("/proc/self/exe", "keys_bench", "--child", n.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  c.in = fdopen(toChild[1], "w");
  c.out = fdopen(fromChild[0], "r");
  return c;
}

// Signatures per second of `n` JVM processes signing at once, from the
// first one's start to the last one's end; 0 when one failed.
double jvmsRate(int n) {
  std::vector<Child> children;
  for (int i = 0; i < n; ++i) children.push_back(spawn(kChildSigns));
  bool ok = true;
  char line[128];
  for (auto &c : children)
    ok = ok && c.pid > 0 && c.out && c.in && std::fgets(line, sizeof line, c.out) &&
         std::strncmp(line, "ready", 5) == 0;
  int64_t first = INT64_MAX, last = 0;
  if (ok) {
    for (auto &c : children) {
      std::fputs("go\n", c.in);
      std::fflush(c.in);
    }
    for (auto &c : children) {
      long long s = 0, e = 0;
      if (std::fgets(line, sizeof line, c.out) == nullptr ||
          std::sscanf(line, "done %lld %lld", &s, &e) != 2) {
        ok = false;
        continue;
      }
      first = std::min<int64_t>(first, s);
      last = std::max<int64_t>(last, e);
    }
  }
  for (auto &c : children) {
    if (c.in) std::fclose(c.in);
    if (c.out) std::fclose(c.out);
    int status = 0;
    if (c.pid > 0 && (waitpid(c.pid, &status, 0) != c.pid || status != 0)) ok = false;
  }
  if (!ok || last <= first) return 0;
  return static_cast<double>(n) * kChildSigns / ((last - first) / 1e9);
}

bool jvmsSection() {
  std::vector<double> ratios;
  std::printf("jvms: sign, %d signatures per JVM process, wall clock\n", kChildSigns);
  for (int r = 0; r < kThreadRounds; ++r) {
    const double one = jvmsRate(1);
    const double many = jvmsRate(kJvms);
    if (one <= 0 || many <= 0) {
      std::fprintf(stderr, "a JVM process failed\n");
      return false;
    }
    std::printf("  round %d: one JVM %6.0f /s, %d JVMs %6.0f /s\n", r + 1, one, kJvms, many);
    ratios.push_back(many / one);
  }
  const auto s = bench::spreadOf(ratios);
  bench::ratio("sign_4jvms_vs_1", s.median, ">=", 1.8,
               "wall clock, " + bench::describe(s) + " alternating");
  return true;
}

// ---- keygen --------------------------------------------------------------

bool keygenSection(const bench::Jvm &jvm) {
  JNIEnv *env = jvm.env;
  const jmethodID generate =
      jvm.method("generateKeyPair", "(Ljava/lang/String;Ljava/lang/String;II)[B");
  const jmethodID remove = jvm.method("deleteKeyPair", "(Ljava/lang/String;Ljava/lang/String;)V");
  jstring provider = env->NewStringUTF(kStrong);
  std::vector<double> added, total, inside, synced, rest, syncCounts;
  std::vector<jstring> names;
  bool ok = true;
  // The containers are deleted only at the end: a deletion empties the
  // write-ahead log, and the next write to it would pay for restarting it.
  for (int i = 0; i < kKeygens && ok; ++i) {
    names.push_back(env->NewStringUTF(("bench-gen-" + std::to_string(i)).c_str()));
    const int64_t generating = generatingNs, syncing = syncingNs, synced0 = syncs;
    const auto t0 = Clock::now();
    jobject pub = env->CallStaticObjectMethod(jvm.cls, generate, provider, names.back(),
                                              jint{AT_SIGNATURE}, jint{2048});
    const double ms = seconds(Clock::now() - t0) * 1000;
    const double gen = (generatingNs - generating) / 1e6;
    const double sync = (syncingNs - syncing) / 1e6;
    if (pub == nullptr || bench::Jvm::failed(env) || gen <= 0) {
      std::fprintf(stderr, "generateKeyPair failed, or its generation was not seen\n");
      ok = false;
    }
    env->DeleteLocalRef(pub);
    total.push_back(ms);
    inside.push_back(gen);
    added.push_back(ms - gen);
    synced.push_back(sync);
    rest.push_back(ms - gen - sync);
    syncCounts.push_back(static_cast<double>(syncs - synced0));
  }
  for (jstring name : names) {
    env->CallStaticVoidMethod(jvm.cls, remove, provider, name);
    env->DeleteLocalRef(name);
  }
  env->DeleteLocalRef(provider);
  if (!ok) return false;
  std::printf("keygen: generateKeyPair(2048) through the JVM, %d calls\n", kKeygens);
  auto row = [](const char *what, const std::vector<double> &v) {
    const auto s = bench::spreadOf(v);
    std::printf("  %-38s %8.2f ms (%s)\n", what, s.median, bench::describe(s, "%.2f").c_str());
  };
  row("whole call", total);
  row("inside OpenSSL's EVP_PKEY_generate", inside);
  row("added by the library", added);
  row("  of which waiting in fdatasync/fsync", synced);
  row("  the rest", rest);
  const auto c = bench::spreadOf(syncCounts);
  std::printf("  waits for the disk per call: %s\n", bench::describe(c, "%.0f").c_str());
  const auto a = bench::spreadOf(added);
  bench::ratio("keygen_added_ms", a.median, "<=", 5,
               "ms beyond EVP_PKEY_generate, " + bench::describe(a, "%.2f"));
  // Two acknowledged writes, each durable when it returns (the container
  // CRYPT_NEWKEYSET creates, the key CryptGenKey stores): one WAL sync each
  // is the floor; a directory sync or a checkpoint would show here.
  bench::ratio("keygen_syncs_per_call", c.median, "<=", 2,
               "fdatasync/fsync calls per generateKeyPair, " + bench::describe(c, "%.0f"));
  return true;
}

// ---- query ---------------------------------------------------------------

// Median milliseconds of queryKeyPairs (by the calling thread's CPU time,
// and by the wall clock in `wall`), and the number of records it gave.
double queryKeyPairsMs(const bench::Jvm &jvm, size_t &records, double &wall) {
  JNIEnv *env = jvm.env;
  const jmethodID query = jvm.method("queryKeyPairs", "()[B");
  std::vector<double> cpu, ms;
  for (int i = 0; i < kQueries; ++i) {
    const auto t0 = Clock::now();
    const double c0 = bench::threadCpu();
    auto result = static_cast<jbyteArray>(env->CallStaticObjectMethod(jvm.cls, query));
    cpu.push_back((bench::threadCpu() - c0) * 1000);
    ms.push_back(seconds(Clock::now() - t0) * 1000);
    if (result == nullptr || bench::Jvm::failed(env)) return -1;
    uint8_t count[4] = {};
    env->GetByteArrayRegion(result, 0, 4, reinterpret_cast<jbyte *>(count));
    records = count[0] | (count[1] << 8) | (count[2] << 16) | (size_t{count[3]} << 24);
    env->DeleteLocalRef(result);
  }
  wall = bench::spreadOf(ms).median;
  return bench::spreadOf(cpu).median;
}

// Two homes, one with 100 containers and one with 1,000 (each holding the
// key), the same process switching between them by MSCAPI_HOME (read on
// every call): rounds alternating the two sizes, so that the machine's
// changing load falls on both alike; the median of the per-round ratios.
bool querySection(const bench::Jvm &jvm, const Bytes &blob) {
  const char *base = getenv("MSCAPI_HOME");
  const std::string root = base != nullptr ? base : "";
  std::vector<std::string> homes;
  for (int size : {100, 1000}) {
    homes.push_back(root + "/query-" + std::to_string(size));
    mkdir(homes.back().c_str(), 0700);
    // The run's registration (bench/run.sh takes the machine's PKCS#11
    // modules out of it), so that only these containers are listed.
    std::error_code ec;
    std::filesystem::copy(root + "/registry", homes.back() + "/registry",
                          std::filesystem::copy_options::recursive, ec);
    setenv("MSCAPI_HOME", homes.back().c_str(), 1);
    for (int i = 0; i < size; ++i)
      if (!storeKey(kStrong, "bench-query-" + std::to_string(i), blob, nullptr)) {
        std::fprintf(stderr, "could not store container %d\n", i);
        setenv("MSCAPI_HOME", root.c_str(), 1);
        return false;
      }
  }
  std::printf(
      "query: queryKeyPairs, %d rounds alternating 100 and 1,000 containers, median of %d "
      "calls per size and round\n",
      kQueryRounds, kQueries);
  std::vector<double> small, large, ratios, wallRatios;
  size_t records[2] = {0, 0};
  bool ok = true;
  for (int round = -1; round < kQueryRounds && ok; ++round) {  // round -1: warm-up
    double ms[2] = {0, 0}, wall[2] = {0, 0};
    for (int h = 0; h < 2 && ok; ++h) {
      setenv("MSCAPI_HOME", homes[h].c_str(), 1);
      ms[h] = queryKeyPairsMs(jvm, records[h], wall[h]);
      ok = ms[h] > 0;
    }
    if (round < 0 || !ok) continue;
    small.push_back(ms[0]);
    large.push_back(ms[1]);
    ratios.push_back(ms[1] / ms[0]);
    wallRatios.push_back(wall[1] / wall[0]);
  }
  setenv("MSCAPI_HOME", root.c_str(), 1);
  if (!ok) return false;
  const auto s = bench::spreadOf(small), l = bench::spreadOf(large), r = bench::spreadOf(ratios),
             w = bench::spreadOf(wallRatios);
  std::printf("  thread CPU time:\n");
  std::printf("   100 containers (%zu key pairs listed): %8.2f ms (%s)\n", records[0], s.median,
              bench::describe(s, "%.2f").c_str());
  std::printf("  1000 containers (%zu key pairs listed): %8.2f ms (%s)\n", records[1], l.median,
              bench::describe(l, "%.2f").c_str());
  // A busy machine stretches the longer calls more (they are more often
  // preempted), so the ratio is taken from the thread's CPU time.
  std::printf("  by the wall clock: 1000/100 %.2f (%s)\n", w.median,
              bench::describe(w, "%.2f").c_str());
  bench::ratio("queryKeyPairs_1000_vs_100", r.median, "<=", 11,
               "thread CPU, " + bench::describe(r, "%.2f") + " alternating; 10 is linear");
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return childMain(std::atoi(argv[2]));
  std::set<std::string> sections(argv + 1, argv + argc);
  auto wanted = [&](const char *s) { return sections.empty() || sections.count(s) != 0; };
  std::printf("keys_bench: load average %.2f at start, %u cores\n", bench::loadAverage(),
              std::thread::hardware_concurrency());

  EVP_PKEY *key = EVP_RSA_gen(2048);
  const Bytes blob = privateBlob(key);
  const Bytes digest = benchDigest();
  if (!storeKey(kStrong, kSignContainer, blob, nullptr) ||
      !storeKey(kToken, kPinContainer, blob, kPin)) {
    std::fprintf(stderr, "could not store the benchmark key\n");
    return 1;
  }
  bench::Jvm jvm;
  if (!jvm.start()) {
    std::fprintf(stderr, "could not start the JVM\n");
    return 1;
  }
  bool ok = true;
  if (wanted("sign")) ok = signSection(jvm, key, digest) && ok;
  if (wanted("threads")) threadsSection(jvm, key, digest);
  if (wanted("jvms")) ok = jvmsSection() && ok;
  if (wanted("keygen")) ok = keygenSection(jvm) && ok;
  if (wanted("query")) ok = querySection(jvm, blob) && ok;
  std::printf("keys_bench: load average %.2f at end\n", bench::loadAverage());
  EVP_PKEY_free(key);
  return ok ? 0 : 1;
}
