#include "certstore/x509.h"

#include <openssl/asn1.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace emu::certstore {

namespace {

struct X509Free {
  void operator()(X509 *x) const { X509_free(x); }
};
struct NameFree {
  void operator()(X509_NAME *n) const { X509_NAME_free(n); }
};
struct BytesFree {
  void operator()(unsigned char *p) const { OPENSSL_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using NamePtr = std::unique_ptr<X509_NAME, NameFree>;
using OsslBytes = std::unique_ptr<unsigned char, BytesFree>;

// A copy of a name built entry by entry, so that OpenSSL encodes it afresh
// instead of giving back the bytes it was parsed from.
NamePtr rebuilt(const X509_NAME *name) {
  NamePtr out(X509_NAME_new());
  if (!out) return nullptr;
  int previousSet = -1;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY *e = X509_NAME_get_entry(name, i);
    const int set = X509_NAME_ENTRY_set(e);
    // -1 joins the previous RDN (a multi-valued one), 0 starts a new one.
    if (X509_NAME_add_entry(out.get(), e, -1, set == previousSet ? -1 : 0) != 1) return nullptr;
    previousSet = set;
  }
  return out;
}

// The DER of a name as OpenSSL holds it.
bool nameBytes(const X509_NAME *name, Bytes &out) {
  unsigned char *p = nullptr;
  const int n = i2d_X509_NAME(name, &p);
  OsslBytes owned(p);
  if (n <= 0) return false;
  out.assign(p, p + n);
  return true;
}

// The content octets of an INTEGER's DER encoding, read with OpenSSL.
bool integerContent(const ASN1_INTEGER *v, Bytes &out) {
  unsigned char *p = nullptr;
  const int n = i2d_ASN1_INTEGER(v, &p);
  OsslBytes owned(p);
  if (n <= 0) return false;
  const unsigned char *q = p;
  long len = 0;
  int tag = 0, cls = 0;
  if ((ASN1_get_object(&q, &len, &tag, &cls, n) & 0x80) != 0 || tag != V_ASN1_INTEGER) return false;
  out.assign(q, q + len);
  return true;
}

// Whether the certificate, encoded afresh, is the input byte for byte.
bool reencodesTo(X509 *x, const uint8_t *der, size_t n) {
  // OpenSSL keeps the bytes the TBSCertificate and the names were read
  // from; drop them so that everything is encoded from the parsed values.
  NamePtr issuer = rebuilt(X509_get_issuer_name(x));
  NamePtr subject = rebuilt(X509_get_subject_name(x));
  if (!issuer || !subject || X509_set_issuer_name(x, issuer.get()) != 1 ||
      X509_set_subject_name(x, subject.get()) != 1 || i2d_re_X509_tbs(x, nullptr) <= 0)
    return false;
  unsigned char *p = nullptr;
  const int len = i2d_X509(x, &p);
  OsslBytes owned(p);
  return len > 0 && static_cast<size_t>(len) == n && std::memcmp(p, der, n) == 0;
}

}  // namespace

bool parseCertificate(const uint8_t *der, size_t n, ParsedCert &out) {
  if (der == nullptr || n == 0 || n > 0x7fffffff) return false;
  const unsigned char *q = der;
  X509Ptr x(d2i_X509(nullptr, &q, static_cast<long>(n)));
  if (!x || q != der + n) return false;
  // The issuer exactly as the certificate holds it, and the serial number.
  if (!nameBytes(X509_get_issuer_name(x.get()), out.issuer) ||
      !integerContent(X509_get0_serialNumber(x.get()), out.serial))
    return false;
  std::reverse(out.serial.begin(), out.serial.end());
  out.version = static_cast<uint32_t>(X509_get_version(x.get()));
  return reencodesTo(x.get(), der, n);
}

Bytes thumbprint(const uint8_t *der, size_t n) {
  Bytes h(SHA_DIGEST_LENGTH);
  SHA1(der, n, h.data());
  return h;
}

Bytes serialKey(const uint8_t *serial, size_t n) {
  Bytes k(serial, serial + n);
  if (!k.empty() && k.back() == 0x00) {
    // Zero bytes above the value (a positive number's sign byte included).
    while (!k.empty() && k.back() == 0x00) k.pop_back();
  } else {
    // A negative number's redundant 0xFF bytes: drop one while the byte
    // below it still carries the sign.
    while (k.size() >= 2 && k.back() == 0xFF && (k[k.size() - 2] & 0x80) != 0) k.pop_back();
  }
  return k;
}

}  // namespace emu::certstore
