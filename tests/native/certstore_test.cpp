// The emulated certificate stores: parsing, identity bytes, views and
// scopes, properties, durability and concurrent use by several processes.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "common/test_hooks.h"
#include "test_home.h"
#include "winapi/crypt32.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- Certificates made here ---------------------------------------------

EVP_PKEY *testKey() {
  static std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"),
                                                                 EVP_PKEY_free);
  return key.get();
}

// A self-signed certificate with the given serial (hex, optionally
// negative) and common name.
Bytes makeCert(const char *serialHex, const std::string &cn, bool negative = false) {
  X509 *x = X509_new();
  X509_set_version(x, 2);
  BIGNUM *bn = nullptr;
  BN_hex2bn(&bn, serialHex);
  BN_set_negative(bn, negative ? 1 : 0);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
  BN_free(bn);
  X509_NAME *name = X509_NAME_new();
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char *>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_set_subject_name(x, name);
  X509_NAME_free(name);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400);
  X509_set_pubkey(x, testKey());
  X509_sign(x, testKey(), EVP_sha256());
  unsigned char *out = nullptr;
  const int n = i2d_X509(x, &out);
  Bytes der(out, out + n);
  OPENSSL_free(out);
  X509_free(x);
  return der;
}

Bytes tlv(uint8_t tag, const Bytes &content) {
  Bytes b{tag};
  const size_t n = content.size();
  if (n < 0x80) {
    b.push_back(static_cast<uint8_t>(n));
  } else if (n < 0x100) {
    b.insert(b.end(), {0x81, static_cast<uint8_t>(n)});
  } else {
    b.insert(b.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
  }
  b.insert(b.end(), content.begin(), content.end());
  return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes &p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}

Bytes ava(uint8_t attr, uint8_t strTag, const std::string &v) {
  return tlv(0x30, cat({tlv(0x06, {0x55, 0x04, attr}), tlv(strTag, Bytes(v.begin(), v.end()))}));
}

// A certificate assembled byte by byte around `issuer` (a Name's DER taken
// as given), with a signature that is not checked by parsing.
Bytes assembleCert(const Bytes &serialContent, const Bytes &issuer) {
  const Bytes sigAlg = tlv(0x30, {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02});
  unsigned char *spki = nullptr;
  const int spkiLen = i2d_PUBKEY(testKey(), &spki);
  const Bytes pub(spki, spki + spkiLen);
  OPENSSL_free(spki);
  const std::string t1 = "250101000000Z", t2 = "350101000000Z";
  const Bytes tbs =
      tlv(0x30, cat({tlv(0xA0, tlv(0x02, {0x02})), tlv(0x02, serialContent), sigAlg, issuer,
                     tlv(0x30, cat({tlv(0x17, Bytes(t1.begin(), t1.end())),
                                    tlv(0x17, Bytes(t2.begin(), t2.end()))})),
                     tlv(0x30, tlv(0x31, ava(0x03, 0x0C, "subject"))), pub}));
  return tlv(0x30,
             cat({tbs, sigAlg, tlv(0x03, {0x00, 0x30, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01})}));
}

Bytes issuerOf(const Bytes &der) {
  const unsigned char *p = der.data();
  X509 *x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  unsigned char *out = nullptr;
  const int n = i2d_X509_NAME(X509_get_issuer_name(x), &out);
  Bytes b(out, out + n);
  OPENSSL_free(out);
  X509_free(x);
  return b;
}

// ---- Store helpers --------------------------------------------------------

struct CtxDeleter {
  void operator()(const CERT_CONTEXT *c) const { CertFreeCertificateContext(c); }
};
using FreeCtx = std::unique_ptr<const CERT_CONTEXT, CtxDeleter>;

FreeCtx parse(const Bytes &der) {
  return FreeCtx(
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
}

struct StoreCloser {
  void operator()(void *s) const { CertCloseStore(s, CERT_CLOSE_STORE_FORCE_FLAG); }
};
using Store = std::unique_ptr<void, StoreCloser>;

const char16_t *wide(const std::u16string &s) {
  return s.c_str();
}

Store userView(const char *name) {
  return Store(CertOpenSystemStoreA(0, name));
}
Store machineStore(const std::u16string &name) {
  return Store(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, wide(name)));
}
Store userOnly(const std::u16string &name) {
  return Store(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                             CERT_SYSTEM_STORE_CURRENT_USER, wide(name)));
}

BOOL add(void *store, const Bytes &der) {
  FreeCtx c = parse(der);
  if (!c) return FALSE;
  return CertAddCertificateContextToStore(store, c.get(), CERT_STORE_ADD_NEW, nullptr);
}

std::vector<Bytes> listStore(void *store) {
  std::vector<Bytes> out;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c))
    out.emplace_back(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
  return out;
}

Bytes blobOf(const CRYPT_INTEGER_BLOB &b) {
  return Bytes(b.pbData, b.pbData + b.cbData);
}

Bytes property(PCCERT_CONTEXT c, DWORD id) {
  DWORD n = 0;
  if (!CertGetCertificateContextProperty(c, id, nullptr, &n)) return {};
  Bytes b(n);
  EXPECT_TRUE(CertGetCertificateContextProperty(c, id, b.data(), &n));
  b.resize(n);
  return b;
}

BOOL setBlob(PCCERT_CONTEXT c, DWORD id, Bytes v) {
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(v.size()), v.data()};
  return CertSetCertificateContextProperty(c, id, 0, &blob);
}

PCCERT_CONTEXT lookup(void *store, Bytes serial, Bytes issuer) {
  CERT_INFO key{};
  key.SerialNumber = {static_cast<DWORD>(serial.size()), serial.data()};
  key.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
  return CertGetSubjectCertificateFromStore(store, X509_ASN_ENCODING, &key);
}

class CertStoreTest : public HomeTest {
 protected:
  void writeHomeFile(const std::string &name, const std::string &text) {
    std::ofstream(home_ + "/" + name) << text;
  }
};

// ---- Parsing ---------------------------------------------------------------

struct SerialCase {
  const char *hex;
  bool negative;
  Bytes expected;  // least significant byte first, as CERT_INFO keeps it
};

TEST_F(CertStoreTest, SerialIsTheIntegersContentReversedAndIssuerIsExact) {
  const SerialCase cases[] = {
      {"1", false, {0x01}},
      {"7F", false, {0x7F}},
      {"80", false, {0x80, 0x00}},  // the DER sign byte stays, at the end
      {"0102030405060708090A0B0C0D0E0F10",
       false,
       {0x10, 0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0x09, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02,
        0x01}},
      {"1", true, {0xFF}},
      {"80", true, {0x80}},
      {"81", true, {0x7F, 0xFF}},
  };
  for (const SerialCase &c : cases) {
    const Bytes der = makeCert(c.hex, "Issuer of " + std::string(c.hex), c.negative);
    FreeCtx ctx = parse(der);
    ASSERT_TRUE(ctx) << c.hex;
    EXPECT_EQ(blobOf(ctx->pCertInfo->SerialNumber), c.expected) << c.hex << " neg " << c.negative;
    EXPECT_EQ(blobOf(ctx->pCertInfo->Issuer), issuerOf(der));
    EXPECT_EQ(ctx->dwCertEncodingType, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING);
    EXPECT_EQ(Bytes(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded), der);
    EXPECT_EQ(ctx->pCertInfo->dwVersion, 2u);
  }
}

TEST_F(CertStoreTest, UnusualIssuerComesBackByteForByte) {
  // One RDN with two values (in DER's order: CN sorts before OU), one
  // PrintableString, and a two-byte serial.
  const Bytes issuer =
      tlv(0x30, cat({tlv(0x31, cat({ava(0x03, 0x0C, "aa"), ava(0x0B, 0x13, "zz")})),
                     tlv(0x31, ava(0x0A, 0x0C, "Org"))}));
  // The same values in an order DER does not allow are not DER: refused.
  const Bytes unsorted =
      tlv(0x30, cat({tlv(0x31, cat({ava(0x0B, 0x13, "zz"), ava(0x03, 0x0C, "aa")})),
                     tlv(0x31, ava(0x0A, 0x0C, "Org"))}));
  const Bytes ber = assembleCert({0x12, 0x34}, unsorted);
  EXPECT_EQ(
      CertCreateCertificateContext(X509_ASN_ENCODING, ber.data(), static_cast<DWORD>(ber.size())),
      nullptr);
  const Bytes der = assembleCert({0x12, 0x34}, issuer);
  FreeCtx ctx = parse(der);
  ASSERT_TRUE(ctx);
  EXPECT_EQ(blobOf(ctx->pCertInfo->Issuer), issuer);
  EXPECT_EQ(blobOf(ctx->pCertInfo->SerialNumber), (Bytes{0x34, 0x12}));

  // And through a store: added, enumerated and found with those bytes.
  Store my = userView("MY");
  ASSERT_TRUE(add(my.get(), der));
  PCCERT_CONTEXT found = lookup(my.get(), {0x34, 0x12}, issuer);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(blobOf(found->pCertInfo->Issuer), issuer);
}

TEST_F(CertStoreTest, OnlyExactlyOneCertificateParses) {
  const Bytes der = makeCert("2A", "x");
  Bytes trailing = der;
  trailing.push_back(0);
  const Bytes truncated(der.begin(), der.end() - 1);
  const Bytes junk = {0x30, 0x03, 0x02, 0x01, 0x01};
  for (const Bytes *b : std::vector<const Bytes *>{&trailing, &truncated, &junk}) {
    EXPECT_EQ(
        CertCreateCertificateContext(X509_ASN_ENCODING, b->data(), static_cast<DWORD>(b->size())),
        nullptr);
  }
  EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), 0), nullptr);
  EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, nullptr, 0), nullptr);
  EXPECT_EQ(
      CertCreateCertificateContext(PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())),
      nullptr);
}

// ---- Stores ------------------------------------------------------------------

TEST_F(CertStoreTest, SameThumbprintIsRefusedAndTheFirstCopyKept) {
  const Bytes der = makeCert("5", "dup");
  Store my = userView("MY");
  FreeCtx first = parse(der);
  ASSERT_TRUE(setBlob(first.get(), CERT_FRIENDLY_NAME_PROP_ID, {'a', 0, 0, 0}));
  ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), first.get(), CERT_STORE_ADD_NEW, nullptr));
  FreeCtx second = parse(der);
  ASSERT_TRUE(setBlob(second.get(), CERT_FRIENDLY_NAME_PROP_ID, {'b', 0, 0, 0}));
  EXPECT_FALSE(
      CertAddCertificateContextToStore(my.get(), second.get(), CERT_STORE_ADD_NEW, nullptr));
  EXPECT_EQ(GetLastError(), CRYPT_E_EXISTS);
  // Store names compare case-insensitively: "my" is the same store.
  Store lower = userView("my");
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(lower.get(), nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(property(c, CERT_FRIENDLY_NAME_PROP_ID), (Bytes{'a', 0, 0, 0}));
  EXPECT_EQ(CertEnumCertificatesInStore(lower.get(), c), nullptr);
  // A different certificate with the same serial and issuer is another one.
  EXPECT_TRUE(add(my.get(), makeCert("5", "dup")));
}

TEST_F(CertStoreTest, UserViewShowsMachinePartAfterItsOwnAndCannotChangeIt) {
  const Bytes m1 = makeCert("11", "machine one"), m2 = makeCert("12", "machine two");
  const Bytes u1 = makeCert("21", "user one"), u2 = makeCert("22", "user two");
  {
    Store machine = machineStore(u"ROOT");
    ASSERT_TRUE(machine);
    ASSERT_TRUE(add(machine.get(), m1));
    ASSERT_TRUE(add(machine.get(), m2));
  }
  Store view = userView("Root");
  ASSERT_TRUE(add(view.get(), u1));
  ASSERT_TRUE(add(view.get(), u2));
  EXPECT_EQ(listStore(view.get()), (std::vector<Bytes>{u1, u2, m1, m2}));
  EXPECT_FALSE(add(view.get(), m1)) << "the view already holds it";
  EXPECT_EQ(GetLastError(), CRYPT_E_EXISTS);
  EXPECT_EQ(listStore(userOnly(u"ROOT").get()), (std::vector<Bytes>{u1, u2}));
  EXPECT_EQ(listStore(machineStore(u"root").get()), (std::vector<Bytes>{m1, m2}));

  // Deleting a machine certificate through the user's view fails; through
  // the machine's store it works.
  FreeCtx p = parse(m1);
  PCCERT_CONTEXT c =
      lookup(view.get(), blobOf(p->pCertInfo->SerialNumber), blobOf(p->pCertInfo->Issuer));
  ASSERT_NE(c, nullptr);
  EXPECT_FALSE(setBlob(c, CERT_DESCRIPTION_PROP_ID, {1}));
  EXPECT_FALSE(CertDeleteCertificateFromStore(c));
  EXPECT_EQ(GetLastError(), E_ACCESSDENIED);
  Store machine = machineStore(u"ROOT");
  c = lookup(machine.get(), blobOf(p->pCertInfo->SerialNumber), blobOf(p->pCertInfo->Issuer));
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(CertDeleteCertificateFromStore(c));
  EXPECT_EQ(listStore(view.get()), (std::vector<Bytes>{u1, u2, m2}));
}

TEST_F(CertStoreTest, MachineScopeSwitch) {
  const Bytes m = makeCert("31", "machine");
  ASSERT_TRUE(add(machineStore(u"CA").get(), m));
  FreeCtx p = parse(m);
  const Bytes serial = blobOf(p->pCertInfo->SerialNumber), issuer = blobOf(p->pCertInfo->Issuer);

  writeHomeFile("machine-scope", "readonly\n");
  {
    Store machine = machineStore(u"CA");
    ASSERT_TRUE(machine);
    EXPECT_FALSE(add(machine.get(), makeCert("32", "new")));
    EXPECT_EQ(GetLastError(), E_ACCESSDENIED);
    PCCERT_CONTEXT c = lookup(machine.get(), serial, issuer);
    ASSERT_NE(c, nullptr);
    EXPECT_FALSE(setBlob(c, CERT_FRIENDLY_NAME_PROP_ID, {'x', 0}));
    EXPECT_FALSE(CertDeleteCertificateFromStore(c));
  }
  writeHomeFile("machine-scope", "unavailable\n");
  EXPECT_FALSE(machineStore(u"CA"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // The user's view still shows the machine's certificate.
  EXPECT_EQ(listStore(userView("CA").get()), (std::vector<Bytes>{m}));

  // "install": additions through a user view land in the machine's part.
  writeHomeFile("machine-scope", "install\n");
  const Bytes installed = makeCert("33", "installed");
  ASSERT_TRUE(add(userView("CA").get(), installed));
  std::remove((home_ + "/machine-scope").c_str());
  EXPECT_EQ(listStore(machineStore(u"CA").get()), (std::vector<Bytes>{m, installed}));
  EXPECT_TRUE(listStore(userOnly(u"CA").get()).empty());
}

TEST_F(CertStoreTest, LookupMatchesIssuerExactlyAndSerialAsAnInteger) {
  const Bytes der = makeCert("00FF01", "lookup");  // DER serial 00 FF 01
  Store my = userView("MY");
  ASSERT_TRUE(add(my.get(), der));
  FreeCtx p = parse(der);
  const Bytes serial = blobOf(p->pCertInfo->SerialNumber);  // 01 FF 00
  const Bytes issuer = blobOf(p->pCertInfo->Issuer);
  ASSERT_EQ(serial, (Bytes{0x01, 0xFF, 0x00}));
  Bytes wrongIssuer = issuer;
  wrongIssuer.back() ^= 1;
  struct {
    Bytes serial, issuer;
    bool found;
  } cases[] = {
      {serial, issuer, true},
      {{0x01, 0xFF}, issuer, true},                    // sign byte dropped
      {{0x01, 0xFF, 0x00, 0x00, 0x00}, issuer, true},  // more zero bytes
      {{0x01, 0xFE, 0x00}, issuer, false},
      {{0xFF, 0x01}, issuer, false},  // the other byte order
      {serial, wrongIssuer, false},
      {serial, Bytes(issuer.begin(), issuer.end() - 1), false},
  };
  for (const auto &c : cases) {
    PCCERT_CONTEXT found = lookup(my.get(), c.serial, c.issuer);
    EXPECT_EQ(found != nullptr, c.found);
    if (found == nullptr) {
      EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
    }
  }
}

TEST_F(CertStoreTest, KeyProvInfoIsOneSelfContainedBuffer) {
  std::u16string container = u"Box\u00e9", provider = u"Microsoft Strong Cryptographic Provider";
  BYTE paramData[] = {9, 8, 7};
  CRYPT_KEY_PROV_PARAM param{7, paramData, sizeof paramData, 0};
  CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 1, &param, 2};
  const Bytes der = makeCert("41", "bound");
  FreeCtx p = parse(der);
  ASSERT_TRUE(CertSetCertificateContextProperty(p.get(), CERT_KEY_PROV_INFO_PROP_ID,
                                                CERT_STORE_NO_CRYPT_RELEASE_FLAG, &info));
  Store my = userView("MY");
  ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), p.get(), CERT_STORE_ADD_NEW, nullptr));

  Store again = userView("MY");
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(again.get(), nullptr);
  ASSERT_NE(c, nullptr);
  DWORD size = 0;
  ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
  DWORD small = size - 1;
  std::vector<BYTE> tooSmall(small);
  EXPECT_FALSE(
      CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, tooSmall.data(), &small));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(small, size);
  std::vector<BYTE> buf(size);
  ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size));
  const auto *got = reinterpret_cast<const CRYPT_KEY_PROV_INFO *>(buf.data());
  auto inside = [&](const void *q, size_t n) {
    const BYTE *b = static_cast<const BYTE *>(q);
    return b >= buf.data() && b + n <= buf.data() + buf.size();
  };
  ASSERT_TRUE(inside(got->pwszContainerName, 2 * (container.size() + 1)));
  ASSERT_TRUE(inside(got->pwszProvName, 2 * (provider.size() + 1)));
  EXPECT_EQ(std::u16string(got->pwszContainerName), container);
  EXPECT_EQ(std::u16string(got->pwszProvName), provider);
  EXPECT_EQ(got->dwProvType, static_cast<DWORD>(PROV_RSA_FULL));
  EXPECT_EQ(got->dwKeySpec, 2u);
  ASSERT_EQ(got->cProvParam, 1u);
  ASSERT_TRUE(inside(got->rgProvParam, sizeof(CRYPT_KEY_PROV_PARAM)));
  EXPECT_EQ(got->rgProvParam[0].dwParam, 7u);
  ASSERT_TRUE(inside(got->rgProvParam[0].pbData, 3));
  EXPECT_EQ(Bytes(got->rgProvParam[0].pbData, got->rgProvParam[0].pbData + 3), (Bytes{9, 8, 7}));

  // Null names stay null.
  CRYPT_KEY_PROV_INFO nulls{nullptr, nullptr, PROV_RSA_FULL, 0, 0, nullptr, 1};
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 1, &nulls));
  DWORD n2 = 0;
  ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n2));
  std::vector<BYTE> buf2(n2);
  ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf2.data(), &n2));
  const auto *nul = reinterpret_cast<const CRYPT_KEY_PROV_INFO *>(buf2.data());
  EXPECT_EQ(nul->pwszContainerName, nullptr);
  EXPECT_EQ(nul->pwszProvName, nullptr);
  EXPECT_EQ(nul->dwKeySpec, 1u);
}

TEST_F(CertStoreTest, PropertiesChangeTheStoreAtOnce) {
  const Bytes der = makeCert("51", "props");
  Store my = userView("MY");
  ASSERT_TRUE(add(my.get(), der));
  FreeCtx p = parse(der);
  PCCERT_CONTEXT c =
      lookup(my.get(), blobOf(p->pCertInfo->SerialNumber), blobOf(p->pCertInfo->Issuer));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(property(c, CERT_DESCRIPTION_PROP_ID), Bytes{});
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
  const Bytes values[] = {{1, 2}, {}, Bytes(5000, 0x5A)};
  for (const Bytes &v : values) {
    ASSERT_TRUE(setBlob(c, CERT_DESCRIPTION_PROP_ID, v));
    ASSERT_TRUE(setBlob(c, 1000, {7}));  // any property id
    // Seen by a store opened afterwards (another handle, same thread).
    Store other = userView("MY");
    PCCERT_CONTEXT e = CertEnumCertificatesInStore(other.get(), nullptr);
    ASSERT_NE(e, nullptr);
    DWORD n = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(e, CERT_DESCRIPTION_PROP_ID, nullptr, &n));
    EXPECT_EQ(n, v.size());
    EXPECT_EQ(property(e, CERT_DESCRIPTION_PROP_ID), v);
    EXPECT_EQ(property(e, 1000), Bytes{7});
  }
  // A null value removes the property.
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_DESCRIPTION_PROP_ID, 0, nullptr));
  Store other = userView("MY");
  DWORD n = 0;
  EXPECT_FALSE(CertGetCertificateContextProperty(CertEnumCertificatesInStore(other.get(), nullptr),
                                                 CERT_DESCRIPTION_PROP_ID, nullptr, &n));
  // The SHA-1 thumbprint is there without being set.
  EXPECT_EQ(property(c, CERT_SHA1_HASH_PROP_ID).size(), 20u);
}

TEST_F(CertStoreTest, ContextsStayReadableUntilTheStoreIsClosedAndDeleteIsFinal) {
  std::vector<Bytes> certs;
  Store my = userView("MY");
  for (const char *s : {"61", "62", "63"}) {
    certs.push_back(makeCert(s, std::string("ctx ") + s));
    ASSERT_TRUE(add(my.get(), certs.back()));
  }
  std::vector<PCCERT_CONTEXT> seen;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(my.get(), nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(my.get(), c))
    seen.push_back(c);
  ASSERT_EQ(seen.size(), 3u);
  // Every context handed out, even those the enumeration moved past, is
  // still readable.
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(Bytes(seen[i]->pbCertEncoded, seen[i]->pbCertEncoded + seen[i]->cbCertEncoded),
              certs[i]);
  FreeCtx p = parse(certs[1]);
  PCCERT_CONTEXT c =
      lookup(my.get(), blobOf(p->pCertInfo->SerialNumber), blobOf(p->pCertInfo->Issuer));
  ASSERT_TRUE(CertDeleteCertificateFromStore(c));
  EXPECT_EQ(lookup(my.get(), blobOf(p->pCertInfo->SerialNumber), blobOf(p->pCertInfo->Issuer)),
            nullptr);
  EXPECT_EQ(listStore(userView("MY").get()), (std::vector<Bytes>{certs[0], certs[2]}));
  // The enumeration's context of the deleted certificate no longer deletes.
  EXPECT_FALSE(CertDeleteCertificateFromStore(seen[1]));
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
  // Closing without the force flag while contexts are in use keeps them.
  void *raw = CertOpenSystemStoreA(0, "MY");
  PCCERT_CONTEXT kept = CertEnumCertificatesInStore(raw, nullptr);
  ASSERT_NE(kept, nullptr);
  EXPECT_FALSE(CertCloseStore(raw, CERT_CLOSE_STORE_CHECK_FLAG));
  EXPECT_EQ(Bytes(kept->pbCertEncoded, kept->pbCertEncoded + kept->cbCertEncoded), certs[0]);
  EXPECT_TRUE(CertFreeCertificateContext(kept));  // frees the store as well
}

// The blocks of contexts a closed store leaves are kept for the next
// store: nothing of the first store's contexts (their certificates, their
// properties, set or stored) may show in the next one's, whichever of the
// two has more.
TEST_F(CertStoreTest, AStoreThatWentLeavesNothingInTheNextStoresContexts) {
  struct Side {
    const char *store;
    int count;
    bool withProperties;  // each certificate has a description and property 1000
  };
  // Small and large, in both orders (a block of one may serve the other).
  const Side sides[][2] = {{{"CA", 40, true}, {"AddressBook", 40, false}},
                           {{"Trust", 300, true}, {"Varnel", 20, false}},
                           {{"Varnel", 20, false}, {"Trust", 300, true}}};
  const Bytes description{0xAA}, mark{7};
  int serial = 0x3000;
  for (const auto &pair : sides) {
    std::vector<Bytes> expected[2];
    for (int k = 0; k < 2; ++k) {
      Store s = userView(pair[k].store);
      expected[k] = listStore(s.get());
      while (expected[k].size() < static_cast<size_t>(pair[k].count)) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(serial++ & 0xFFFF));
        expected[k].push_back(makeCert(hex, pair[k].store));
        ASSERT_TRUE(add(s.get(), expected[k].back()));
      }
      if (!pair[k].withProperties) continue;
      for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s.get(), nullptr); c != nullptr;
           c = CertEnumCertificatesInStore(s.get(), c)) {
        ASSERT_TRUE(setBlob(c, CERT_DESCRIPTION_PROP_ID, description));
        ASSERT_TRUE(setBlob(c, 1000, mark));
      }
    }
    for (int round = 0; round < 3; ++round) {
      for (int k = 0; k < 2; ++k) {
        Store s = userView(pair[k].store);
        std::vector<Bytes> listed;
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s.get(), nullptr); c != nullptr;
             c = CertEnumCertificatesInStore(s.get(), c)) {
          listed.emplace_back(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
          FreeCtx p = parse(listed.back());
          ASSERT_TRUE(p);
          EXPECT_EQ(blobOf(c->pCertInfo->SerialNumber), blobOf(p->pCertInfo->SerialNumber));
          EXPECT_EQ(blobOf(c->pCertInfo->Issuer), blobOf(p->pCertInfo->Issuer));
          const bool with = pair[k].withProperties;
          EXPECT_EQ(property(c, CERT_DESCRIPTION_PROP_ID), with ? description : Bytes{})
              << pair[k].store;
          EXPECT_EQ(property(c, 1000), with ? mark : Bytes{}) << pair[k].store;
        }
        EXPECT_EQ(listed, expected[k]) << pair[k].store;
      }
    }
  }
}

TEST_F(CertStoreTest, EnumerationFaultThrowsForTheGuard) {
  Store my = userView("MY");
  ASSERT_TRUE(add(my.get(), makeCert("71", "f1")));
  ASSERT_TRUE(add(my.get(), makeCert("72", "f2")));
  EmuTestControl(emu::hooks::kEnumThrowsBadAlloc, 0);
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(my.get(), nullptr);
  ASSERT_NE(c, nullptr) << "the first certificate still comes";
  EXPECT_THROW(CertEnumCertificatesInStore(my.get(), c), std::bad_alloc);
  EmuTestControl(emu::hooks::kEnumThrowsError, emu::hooks::kEnumThrowsBadAlloc);
  Store empty = userView("CA");
  EXPECT_THROW(CertEnumCertificatesInStore(empty.get(), nullptr), std::runtime_error);
  EmuTestControl(0, emu::hooks::kEnumThrowsError);
  EXPECT_EQ(listStore(my.get()).size(), 2u);
}

// ---- Durability and concurrency --------------------------------------------

TEST_F(CertStoreTest, ChangesAreDurableForAnotherProcess) {
  const Bytes der = makeCert("81", "durable");
  // The child ends at once after the calls return, closing nothing.
  const pid_t pid = child::start(
      [&] {
        void *s = CertOpenSystemStoreA(0, "AddressBook");
        FreeCtx p = parse(der);
        PCCERT_CONTEXT added = nullptr;
        const bool ok = CertAddCertificateContextToStore(s, p.get(), CERT_STORE_ADD_NEW, &added) &&
                        setBlob(added, CERT_DESCRIPTION_PROP_ID, {4, 2});
        static_cast<void>(p.release());  // left to _exit, as the store is
        return ok ? 0 : 1;
      },
      false);
  ASSERT_GE(pid, 0);
  ASSERT_EQ(child::wait(pid), 0);
  Store book = userView("ADDRESSBOOK");
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(book.get(), nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded), der);
  EXPECT_EQ(property(c, CERT_DESCRIPTION_PROP_ID), (Bytes{4, 2}));
}

TEST_F(CertStoreTest, TwoProcessesAddingAtOnceLoseNothing) {
  constexpr int kPerProcess = 200;
  std::vector<Bytes> certs[2];
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < kPerProcess; ++i)
      certs[p].push_back(makeCert(std::to_string(1000 * (p + 1) + i).c_str(), "race"));
  child::Signal go;
  ASSERT_TRUE(go.ok());
  pid_t children[2];
  for (int p = 0; p < 2; ++p) {
    children[p] = child::start(
        [&] {
          if (!go.receive()) return 2;  // both start together
          void *s = CertOpenSystemStoreA(0, "Varnel");
          int failures = 0;
          for (const Bytes &der : certs[p]) {
            if (!add(s, der)) {
              ++failures;
              fprintf(stderr, "add failed %08x\n", GetLastError());
            }
          }
          CertCloseStore(s, CERT_CLOSE_STORE_FORCE_FLAG);
          return failures == 0 ? 0 : 1;
        },
        false);
    ASSERT_GE(children[p], 0);
  }
  ASSERT_TRUE(go.send(2));
  for (pid_t c : children) EXPECT_EQ(child::wait(c), 0);

  const std::vector<Bytes> listed = listStore(userOnly(u"VARNEL").get());
  ASSERT_EQ(listed.size(), 2u * kPerProcess);
  std::set<Bytes> expected(certs[0].begin(), certs[0].end());
  expected.insert(certs[1].begin(), certs[1].end());
  EXPECT_EQ(std::set<Bytes>(listed.begin(), listed.end()), expected) << "a certificate is torn";
  // Each process's certificates keep their own order of addition.
  for (const auto &own : certs) {
    std::vector<Bytes> mine;
    for (const Bytes &b : listed)
      if (std::find(own.begin(), own.end(), b) != own.end()) mine.push_back(b);
    EXPECT_EQ(mine, own);
  }
}

TEST_F(CertStoreTest, ThreadsAddingTheSameCertificateStoreItOnce) {
  const Bytes der = makeCert("91", "threads");
  std::atomic<int> wins{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      Store s = userView("MY");
      if (add(s.get(), der)) ++wins;
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(wins.load(), 1);
  EXPECT_EQ(listStore(userView("MY").get()).size(), 1u);
}

// ---- Windows' logical stores ---------------------------------------------

// Of the current user's logical stores only Root, Trust and CA include the
// local machine's certificates; MY and the others show the user's own only.
TEST_F(CertStoreTest, OnlyRootTrustAndCaShowTheMachinesCertificates) {
  const struct {
    const char *name;
    const char16_t *wideName;
    bool shown;
  } stores[] = {{"MY", u"MY", false},
                {"Root", u"Root", true},
                {"Trust", u"Trust", true},
                {"CA", u"CA", true},
                {"AddressBook", u"AddressBook", false},
                {"Varnel", u"Varnel", false}};
  int serial = 0x60;
  for (const auto &st : stores) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", ++serial);
    const Bytes m = makeCert(hex, std::string("machine ") + st.name);
    {
      Store machine = machineStore(st.wideName);
      ASSERT_TRUE(machine);
      ASSERT_TRUE(add(machine.get(), m)) << st.name;
    }
    const std::vector<Bytes> listed = listStore(userView(st.name).get());
    EXPECT_EQ(std::count(listed.begin(), listed.end(), m), st.shown ? 1 : 0) << st.name;
  }
}

// Two enumerations of one store handle go on independently.
TEST_F(CertStoreTest, TwoEnumerationsOfOneHandleAreIndependent) {
  Store ca = userView("CA");
  const std::vector<Bytes> certs = {makeCert("81", "e1"), makeCert("82", "e2"),
                                    makeCert("83", "e3")};
  for (const Bytes &c : certs) ASSERT_TRUE(add(ca.get(), c));
  std::vector<Bytes> outer;
  for (PCCERT_CONTEXT o = CertEnumCertificatesInStore(ca.get(), nullptr); o != nullptr;
       o = CertEnumCertificatesInStore(ca.get(), o)) {
    outer.emplace_back(o->pbCertEncoded, o->pbCertEncoded + o->cbCertEncoded);
    EXPECT_EQ(listStore(ca.get()), certs) << "the inner enumeration sees the whole store";
  }
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND) << "the outer one ended at its end";
  EXPECT_EQ(outer, certs) << "and saw every certificate";
}

// A view's parts are read in one snapshot: a reader never sees a machine
// certificate added after a user certificate without that user certificate.
TEST_F(CertStoreTest, AViewIsOneSnapshotOfBothParts) {
  std::vector<Bytes> user, machine;
  for (int i = 0; i < 60; ++i) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", 0x1000 + i);
    user.push_back(makeCert(hex, "user part"));
    machine.push_back(makeCert(hex, "machine part"));
  }
  {
    // A user part long enough that reading it takes a while.
    Store u = userOnly(u"Root");
    for (int i = 0; i < 400; ++i) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "%X", 0x2000 + i);
      ASSERT_TRUE(add(u.get(), makeCert(hex, "filler")));
    }
  }
  std::atomic<bool> done{false};
  std::thread writer([&] {
    Store u = userOnly(u"Root");
    Store m = machineStore(u"Root");
    for (size_t i = 0; i < user.size(); ++i) {
      add(u.get(), user[i]);     // first the user's certificate,
      add(m.get(), machine[i]);  // then, in a later transaction, the machine's
    }
    done = true;
  });
  int violations = 0;
  while (!done) {
    const std::vector<Bytes> seen = listStore(userView("Root").get());
    for (size_t i = 0; i < user.size(); ++i) {
      const bool hasMachine = std::count(seen.begin(), seen.end(), machine[i]) != 0;
      const bool hasUser = std::count(seen.begin(), seen.end(), user[i]) != 0;
      if (hasMachine && !hasUser) ++violations;
    }
  }
  writer.join();
  EXPECT_EQ(violations, 0);
  EXPECT_EQ(listStore(userView("Root").get()).size(), 2 * user.size() + 400);
}

}  // namespace

// A home deleted while the process runs: what the process adds afterwards
// is in the new home's files, where a new connection (another thread, or
// another process) finds it, not in the files that were deleted.
TEST_F(CertStoreTest, AddsAfterTheHomeWasDeletedLandInTheNewHome) {
  const Bytes before = makeCert("71", "before the home was deleted");
  const Bytes after = makeCert("72", "after the home was deleted");
  ASSERT_TRUE(add(userView("MY").get(), before));
  std::filesystem::remove_all(home_);
  ASSERT_TRUE(add(userView("MY").get(), after));
  EXPECT_EQ(listStore(userView("MY").get()), (std::vector<Bytes>{after}));
  std::vector<Bytes> seenElsewhere;
  std::thread([&] { seenElsewhere = listStore(userView("MY").get()); }).join();
  EXPECT_EQ(seenElsewhere, (std::vector<Bytes>{after}));
}
