// setFlags: finds a certificate of the current user's store of a kind by
// serial number and issuer and stores the caller's bytes, unchanged and
// without a terminator, as its description property.
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/messages.h"
#include "certstore/cert_lookup.h"
#include "com_qel_varnel_MSCAPI.h"

using namespace mscapi;

JNIEXPORT void JNICALL Java_com_qel_varnel_MSCAPI_setFlags(JNIEnv *env, jclass cls,
                                                           jbyteArray flags,
                                                           jbyteArray serialNumber,
                                                           jbyteArray issuer, jint storeKind) {
  if (checkLinkPermission(env, cls) != nullptr) return;
  if (flags == nullptr) {
    throwJavaException(env, msg::kFlagsMissing);
    return;
  }
  findThenAct(
      env, storeKind, serialNumber, issuer, msg::kDescriptionFailed,
      [&] { return ByteElements(env, flags); },
      [](PCCERT_CONTEXT cert, const ByteElements &value, const ByteElements &,
         const ByteElements &) {
        CRYPT_DATA_BLOB blob;
        blob.cbData = value.size();
        // The platform's blob is not const; it only reads the bytes.
        blob.pbData = const_cast<BYTE *>(value.data());
        return CertSetCertificateContextProperty(cert, CERT_DESCRIPTION_PROP_ID, 0, &blob) != FALSE;
      });
}
