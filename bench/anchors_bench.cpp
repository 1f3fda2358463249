// Trust anchor benchmark: queryCerts("ROOT") through a JVM embedded in this
// process, as Java calls it, with the machine's anchors (p11-kit's trust
// module with the machine's ca-certificates, as the default registration
// names it), against reading the same anchors straight from the trust
// module in the same process and run: a session opened on each token,
// C_FindObjects with the anchors' template, C_GetAttributeValue of
// CKA_VALUE (its size, then its bytes) for each, the session closed. A
// session opened afresh is what has p11-kit's trust module look at its
// files again, so that both sides give the anchors as they are now; the
// read through sessions kept open (which never sees a change) is printed
// beside it.
#include <dlfcn.h>
#include <jni.h>
#include <p11-kit/pkcs11.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_common.h"

namespace {

using bench::Clock;

// The trust module read directly, as a program that wants the anchors
// would.
struct TrustModule {
  CK_FUNCTION_LIST *fn = nullptr;
  std::vector<CK_SLOT_ID> slots;
  std::vector<CK_SESSION_HANDLE> kept;  // one session per token, kept open

  bool open() {
    void *lib = dlopen(MSCAPI_P11KIT_TRUST, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return false;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
    if (getList == nullptr || getList(&fn) != CKR_OK) return false;
    CK_C_INITIALIZE_ARGS init{};
    init.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = fn->C_Initialize(&init);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) return false;
    CK_ULONG n = 0;
    if (fn->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_OK) return false;
    slots.resize(n);
    if (n != 0 && fn->C_GetSlotList(CK_TRUE, slots.data(), &n) != CKR_OK) return false;
    for (CK_SLOT_ID slot : slots) {
      CK_SESSION_HANDLE h = CK_INVALID_HANDLE;
      if (fn->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK) return false;
      kept.push_back(h);
    }
    return true;
  }

  // Every trusted authority's encoding, through a session opened for the
  // read (or one kept open); returns how many, adds their bytes.
  size_t read(size_t &bytes, bool keptOpen = false) {
    size_t count = 0;
    for (size_t i = 0; i < slots.size(); ++i) {
      CK_SESSION_HANDLE h = kept[i];
      if (!keptOpen &&
          fn->C_OpenSession(slots[i], CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK)
        return 0;
      count += readSession(h, bytes);
      if (!keptOpen) fn->C_CloseSession(h);
    }
    return count;
  }

  size_t readSession(CK_SESSION_HANDLE h, size_t &bytes) {
    size_t count = 0;
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL trusted = CK_TRUE;
    CK_ULONG category = 2;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                        {CKA_TRUSTED, &trusted, sizeof trusted},
                        {CKA_CERTIFICATE_CATEGORY, &category, sizeof category}};
    if (fn->C_FindObjectsInit(h, t, 4) != CKR_OK) return 0;
    std::vector<CK_OBJECT_HANDLE> found;
    CK_OBJECT_HANDLE batch[256];
    CK_ULONG got = 0;
    while (fn->C_FindObjects(h, batch, 256, &got) == CKR_OK && got != 0)
      found.insert(found.end(), batch, batch + got);
    fn->C_FindObjectsFinal(h);
    for (CK_OBJECT_HANDLE o : found) {
      CK_ATTRIBUTE v{CKA_VALUE, nullptr, 0};
      if (fn->C_GetAttributeValue(h, o, &v, 1) != CKR_OK) continue;
      std::vector<unsigned char> value(v.ulValueLen);
      v.pValue = value.data();
      if (fn->C_GetAttributeValue(h, o, &v, 1) != CKR_OK) continue;
      bytes += value.size();
      ++count;
    }
    return count;
  }
};

// One queryCerts("ROOT"): the number of records (0 on failure), the bytes
// of the list added to `bytes`.
size_t query(bench::Jvm &j, jmethodID m, size_t &bytes) {
  auto a = static_cast<jbyteArray>(j.env->CallStaticObjectMethod(j.cls, m, jint{2}));
  if (bench::Jvm::failed(j.env) || a == nullptr) return 0;
  uint32_t count = 0;
  j.env->GetByteArrayRegion(a, 0, 4, reinterpret_cast<jbyte *>(&count));
  bytes += static_cast<size_t>(j.env->GetArrayLength(a));
  j.env->DeleteLocalRef(a);
  return count;
}

}  // namespace

int main() {
  const char *home = getenv("MSCAPI_HOME");
  if (home == nullptr) {
    std::fprintf(stderr, "anchors_bench: MSCAPI_HOME is not set\n");
    return 1;
  }
  std::printf("load average at start: %.2f\n", bench::loadAverage());
  // bench/run.sh's home points the anchors at a folder of its own, as the
  // tests' homes do; this benchmark measures the machine's, as the default
  // registration has them.
  {
    std::ofstream reg(std::string(home) + "/registry/90-machine-anchors.reg");
    reg << "Windows Registry Editor Version 5.00\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Trust Anchors]\n"
           "\"PKCS#11 Module\"=\"" MSCAPI_P11KIT_TRUST "\"\n\"Init Args\"=\"\"\n";
  }
  // The JVM's heap touched at its start and never grown or shrunk, as a
  // long-running application's heap is: otherwise the first touch of new
  // heap pages, which each result's 160 KB array makes while the heap
  // grows, would be counted as the call's cost.
  bench::Jvm j;
  if (!j.start({"-Xms256m", "-Xmx256m", "-XX:+AlwaysPreTouch"})) {
    std::fprintf(stderr, "anchors_bench: cannot start the JVM\n");
    return 1;
  }
  const jmethodID m = j.method("queryCerts", "(I)[B");
  size_t sink = 0;
  const auto first = Clock::now();
  const size_t listed = query(j, m, sink);
  std::printf(
      "first queryCerts(ROOT) (loads the module, reads the anchors): %.1f ms, %zu records\n",
      bench::seconds(Clock::now() - first) * 1e3, listed);
  TrustModule t;
  if (!t.open()) {
    std::fprintf(stderr, "anchors_bench: cannot open the trust module %s\n", MSCAPI_P11KIT_TRUST);
    return 1;
  }
  const size_t direct = t.read(sink);
  std::printf("the trust module's trusted authorities: %zu; queryCerts(ROOT) lists %zu\n", direct,
              listed);
  if (listed == 0 || direct == 0) {
    std::fprintf(stderr, "anchors_bench: no anchors to measure\n");
    return 1;
  }
  // Warm-up: the JIT, the caches of both sides.
  for (int i = 0; i < 200; ++i) {
    query(j, m, sink);
    t.read(sink);
  }
  // Rounds of three blocks of 100 calls: queryCerts, the read through
  // fresh sessions, the read through kept sessions, in an order that turns
  // from round to round. (Calls of the three interleaved one by one slow
  // each other: p11-kit's session opening churns the heap that the next
  // call then grows again.) Per round the ratio of the summed thread CPU
  // times, and of the wall-clock times for the record.
  constexpr int kRounds = 9, kCalls = 100;
  std::vector<double> cpuRatios, keptRatios, wallRatios, queryUs, directUs, keptUs;
  for (int r = 0; r < kRounds; ++r) {
    double cpu[3] = {0, 0, 0}, wall[3] = {0, 0, 0};
    for (int b = 0; b < 3; ++b) {
      const int which = (b + r) % 3;
      const double c0 = bench::threadCpu();
      const auto w0 = Clock::now();
      for (int i = 0; i < kCalls; ++i) {
        const size_t n = which == 0 ? query(j, m, sink) : t.read(sink, which == 2);
        if (n != (which == 0 ? listed : direct)) std::fprintf(stderr, "another count\n");
      }
      wall[which] = bench::seconds(Clock::now() - w0);
      cpu[which] = bench::threadCpu() - c0;
    }
    cpuRatios.push_back(cpu[0] / cpu[1]);
    keptRatios.push_back(cpu[0] / cpu[2]);
    wallRatios.push_back(wall[0] / wall[1]);
    queryUs.push_back(cpu[0] / kCalls * 1e6);
    directUs.push_back(cpu[1] / kCalls * 1e6);
    keptUs.push_back(cpu[2] / kCalls * 1e6);
  }
  const bench::Spread cpu = bench::spreadOf(cpuRatios), wall = bench::spreadOf(wallRatios),
                      kept = bench::spreadOf(keptRatios);
  const bench::Spread q = bench::spreadOf(queryUs), d = bench::spreadOf(directUs),
                      k = bench::spreadOf(keptUs);
  std::printf("queryCerts(ROOT): %.1f us CPU per call (%s)\n", q.median,
              bench::describe(q, "%.1f").c_str());
  std::printf("trust module read: %.1f us CPU per call (%s)\n", d.median,
              bench::describe(d, "%.1f").c_str());
  std::printf("trust module read through sessions kept open: %.1f us CPU per call (%s)\n", k.median,
              bench::describe(k, "%.1f").c_str());
  std::printf("ratio to the read through sessions kept open: %.2f (%s)\n", kept.median,
              bench::describe(kept, "%.2f").c_str());
  std::printf("wall-clock ratio: %.2f (%s)\n", wall.median, bench::describe(wall, "%.2f").c_str());
  std::printf("load average at end: %.2f\n", bench::loadAverage());
  bench::ratio("queryCerts_ROOT_vs_trust_module", cpu.median, "<=", 1.2,
               std::to_string(listed) + " anchors, thread CPU, " + bench::describe(cpu, "%.2f") +
                   " of blocks of " + std::to_string(kCalls) + " calls");
  bench::ratio("queryCerts_ROOT_vs_kept_session", kept.median, "<=", 1.5,
               "the same against the read through sessions kept open (which sees no change), " +
                   bench::describe(kept, "%.2f"));
  return sink == 0;
}
