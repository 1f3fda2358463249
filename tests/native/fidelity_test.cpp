// Where a caller can tell the emulation from Windows: the last error after
// success, released contexts, registry access rights and paths.
#include <gtest/gtest.h>

#include "test_home.h"
#include "winapi/advapi32.h"

namespace {

const char kStrong[] = "Microsoft Strong Cryptographic Provider";
const char kProviders[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";

class Fidelity : public HomeTest {};

TEST_F(Fidelity, ASuccessfulCallLeavesTheLastErrorAlone) {
  HCRYPTPROV p = 0;
  const DWORD marker = 0x1234;
  SetLastError(marker);
  ASSERT_TRUE(CryptAcquireContextA(&p, "fidelity", kStrong, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), marker);
  BYTE r[4];
  ASSERT_TRUE(CryptGenRandom(p, sizeof r, r));
  EXPECT_EQ(GetLastError(), marker);
  HCRYPTHASH h = 0;
  ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
  EXPECT_TRUE(CryptDestroyHash(h));
  EXPECT_TRUE(CryptReleaseContext(p, 0));
  EXPECT_EQ(GetLastError(), marker);
}

TEST_F(Fidelity, ReleasingWithFlagsFailsButReleases) {
  HCRYPTPROV p = 0;
  ASSERT_TRUE(CryptAcquireContextA(&p, nullptr, kStrong, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_FALSE(CryptReleaseContext(p, 1));
  EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
  EXPECT_FALSE(CryptReleaseContext(p, 0)) << "the handle is gone";
  BYTE r[4];
  EXPECT_FALSE(CryptGenRandom(p, sizeof r, r));
}

TEST_F(Fidelity, HashesAndKeysStopWorkingWithTheirReleasedContext) {
  HCRYPTPROV p = 0;
  ASSERT_TRUE(CryptAcquireContextA(&p, "released", kStrong, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(p, AT_SIGNATURE, 512u << 16, &k));
  HCRYPTHASH h = 0;
  ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
  const BYTE value[20] = {1};
  ASSERT_TRUE(CryptSetHashParam(h, HP_HASHVAL, value, 0));
  ASSERT_TRUE(CryptReleaseContext(p, 0));
  DWORD n = 0;
  EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), NTE_BAD_UID);
  EXPECT_FALSE(CryptSetHashParam(h, HP_HASHVAL, value, 0));
  EXPECT_FALSE(CryptExportKey(k, 0, PUBLICKEYBLOB, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), NTE_BAD_UID);
  // They can still be destroyed.
  EXPECT_TRUE(CryptDestroyHash(h));
  EXPECT_TRUE(CryptDestroyKey(k));
}

TEST_F(Fidelity, RegistryHandlesKeepTheirAccessRights) {
  const struct {
    REGSAM access;
    LONG enumerate, query;
  } cases[] = {
      {KEY_QUERY_VALUE, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND},
      {KEY_ENUMERATE_SUB_KEYS, ERROR_SUCCESS, ERROR_ACCESS_DENIED},
      {KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, ERROR_SUCCESS, ERROR_FILE_NOT_FOUND},
      {KEY_READ, ERROR_SUCCESS, ERROR_FILE_NOT_FOUND},
  };
  for (const auto &c : cases) {
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviders, 0, c.access, &k), ERROR_SUCCESS);
    char name[500];
    DWORD size = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(k, 0, name, &size, nullptr, nullptr, nullptr, nullptr), c.enumerate)
        << std::hex << c.access;
    DWORD type = 0, value = 0, vsize = sizeof value;
    EXPECT_EQ(RegQueryValueExA(k, "NoSuchValue", nullptr, &type, reinterpret_cast<BYTE *>(&value),
                               &vsize),
              c.query)
        << std::hex << c.access;
    RegCloseKey(k);
  }
}

TEST_F(Fidelity, ARegistryPathWithALeadingBackslashDoesNotOpen) {
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string("\\") + kProviders).c_str(), 0,
                          KEY_READ, &k),
            ERROR_BAD_PATHNAME);
  EXPECT_EQ(k, nullptr);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviders, 0, KEY_READ, &k), ERROR_SUCCESS);
  RegCloseKey(k);
}

}  // namespace
