// generateKeyPair: creates a new key container, has the provider generate an
// RSA key pair in it (exportable where the provider allows it) and returns
// the public key as PublicKeyBytes: the public exponent (4 bytes,
// little-endian as the platform keeps it) followed by keyBits/8 modulus
// bytes, most significant first.
#include <cstring>

#include "bridge/frame.h"
#include "bridge/holders.h"
#include "com_qel_varnel_MSCAPI.h"
#include "platform/handles.h"

using namespace mscapi;

namespace {

// PUBLICKEYBLOB: BLOBHEADER (8 bytes), RSAPUBKEY magic and bitlen (8), then
// pubexp at offset 16 and the modulus, little-endian, from offset 20.
constexpr size_t kExponentOffset = 16;
constexpr size_t kModulusOffset = 20;

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_generateKeyPair(JNIEnv *env, jclass cls,
                                                                        jstring providerName,
                                                                        jstring containerName,
                                                                        jint algId, jint keyBits) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;

  jbyteArray result = nullptr;
  bool done = false;  // the public key was read (the array may still have failed)
  {
    Utf8Chars provider(env, providerName);
    if (provider.failed()) return nullptr;
    Utf8Chars container(env, containerName);
    if (container.failed()) return nullptr;
    // The length must fit the upper 16 bits of CryptGenKey's flags; any other
    // value fails before a container is created.
    const bool lengthFits = keyBits >= 0 && keyBits < 65536;
    CryptProv context;
    if (lengthFits && CryptAcquireContextA(context.out(), container.get(), provider.get(),
                                           PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
      const DWORD lengthFlags = static_cast<DWORD>(keyBits) << 16;
      CryptKey key;
      // A provider that refuses exportable keys still yields a key pair.
      if (CryptGenKey(context.get(), static_cast<ALG_ID>(algId), lengthFlags | CRYPT_EXPORTABLE,
                      key.out()) ||
          CryptGenKey(context.get(), static_cast<ALG_ID>(algId), lengthFlags, key.out())) {
        DWORD blobSize = 0;
        if (CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, nullptr, &blobSize)) {
          HeapBuffer blob(blobSize);
          if (blob && CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, blob.data(), &blobSize)) {
            const size_t n = static_cast<size_t>(keyBits) / 8;
            // Never read past the blob: a modulus shorter than keyBits/8 fails.
            if (blobSize >= kModulusOffset && n <= blobSize - kModulusOffset) {
              HeapBuffer bytes(n + 4);
              if (bytes) {
                std::memcpy(bytes.data(), blob.data() + kExponentOffset, 4);
                if (n != 0) std::memcpy(bytes.data() + 4, blob.data() + kModulusOffset, n);
                reverseBytes(bytes.data() + 4, static_cast<uint32_t>(n));
                result = newByteArray(env, bytes.data(), bytes.size());
                done = true;
              }
              bytes.reset();
            }
          }
          blob.reset();
        }
        key.reset();  // the key pair stays in the container
      }
      context.reset();
    }
    provider.release();
    container.release();
  }
  // When NewByteArray failed, the JVM's own error is what the caller gets.
  if (!done) throwJavaException(env, "Failed to generate key pair!");
  return result;
}
