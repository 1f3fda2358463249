// addCertToStore: stores one DER certificate in the store of a kind. In "MY"
// it is first bound to a key container (only the names are recorded; the
// container is not opened); any kind may give it a friendly name. Both
// properties are set on the parsed certificate before it is added, so the
// store takes them over in one step and a failure leaves no partial change.
// Returns CertId (serial number least significant byte first, then the
// issuer's DER), or null without an exception when the bytes are not a
// certificate or the store already holds it; a store that refuses the
// certificate for any other reason raises the method's message.
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/messages.h"
#include "bridge/records.h"
#include "certstore/cert_lookup.h"
#include "com_qel_varnel_MSCAPI.h"

using namespace mscapi;

namespace {

// Each byte of a modified UTF-8 name, its terminator included, becomes one
// UTF-16 unit of the same value: ASCII converts exactly, other characters
// give one unit per UTF-8 byte. A null name gives an empty holder.
HeapBuffer widenBytes(const char *name, bool &allocFailed) {
  if (name == nullptr) return HeapBuffer();
  size_t n = 0;
  while (name[n] != '\0') ++n;
  HeapBuffer wide(2 * (n + 1));
  if (!wide) {
    allocFailed = true;
    return wide;
  }
  WCHAR *units = reinterpret_cast<WCHAR *>(wide.data());
  for (size_t i = 0; i <= n; ++i)
    units[i] = static_cast<WCHAR>(static_cast<unsigned char>(name[i]));
  return wide;
}

// Sets the key binding (in "MY") and the friendly name (when one is given)
// on the parsed certificate, so that the store takes both over in one step
// and a failure leaves no partial change.
bool setProperties(PCCERT_CONTEXT cert, bool bind, const Utf8Chars &provider,
                   const Utf8Chars &container, jint keySpec, bool named, const Utf16Chars &name) {
  if (bind) {
    bool allocFailed = false;
    HeapBuffer wideContainer = widenBytes(container.get(), allocFailed);
    HeapBuffer wideProvider = widenBytes(provider.get(), allocFailed);
    if (allocFailed) return false;
    CRYPT_KEY_PROV_INFO binding;
    binding.pwszContainerName = reinterpret_cast<LPWSTR>(wideContainer.data());
    binding.pwszProvName = reinterpret_cast<LPWSTR>(wideProvider.data());
    binding.dwProvType = PROV_RSA_FULL;
    binding.dwFlags = 0;
    binding.cProvParam = 0;
    binding.rgProvParam = nullptr;
    binding.dwKeySpec = static_cast<DWORD>(keySpec);
    if (!CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID,
                                           CERT_STORE_NO_CRYPT_RELEASE_FLAG, &binding))
      return false;
  }
  if (!named) return true;
  const HeapBuffer value = zeroTerminatedUtf16(name);
  if (!value) return false;
  CRYPT_DATA_BLOB blob;
  blob.cbData = static_cast<DWORD>(value.size());
  blob.pbData = value.data();
  return CertSetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob) != FALSE;
}

enum class Added { Yes, AlreadyThere, Failed };

// Adds the certificate as new. Only a certificate the store already holds,
// byte for byte, is the silent duplicate; any other refusal (a full disk, a
// store that cannot be written) lost the certificate and is reported. The
// context found is the store's and goes with it.
Added addNew(HCERTSTORE store, PCCERT_CONTEXT cert) {
  if (CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_NEW, nullptr)) return Added::Yes;
  if (CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr) !=
      nullptr)
    return Added::AlreadyThere;
  return Added::Failed;
}

// CertId: the serial number as the platform keeps it, then the issuer.
jbyteArray writeCertId(JNIEnv *env, PCCERT_CONTEXT cert) {
  const CRYPT_INTEGER_BLOB &serial = cert->pCertInfo->SerialNumber;
  const CERT_NAME_BLOB &issuer = cert->pCertInfo->Issuer;
  bool allocFailed = false;
  jbyteArray result = writeRecords(
      env,
      [&](RecordWriter &w) {
        w.field(serial.pbData, serial.cbData);
        w.field(issuer.pbData, issuer.cbData);
      },
      allocFailed);
  if (allocFailed) throwJavaException(env, msg::kAddFailed);
  return result;
}

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_addCertToStore(
    JNIEnv *env, jclass cls, jbyteArray certificate, jstring providerName, jstring containerName,
    jint keySpec, jstring friendlyName, jint storeKind) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;
  // Only "MY" reads the key binding's names.
  const bool bind = storeKind == STORE_MY;
  Utf8Chars provider(env, bind ? providerName : nullptr);
  if (provider.failed()) return nullptr;
  Utf8Chars container(env, bind ? containerName : nullptr);
  if (container.failed()) return nullptr;
  // The parsed certificate belongs to no store; declared before the store,
  // it is freed after the store is closed.
  CertContext parsed;
  CertStore store(openUserStore(storeKind));
  if (!store) {
    throwJavaException(env, msg::kTargetStore);
    return nullptr;
  }
  ByteElements bytes(env, certificate);
  if (bytes.failed()) return nullptr;
  Utf16Chars name(env, friendlyName);
  if (name.failed()) return nullptr;

  // No certificate at all is a failure to add one, not a silent null.
  if (bytes.isNull()) {
    throwJavaException(env, msg::kAddFailed);
    return nullptr;
  }
  // Bytes that are not exactly one DER certificate: the silent null.
  parsed = CertContext(CertCreateCertificateContext(X509_ASN_ENCODING, bytes.data(), bytes.size()));
  if (!parsed) return nullptr;
  if (!setProperties(parsed.get(), bind, provider, container, keySpec, friendlyName != nullptr,
                     name)) {
    throwJavaException(env, msg::kAddFailed);
    return nullptr;
  }
  const Added added = addNew(store.get(), parsed.get());
  if (added == Added::Failed) throwJavaException(env, msg::kAddFailed);
  if (added != Added::Yes) return nullptr;
  return writeCertId(env, parsed.get());
}
