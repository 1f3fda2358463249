// getPrivateKey: reads an exportable RSA private key back out of a key
// container as PrivateKeyBytes (every component big-endian, fixed widths:
// modulus 2h, public exponent 4, private exponent 2h, then prime1, prime2,
// exponent1, exponent2, coefficient of h bytes each; h = bitlen/16),
// optionally presenting the container's password as its PIN first.
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/password.h"
#include "com_qel_varnel_MSCAPI.h"
#include "platform/handles.h"

using namespace mscapi;

namespace {

// PRIVATEKEYBLOB offsets: RSAPUBKEY bitlen at 12, pubexp at 16, the
// components from 20.
constexpr size_t kBitlenOffset = 12;
constexpr size_t kExponentOffset = 16;
constexpr size_t kModulusOffset = 20;

uint32_t readLE32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reverses `size` bytes of the blob in place and copies them into the
// result at `to`.
void putField(JNIEnv *env, jbyteArray result, size_t to, uint8_t *from, size_t size) {
  reverseBytes(from, static_cast<uint32_t>(size));
  env->SetByteArrayRegion(result, static_cast<jsize>(to), static_cast<jsize>(size),
                          reinterpret_cast<const jbyte *>(from));
}

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_getPrivateKey(JNIEnv *env, jclass cls,
                                                                      jstring providerName,
                                                                      jstring containerName,
                                                                      jint keySpec,
                                                                      jbyteArray password) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;

  jbyteArray result = nullptr;
  bool done = false;     // the key was read (the array may still have failed)
  bool refused = false;  // the provider refused the password
  {
    Utf8Chars provider(env, providerName);
    if (provider.failed()) return nullptr;
    Utf8Chars container(env, containerName);
    if (container.failed()) return nullptr;
    PasswordBuffer pin(env, password);
    if (pin.jniFailed()) return nullptr;

    CryptProv context;
    if (CryptAcquireContextA(context.out(), container.get(), provider.get(), PROV_RSA_FULL, 0)) {
      if (!presentPassword(context.get(), keySpec, pin)) {
        refused = true;
        context.reset();
      }
      CryptKey key;
      if (!refused && CryptGetUserKey(context.get(), static_cast<DWORD>(keySpec), key.out())) {
        DWORD permissions = 0;
        DWORD permissionsLen = sizeof permissions;
        DWORD blobSize = 0;
        if (CryptGetKeyParam(key.get(), KP_PERMISSIONS, reinterpret_cast<BYTE *>(&permissions),
                             &permissionsLen, 0) &&
            (permissions & CRYPT_EXPORT) != 0 &&
            CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &blobSize)) {
          HeapBuffer blob(blobSize, HeapBuffer::Wipe::Yes);
          if (blob && CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, blob.data(), &blobSize) &&
              blobSize >= kModulusOffset) {
            const uint32_t bitlen = readLE32(blob.data() + kBitlenOffset);
            const size_t h = bitlen / 16;
            // Only bit lengths that are multiples of 16 line up with the
            // fields, and nothing is read past the blob.
            if (bitlen % 16 == 0 && h != 0 && (blobSize - kModulusOffset) / 9 >= h) {
              const size_t total = 9 * h + 4;
              result = env->NewByteArray(static_cast<jsize>(total));
              done = true;
              if (result != nullptr) {
                uint8_t *b = blob.data();
                putField(env, result, 0, b + kModulusOffset, 2 * h);
                putField(env, result, 2 * h, b + kExponentOffset, 4);
                putField(env, result, 2 * h + 4, b + kModulusOffset + 7 * h, 2 * h);
                size_t from = kModulusOffset + 2 * h;
                for (size_t to = 4 * h + 4; to < total; to += h, from += h)
                  putField(env, result, to, b + from, h);
              }
            }
          }
          blob.reset();  // wiped
        }
        key.reset();  // the key stays in the container
      }
      context.reset();
    }
    provider.release();
    container.release();
  }
  if (!done)
    throwJavaException(env, refused ? "SSLRuntimeException04" : "Private key export failed !");
  return result;
}
