// ContainerKeys.publicKeyBlob: the PUBLICKEYBLOB of a container's key of a
// key spec, as its provider exports it. No PIN is presented: the public half
// of a protected key is readable without one. The provider compares it with
// the public key of the certificate bound to the container, as
// CryptAcquireCertificatePrivateKey does with CRYPT_ACQUIRE_COMPARE_KEY_FLAG,
// so that a container made again under the same name never signs as the
// certificate's key. Not one of MSCAPI's sixteen methods: an entry point of
// the library's own (com.qel.varnel.ContainerKeys).
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/messages.h"
#include "com_qel_varnel_ContainerKeys.h"
#include "platform/handles.h"
#include "platform/key_blobs.h"

using namespace mscapi;

namespace {

// The blob of the container's key of `keySpec` into `result`; the message
// of a failure, or null.
const char *exportPublicKey(JNIEnv *env, const Utf8Chars &provider, const Utf8Chars &container,
                            jint keySpec, jbyteArray &result) {
  CryptProv context;
  if (!CryptAcquireContextA(context.out(), container.get(), provider.get(), PROV_RSA_FULL, 0))
    return msg::kContainerNotFound;
  CryptKey key;
  if (!CryptGetUserKey(context.get(), static_cast<DWORD>(keySpec), key.out()))
    return msg::kPublicKeyFailed;
  DWORD size = 0;
  if (!CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, nullptr, &size)) return msg::kPublicKeyFailed;
  HeapBuffer blob(size);
  if (!blob || !CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, blob.data(), &size) ||
      size < keyblob::kModulusOffset)
    return msg::kPublicKeyFailed;
  result = newByteArray(env, blob.data(), size);
  return nullptr;  // a result the JVM could not make leaves its error pending
}

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_ContainerKeys_publicKeyBlob(
    JNIEnv *env, jclass cls, jstring providerName, jstring containerName, jint keySpec) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;
  Utf8Chars provider(env, providerName);
  if (provider.failed()) return nullptr;
  Utf8Chars container(env, containerName);
  if (container.failed()) return nullptr;

  jbyteArray result = nullptr;
  if (const char *failure = exportPublicKey(env, provider, container, keySpec, result))
    throwJavaException(env, failure);
  return result;
}
