// setFlags: finds a certificate of the current user's store of a kind by
// serial number and issuer and stores the caller's bytes, unchanged and
// without a terminator, as its description property.
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "certstore/cert_lookup.h"
#include "com_qel_varnel_MSCAPI.h"

using namespace mscapi;

JNIEXPORT void JNICALL Java_com_qel_varnel_MSCAPI_setFlags(JNIEnv *env, jclass cls,
                                                           jbyteArray flags,
                                                           jbyteArray serialNumber,
                                                           jbyteArray issuer, jint storeKind) {
  if (checkLinkPermission(env, cls) != nullptr) return;
  if (flags == nullptr) {
    throwJavaException(env, "Flags missing !");
    return;
  }
  CertStore store(openUserStore(storeKind));
  if (!store) {
    throwJavaException(env, "Failed to open the requested store!");
    return;
  }

  ByteElements value(env, flags);
  if (value.failed()) return;
  ByteElements serial(env, serialNumber);
  if (serial.failed()) return;
  ByteElements issuerBytes(env, issuer);
  if (issuerBytes.failed()) return;

  bool failed = true;
  PCCERT_CONTEXT cert = findCertificate(store.get(), serial, issuerBytes);
  if (cert != nullptr) {
    CRYPT_DATA_BLOB blob;
    blob.cbData = value.size();
    // The platform's blob is not const; it only reads the bytes.
    blob.pbData = const_cast<BYTE *>(value.data());
    failed = !CertSetCertificateContextProperty(cert, CERT_DESCRIPTION_PROP_ID, 0, &blob);
  }

  store.reset();
  value.release();
  serial.release();
  issuerBytes.release();
  if (failed) throwJavaException(env, "Failed to set certificate description property !");
}
