// Shared fixture of the conformance suite: a recording JNIEnv, and helpers
// that call a method, check what it took and gave back, and read results.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_jni.h"
#include "natives.h"
#include "platform/platform.h"
#include "records.h"
#include "test_home.h"

namespace conformance {

using Bytes = std::vector<uint8_t>;

constexpr jint kAtKeyExchange = 1;
constexpr jint kAtSignature = 2;
constexpr jint kCalgSha1 = 0x8004;

// True when the suite runs under Wine rather than Windows or the emulation.
inline bool onWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

// The name of the registry's default PROV_RSA_FULL provider.
std::string registryDefault();

// The provider a token run of the suite registers (tests/tokens/
// conformance-tokens.sh) and makes the default; empty in other runs.
std::string tokenProvider();

class Conformance : public HomeTest {
 protected:
  // In a token run, the home gets the run's .reg file after its default
  // registration: the SoftHSM2 provider, the registry's type-1 default.
  void SetUp() override;
  void TearDown() override {
    f.finishCall();
    EXPECT_EQ(f.violations, std::vector<std::string>{});
    HomeTest::TearDown();
  }

  // After a call: checks the balance, then gives the pending
  // java.lang.Exception's message ("" when none) and clears it; its cause's
  // message stays in lastCause.
  std::string outcome() {
    f.finishCall();
    lastCause.clear();
    if (!f.pending()) return "";
    EXPECT_EQ(f.pendingClass(), "java/lang/Exception");
    lastCause = f.pendingCause();
    const std::string m = f.pendingMessage();
    f.clearPending();
    return m;
  }

  jstring str(const std::string &s) { return f.string(s); }
  jbyteArray arr(const Bytes &b) { return f.bytes(b); }
  Bytes contents(jbyteArray a) { return f.contents(a); }
  // A name no earlier run can have used.
  std::string unique(const std::string &prefix);

  fakejni::Env f;
  std::string lastCause;
};

}  // namespace conformance
