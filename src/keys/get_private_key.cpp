// getPrivateKey: reads an exportable RSA private key back out of a key
// container as PrivateKeyBytes (every component big-endian, fixed widths:
// modulus 2h, public exponent 4, private exponent 2h, then prime1, prime2,
// exponent1, exponent2, coefficient of h bytes each; h = bitlen/16),
// optionally presenting the container's password as its PIN first.
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/messages.h"
#include "bridge/outcome.h"
#include "com_qel_varnel_MSCAPI.h"
#include "keys/open_container.h"
#include "platform/handles.h"
#include "platform/key_blobs.h"

using namespace mscapi;

namespace {

// Whether the key may leave the provider (KP_PERMISSIONS has CRYPT_EXPORT).
bool exportable(HCRYPTKEY key) {
  DWORD permissions = 0;
  DWORD length = sizeof permissions;
  return CryptGetKeyParam(key, KP_PERMISSIONS, reinterpret_cast<BYTE *>(&permissions), &length,
                          0) &&
         (permissions & CRYPT_EXPORT) != 0;
}

// Reverses `size` bytes of the blob in place and copies them into the
// result at `to`.
void putField(JNIEnv *env, jbyteArray result, size_t to, uint8_t *from, size_t size) {
  reverseBytes(from, static_cast<uint32_t>(size));
  env->SetByteArrayRegion(result, static_cast<jsize>(to), static_cast<jsize>(size),
                          reinterpret_cast<const jbyte *>(from));
}

// PrivateKeyBytes from the PRIVATEKEYBLOB (reversed in place). Only bit
// lengths that are multiples of 16 line up with the fields, and nothing is
// read past the blob.
Outcome writePrivateKeyBytes(JNIEnv *env, const HeapBuffer &blob, DWORD blobSize,
                             jbyteArray &result) {
  if (blobSize < keyblob::kModulusOffset) return Outcome::Failed;
  uint8_t *b = blob.data();
  const uint32_t bitlen = keyblob::readLE32(b + keyblob::kBitLenOffset);
  const size_t h = bitlen / 16;
  if (bitlen % 16 != 0 || h == 0 || (blobSize - keyblob::kModulusOffset) / 9 < h)
    return Outcome::Failed;
  const size_t total = 9 * h + 4;
  result = env->NewByteArray(static_cast<jsize>(total));
  if (result == nullptr) return Outcome::Ok;  // the JVM's error is pending
  const keyblob::PrivateOffsets at = keyblob::privateOffsets(bitlen);
  putField(env, result, 0, b + at.modulus, 2 * h);
  putField(env, result, 2 * h, b + keyblob::kExponentOffset, 4);
  putField(env, result, 2 * h + 4, b + at.privateExponent, 2 * h);
  size_t from = at.prime1;
  for (size_t to = 4 * h + 4; to < total; to += h, from += h)
    putField(env, result, to, b + from, h);
  return Outcome::Ok;
}

Outcome exportPrivateKey(JNIEnv *env, const Utf8Chars &provider, const Utf8Chars &container,
                         jint keySpec, const PasswordBuffer &pin, jbyteArray &result) {
  CryptProv context;
  const Outcome opened = openContainer(provider, container, keySpec, pin, context);
  if (opened != Outcome::Ok) return opened;
  CryptKey key;  // the key stays in the container
  if (!CryptGetUserKey(context.get(), static_cast<DWORD>(keySpec), key.out()) ||
      !exportable(key.get()))
    return Outcome::Failed;
  DWORD blobSize = 0;
  if (!CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &blobSize)) return Outcome::Failed;
  HeapBuffer blob(blobSize, HeapBuffer::Wipe::Yes);
  if (!blob || !CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, blob.data(), &blobSize))
    return Outcome::Failed;
  return writePrivateKeyBytes(env, blob, blobSize, result);
}

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_getPrivateKey(JNIEnv *env, jclass cls,
                                                                      jstring providerName,
                                                                      jstring containerName,
                                                                      jint keySpec,
                                                                      jbyteArray password) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;
  Utf8Chars provider(env, providerName);
  if (provider.failed()) return nullptr;
  Utf8Chars container(env, containerName);
  if (container.failed()) return nullptr;
  PasswordBuffer pin(env, password);
  if (pin.jniFailed()) return nullptr;

  jbyteArray result = nullptr;
  const Outcome outcome = exportPrivateKey(env, provider, container, keySpec, pin, result);
  raise(env, outcome, msg::kPasswordRefused, msg::kExportFailed);
  return result;
}
