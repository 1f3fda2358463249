// Certificate parsing and the store's life cycle of one certificate: any
// bytes go to CertCreateCertificateContext; a certificate it accepts gets a
// friendly name, goes into the user's store as a new certificate, must then
// be found by enumeration and by its issuer and serial number, carry its
// name, be deleted, and be gone afterwards.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "platform/platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encodedOf(PCCERT_CONTEXT c) {
  return Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
}

// The user's "MY" through the system-store call, or the application's own
// store through the registry provider (user part only).
HCERTSTORE openStore(bool registryProvider) {
  if (!registryProvider) return CertOpenSystemStoreA(0, "MY");
  static const WCHAR name[] = u"Varnel";
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                       name);
}

// Enumerates the whole store; counts the certificates and how many of them
// have exactly `encoded` as their bytes.
void enumerate(HCERTSTORE store, const Bytes &encoded, int &total, int &same) {
  total = same = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c)) {
    ++total;
    if (encodedOf(c) == encoded) ++same;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::setUpProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  PCCERT_CONTEXT cert =
      CertCreateCertificateContext(X509_ASN_ENCODING, data, static_cast<DWORD>(size));
  if (cert == nullptr) return 0;
  const Bytes encoded = encodedOf(cert);
  FUZZ_CHECK(encoded == Bytes(data, data + size));
  FUZZ_CHECK(cert->pCertInfo != nullptr);

  // A friendly name made from the certificate's last bytes, terminated.
  std::u16string name;
  for (size_t i = size > 8 ? size - 8 : 0; i < size; ++i) name.push_back(u'A' + (data[i] % 26));
  CRYPT_DATA_BLOB nameBlob{static_cast<DWORD>(2 * (name.size() + 1)),
                           reinterpret_cast<BYTE *>(name.data())};
  FUZZ_CHECK(CertSetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, 0, &nameBlob));

  HCERTSTORE store = openStore(size % 2 == 1);
  FUZZ_CHECK(store != nullptr);
  // Every earlier input deleted its certificate (checked below), so the
  // store starts empty and whatever is found can only be this certificate.
  const int before = 0;
  int total = 0, same = 0;

  FUZZ_CHECK(CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_NEW, nullptr));
  // The same certificate a second time is refused.
  FUZZ_CHECK(!CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_NEW, nullptr));
  enumerate(store, encoded, total, same);
  FUZZ_CHECK(same == 1);
  FUZZ_CHECK(total == before + 1);

  // Found by its issuer and serial number, with the name set before adding.
  PCCERT_CONTEXT found =
      CertGetSubjectCertificateFromStore(store, X509_ASN_ENCODING, cert->pCertInfo);
  FUZZ_CHECK(found != nullptr);
  FUZZ_CHECK(found->pCertInfo->Issuer.cbData == cert->pCertInfo->Issuer.cbData);
  FUZZ_CHECK(std::memcmp(found->pCertInfo->Issuer.pbData, cert->pCertInfo->Issuer.pbData,
                         cert->pCertInfo->Issuer.cbData) == 0);
  DWORD got = 0;
  FUZZ_CHECK(CertGetCertificateContextProperty(found, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &got));
  std::vector<uint8_t> stored(got);
  FUZZ_CHECK(
      CertGetCertificateContextProperty(found, CERT_FRIENDLY_NAME_PROP_ID, stored.data(), &got));
  FUZZ_CHECK(encodedOf(found) == encoded);
  FUZZ_CHECK(got == nameBlob.cbData);
  FUZZ_CHECK(std::memcmp(stored.data(), nameBlob.pbData, got) == 0);

  // Deleting consumes the context; the certificate is then gone.
  FUZZ_CHECK(CertDeleteCertificateFromStore(found));
  FUZZ_CHECK(CertGetSubjectCertificateFromStore(store, X509_ASN_ENCODING, cert->pCertInfo) ==
             nullptr);
  enumerate(store, encoded, total, same);
  FUZZ_CHECK(same == 0);
  FUZZ_CHECK(total == before);

  FUZZ_CHECK(CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG));
  FUZZ_CHECK(CertFreeCertificateContext(cert));
  return 0;
}
