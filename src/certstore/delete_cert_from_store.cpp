// deleteCertFromStore: finds a certificate of the current user's store of a
// kind by serial number and issuer and deletes it. When the user's store
// shows the certificate but cannot delete it (it lives in the local
// machine's part of the view), the deletion is retried in the local
// machine's store of the same name. A certificate the user's store does not
// show is never looked for in the machine's store.
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/messages.h"
#include "certstore/cert_lookup.h"
#include "com_qel_varnel_MSCAPI.h"

using namespace mscapi;

namespace {

// No value of its own to take.
struct NoValue {
  bool failed() const { return false; }
};

bool deleteFromMachine(jint storeKind, const ByteElements &serial, const ByteElements &issuer) {
  CertStore machine(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                                  storeNameW(storeKind)));
  if (!machine) return false;
  PCCERT_CONTEXT there = findCertificate(machine.get(), serial, issuer);
  return there != nullptr && CertDeleteCertificateFromStore(there) != FALSE;
}

}  // namespace

JNIEXPORT void JNICALL Java_com_qel_varnel_MSCAPI_deleteCertFromStore(JNIEnv *env, jclass cls,
                                                                      jbyteArray serialNumber,
                                                                      jbyteArray issuer,
                                                                      jint storeKind) {
  if (checkLinkPermission(env, cls) != nullptr) return;
  findThenAct(
      env, storeKind, serialNumber, issuer, msg::kCertNotFound, [] { return NoValue(); },
      [storeKind](PCCERT_CONTEXT cert, const NoValue &, const ByteElements &serial,
                  const ByteElements &issuerBytes) {
        // The deletion consumes the context, whether or not it succeeds.
        return CertDeleteCertificateFromStore(cert) != FALSE ||
               deleteFromMachine(storeKind, serial, issuerBytes);
      });
}
