#include "certstore/x509.h"

#include <openssl/asn1.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>

namespace emu::certstore {

namespace {

// Reads one TLV header at *p within [*p, end). On success *p points at the
// content and `len` is its length. Indefinite lengths are refused: the
// stores hold DER only.
bool header(const unsigned char **p, const unsigned char *end, long &len, int &tag, int &cls) {
  if (*p >= end) return false;
  const int r = ASN1_get_object(p, &len, &tag, &cls, end - *p);
  if ((r & 0x80) != 0 || (r & 0x01) != 0) return false;
  return len >= 0 && len <= end - *p;
}

}  // namespace

bool parseCertificate(const uint8_t *der, size_t n, ParsedCert &out) {
  if (der == nullptr || n == 0 || n > 0x7fffffff) return false;
  const unsigned char *q = der;
  X509 *x = d2i_X509(nullptr, &q, static_cast<long>(n));
  if (x == nullptr) return false;
  const bool whole = q == der + n;
  X509_free(x);
  if (!whole) return false;

  // Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signature }
  // TBSCertificate ::= SEQUENCE { [0] version OPTIONAL, serialNumber,
  //                               signature, issuer, ... }
  const unsigned char *p = der;
  const unsigned char *end = der + n;
  long len = 0;
  int tag = 0, cls = 0;
  if (!header(&p, end, len, tag, cls) || tag != V_ASN1_SEQUENCE) return false;
  end = p + len;
  if (!header(&p, end, len, tag, cls) || tag != V_ASN1_SEQUENCE) return false;
  const unsigned char *tbsEnd = p + len;
  if (!header(&p, tbsEnd, len, tag, cls)) return false;
  out.version = 0;
  if (cls == V_ASN1_CONTEXT_SPECIFIC && tag == 0) {
    const unsigned char *v = p;
    long vlen = 0;
    if (header(&v, p + len, vlen, tag, cls) && tag == V_ASN1_INTEGER && vlen == 1) out.version = *v;
    p += len;
    if (!header(&p, tbsEnd, len, tag, cls)) return false;
  }
  if (tag != V_ASN1_INTEGER || cls != V_ASN1_UNIVERSAL) return false;
  out.serial.assign(p, p + len);
  std::reverse(out.serial.begin(), out.serial.end());
  p += len;
  if (!header(&p, tbsEnd, len, tag, cls) || tag != V_ASN1_SEQUENCE) return false;
  p += len;
  const unsigned char *issuerStart = p;
  if (!header(&p, tbsEnd, len, tag, cls) || tag != V_ASN1_SEQUENCE) return false;
  out.issuer.assign(issuerStart, p + len);
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
