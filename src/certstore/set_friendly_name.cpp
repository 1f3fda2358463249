// setFriendlyName: finds a certificate of the current user's store of a kind
// by serial number and issuer and stores the name, as UTF-16 with its
// terminator, as its friendly name property.
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/messages.h"
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
    throwJavaException(env, msg::kNameMissing);
    return;
  }
  findThenAct(
      env, storeKind, serialNumber, issuer, msg::kFriendlyNameFailed,
      [&] { return Utf16Chars(env, friendlyName); },
      [](PCCERT_CONTEXT cert, const Utf16Chars &name, const ByteElements &, const ByteElements &) {
        const HeapBuffer value = zeroTerminatedUtf16(name);
        if (!value) return false;
        CRYPT_DATA_BLOB blob;
        blob.cbData = static_cast<DWORD>(value.size());
        blob.pbData = value.data();
        return CertSetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob) !=
               FALSE;
      });
}
