#include "certstore/x509.h"

#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace emu::certstore {

namespace {

// The certificate's structure as OpenSSL's own X.509 template has it,
// except that the SubjectPublicKeyInfo stays an algorithm and a BIT STRING
// (the key in it is not decoded, which is most of what d2i_X509 costs) and
// that nothing keeps the bytes it was read from: encoding the parsed value
// again gives DER built from the fields, which must equal the input.
struct RawPublicKey {
  X509_ALGOR *algorithm;
  ASN1_BIT_STRING *key;
};

struct Tbs {
  ASN1_INTEGER *version;
  ASN1_INTEGER *serial;
  X509_ALGOR *signature;
  ASN1_VALUE *issuer;  // SEQUENCE OF SET OF AttributeTypeAndValue
  X509_VAL *validity;
  ASN1_VALUE *subject;
  RawPublicKey *key;
  ASN1_BIT_STRING *issuerUID;
  ASN1_BIT_STRING *subjectUID;
  STACK_OF(X509_EXTENSION) * extensions;
};

struct Certificate {
  Tbs *tbs;
  X509_ALGOR *signatureAlgorithm;
  ASN1_BIT_STRING *signature;
};

// A Name as X509_NAME reads it, without its cached encodings: a SET OF is
// encoded sorted, as DER wants.
// clang-format off
ASN1_ITEM_TEMPLATE(RelativeName) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SET_OF, 0, RDN, X509_NAME_ENTRY)
static_ASN1_ITEM_TEMPLATE_END(RelativeName)

ASN1_ITEM_TEMPLATE(Name) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SEQUENCE_OF, 0, Name, RelativeName)
static_ASN1_ITEM_TEMPLATE_END(Name)

ASN1_SEQUENCE(RawPublicKey) = {
    ASN1_SIMPLE(RawPublicKey, algorithm, X509_ALGOR),
    ASN1_SIMPLE(RawPublicKey, key, ASN1_BIT_STRING),
} static_ASN1_SEQUENCE_END(RawPublicKey)

ASN1_SEQUENCE(Tbs) = {
    ASN1_EXP_OPT(Tbs, version, ASN1_INTEGER, 0),
    ASN1_SIMPLE(Tbs, serial, ASN1_INTEGER),
    ASN1_SIMPLE(Tbs, signature, X509_ALGOR),
    ASN1_SIMPLE(Tbs, issuer, Name),
    ASN1_SIMPLE(Tbs, validity, X509_VAL),
    ASN1_SIMPLE(Tbs, subject, Name),
    ASN1_SIMPLE(Tbs, key, RawPublicKey),
    ASN1_IMP_OPT(Tbs, issuerUID, ASN1_BIT_STRING, 1),
    ASN1_IMP_OPT(Tbs, subjectUID, ASN1_BIT_STRING, 2),
    ASN1_EXP_SEQUENCE_OF_OPT(Tbs, extensions, X509_EXTENSION, 3),
} static_ASN1_SEQUENCE_END(Tbs)

ASN1_SEQUENCE(Certificate) = {
    ASN1_SIMPLE(Certificate, tbs, Tbs),
    ASN1_SIMPLE(Certificate, signatureAlgorithm, X509_ALGOR),
    ASN1_SIMPLE(Certificate, signature, ASN1_BIT_STRING),
} static_ASN1_SEQUENCE_END(Certificate)
// clang-format on

}  // namespace

namespace {

struct CertificateFree {
  void operator()(Certificate *c) const {
    ASN1_item_free(reinterpret_cast<ASN1_VALUE *>(c), ASN1_ITEM_rptr(Certificate));
  }
};
struct BytesFree {
  void operator()(unsigned char *p) const { OPENSSL_free(p); }
};
using CertificatePtr = std::unique_ptr<Certificate, CertificateFree>;
using OsslBytes = std::unique_ptr<unsigned char, BytesFree>;

// X509_NAME refuses a name whose strings cannot be read as characters (an
// odd-length BMPString, a UTF8String that is not UTF-8): it converts every
// string of these types to UTF-8 when it reads the name. So does this.
bool stringsReadable(const ASN1_VALUE *name) {
  // A stack (the RDNs) of stacks (each RDN's entries).
  const auto *rdns = reinterpret_cast<const OPENSSL_STACK *>(name);
  for (int i = 0; i < OPENSSL_sk_num(rdns); ++i) {
    const auto *rdn = static_cast<const STACK_OF(X509_NAME_ENTRY) *>(OPENSSL_sk_value(rdns, i));
    for (int k = 0; k < sk_X509_NAME_ENTRY_num(rdn); ++k) {
      const ASN1_STRING *v = X509_NAME_ENTRY_get_data(sk_X509_NAME_ENTRY_value(rdn, k));
      // It also converts PrintableString, T61String, IA5String and
      // VisibleString, but byte by byte as Latin-1, which cannot fail.
      constexpr unsigned long kMayFail =
          B_ASN1_UTF8STRING | B_ASN1_BMPSTRING | B_ASN1_UNIVERSALSTRING;
      if ((ASN1_tag2bit(ASN1_STRING_type(v)) & kMayFail) == 0) continue;
      unsigned char *utf8 = nullptr;
      const int n = ASN1_STRING_to_UTF8(&utf8, v);
      OPENSSL_free(utf8);
      if (n < 0) return false;
    }
  }
  return true;
}

// The DER of one value of `it`.
bool encode(const ASN1_VALUE *v, const ASN1_ITEM *it, Bytes &out) {
  unsigned char *p = nullptr;
  const int n = ASN1_item_i2d(v, &p, it);
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

}  // namespace

bool parseCertificate(const uint8_t *der, size_t n, ParsedCert &out) {
  if (der == nullptr || n == 0 || n > 0x7fffffff) return false;
  const unsigned char *q = der;
  CertificatePtr c(reinterpret_cast<Certificate *>(
      ASN1_item_d2i(nullptr, &q, static_cast<long>(n), ASN1_ITEM_rptr(Certificate))));
  if (!c || q != der + n) return false;
  const Tbs &t = *c->tbs;
  // X509_NAME reads at most 1 MiB of a name (only a larger certificate
  // can hold a larger name).
  constexpr int kMaxName = 1 << 20;
  for (const ASN1_VALUE *name : {t.issuer, t.subject}) {
    if (n <= static_cast<size_t>(kMaxName)) break;
    const int size = ASN1_item_i2d(name, nullptr, ASN1_ITEM_rptr(Name));
    if (size <= 0 || size > kMaxName) return false;
  }
  if (!stringsReadable(t.issuer) || !stringsReadable(t.subject)) return false;
  // Encoded afresh from the parsed values, the certificate must be the
  // input byte for byte (which refuses BER forms such as a non-minimal
  // length or an unsorted SET OF, also inside the names).
  unsigned char *p = nullptr;
  const int len =
      ASN1_item_i2d(reinterpret_cast<ASN1_VALUE *>(c.get()), &p, ASN1_ITEM_rptr(Certificate));
  OsslBytes owned(p);
  if (len <= 0 || static_cast<size_t>(len) != n || std::memcmp(p, der, n) != 0) return false;
  // The issuer exactly as the certificate holds it, and the serial number.
  if (!encode(t.issuer, ASN1_ITEM_rptr(Name), out.issuer) || !integerContent(t.serial, out.serial))
    return false;
  std::reverse(out.serial.begin(), out.serial.end());
  out.version = static_cast<uint32_t>(ASN1_INTEGER_get(t.version));
  return true;
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
