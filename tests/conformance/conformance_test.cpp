// What every native method shows its caller, checked over a recording
// JNIEnv: results, layouts, messages, and the balance of what it takes from
// and gives back to Java. The same suite is meant to run against the
// emulated platform and, cross-compiled, against the Windows DLL.
#include "conformance.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace conformance {

std::string registryDefault() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                    "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type 001", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return "";
  char name[500] = {};
  DWORD size = sizeof name - 1;
  RegQueryValueExA(key, "Name", nullptr, nullptr, reinterpret_cast<BYTE *>(name), &size);
  RegCloseKey(key);
  return name;
}

std::string tokenProvider() {
#ifdef _WIN32
  return "";
#else
  const char *name = std::getenv("MSCAPI_CONFORMANCE_TOKEN_PROVIDER");
  return name != nullptr ? name : "";
#endif
}

void Conformance::SetUp() {
  HomeTest::SetUp();
#ifndef _WIN32
  registryDefault();  // the first registry call writes the default registration
  if (const char *reg = std::getenv("MSCAPI_CONFORMANCE_REG")) {
    std::filesystem::copy_file(reg, home_ + "/registry/50-tokens.reg");
    ASSERT_EQ(registryDefault(), tokenProvider());
  } else {
    // The machine's own PKCS#11 modules and tokens stay out of the suite.
    writeReg("50-tokens.reg",
             "Windows Registry Editor Version 5.00\n\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\"
             "Cryptography\\Defaults\\Provider\\PKCS#11 Token RSA Provider]\n");
  }
#endif
}

std::string Conformance::unique(const std::string &prefix) {
  jbyteArray r = natives().generateRandom(f.env(), f.mscapiClass(), nullptr, 6);
  f.finishCall();
  std::string name = prefix + "-";
  for (uint8_t b : f.contents(r))
    name += "0123456789abcdef"[b >> 4], name += "0123456789abcdef"[b & 15];
  return name;
}

}  // namespace conformance

namespace {

using namespace conformance;
using fakejni::Env;

// Every method that runs the entry check, called with harmless arguments.
struct Method {
  const char *name;
  std::function<jobject(Env &)> call;
};

std::vector<Method> checkedMethods() {
  // Arguments that would reach the platform if the check let them through.
  const auto s = [](Env &f, const char *t) { return f.string(t); };
  const auto b = [](Env &f) { return f.bytes({1, 2, 3}); };
  const auto none = [](jobject) -> jobject { return nullptr; };
  return {
      {"generateRandom",
       [=](Env &f) {
         return natives().generateRandom(f.env(), f.mscapiClass(), s(f, "No Such Provider"), 8);
       }},
      {"queryProviders", [](Env &f) { return natives().queryProviders(f.env(), f.mscapiClass()); }},
      {"generateKeyPair",
       [=](Env &f) {
         return natives().generateKeyPair(f.env(), f.mscapiClass(), s(f, "No Such Provider"),
                                          s(f, "c"), 2, 512);
       }},
      {"deleteKeyPair",
       [=](Env &f) {
         natives().deleteKeyPair(f.env(), f.mscapiClass(), s(f, "No Such Provider"), s(f, "c"));
         return none(nullptr);
       }},
      {"queryKeyPairs", [](Env &f) { return natives().queryKeyPairs(f.env(), f.mscapiClass()); }},
      {"importKeyPair",
       [=](Env &f) {
         natives().importKeyPair(f.env(), f.mscapiClass(), s(f, "No Such Provider"), s(f, "c"), 2,
                                 b(f), 16, 3, b(f), b(f), b(f), b(f), b(f), b(f));
         return none(nullptr);
       }},
      {"importKeyPairPwd",
       [=](Env &f) {
         natives().importKeyPairPwd(f.env(), f.mscapiClass(), s(f, "No Such Provider"), s(f, "c"),
                                    2, b(f), 16, 3, b(f), b(f), b(f), b(f), b(f), b(f), b(f));
         return none(nullptr);
       }},
      {"getPrivateKey",
       [=](Env &f) {
         return natives().getPrivateKey(f.env(), f.mscapiClass(), s(f, "No Such Provider"),
                                        s(f, "c"), 2, b(f));
       }},
      {"addCertToStore",
       [=](Env &f) {
         return natives().addCertToStore(f.env(), f.mscapiClass(), b(f), s(f, "p"), s(f, "c"), 2,
                                         s(f, "n"), 0);
       }},
      {"setFriendlyName",
       [=](Env &f) {
         natives().setFriendlyName(f.env(), f.mscapiClass(), s(f, "n"), b(f), b(f), 0);
         return none(nullptr);
       }},
      {"setFlags",
       [=](Env &f) {
         natives().setFlags(f.env(), f.mscapiClass(), b(f), b(f), b(f), 0);
         return none(nullptr);
       }},
      {"deleteCertFromStore",
       [=](Env &f) {
         natives().deleteCertFromStore(f.env(), f.mscapiClass(), b(f), b(f), 0);
         return none(nullptr);
       }},
      {"queryCerts", [](Env &f) { return natives().queryCerts(f.env(), f.mscapiClass(), 0); }},
      {"sign",
       [=](Env &f) {
         return natives().sign(f.env(), f.mscapiClass(), s(f, "No Such Provider"), s(f, "c"), 2,
                               b(f), 3, 0x8004);
       }},
      {"verifyAndSign",
       [=](Env &f) {
         return natives().verifyAndSign(f.env(), f.mscapiClass(), s(f, "No Such Provider"),
                                        s(f, "c"), 2, b(f), 3, 0x8004, b(f));
       }},
  };
}

TEST(Natives, AllSixteenAreExported) {
  const auto &n = natives();
  const void *const all[] = {reinterpret_cast<const void *>(n.getDLLVersion),
                             reinterpret_cast<const void *>(n.queryProviders),
                             reinterpret_cast<const void *>(n.generateRandom),
                             reinterpret_cast<const void *>(n.generateKeyPair),
                             reinterpret_cast<const void *>(n.deleteKeyPair),
                             reinterpret_cast<const void *>(n.queryKeyPairs),
                             reinterpret_cast<const void *>(n.importKeyPair),
                             reinterpret_cast<const void *>(n.importKeyPairPwd),
                             reinterpret_cast<const void *>(n.getPrivateKey),
                             reinterpret_cast<const void *>(n.addCertToStore),
                             reinterpret_cast<const void *>(n.setFriendlyName),
                             reinterpret_cast<const void *>(n.setFlags),
                             reinterpret_cast<const void *>(n.deleteCertFromStore),
                             reinterpret_cast<const void *>(n.queryCerts),
                             reinterpret_cast<const void *>(n.sign),
                             reinterpret_cast<const void *>(n.verifyAndSign),
                             reinterpret_cast<const void *>(n.publicKeyBlob)};
  for (size_t i = 0; i < sizeof all / sizeof all[0]; ++i)
    EXPECT_NE(all[i], nullptr) << "method " << i;
}

TEST_F(Conformance, VersionNeedsNoCheck) {
  f.hasLibField = false;
  f.managerInstalled = f.managerRefuses = true;
  EXPECT_EQ(natives().getDLLVersion(f.env(), f.mscapiClass()), 0x40002);
  EXPECT_FALSE(f.pending());
  EXPECT_TRUE(f.checkLinkArgs.empty());
}

TEST_F(Conformance, EntryCheckComesFirst) {
  struct Setup {
    const char *what;
    bool hasLib, libNull, manager, refuses;
    const char *expectedPending;  // null: the check passes
    bool asksManager;
  };
  const Setup setups[] = {
      {"refusing manager", true, false, true, true, "java/lang/SecurityException", true},
      {"no LIB field", false, false, true, true, "java/lang/NoSuchFieldError", false},
      {"LIB null", true, true, true, true, nullptr, false},
      {"no manager", true, false, false, false, nullptr, false},
      {"consenting manager", true, false, true, false, nullptr, true},
  };
  for (const auto &m : checkedMethods()) {
    for (const auto &s : setups) {
      f.hasLibField = s.hasLib;
      f.libIsNull = s.libNull;
      f.managerInstalled = s.manager;
      f.managerRefuses = s.refuses;
      f.checkLinkArgs.clear();
      const int before = f.acquisitions;
      m.call(f);
      f.finishCall();
      EXPECT_EQ(f.checkLinkArgs.size(), s.asksManager ? 1u : 0u) << m.name << ": " << s.what;
      if (s.asksManager) {
        EXPECT_EQ(f.checkLinkArgs[0], "mscapi");
      }
      if (s.expectedPending != nullptr) {
        EXPECT_EQ(f.pendingClass(), s.expectedPending) << m.name << ": " << s.what;
        EXPECT_EQ(f.acquisitions, before) << m.name << " took an argument after a refused check";
      } else {
        // The check passed: whatever the method then raised is its own.
        EXPECT_NE(f.pendingClass(), "java/lang/SecurityException") << m.name << ": " << s.what;
      }
      f.clearPending();
    }
  }
}

TEST_F(Conformance, GenerateRandom) {
  struct Case {
    std::string provider;  // "-" for null
    jint length;
    bool ok;
  };
  const Case cases[] = {{"-", 0, true},
                        {"-", 33, true},
                        {registryDefault(), 5, true},
                        {"-", -1, false},
                        {"No Such Provider", 4, false}};
  for (const auto &c : cases) {
    jstring name = c.provider != "-" ? f.string(c.provider) : nullptr;
    jbyteArray r = natives().generateRandom(f.env(), f.mscapiClass(), name, c.length);
    f.finishCall();
    if (c.ok) {
      ASSERT_NE(r, nullptr) << c.provider << " " << c.length;
      EXPECT_EQ(f.contents(r).size(), static_cast<size_t>(c.length));
      EXPECT_FALSE(f.pending());
    } else {
      EXPECT_EQ(r, nullptr);
      EXPECT_EQ(f.pendingClass(), "java/lang/Exception");
      EXPECT_EQ(f.pendingMessage(), "Failed to open provider key in registry!");
      f.clearPending();
    }
  }
  EXPECT_EQ(f.acquisitions, f.releases);
}

TEST_F(Conformance, QueryProvidersLayout) {
  jbyteArray r = natives().queryProviders(f.env(), f.mscapiClass());
  ASSERT_NE(r, nullptr);
  std::vector<std::string> names;
  ASSERT_TRUE(records::providers(f.contents(r), names));
  ASSERT_GE(names.size(), 1u);
  EXPECT_EQ(names.front(), registryDefault()) << "the registry's type-1 default comes first";
}

// A failed NewByteArray leaves the JVM's OutOfMemoryError pending: the
// method returns null, raises nothing of its own and releases everything.
TEST_F(Conformance, NewByteArrayFailure) {
  const std::vector<std::pair<const char *, std::function<jobject()>>> calls = {
      {"generateRandom",
       [&] { return natives().generateRandom(f.env(), f.mscapiClass(), nullptr, 8); }},
      {"queryProviders", [&] { return natives().queryProviders(f.env(), f.mscapiClass()); }},
      {"queryKeyPairs", [&] { return natives().queryKeyPairs(f.env(), f.mscapiClass()); }},
      {"queryCerts", [&] { return natives().queryCerts(f.env(), f.mscapiClass(), 3); }},
  };
  for (const auto &[name, call] : calls) {
    f.failNewByteArrayAfter = f.newByteArrays;
    EXPECT_EQ(call(), nullptr) << name;
    f.finishCall();
    EXPECT_EQ(f.pendingClass(), "java/lang/OutOfMemoryError") << name;
    f.clearPending();
  }
}

}  // namespace
