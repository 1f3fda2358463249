// CertCreateCertificateContext reads a certificate without decoding its
// public key. What it accepts, and the serial number, issuer and version it
// gives, must be exactly what OpenSSL's full X.509 reader with a strict DER
// check (the encoding made afresh equals the input) gives: checked here on
// several kinds of certificate and on every one-byte change of each.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_home.h"
#include "winapi/crypt32.h"

namespace {

using Bytes = std::vector<uint8_t>;

// What a reader makes of some bytes: refused, or the fields a context shows.
struct Reading {
  bool accepted = false;
  Bytes serial;  // least significant byte first, as CERT_INFO holds it
  Bytes issuer;
  DWORD version = 0;
  bool operator==(const Reading &o) const {
    return accepted == o.accepted && serial == o.serial && issuer == o.issuer &&
           version == o.version;
  }
};

// The reference: d2i_X509 (which decodes everything, the key included),
// then the whole certificate encoded again from the parsed values (names
// rebuilt entry by entry, so that no bytes kept from the input are reused)
// and compared with the input.
X509_NAME *rebuilt(const X509_NAME *name) {
  X509_NAME *out = X509_NAME_new();
  int previousSet = -1;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY *e = X509_NAME_get_entry(name, i);
    const int set = X509_NAME_ENTRY_set(e);
    X509_NAME_add_entry(out, e, -1, set == previousSet ? -1 : 0);
    previousSet = set;
  }
  return out;
}

Reading reference(const Bytes &der) {
  Reading r;
  const unsigned char *q = der.data();
  X509 *x = d2i_X509(nullptr, &q, static_cast<long>(der.size()));
  if (x == nullptr) return r;
  std::unique_ptr<X509, decltype(&X509_free)> owned(x, X509_free);
  if (q != der.data() + der.size()) return r;
  unsigned char *p = nullptr;
  int n = i2d_X509_NAME(X509_get_issuer_name(x), &p);
  r.issuer.assign(p, p + n);
  OPENSSL_free(p);
  const ASN1_INTEGER *serial = X509_get0_serialNumber(x);
  BIGNUM *bn = ASN1_INTEGER_to_BN(serial, nullptr);
  p = nullptr;
  n = i2d_ASN1_INTEGER(serial, &p);
  // The content octets: after the tag and a short or long length.
  const size_t header = (p[1] & 0x80) != 0 ? 2 + (p[1] & 0x7F) : 2;
  r.serial.assign(p + header, p + n);
  std::reverse(r.serial.begin(), r.serial.end());
  OPENSSL_free(p);
  BN_free(bn);
  r.version = static_cast<DWORD>(X509_get_version(x));
  X509_NAME *issuer = rebuilt(X509_get_issuer_name(x));
  X509_NAME *subject = rebuilt(X509_get_subject_name(x));
  X509_set_issuer_name(x, issuer);
  X509_set_subject_name(x, subject);
  X509_NAME_free(issuer);
  X509_NAME_free(subject);
  if (i2d_re_X509_tbs(x, nullptr) <= 0) return r;
  p = nullptr;
  n = i2d_X509(x, &p);
  r.accepted = n > 0 && static_cast<size_t>(n) == der.size() && std::memcmp(p, der.data(), n) == 0;
  OPENSSL_free(p);
  if (!r.accepted) r = Reading{};
  return r;
}

Reading platform(const Bytes &der) {
  Reading r;
  PCCERT_CONTEXT c =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (c == nullptr) return r;
  r.accepted =
      c->cbCertEncoded == der.size() && std::memcmp(c->pbCertEncoded, der.data(), der.size()) == 0;
  const CERT_INFO &i = *c->pCertInfo;
  r.serial.assign(i.SerialNumber.pbData, i.SerialNumber.pbData + i.SerialNumber.cbData);
  r.issuer.assign(i.Issuer.pbData, i.Issuer.pbData + i.Issuer.cbData);
  r.version = i.dwVersion;
  CertFreeCertificateContext(c);
  return r;
}

// ---- Certificates of several kinds ----------------------------------------

struct Entry {
  const char *field;
  int type;  // MBSTRING_* of the value given
  const char *value;
  bool joinPrevious;  // part of the previous RDN (a multi-valued one)
};

Bytes makeCert(EVP_PKEY *key, long version, const std::vector<Entry> &name, const char *serialHex,
               bool extensions) {
  X509 *x = X509_new();
  X509_set_version(x, version);
  BIGNUM *bn = nullptr;
  BN_hex2bn(&bn, serialHex);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
  BN_free(bn);
  X509_NAME *n = X509_NAME_new();
  for (const Entry &e : name)
    X509_NAME_add_entry_by_txt(n, e.field, e.type, reinterpret_cast<const unsigned char *>(e.value),
                               -1, -1, e.joinPrevious ? -1 : 0);
  X509_set_issuer_name(x, n);
  X509_set_subject_name(x, n);
  X509_NAME_free(n);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400);
  X509_set_pubkey(x, key);
  if (extensions) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    for (auto [nid, value] :
         {std::pair<int, const char *>{NID_basic_constraints, "critical,CA:TRUE"},
          {NID_subject_alt_name, "DNS:a.example,email:b@example.org"},
          {NID_key_usage, "digitalSignature,keyCertSign"}}) {
      X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
      X509_add_ext(x, ext, -1);
      X509_EXTENSION_free(ext);
    }
  }
  X509_sign(x, key, EVP_sha256());
  unsigned char *out = nullptr;
  const int len = i2d_X509(x, &out);
  Bytes der(out, out + len);
  OPENSSL_free(out);
  X509_free(x);
  return der;
}

// A name with an entry of `tag` whose content is `content`, in place of
// the CN "PLACEHOLDER" of a certificate (same length, so nothing else
// moves): strings the OpenSSL API would not make.
Bytes withNameString(Bytes der, uint8_t tag, const Bytes &content) {
  const std::string marker = "PLACEHOLDER";
  auto at = std::search(der.begin(), der.end(), marker.begin(), marker.end());
  while (at != der.end()) {
    at[-2] = tag;
    std::copy(content.begin(), content.end(), at);
    at = std::search(at + 1, der.end(), marker.begin(), marker.end());
  }
  return der;
}

class CertParseTest : public HomeTest {};

TEST_F(CertParseTest, AgreesWithTheFullReaderOnEveryOneByteChange) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> rsa(EVP_RSA_gen(1024), EVP_PKEY_free),
      ec(EVP_EC_gen("P-256"), EVP_PKEY_free);
  const std::vector<Entry> plain = {{"CN", MBSTRING_ASC, "plain", false}};
  const std::vector<Entry> rich = {{"C", MBSTRING_ASC, "GB", false},
                                   {"O", MBSTRING_UTF8, "Caf\xC3\xA9 \xE2\x82\xAC", false},
                                   {"OU", MBSTRING_ASC, "one", false},
                                   {"CN", MBSTRING_ASC, "two", true},
                                   {"CN", MBSTRING_BMP, "\x04\x1F\x04\x40", false}};
  const std::vector<Entry> placeholder = {{"CN", MBSTRING_ASC, "PLACEHOLDER", false}};
  const Bytes ecCert = makeCert(ec.get(), 2, rich, "00FF10", true);
  const struct {
    const char *what;
    Bytes der;
    bool mutate;  // also every one-byte change of it
  } cases[] = {
      {"RSA, v3, extensions, several kinds of string and a two-valued RDN",
       makeCert(rsa.get(), 2, rich, "0102030405060708090A0B0C0D0E0F1011", true), true},
      {"EC key with parameters", ecCert, true},
      {"v1 without a version field", makeCert(ec.get(), 0, plain, "7F", false), true},
      {"v2 without extensions", makeCert(ec.get(), 1, plain, "80", false), false},
      {"a negative serial number", makeCert(ec.get(), 2, plain, "-01", false), false},
      {"an odd-length BMPString",
       withNameString(makeCert(ec.get(), 2, placeholder, "1", false), V_ASN1_BMPSTRING,
                      Bytes(11, 0x41)),
       false},
      {"a UTF8String that is not UTF-8",
       withNameString(makeCert(ec.get(), 2, placeholder, "1", false), V_ASN1_UTF8STRING,
                      Bytes(11, 0xC3)),
       false},
      {"a UniversalString of whole characters",
       withNameString(makeCert(ec.get(), 2, placeholder, "1", false), V_ASN1_UNIVERSALSTRING,
                      Bytes{0, 0, 0, 'A', 0, 0, 0, 'B', 0, 0, 0}),
       false},
      {"a NumericString of letters",
       withNameString(makeCert(ec.get(), 2, placeholder, "1", false), V_ASN1_NUMERICSTRING,
                      Bytes(11, 'z')),
       false},
      {"trailing byte",
       [&] {
         Bytes b = ecCert;
         b.push_back(0);
         return b;
       }(),
       false},
      {"empty", Bytes{}, false},
  };
  size_t checked = 0, acceptedChanges = 0, refusedChanges = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const Reading want = reference(c.der);
    EXPECT_EQ(platform(c.der), want);
    if (!c.mutate) continue;
    EXPECT_TRUE(want.accepted);
    for (size_t i = 0; i < c.der.size(); ++i) {
      for (auto change : {+[](uint8_t b) { return static_cast<uint8_t>(b ^ 0x01); },
                          +[](uint8_t b) { return static_cast<uint8_t>(b ^ 0x80); },
                          +[](uint8_t) { return uint8_t{0x00}; }}) {
        Bytes m = c.der;
        m[i] = change(m[i]);
        if (m == c.der) continue;
        const Reading expected = reference(m);
        ASSERT_EQ(platform(m), expected) << "byte " << i << " changed to " << int{m[i]};
        ++checked;
        (expected.accepted ? acceptedChanges : refusedChanges)++;
      }
      // Cut short after the byte.
      const Bytes cut(c.der.begin(), c.der.begin() + static_cast<long>(i) + 1);
      if (cut.size() < c.der.size()) {
        EXPECT_EQ(platform(cut), reference(cut)) << "cut at " << i;
      }
    }
  }
  // The changes reach both outcomes: changes inside strings, times and the
  // signature still read; changes to tags and lengths do not.
  EXPECT_GT(acceptedChanges, checked / 10);
  EXPECT_GT(refusedChanges, checked / 10);
}

}  // namespace
