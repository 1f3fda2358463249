// generateRandom: random bytes from a named provider's generator, or from
// the default PROV_RSA_FULL provider's, through a verification context that
// opens no key container. The result array is made first and the provider
// draws straight into it: a length the JVM cannot allocate fails at once,
// with nothing drawn, and no copy is made of a result of any size.
#include <atomic>

#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/messages.h"
#include "bridge/outcome.h"
#include "com_qel_varnel_MSCAPI.h"
#include "platform/handles.h"

using namespace mscapi;

namespace {

// The default provider's verification context, acquired by the first call
// that needs it and kept for the process (0 until then): acquiring and
// releasing a context cost more than drawing 32 bytes. A verification
// context opens no container and holds nothing a later call could change;
// a named provider's context is still acquired and released by each call.
std::atomic<HCRYPTPROV> keptDefault{0};

HCRYPTPROV defaultContext() {
  const HCRYPTPROV kept = keptDefault.load(std::memory_order_acquire);
  if (kept != 0) return kept;
  CryptProv fresh;
  if (!CryptAcquireContextA(fresh.out(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    return 0;
  HCRYPTPROV first = 0;
  if (keptDefault.compare_exchange_strong(first, fresh.get(), std::memory_order_acq_rel))
    return fresh.release();
  return first;  // another thread kept its own first; `fresh` is released
}

Outcome draw(JNIEnv *env, const Utf8Chars &provider, jint length, jbyteArray &result) {
  CryptProv named;
  if (provider.get() != nullptr && !CryptAcquireContextA(named.out(), nullptr, provider.get(),
                                                         PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    return Outcome::Failed;
  const HCRYPTPROV context = provider.get() != nullptr ? named.get() : defaultContext();
  if (context == 0) return Outcome::Failed;
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
  if (!CryptGenRandom(context, static_cast<DWORD>(length), bytes.data())) return Outcome::Failed;
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
