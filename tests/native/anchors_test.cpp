// The machine's trust anchors in "ROOT" at the platform's interface: which
// views show them, that they cannot be changed, how they are found, and
// that each home's source is followed. The anchors are made by openssl in
// folders of the test's own (never the machine's).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "registry/reg_tree.h"
#include "registry/registry.h"
#include "test_home.h"
#include "winapi/crypt32.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A command's standard output; empty when it fails.
std::string output(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  return pclose(p) == 0 ? out : std::string();
}

// A self-signed certificate made by openssl into `pem`; its SHA-1 as
// openssl computes it, as upper-case hex.
std::string makeAnchor(const std::string &cn, bool ca, const std::string &pem) {
  std::filesystem::create_directories(std::filesystem::path(pem).parent_path());
  const std::string made = output(
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout /dev/null "
      "-days 30 -subj '/CN=" +
      cn + "' -addext 'basicConstraints=critical,CA:" + (ca ? "TRUE" : "FALSE") + "' -out '" + pem +
      "' 2>/dev/null && echo made");
  if (made.empty()) return {};
  const std::string fp = output("openssl x509 -noout -fingerprint -sha1 -in '" + pem + "'");
  std::string hex;
  for (size_t i = fp.find('=') + 1; i < fp.size(); ++i)
    if (std::isxdigit(static_cast<unsigned char>(fp[i]))) hex.push_back(fp[i]);
  return hex;
}

std::string hexOf(const BYTE *p, DWORD n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (DWORD i = 0; i < n; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

std::string sha1Of(PCCERT_CONTEXT c) {
  BYTE h[20];
  DWORD n = sizeof h;
  if (!CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, h, &n)) return {};
  return hexOf(h, n);
}

struct Closer {
  void operator()(void *s) const { CertCloseStore(s, CERT_CLOSE_STORE_FORCE_FLAG); }
};
using Store = std::unique_ptr<void, Closer>;

Store openStore(DWORD location, const char16_t *name, LPCSTR provider = CERT_STORE_PROV_SYSTEM_W) {
  return Store(CertOpenStore(provider, 0, 0, location, name));
}

// The SHA-1s of what an enumeration of the store gives, in order.
std::vector<std::string> listed(HCERTSTORE s) {
  std::vector<std::string> out;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(s, c))
    out.push_back(sha1Of(c));
  return out;
}

class TrustAnchors : public HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    folder_ = home_ + "/trust-anchors";  // the folder HomeTest names
    ca_ = makeAnchor("Native Anchor CA", true, folder_ + "/anchors/ca.pem");
    const std::string bad = makeAnchor("Native Distrusted CA", true, folder_ + "/anchors/bad.pem");
    std::filesystem::create_directories(folder_ + "/blocklist");
    std::filesystem::copy_file(folder_ + "/anchors/bad.pem", folder_ + "/blocklist/bad.pem");
    ASSERT_EQ(ca_.size(), 40u);
    ASSERT_EQ(bad.size(), 40u);
  }
  std::string folder_, ca_;
};

TEST(TrustAnchorsRegistration, TheDefaultNamesTheSystemTrustModuleWithNoArguments) {
  emu::registry::Tree tree;
  emu::registry::applyRegFile(tree, emu::registry::kDefaultRegistration);
  const emu::registry::Key *hklm = emu::registry::localMachine(tree);
  ASSERT_NE(hklm, nullptr);
  const emu::registry::Key *key =
      hklm->find("SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Trust Anchors");
  ASSERT_NE(key, nullptr);
  std::string module, args;
  ASSERT_TRUE(emu::registry::readString(*key, "PKCS#11 Module", module));
  std::string dir = output("pkg-config --variable p11_module_path p11-kit-1");
  while (!dir.empty() && std::isspace(static_cast<unsigned char>(dir.back()))) dir.pop_back();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(module, dir + "/p11-kit-trust.so");
  EXPECT_TRUE(std::filesystem::exists(module));
  EXPECT_FALSE(emu::registry::readString(*key, "Init Args", args));
}

// The machine's "ROOT" and the user's view of it show the trusted authority
// only (not the one blocklist/ distrusts), after the user's own; the
// user's own store, "CA" and "TRUST" do not show it.
TEST_F(TrustAnchors, OnlyTheViewsOfTheMachinesRootShowTheTrustedAnchors) {
  Store user = openStore(CERT_SYSTEM_STORE_CURRENT_USER, u"Root");
  ASSERT_TRUE(user);
  PCCERT_CONTEXT mine = nullptr;
  {
    // A certificate of the user's own, made by openssl too.
    const std::string pem = home_ + "/mine.pem";
    ASSERT_EQ(makeAnchor("Mine", true, pem).size(), 40u);
    ASSERT_FALSE(
        output("openssl x509 -outform DER -in '" + pem + "' -out '" + pem + ".der' && echo done")
            .empty());
    std::ifstream in(pem + ".der", std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    PCCERT_CONTEXT free = CertCreateCertificateContext(X509_ASN_ENCODING, bytes.data(),
                                                       static_cast<DWORD>(bytes.size()));
    ASSERT_NE(free, nullptr);
    ASSERT_TRUE(CertAddCertificateContextToStore(user.get(), free, CERT_STORE_ADD_NEW, &mine));
    CertFreeCertificateContext(free);
  }
  const std::string mineSha = sha1Of(mine);
  EXPECT_EQ(listed(user.get()), (std::vector<std::string>{mineSha, ca_}));
  EXPECT_EQ(listed(openStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT").get()),
            std::vector<std::string>{ca_});
  EXPECT_EQ(
      listed(openStore(CERT_SYSTEM_STORE_CURRENT_USER, u"ROOT", CERT_STORE_PROV_SYSTEM_REGISTRY_W)
                 .get()),
      std::vector<std::string>{mineSha});
  for (const char16_t *other : {u"CA", u"TRUST"}) {
    EXPECT_TRUE(listed(openStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, other).get()).empty());
    EXPECT_TRUE(listed(openStore(CERT_SYSTEM_STORE_CURRENT_USER, other).get()).empty());
  }
}

// An anchor is found by hash and by issuer and serial number; it can be
// neither deleted nor given a property through any view, and stays as it was.
TEST_F(TrustAnchors, AnAnchorIsFoundButNeverChanged) {
  for (DWORD location : {CERT_SYSTEM_STORE_CURRENT_USER, CERT_SYSTEM_STORE_LOCAL_MACHINE}) {
    Store s = openStore(location, u"ROOT");
    ASSERT_TRUE(s);
    Bytes hash;
    for (size_t i = 0; i < ca_.size(); i += 2)
      hash.push_back(static_cast<uint8_t>(std::stoi(ca_.substr(i, 2), nullptr, 16)));
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
    PCCERT_CONTEXT found = CertFindCertificateInStore(s.get(), X509_ASN_ENCODING, 0,
                                                      CERT_FIND_SHA1_HASH, &blob, nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(sha1Of(found), ca_);
    // The module's label is the friendly name: UTF-16 with its terminator.
    const std::u16string label = u"Native Anchor CA";
    std::u16string name(label.size() + 1, u'?');
    DWORD size = static_cast<DWORD>(name.size() * 2);
    ASSERT_TRUE(
        CertGetCertificateContextProperty(found, CERT_FRIENDLY_NAME_PROP_ID, &name[0], &size));
    EXPECT_EQ(size, (label.size() + 1) * 2);
    EXPECT_EQ(name, label + u'\0');
    PCCERT_CONTEXT bySerial =
        CertGetSubjectCertificateFromStore(s.get(), X509_ASN_ENCODING, found->pCertInfo);
    ASSERT_NE(bySerial, nullptr);
    EXPECT_EQ(sha1Of(bySerial), ca_);

    const BYTE text[] = {'n', 0, 0, 0};
    CRYPT_DATA_BLOB value{sizeof text, const_cast<BYTE *>(text)};
    EXPECT_FALSE(CertSetCertificateContextProperty(found, CERT_FRIENDLY_NAME_PROP_ID, 0, &value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_ACCESSDENIED));
    EXPECT_FALSE(CertSetCertificateContextProperty(found, CERT_DESCRIPTION_PROP_ID, 0, &value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_ACCESSDENIED));
    EXPECT_FALSE(CertDeleteCertificateFromStore(bySerial));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_ACCESSDENIED));
    // The view holds it already: an addition is a duplicate.
    EXPECT_FALSE(CertAddCertificateContextToStore(s.get(), found, CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
    EXPECT_EQ(listed(s.get()), std::vector<std::string>{ca_});
    DWORD after = static_cast<DWORD>(name.size() * 2);
    ASSERT_TRUE(
        CertGetCertificateContextProperty(found, CERT_FRIENDLY_NAME_PROP_ID, &name[0], &after));
    EXPECT_EQ(name, label + u'\0');
    // A search goes on after the anchor (and frees it): there is no other.
    EXPECT_EQ(CertFindCertificateInStore(s.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob,
                                         found),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  }
}

// Each home's registration is followed within one process: another home
// whose source names another folder shows that folder's anchors, and a
// home whose registration removes the source shows none.
TEST_F(TrustAnchors, EachHomesSourceIsFollowed) {
  EXPECT_EQ(listed(openStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT").get()),
            std::vector<std::string>{ca_});
  const std::string first = home_;
  char tmpl[] = "/tmp/mscapi-gtest-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string second = tmpl;
  const std::string other =
      makeAnchor("Other Home CA", true, second + "/anchors-elsewhere/anchors/a.pem");
  ASSERT_EQ(other.size(), 40u);
  home_ = second;
  setenv("MSCAPI_HOME", second.c_str(), 1);
  writeReg("00-default.reg", emu::registry::kDefaultRegistration);
  writeReg("50-anchors.reg", anchorsRegistration(second + "/anchors-elsewhere"));
  EXPECT_EQ(listed(openStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT").get()),
            std::vector<std::string>{other});
  writeReg("60-none.reg",
           "Windows Registry Editor Version 5.00\n\n"
           "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Trust Anchors]\n");
  EXPECT_TRUE(listed(openStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT").get()).empty());
  std::error_code ec;
  std::filesystem::remove_all(second, ec);
  home_ = first;
  setenv("MSCAPI_HOME", first.c_str(), 1);
  EXPECT_EQ(listed(openStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT").get()),
            std::vector<std::string>{ca_});
}

}  // namespace
