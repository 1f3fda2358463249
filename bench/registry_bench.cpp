// Registry benchmark: queryProviders (through a JVM embedded in this
// process, as Java calls it) with 100, 1,000 and 20,000 extra providers
// registered in a .reg file of the home; and what the registry calls of one
// lookup cost (RegOpenKeyExA, RegQueryValueExA, RegCloseKey), for the record.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_common.h"
#include "winapi/advapi32.h"

using bench::Clock;
using bench::seconds;

namespace {

const char kProviderKey[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";

// Registers `count` extra type-1 providers in one file of the home's
// registry folder (replacing the previous count).
bool registerProviders(int count, const char *home = std::getenv("MSCAPI_HOME")) {
  if (home == nullptr) return false;
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  char name[64];
  for (int i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "Bench Provider %05d", i);
    text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";
    text += name;
    text += "]\n\"Image Path\"=\"rsaenh.dll\"\n\"Type\"=dword:00000001\n\n";
  }
  const std::string path = std::string(home) + "/registry/50-bench.reg";
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Milliseconds of each queryProviders call, and the providers the last one
// listed.
std::vector<double> queryProviders(const bench::Jvm &jvm, int calls, size_t &listed) {
  JNIEnv *env = jvm.env;
  const jmethodID query = jvm.method("queryProviders", "()[B");
  std::vector<double> ms;
  for (int i = 0; i < calls; ++i) {
    const auto t0 = Clock::now();
    auto result = static_cast<jbyteArray>(env->CallStaticObjectMethod(jvm.cls, query));
    ms.push_back(seconds(Clock::now() - t0) * 1000);
    if (result == nullptr || bench::Jvm::failed(env)) return {};
    uint8_t count[4] = {};
    env->GetByteArrayRegion(result, 0, 4, reinterpret_cast<jbyte *>(count));
    listed = count[0] | (count[1] << 8) | (count[2] << 16) | (size_t{count[3]} << 24);
    env->DeleteLocalRef(result);
  }
  return ms;
}

// Thread CPU milliseconds of `calls` queryProviders calls; negative when
// one failed or listed fewer than `atLeast`.
double queryCpuMs(const bench::Jvm &jvm, int calls, size_t atLeast) {
  const double c0 = bench::threadCpu();
  size_t listed = 0;
  if (queryProviders(jvm, calls, listed).empty() || listed < atLeast) return -1;
  return (bench::threadCpu() - c0) * 1000;
}

// The growth from 100 to 1,000 providers: two homes inside the run's home,
// each with the run's registry files and one count of extra providers; the
// process switches between them by MSCAPI_HOME (read on every call; the
// first call after a switch reads that home's registry, and is not
// counted). 9 rounds after one of warm-up, which home goes first turning
// with the rounds, each home's 41 calls timed by the calling thread's CPU
// (a loaded machine preempts a 2 ms call more often than a 0.2 ms one,
// which a wall-clock ratio would count); the median of the per-round
// ratios. The wall-clock ratio of the same calls is printed beside it.
bool growth(const bench::Jvm &jvm) {
  const std::string root = std::getenv("MSCAPI_HOME");
  const int counts[2] = {100, 1000};
  std::string homes[2];
  for (int h = 0; h < 2; ++h) {
    homes[h] = root + "/growth-" + std::to_string(counts[h]);
    const std::string cmd = "mkdir -p '" + homes[h] + "' && cp -r '" + root + "/registry' '" +
                            homes[h] + "/' && rm -f '" + homes[h] + "/registry/50-bench.reg'";
    if (std::system(cmd.c_str()) != 0 || !registerProviders(counts[h], homes[h].c_str()))
      return false;
  }
  constexpr int kRounds = 9, kCalls = 41;
  std::vector<double> cpuRatios, wallRatios, cpu100;
  for (int r = -1; r < kRounds; ++r) {
    double cpu[2] = {0, 0}, wall[2] = {0, 0};
    for (int turn = 0; turn < 2; ++turn) {
      const int h = (turn + (r < 0 ? 0 : r)) % 2;
      setenv("MSCAPI_HOME", homes[h].c_str(), 1);
      size_t listed = 0;
      queryProviders(jvm, 1, listed);  // reads this home's registry
      const auto w0 = Clock::now();
      cpu[h] = queryCpuMs(jvm, kCalls, static_cast<size_t>(counts[h]));
      wall[h] = seconds(Clock::now() - w0);
      if (cpu[h] < 0) {
        setenv("MSCAPI_HOME", root.c_str(), 1);
        return false;
      }
    }
    if (r < 0) continue;
    cpuRatios.push_back(cpu[1] / cpu[0]);
    wallRatios.push_back(wall[1] / wall[0]);
    cpu100.push_back(cpu[0] / kCalls);
  }
  setenv("MSCAPI_HOME", root.c_str(), 1);
  const bench::Spread c = bench::spreadOf(cpuRatios), w = bench::spreadOf(wallRatios),
                      one = bench::spreadOf(cpu100);
  std::printf(
      "  growth 100 -> 1000 providers: thread CPU %.2f (%s), wall clock %.2f (%s); "
      "100 providers %.3f ms of CPU a call\n",
      c.median, bench::describe(c, "%.2f").c_str(), w.median, bench::describe(w, "%.2f").c_str(),
      one.median);
  bench::ratio("queryProviders_1000_vs_100", c.median, "<=", 11,
               "thread CPU, 2 homes taking turns, median of 9 rounds of 41 calls, " +
                   bench::describe(c, "%.2f"));
  return true;
}

// Microseconds of one lookup: open a provider's key, read its type, close.
double lookupMicros(int count) {
  const std::string path = std::string(kProviderKey) + "\\Microsoft Strong Cryptographic Provider";
  const auto t0 = Clock::now();
  for (int i = 0; i < count; ++i) {
    HKEY k = nullptr;
    DWORD type = 0, size = sizeof type;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS ||
        RegQueryValueExA(k, "Type", nullptr, nullptr, reinterpret_cast<BYTE *>(&type), &size) !=
            ERROR_SUCCESS)
      return -1;
    RegCloseKey(k);
  }
  return seconds(Clock::now() - t0) * 1e6 / count;
}

}  // namespace

int main() {
  std::printf("registry_bench: load average %.2f at start\n", bench::loadAverage());
  // The registry folder with its default registration.
  if (lookupMicros(1) < 0) {
    std::fprintf(stderr, "the default registration cannot be read\n");
    return 1;
  }
  std::vector<double> lookups;
  for (int r = 0; r < 5; ++r) lookups.push_back(lookupMicros(20000));
  const auto l = bench::spreadOf(lookups);
  std::printf("lookup: RegOpenKeyExA + RegQueryValueExA + RegCloseKey %.2f us (%s)\n", l.median,
              bench::describe(l, "%.2f").c_str());

  bench::Jvm jvm;
  if (!jvm.start()) {
    std::fprintf(stderr, "could not start the JVM\n");
    return 1;
  }
  std::printf("queryProviders through the JVM, extra type-1 providers registered\n");
  bool ok = true;
  for (int count : {100, 1000, 20000}) {
    if (!registerProviders(count)) {
      std::fprintf(stderr, "could not write the registry file\n");
      return 1;
    }
    size_t listed = 0;
    // The first call after the file changed reads the registry again.
    const auto first = queryProviders(jvm, 1, listed);
    const auto ms = bench::spreadOf(queryProviders(jvm, count > 1000 ? 3 : 7, listed));
    if (first.empty() || ms.runs == 0 || listed < static_cast<size_t>(count)) {
      std::fprintf(stderr, "queryProviders failed or listed too few (%zu)\n", listed);
      ok = false;
      break;
    }
    std::printf("  %5d providers (%zu listed): first call %8.2f ms, then %8.2f ms (%s)\n", count,
                listed, first[0], ms.median, bench::describe(ms, "%.2f").c_str());
    if (count == 1000) {
      bench::ratio("queryProviders_1000_ms", ms.median, "<=", 50,
                   "ms, " + bench::describe(ms, "%.2f"));
    }
  }
  if (ok && !growth(jvm)) {
    std::fprintf(stderr, "the growth from 100 to 1,000 providers could not be measured\n");
    ok = false;
  }
  std::printf("registry_bench: load average %.2f at end\n", bench::loadAverage());
  return ok ? 0 : 1;
}
