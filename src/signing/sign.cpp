// sign, verifyAndSign: sign a hash value that Java computed with the key of
// a container (PKCS#1 v1.5 by the provider), optionally presenting the
// container's password as the key's PIN first. One body, signImpl. The
// signature reaches Java most significant byte first.
//
// SilentSigning.sign, the library's own method beside the sixteen: sign as
// `sign` does, in a context acquired with CRYPT_SILENT, so that the
// provider shows no PIN dialog of its own (a key that needs a PIN fails,
// and the caller asks the application's PIN source).
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/messages.h"
#include "bridge/outcome.h"
#include "com_qel_varnel_MSCAPI.h"
#include "com_qel_varnel_SilentSigning.h"
#include "keys/open_container.h"
#include "platform/handles.h"

using namespace mscapi;

namespace {

// Signs the hash value with the container's key; the signature array goes
// to `result`. The hash object is declared after the provider context, so
// it is destroyed first.
Outcome signHash(JNIEnv *env, const Utf8Chars &provider, const Utf8Chars &container, jint keySpec,
                 const ByteElements &hashValue, jint algId, const PasswordBuffer &pin,
                 DWORD acquireFlags, jbyteArray &result) {
  CryptProv context;
  const Outcome opened = openContainer(provider, container, keySpec, pin, context, acquireFlags);
  if (opened != Outcome::Ok) return opened;
  CryptHash hash;
  if (!CryptCreateHash(context.get(), static_cast<ALG_ID>(algId), 0, 0, hash.out()))
    return Outcome::Failed;
  // The provider reads the algorithm's hash size from the value: a missing
  // or shorter value fails instead of being read past its end.
  DWORD hashSize = 0;
  DWORD hashSizeLen = sizeof hashSize;
  if (hashValue.isNull() ||
      !CryptGetHashParam(hash.get(), HP_HASHSIZE, reinterpret_cast<BYTE *>(&hashSize), &hashSizeLen,
                         0) ||
      hashValue.size() < hashSize)
    return Outcome::Failed;
  if (!CryptSetHashParam(hash.get(), HP_HASHVAL, hashValue.data(), 0)) return Outcome::Failed;
  const DWORD spec = static_cast<DWORD>(keySpec);
  DWORD length = 0;
  if (!CryptSignHashA(hash.get(), spec, nullptr, 0, nullptr, &length)) return Outcome::Failed;
  HeapBuffer signature(length);
  if (!signature || !CryptSignHashA(hash.get(), spec, nullptr, 0, signature.data(), &length))
    return Outcome::Failed;
  reverseBytes(signature.data(), length);
  result = newByteArray(env, signature.data(), length);
  return Outcome::Ok;
}

jbyteArray signImpl(JNIEnv *env, jclass cls, jstring providerName, jstring containerName,
                    jint keySpec, jbyteArray hashValue, jint dataLength, jint algId,
                    jbyteArray password, DWORD acquireFlags) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;
  if (dataLength < 1) {
    throwJavaException(env, msg::kNoData);
    return nullptr;
  }
  Utf8Chars provider(env, providerName);
  if (provider.failed()) return nullptr;
  Utf8Chars container(env, containerName);
  if (container.failed()) return nullptr;
  ByteElements hash(env, hashValue);
  if (hash.failed()) return nullptr;
  PasswordBuffer pin(env, password);
  if (pin.jniFailed()) return nullptr;

  jbyteArray result = nullptr;
  const Outcome outcome =
      signHash(env, provider, container, keySpec, hash, algId, pin, acquireFlags, result);
  raise(env, outcome, msg::kPasswordRefused, msg::kSignFailed);
  return result;
}

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_sign(JNIEnv *env, jclass cls,
                                                             jstring providerName,
                                                             jstring containerName, jint keySpec,
                                                             jbyteArray hashValue, jint dataLength,
                                                             jint algId) {
  return signImpl(env, cls, providerName, containerName, keySpec, hashValue, dataLength, algId,
                  nullptr, 0);
}

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_verifyAndSign(
    JNIEnv *env, jclass cls, jstring providerName, jstring containerName, jint keySpec,
    jbyteArray hashValue, jint dataLength, jint algId, jbyteArray password) {
  return signImpl(env, cls, providerName, containerName, keySpec, hashValue, dataLength, algId,
                  password, 0);
}

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_SilentSigning_sign(
    JNIEnv *env, jclass cls, jstring providerName, jstring containerName, jint keySpec,
    jbyteArray hashValue, jint dataLength, jint algId) {
  return signImpl(env, cls, providerName, containerName, keySpec, hashValue, dataLength, algId,
                  nullptr, CRYPT_SILENT);
}
