// deleteCertFromStore: finds a certificate of the current user's store of a
// kind by serial number and issuer and deletes it. When the user's store
// shows the certificate but cannot delete it (it lives in the local
// machine's part of the view), the deletion is retried in the local
// machine's store of the same name. A certificate the user's store does not
// show is never looked for in the machine's store.
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "certstore/cert_lookup.h"
#include "com_qel_varnel_MSCAPI.h"

using namespace mscapi;

JNIEXPORT void JNICALL Java_com_qel_varnel_MSCAPI_deleteCertFromStore(JNIEnv *env, jclass cls,
                                                                      jbyteArray serialNumber,
                                                                      jbyteArray issuer,
                                                                      jint storeKind) {
  if (checkLinkPermission(env, cls) != nullptr) return;
  CertStore store(openUserStore(storeKind));
  if (!store) {
    throwJavaException(env, "Failed to open the requested store!");
    return;
  }

  ByteElements serial(env, serialNumber);
  if (serial.failed()) return;
  ByteElements issuerBytes(env, issuer);
  if (issuerBytes.failed()) return;

  bool deleted = false;
  PCCERT_CONTEXT cert = findCertificate(store.get(), serial, issuerBytes);
  // The deletion consumes the context, whether or not it succeeds.
  if (cert != nullptr) deleted = CertDeleteCertificateFromStore(cert) != FALSE;
  if (cert != nullptr && !deleted) {
    CertStore machine(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                                    storeNameW(storeKind)));
    if (machine) {
      PCCERT_CONTEXT there = findCertificate(machine.get(), serial, issuerBytes);
      if (there != nullptr) deleted = CertDeleteCertificateFromStore(there) != FALSE;
      machine.reset();
    }
  }

  store.reset();
  serial.release();
  issuerBytes.release();
  if (!deleted) throwJavaException(env, "Cert not found !");
}
