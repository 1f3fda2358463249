#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "test_home.h"
#include "winapi/advapi32.h"

namespace {

class CspCore : public HomeTest {};

struct AcquireCase {
  const char *what;
  const char *provider;
  DWORD type;
  bool ok;
  DWORD error;
};

class Acquire : public CspCore, public ::testing::WithParamInterface<AcquireCase> {};

TEST_P(Acquire, VerificationContext) {
  const AcquireCase &c = GetParam();
  HCRYPTPROV prov = 123;
  const BOOL ok = CryptAcquireContextA(&prov, nullptr, c.provider, c.type, CRYPT_VERIFYCONTEXT);
  EXPECT_EQ(ok != FALSE, c.ok) << c.what;
  if (ok) {
    EXPECT_NE(prov, 0u);
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    EXPECT_FALSE(CryptReleaseContext(prov, 0)) << "released twice";
  } else {
    EXPECT_EQ(prov, 0u);
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Providers, Acquire,
    ::testing::Values(
        AcquireCase{"default of type 1", nullptr, PROV_RSA_FULL, true, 0},
        AcquireCase{"software family by name", "Microsoft Enhanced Cryptographic Provider v1.0",
                    PROV_RSA_FULL, true, 0},
        AcquireCase{"name case ignored", "microsoft base cryptographic provider v1.0",
                    PROV_RSA_FULL, true, 0},
        AcquireCase{"token family", "Soft Token RSA Provider", PROV_RSA_FULL, true, 0},
        AcquireCase{"unknown name", "No Such Provider", PROV_RSA_FULL, false, NTE_KEYSET_NOT_DEF},
        AcquireCase{"empty name", "", PROV_RSA_FULL, false, NTE_KEYSET_NOT_DEF},
        AcquireCase{"type mismatch", "Microsoft Enhanced RSA and AES Cryptographic Provider",
                    PROV_RSA_FULL, false, NTE_PROV_TYPE_NO_MATCH},
        AcquireCase{"image not implemented", "Microsoft Base DSS Cryptographic Provider", PROV_DSS,
                    false, NTE_PROV_DLL_NOT_FOUND},
        AcquireCase{"no default of that type", nullptr, 99, false, NTE_PROV_TYPE_NOT_DEF}),
    [](const auto &info) {
      std::string n = info.param.what;
      for (char &ch : n) {
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return n;
    });

TEST_F(CspCore, UnknownImageAndMissingDefault) {
  replaceRegistry(
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Vendor CSP]\n"
      "\"Image Path\"=\"vendor.dll\"\n\"Type\"=dword:00000001\n");
  HCRYPTPROV prov = 0;
  EXPECT_FALSE(
      CryptAcquireContextA(&prov, nullptr, "Vendor CSP", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), NTE_PROV_DLL_NOT_FOUND);
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), NTE_PROV_TYPE_NOT_DEF);
}

TEST_F(CspCore, VerificationContextNamesNoContainer) {
  HCRYPTPROV prov = 0;
  EXPECT_FALSE(CryptAcquireContextA(&prov, "box", nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
}

TEST_F(CspCore, RandomLengths) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_TRUE(CryptGenRandom(prov, 0, nullptr));
  std::set<std::vector<BYTE>> seen;
  for (DWORD len : {1u, 16u, 4096u, 1u << 20}) {
    std::vector<BYTE> a(len + 8, 0xAA);
    ASSERT_TRUE(CryptGenRandom(prov, len, a.data()));
    // Exactly len bytes are written: the guard bytes after them stay.
    for (size_t i = len; i < a.size(); ++i) {
      ASSERT_EQ(a[i], 0xAA);
    }
    a.resize(len);
    if (len >= 16) {
      EXPECT_TRUE(seen.insert(a).second) << "repeated output";
    }
  }
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  BYTE b[4];
  EXPECT_FALSE(CryptGenRandom(prov, sizeof b, b));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
