// setFriendlyName: finds a certificate of the current user's store of a kind
// by serial number and issuer (as CertId gives them) and sets its friendly
// name: the name's UTF-16 units followed by one zero unit.
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "certstore/cert_lookup.h"
#include "com_qel_varnel_MSCAPI.h"

using namespace mscapi;

JNIEXPORT void JNICALL Java_com_qel_varnel_MSCAPI_setFriendlyName(JNIEnv *env, jclass cls,
                                                                  jstring friendlyName,
                                                                  jbyteArray serialNumber,
                                                                  jbyteArray issuer,
                                                                  jint storeKind) {
  if (checkLinkPermission(env, cls) != nullptr) return;
  if (friendlyName == nullptr) {
    throwJavaException(env, "Name missing !");
    return;
  }
  CertStore store(openUserStore(storeKind));
  if (!store) {
    throwJavaException(env, "Failed to open the requested store!");
    return;
  }

  Utf16Chars name(env, friendlyName);
  if (name.failed()) return;
  ByteElements serial(env, serialNumber);
  if (serial.failed()) return;
  ByteElements issuerBytes(env, issuer);
  if (issuerBytes.failed()) return;

  bool failed = true;
  PCCERT_CONTEXT cert = findCertificate(store.get(), serial, issuerBytes);
  if (cert != nullptr) {
    HeapBuffer value = zeroTerminatedUtf16(name);
    if (value) {
      CRYPT_DATA_BLOB blob;
      blob.cbData = static_cast<DWORD>(value.size());
      blob.pbData = value.data();
      failed = !CertSetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob);
    }
  }

  store.reset();
  name.release();
  serial.release();
  issuerBytes.release();
  if (failed) throwJavaException(env, "Failed to set friendly name property!");
}
