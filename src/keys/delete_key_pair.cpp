// deleteKeyPair: deletes a key container together with every key in it.
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/messages.h"
#include "com_qel_varnel_MSCAPI.h"
#include "platform/platform.h"

using namespace mscapi;

JNIEXPORT void JNICALL Java_com_qel_varnel_MSCAPI_deleteKeyPair(JNIEnv *env, jclass cls,
                                                                jstring providerName,
                                                                jstring containerName) {
  if (checkLinkPermission(env, cls) != nullptr) return;
  Utf8Chars provider(env, providerName);
  if (provider.failed()) return;
  Utf8Chars container(env, containerName);
  if (container.failed()) return;
  // With CRYPT_DELETEKEYSET no handle remains open: nothing to release.
  HCRYPTPROV unused = 0;
  if (!CryptAcquireContextA(&unused, container.get(), provider.get(), PROV_RSA_FULL,
                            CRYPT_DELETEKEYSET))
    throwJavaException(env, msg::kContainerNotFound);
}
