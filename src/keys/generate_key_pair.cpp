// generateKeyPair: creates a new key container, has the provider generate an
// RSA key pair in it (exportable where the provider allows it) and returns
// the public key as PublicKeyBytes: the public exponent (4 bytes,
// little-endian as the platform keeps it) followed by keyBits/8 modulus
// bytes, most significant first. A container whose generation failed stays.
#include <cstring>

#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/messages.h"
#include "bridge/outcome.h"
#include "com_qel_varnel_MSCAPI.h"
#include "platform/handles.h"
#include "platform/key_blobs.h"

using namespace mscapi;

namespace {

// PublicKeyBytes from the key's PUBLICKEYBLOB. Never reads past the blob:
// a modulus shorter than keyBits/8 fails.
Outcome writePublicKeyBytes(JNIEnv *env, HCRYPTKEY key, jint keyBits, jbyteArray &result) {
  DWORD blobSize = 0;
  if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &blobSize)) return Outcome::Failed;
  HeapBuffer blob(blobSize);
  if (!blob || !CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &blobSize))
    return Outcome::Failed;
  const size_t n = static_cast<size_t>(keyBits) / 8;
  if (blobSize < keyblob::kModulusOffset || n > blobSize - keyblob::kModulusOffset)
    return Outcome::Failed;
  HeapBuffer bytes(n + 4);
  if (!bytes) return Outcome::Failed;
  std::memcpy(bytes.data(), blob.data() + keyblob::kExponentOffset, 4);
  if (n != 0) std::memcpy(bytes.data() + 4, blob.data() + keyblob::kModulusOffset, n);
  reverseBytes(bytes.data() + 4, static_cast<uint32_t>(n));
  result = newByteArray(env, bytes.data(), bytes.size());
  return Outcome::Ok;
}

Outcome generate(JNIEnv *env, const Utf8Chars &provider, const Utf8Chars &container, jint algId,
                 jint keyBits, jbyteArray &result) {
  // The length must fit the upper 16 bits of CryptGenKey's flags; any other
  // value fails before a container is created.
  if (keyBits < 0 || keyBits >= 65536) return Outcome::Failed;
  CryptProv context;
  if (!CryptAcquireContextA(context.out(), container.get(), provider.get(), PROV_RSA_FULL,
                            CRYPT_NEWKEYSET))
    return Outcome::Failed;
  const DWORD lengthFlags = static_cast<DWORD>(keyBits) << 16;
  const ALG_ID alg = static_cast<ALG_ID>(algId);
  CryptKey key;  // the key pair stays in the container
  // A provider that refuses exportable keys still yields a key pair.
  if (!CryptGenKey(context.get(), alg, lengthFlags | CRYPT_EXPORTABLE, key.out()) &&
      !CryptGenKey(context.get(), alg, lengthFlags, key.out()))
    return Outcome::Failed;
  return writePublicKeyBytes(env, key.get(), keyBits, result);
}

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_generateKeyPair(JNIEnv *env, jclass cls,
                                                                        jstring providerName,
                                                                        jstring containerName,
                                                                        jint algId, jint keyBits) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;
  Utf8Chars provider(env, providerName);
  if (provider.failed()) return nullptr;
  Utf8Chars container(env, containerName);
  if (container.failed()) return nullptr;

  jbyteArray result = nullptr;
  const Outcome outcome = generate(env, provider, container, algId, keyBits, result);
  // When NewByteArray failed, the JVM's own error is what the caller gets.
  raise(env, outcome, msg::kGenerateFailed, msg::kGenerateFailed);
  return result;
}
