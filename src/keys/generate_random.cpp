// generateRandom: random bytes from a named provider's generator, or from
// the default PROV_RSA_FULL provider's, through a verification context that
// opens no key container. The result array is made first and the provider
// draws straight into it: a length the JVM cannot allocate fails at once,
// with nothing drawn, and no copy is made of a result of any size.
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/messages.h"
#include "bridge/outcome.h"
#include "com_qel_varnel_MSCAPI.h"
#include "platform/handles.h"

using namespace mscapi;

namespace {

Outcome draw(JNIEnv *env, const Utf8Chars &provider, jint length, jbyteArray &result) {
  CryptProv context;
  if (!CryptAcquireContextA(context.out(), nullptr, provider.get(), PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT))
    return Outcome::Failed;
  // A negative length cannot be served: there is no array for it.
  if (length < 0) return Outcome::Failed;
  // When NewByteArray fails, the JVM's own error is what the caller gets.
  jbyteArray array = env->NewByteArray(length);
  if (array == nullptr) return Outcome::Ok;
  if (length == 0) {
    result = array;
    return Outcome::Ok;
  }
  FilledArray bytes(env, array);
  if (bytes.failed()) return Outcome::Ok;
  if (!CryptGenRandom(context.get(), static_cast<DWORD>(length), bytes.data()))
    return Outcome::Failed;
  bytes.release();
  result = array;
  return Outcome::Ok;
}

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_generateRandom(JNIEnv *env, jclass cls,
                                                                       jstring providerName,
                                                                       jint length) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;
  Utf8Chars provider(env, providerName);
  if (provider.failed()) return nullptr;
  jbyteArray result = nullptr;
  raise(env, draw(env, provider, length, result), msg::kProviderKey, msg::kProviderKey);
  return result;
}
