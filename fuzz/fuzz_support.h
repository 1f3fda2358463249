// What every fuzz target shares: a private MSCAPI_HOME on a RAM disk for the
// whole run, the emulation's databases without fsync, and a check that
// stops the run (a finding) with a message when an invariant breaks.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/test_hooks.h"

namespace fuzz {

// Stops the run: libFuzzer (through ASan's abort handler) saves the input
// that led here as a crash artifact.
[[noreturn]] inline void fail(const char *what, const char *file, int line) {
  std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(cond)                                  \
  do {                                                    \
    if (!(cond)) ::fuzz::fail(#cond, __FILE__, __LINE__); \
  } while (0)

inline std::string &homePath() {
  static std::string path;
  return path;
}

inline void removeHome() {
  std::error_code ec;
  if (!homePath().empty()) std::filesystem::remove_all(homePath(), ec);
}

// Makes a fresh home below $MSCAPI_FUZZ_TMP, else /dev/shm (a tmpfs), else
// /tmp, points MSCAPI_HOME at it and removes it when the process exits
// normally (libFuzzer exits through exit() at the end of -max_total_time).
// Switches the databases' fsync off: durability is not under test here.
inline void setUpProcess() {
  std::string base;
  if (const char *t = std::getenv("MSCAPI_FUZZ_TMP"); t != nullptr && *t != '\0') {
    base = t;
  } else if (access("/dev/shm", W_OK) == 0) {
    base = "/dev/shm";
  } else {
    base = "/tmp";
  }
  std::string tmpl = base + "/mscapi-fuzz-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    std::perror("mkdtemp");
    std::exit(2);
  }
  homePath() = tmpl;
  setenv("MSCAPI_HOME", tmpl.c_str(), 1);
  std::atexit(removeHome);
  EmuTestControl(emu::hooks::kNoSync, 0);
}

// Reads a fuzz input front to back; past its end every read gives zeros.
class Stream {
 public:
  Stream(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ >= end_; }
  size_t left() const { return static_cast<size_t>(end_ - p_); }
  uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
  uint16_t u16() {
    const uint16_t lo = u8();
    return static_cast<uint16_t>(lo | (u8() << 8));
  }
  uint32_t u32() {
    const uint32_t lo = u16();
    return lo | (static_cast<uint32_t>(u16()) << 16);
  }
  // Up to n bytes (fewer at the end of the input).
  std::string take(size_t n) {
    n = n < left() ? n : left();
    std::string s(reinterpret_cast<const char *>(p_), n);
    p_ += n;
    return s;
  }

 private:
  const uint8_t *p_;
  const uint8_t *end_;
};

}  // namespace fuzz
