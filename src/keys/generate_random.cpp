// generateRandom: random bytes from a named provider's generator, or from
// the default PROV_RSA_FULL provider's, through a verification context that
// opens no key container.
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "com_qel_varnel_MSCAPI.h"
#include "platform/handles.h"

using namespace mscapi;

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_generateRandom(JNIEnv *env, jclass cls,
                                                                       jstring providerName,
                                                                       jint length) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;

  jbyteArray result = nullptr;
  bool done = false;  // the bytes were drawn (the array may still have failed)
  {
    Utf8Chars provider(env, providerName);
    if (provider.failed()) return nullptr;
    CryptProv context;
    if (CryptAcquireContextA(context.out(), nullptr, provider.get(), PROV_RSA_FULL,
                             CRYPT_VERIFYCONTEXT)) {
      // A negative length cannot be served: there is no buffer for it.
      HeapBuffer buffer;
      if (length >= 0) buffer = HeapBuffer(static_cast<size_t>(length));
      if (buffer && CryptGenRandom(context.get(), static_cast<DWORD>(length), buffer.data())) {
        result = newByteArray(env, buffer.data(), buffer.size());
        done = true;
      }
      buffer.reset();
      context.reset();
    }
    provider.release();
  }
  // When NewByteArray failed, the JVM's own error is what the caller gets.
  if (!done) throwJavaException(env, "Failed to open provider key in registry!");
  return result;
}
