// The platform itself, where a caller can tell an implementation from
// Windows' documented behaviour: run against the emulation on Linux and
// against Wine's advapi32 and crypt32 in the Windows build.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/handles.h"
#include "test_cert.h"
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
  EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string("\\") + kProviders).c_str(), 0, KEY_READ,
                          k.out()),
            ERROR_SUCCESS);
  EXPECT_FALSE(k);
}

// Adds a certificate to a store; false when the store refuses it.
bool addTo(HCERTSTORE store, const conformance::Bytes &der) {
  PCCERT_CONTEXT c =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (c == nullptr) return false;
  const BOOL ok = CertAddCertificateContextToStore(store, c, CERT_STORE_ADD_NEW, nullptr);
  CertFreeCertificateContext(c);
  return ok != FALSE;
}

// The local machine's system store of that name.
HCERTSTORE machineStore(const char16_t *name) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, name);
}

// Deletes the store's copy of a certificate (found by its encoding).
void removeFrom(HCERTSTORE store, const conformance::Bytes &der) {
  PCCERT_CONTEXT c =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  PCCERT_CONTEXT there =
      CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, c, nullptr);
  if (there != nullptr) CertDeleteCertificateFromStore(there);
  CertFreeCertificateContext(c);
  CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
}

int countIn(HCERTSTORE store, const conformance::Bytes &der) {
  int n = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c))
    if (conformance::Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded) == der) ++n;
  return n;
}

// "System Store Locations": the current user's MY is its .Default physical
// store only; Root and CA also hold .LocalMachine.
TEST_F(Platform, OnlySomeUserStoresShowTheMachines) {
  const conformance::TestCert my = conformance::makeCert({0x51, 0x01}, "machine personal");
  const conformance::TestCert ca = conformance::makeCert({0x51, 0x02}, "machine authority");
  {
    mscapi::CertStore machineMy(machineStore(u"MY"));
    mscapi::CertStore machineCa(machineStore(u"CA"));
    ASSERT_TRUE(machineMy && machineCa);
    ASSERT_TRUE(addTo(machineMy.get(), my.der));
    ASSERT_TRUE(addTo(machineCa.get(), ca.der));
  }
  mscapi::CertStore userMy(CertOpenSystemStoreA(0, "MY"));
  mscapi::CertStore userCa(CertOpenSystemStoreA(0, "CA"));
#if defined(_WIN32)
  // Wine 8.0 differs from the documentation here: it adds the local
  // machine's store to every current-user system store, MY included.
  EXPECT_EQ(countIn(userMy.get(), my.der), 1) << "Wine shows the machine's MY";
#else
  EXPECT_EQ(countIn(userMy.get(), my.der), 0);
#endif
  EXPECT_EQ(countIn(userCa.get(), ca.der), 1);
  // Leave the machine as it was.
  removeFrom(machineStore(u"MY"), my.der);
  removeFrom(machineStore(u"CA"), ca.der);
}

// Two enumerations of one handle go on independently.
TEST_F(Platform, TwoEnumerationsOfOneHandleAreIndependent) {
  mscapi::CertStore s(CertOpenSystemStoreA(0, "AddressBook"));
  ASSERT_TRUE(s);
  for (uint8_t i = 1; i <= 3; ++i)
    ASSERT_TRUE(addTo(s.get(), conformance::makeCert({0x52, i}, "independent").der));
  int outer = 0;
  for (PCCERT_CONTEXT o = CertEnumCertificatesInStore(s.get(), nullptr); o != nullptr;
       o = CertEnumCertificatesInStore(s.get(), o)) {
    ++outer;
    int inner = 0;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s.get(), nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(s.get(), c))
      ++inner;
    EXPECT_GE(inner, 3);
  }
  EXPECT_GE(outer, 3);
}

}  // namespace
