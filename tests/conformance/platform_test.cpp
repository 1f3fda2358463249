// The platform itself, where a caller can tell an implementation from
// Windows' documented behaviour: run against the emulation on Linux and
// against Wine's advapi32 and crypt32 in the Windows build.
#include <gtest/gtest.h>

#include <string>

#include "platform/handles.h"
#include "platform/platform.h"
#include "test_home.h"

namespace {

const char kProviders[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";

class Platform : public HomeTest {};

// "If the function succeeds ... the last-error code is not set" is the
// rule of the Win32 functions that return BOOL; only a failure sets it.
TEST_F(Platform, SuccessLeavesTheLastErrorAlone) {
#if defined(_WIN32)
  // Wine 8.0 differs here: a successful CryptAcquireContextA sets the last
  // error to 0, and CryptGenRandom leaves ERROR_FILE_NOT_FOUND behind from
  // its own registry lookups.
  GTEST_SKIP() << "Wine sets the last error on success";
#endif
  HCRYPTPROV p = 0;
  SetLastError(0x1234);
  ASSERT_TRUE(CryptAcquireContextA(&p, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), 0x1234u);
  BYTE r[8];
  ASSERT_TRUE(CryptGenRandom(p, sizeof r, r));
  EXPECT_EQ(GetLastError(), 0x1234u);
  EXPECT_TRUE(CryptReleaseContext(p, 0));
  EXPECT_EQ(GetLastError(), 0x1234u);
}

// CryptReleaseContext: "dwFlags: Reserved for future use and must be zero.
// If dwFlags is not set to zero, this function returns FALSE but the CSP
// is released."
TEST_F(Platform, ReleasingWithFlagsFailsButReleases) {
  HCRYPTPROV p = 0;
  ASSERT_TRUE(CryptAcquireContextA(&p, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_FALSE(CryptReleaseContext(p, 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
#if defined(_WIN32)
  // Wine 8.0 keeps the context: its CryptReleaseContext checks the flags
  // before it releases anything. Release it for good here.
  CryptReleaseContext(p, 0);
#else
  EXPECT_FALSE(CryptReleaseContext(p, 0)) << "the context is gone";
#endif
}

// RegEnumKeyEx needs a key opened with KEY_ENUMERATE_SUB_KEYS.
TEST_F(Platform, EnumeratingSubkeysNeedsTheRightToDoSo) {
  mscapi::RegKey k;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviders, 0, KEY_QUERY_VALUE, k.out()),
            ERROR_SUCCESS);
  char name[500];
  DWORD size = sizeof name;
  FILETIME t;
  EXPECT_EQ(RegEnumKeyExA(k.get(), 0, name, &size, nullptr, nullptr, nullptr, &t),
            ERROR_ACCESS_DENIED);
  mscapi::RegKey e;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviders, 0, KEY_ENUMERATE_SUB_KEYS, e.out()),
            ERROR_SUCCESS);
  size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(e.get(), 0, name, &size, nullptr, nullptr, nullptr, &t), ERROR_SUCCESS);
}

// A subkey path is relative: one that starts with a backslash does not open.
TEST_F(Platform, APathWithALeadingBackslashDoesNotOpen) {
  mscapi::RegKey k;
  EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string("\\") + kProviders).c_str(), 0,
                          KEY_READ, k.out()),
            ERROR_SUCCESS);
  EXPECT_FALSE(k);
}

}  // namespace
