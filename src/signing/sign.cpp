// sign, verifyAndSign: sign a hash value that Java computed with the key of
// a container (PKCS#1 v1.5 by the provider), optionally presenting the
// container's password as the key's PIN first. One body, signImpl. The
// signature reaches Java most significant byte first.
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/password.h"
#include "com_qel_varnel_MSCAPI.h"
#include "platform/handles.h"

using namespace mscapi;

namespace {

jbyteArray signImpl(JNIEnv *env, jclass cls, jstring providerName, jstring containerName,
                    jint keySpec, jbyteArray hashValue, jint dataLength, jint algId,
                    jbyteArray password) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;
  if (dataLength < 1) {
    throwJavaException(env, "No data provided !");
    return nullptr;
  }

  jbyteArray result = nullptr;
  bool done = false;     // the signature was made (the array may still have failed)
  bool refused = false;  // the provider refused the password
  {
    Utf8Chars provider(env, providerName);
    if (provider.failed()) return nullptr;
    Utf8Chars container(env, containerName);
    if (container.failed()) return nullptr;
    ByteElements hash(env, hashValue);
    if (hash.failed()) return nullptr;
    PasswordBuffer pin(env, password);
    if (pin.jniFailed()) return nullptr;

    CryptProv context;
    if (CryptAcquireContextA(context.out(), container.get(), provider.get(), PROV_RSA_FULL, 0)) {
      if (!presentPassword(context.get(), keySpec, pin)) {
        refused = true;
        context.reset();
      }
      CryptHash hashObject;
      if (!refused &&
          CryptCreateHash(context.get(), static_cast<ALG_ID>(algId), 0, 0, hashObject.out())) {
        // The provider reads the algorithm's hash size from the value: a
        // missing or shorter value fails instead of being read past its end.
        DWORD hashSize = 0;
        DWORD hashSizeLen = sizeof hashSize;
        HeapBuffer signature;
        DWORD signatureLen = 0;
        if (!hash.isNull() &&
            CryptGetHashParam(hashObject.get(), HP_HASHSIZE, reinterpret_cast<BYTE *>(&hashSize),
                              &hashSizeLen, 0) &&
            hash.size() >= hashSize &&
            CryptSetHashParam(hashObject.get(), HP_HASHVAL, hash.data(), 0) &&
            CryptSignHashA(hashObject.get(), static_cast<DWORD>(keySpec), nullptr, 0, nullptr,
                           &signatureLen)) {
          signature = HeapBuffer(signatureLen);
          if (signature && CryptSignHashA(hashObject.get(), static_cast<DWORD>(keySpec), nullptr, 0,
                                          signature.data(), &signatureLen)) {
            reverseBytes(signature.data(), signatureLen);
            result = newByteArray(env, signature.data(), signatureLen);
            done = true;
            // Release as the success path does: buffer, names, hash value,
            // hash object, provider.
            signature.reset();
            provider.release();
            container.release();
            hash.release();
          }
        }
        signature.reset();
        hashObject.reset();  // before the provider handle
      }
      context.reset();
    }
    provider.release();
    container.release();
    hash.release();
  }
  if (!done) throwJavaException(env, refused ? "SSLRuntimeException04" : "Failed to sign data!");
  return result;
}

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_sign(JNIEnv *env, jclass cls,
                                                             jstring providerName,
                                                             jstring containerName, jint keySpec,
                                                             jbyteArray hashValue, jint dataLength,
                                                             jint algId) {
  return signImpl(env, cls, providerName, containerName, keySpec, hashValue, dataLength, algId,
                  nullptr);
}

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_verifyAndSign(
    JNIEnv *env, jclass cls, jstring providerName, jstring containerName, jint keySpec,
    jbyteArray hashValue, jint dataLength, jint algId, jbyteArray password) {
  return signImpl(env, cls, providerName, containerName, keySpec, hashValue, dataLength, algId,
                  password);
}
