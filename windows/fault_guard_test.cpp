// The fault guard itself on Windows (run under Wine with the conformance
// suite, both builds): every kind of exception that leaves the body comes
// back as its code, an exception handled inside the body stays there, and
// the caller's registers and stack survive a caught fault.
#include "bridge/fault_guard.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace {

using mscapi::runGuarded;

// Kept out of line so the faults happen in frames of their own below the
// guard, as they do in the bridge.
__attribute__((noinline)) void writeThroughNull() {
  volatile uintptr_t address = 0;
  *reinterpret_cast<volatile int *>(address) = 1;
}

__attribute__((noinline)) void divideByZero() {
  volatile int zero = 0;
  volatile int result = 7 / zero;
  (void)result;
}

__attribute__((noinline)) void raise(DWORD code, DWORD flags) {
  RaiseException(code, flags, 0, nullptr);
}

__attribute__((noinline)) void throwCpp() {
  throw std::runtime_error("thrown");
}

struct Case {
  const char *name;
  std::function<void()> body;
  bool completes;
  uint32_t code;  // when it does not complete
};

TEST(FaultGuard, EachExceptionLeavingTheBodyGivesItsCode) {
  const Case cases[] = {
      {"nothing raised", [] {}, true, 0},
      {"access violation", writeThroughNull, false, EXCEPTION_ACCESS_VIOLATION},
      {"integer division by zero", divideByZero, false, EXCEPTION_INT_DIVIDE_BY_ZERO},
      {"application code", [] { raise(0xE0424242u, 0); }, false, 0xE0424242u},
      {"noncontinuable", [] { raise(0xE0000001u, EXCEPTION_NONCONTINUABLE); }, false, 0xE0000001u},
      {"C++ exception", throwCpp, false, mscapi::kCppExceptionCode},
      {"C++ exception caught inside",
       [] {
         try {
           throwCpp();
         } catch (const std::exception &) {
         }
       },
       true, 0},
      // The system probes an address in the never-mapped first page and
      // handles the fault itself; the guard must not take it away.
      {"fault handled by the system inside",
       [] { EXPECT_TRUE(IsBadReadPtr(reinterpret_cast<const void *>(0x10), 4)); }, true, 0},
      {"inner guard catches first",
       [] {
         uint32_t inner = 0;
         EXPECT_FALSE(runGuarded(writeThroughNull, inner));
         EXPECT_EQ(inner, static_cast<uint32_t>(EXCEPTION_ACCESS_VIOLATION));
       },
       true, 0},
  };
  for (const Case &c : cases) {
    uint32_t code = 0;
    const bool completed = runGuarded(c.body, code);
    EXPECT_EQ(completed, c.completes) << c.name;
    if (!c.completes) {
      EXPECT_EQ(code, c.code) << c.name << ": 0x" << std::hex << code;
    }
  }
}

// Values live across the guarded call sit in the caller's nonvolatile
// registers (integer and, on x86_64, xmm6-15): after a caught fault they
// must be what they were, and a thousand faults must leave the caller's
// stack where it was.
__attribute__((noinline)) uint64_t guardedSum(uint64_t seed, double &fp, uintptr_t &frame) {
  uint64_t a = seed * 3, b = seed * 5, c = seed * 7, d = seed * 11, e = seed * 13, g = seed * 17;
  double x = static_cast<double>(seed) * 0.5, y = static_cast<double>(seed) * 0.25;
  volatile char local = 0;
  frame = reinterpret_cast<uintptr_t>(&local);
  uint32_t code = 0;
  EXPECT_FALSE(runGuarded(writeThroughNull, code));
  fp = x + y;
  return a + b + c + d + e + g + code;
}

TEST(FaultGuard, CallerStateSurvivesCaughtFaults) {
  uintptr_t first = 0;
  for (uint64_t seed = 1; seed <= 1000; ++seed) {
    double fp = 0;
    uintptr_t frame = 0;
    const uint64_t sum = guardedSum(seed, fp, frame);
    ASSERT_EQ(sum, seed * (3 + 5 + 7 + 11 + 13 + 17) + EXCEPTION_ACCESS_VIOLATION) << seed;
    ASSERT_EQ(fp, static_cast<double>(seed) * 0.75) << seed;
    if (seed == 1) first = frame;
    ASSERT_EQ(frame, first) << "the stack moved after " << seed << " faults";
  }
}

}  // namespace
