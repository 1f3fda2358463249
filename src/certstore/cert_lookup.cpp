#include "certstore/cert_lookup.h"

#include <cstring>

namespace mscapi {

HCERTSTORE openUserStore(jint storeKind) {
  const char *name = storeNameA(storeKind);
  if (name == nullptr) return nullptr;
  return CertOpenSystemStoreA(0, name);
}

PCCERT_CONTEXT findCertificate(HCERTSTORE store, const ByteElements &serial,
                               const ByteElements &issuer) {
  // A missing serial number or issuer finds nothing.
  if (serial.isNull() || issuer.isNull()) return nullptr;
  CERT_INFO key;
  std::memset(&key, 0, sizeof key);
  // The platform's structure has non-const pointers; it only reads them.
  key.SerialNumber.cbData = serial.size();
  key.SerialNumber.pbData = const_cast<BYTE *>(serial.data());
  key.Issuer.cbData = issuer.size();
  key.Issuer.pbData = const_cast<BYTE *>(issuer.data());
  return CertGetSubjectCertificateFromStore(store, X509_ASN_ENCODING, &key);
}

HeapBuffer zeroTerminatedUtf16(const Utf16Chars &chars) {
  const size_t units = chars.length();
  HeapBuffer buffer(2 * units + 2);
  if (!buffer) return buffer;
  if (units != 0) std::memcpy(buffer.data(), chars.get(), 2 * units);
  buffer.data()[2 * units] = 0;
  buffer.data()[2 * units + 1] = 0;
  return buffer;
}

}  // namespace mscapi
