// What the benchmarks share: clocks, the spread of repeated runs, the
// machine's load, the RATIO lines that bench/run.sh gathers into its final
// table, and a JVM embedded in the benchmark's process.
//
// A RATIO line is one line on standard output:
//   RATIO <name> <value> <op> <target> [<note>]
// <name> has no blanks; <value> and <target> are decimal numbers; <op> is
// "<=" or ">=" (the target holds when `value op target`); the note, which
// may contain blanks, runs to the end of the line and says how the value
// was measured (runs, spread).
#pragma once

#include <jni.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// CPU time of the calling thread, in seconds: on a machine that other work
// keeps busy, the fairer measure of what a call costs its caller.
inline double threadCpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The median and range of repeated measurements.
struct Spread {
  double median = 0, low = 0, high = 0;
  size_t runs = 0;
};

inline Spread spreadOf(std::vector<double> v) {
  Spread s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.runs = v.size();
  s.low = v.front();
  s.high = v.back();
  s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  return s;
}

// "median of 5 runs, range 0.93-0.97" (values in the given printf format).
inline std::string describe(const Spread &s, const char *format = "%.3f") {
  char low[32], high[32], line[160];
  std::snprintf(low, sizeof low, format, s.low);
  std::snprintf(high, sizeof high, format, s.high);
  std::snprintf(line, sizeof line, "median of %zu runs, range %s-%s", s.runs, low, high);
  return line;
}

// The one-minute load average (0 when it cannot be read).
inline double loadAverage() {
  double load = 0;
  if (FILE *f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = 0;
    std::fclose(f);
  }
  return load;
}

// Prints one RATIO line (see the top of this file).
inline void ratio(const char *name, double value, const char *op, double target,
                  const std::string &note) {
  std::printf("RATIO %s %.3f %s %g %s\n", name, value, op, target, note.c_str());
  std::fflush(stdout);
}

// A JVM in this process with the library's class loaded. Only one can be
// created per process.
struct Jvm {
  JavaVM *vm = nullptr;
  JNIEnv *env = nullptr;  // of the thread that created it
  jclass cls = nullptr;   // com.qel.varnel.MSCAPI, a global reference

  // `extra`: further options of the JVM (heap sizes and the like).
  bool start(std::vector<std::string> extra = {}) {
    extra.push_back(std::string("-Djava.class.path=") + MSCAPI_JAR);
    extra.push_back(std::string("-Djava.library.path=") + MSCAPI_LIBDIR);
    std::vector<JavaVMOption> options;
    for (std::string &o : extra) options.push_back({o.data(), nullptr});
    JavaVMInitArgs args{JNI_VERSION_10, static_cast<jint>(options.size()), options.data(),
                        JNI_FALSE};
    if (JNI_CreateJavaVM(&vm, reinterpret_cast<void **>(&env), &args) != JNI_OK) return false;
    jclass local = env->FindClass("com/qel/varnel/MSCAPI");
    if (local == nullptr) return false;
    cls = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    return cls != nullptr;
  }

  jmethodID method(const char *name, const char *signature) const {
    return env->GetStaticMethodID(cls, name, signature);
  }

  // Reports and clears a pending Java exception; true when there was one.
  static bool failed(JNIEnv *e) {
    if (!e->ExceptionCheck()) return false;
    e->ExceptionDescribe();
    e->ExceptionClear();
    return true;
  }
};

}  // namespace bench
