// importKeyPair, importKeyPairPwd: bring an RSA private key, given as its
// components (big-endian), into a new key container as an exportable key,
// optionally protected by a password presented as the container's PIN. One
// body, importKeyPairImpl. A container created by a failing import is
// deleted again.
#include <cstring>
#include <optional>

#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/password.h"
#include "com_qel_varnel_MSCAPI.h"
#include "platform/handles.h"

using namespace mscapi;

namespace {

constexpr int kComponents = 7;  // modulus, privateExponent, prime1, prime2,
                                // exponent1, exponent2, coefficient
constexpr DWORD kMagicRsa2 = 0x32415352;

void putLE32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void importKeyPairImpl(JNIEnv *env, jclass cls, jstring providerName, jstring containerName,
                       jint keySpec, jbyteArray modulus, jint keyBits, jint publicExponent,
                       jbyteArray privateExponent, jbyteArray prime1, jbyteArray prime2,
                       jbyteArray exponent1, jbyteArray exponent2, jbyteArray coefficient,
                       jbyteArray password) {
  if (checkLinkPermission(env, cls) != nullptr) return;

  bool imported = false;
  bool refused = false;  // the provider refused the password
  {
    Utf8Chars provider(env, providerName);
    if (provider.failed()) return;
    Utf8Chars container(env, containerName);
    if (container.failed()) return;

    // n: bytes of the modulus and the private exponent; h: of the others.
    const size_t n = keyBits >= 0 ? static_cast<size_t>(keyBits) / 8 : 0;
    const size_t h = n / 2;
    const jbyteArray arrays[kComponents] = {modulus,   privateExponent, prime1,     prime2,
                                            exponent1, exponent2,       coefficient};
    const size_t fields[kComponents] = {n, n, h, h, h, h, h};

    // Each component is copied into the method's own buffer and reversed
    // there (little-endian, as the blob wants it); Java's arrays are only
    // read. A missing or too short component fails before any container
    // exists.
    std::optional<ByteElements> elements[kComponents];
    HeapBuffer reversed[kComponents];
    bool inputsOk = keyBits >= 0;
    for (int i = 0; i < kComponents; ++i) {
      elements[i].emplace(env, arrays[i]);
      if (elements[i]->failed()) return;  // the JVM's error is pending
      const ByteElements &e = *elements[i];
      if (e.isNull() || e.size() < fields[i]) {
        inputsOk = false;
        continue;
      }
      reversed[i] = HeapBuffer(e.size(), HeapBuffer::Wipe::Yes);
      if (!reversed[i]) {
        inputsOk = false;
        continue;
      }
      if (e.size() != 0) std::memcpy(reversed[i].data(), e.data(), e.size());
      reverseBytes(reversed[i].data(), e.size());
    }
    PasswordBuffer pin(env, password);
    if (pin.jniFailed()) return;

    CryptProv context;
    if (inputsOk && CryptAcquireContextA(context.out(), container.get(), provider.get(),
                                         PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
      // 20 + 4n + n/2 bytes: the fields, plus two zero bytes when n is odd.
      const size_t blobSize = 20 + 4 * n + n / 2;
      HeapBuffer blob(blobSize, HeapBuffer::Wipe::Yes);
      if (blob) {
        uint8_t *b = blob.data();
        std::memset(b, 0, blobSize);
        b[0] = PRIVATEKEYBLOB;
        b[1] = 2;  // bVersion; reserved stays 0
        putLE32(b + 4, keySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN);
        putLE32(b + 8, kMagicRsa2);
        putLE32(b + 12, static_cast<uint32_t>(n * 8));
        putLE32(b + 16, static_cast<uint32_t>(publicExponent));
        // Blob order: modulus, prime1, prime2, exponent1, exponent2,
        // coefficient, privateExponent.
        static const int order[kComponents] = {0, 2, 3, 4, 5, 6, 1};
        size_t at = 20;
        for (int i : order) {
          std::memcpy(b + at, reversed[i].data(), fields[i]);
          at += fields[i];
        }
        if (!presentPassword(context.get(), keySpec, pin)) {
          refused = true;
        } else {
          CryptKey key;
          if (CryptImportKey(context.get(), b, static_cast<DWORD>(blobSize), 0, CRYPT_EXPORTABLE,
                             key.out())) {
            key.reset();  // the key stays in the container
            imported = true;
          }
        }
      }
      context.reset();
      if (!imported) {
        // Leave no container behind; the outcome is not examined.
        HCRYPTPROV unused = 0;
        CryptAcquireContextA(&unused, container.get(), provider.get(), PROV_RSA_FULL,
                             CRYPT_DELETEKEYSET);
      }
      provider.release();
      container.release();
      for (auto &e : elements)
        if (e) e->release();
      blob.reset();
    }
    // Whatever was not released above (a failure before the container
    // existed) is released here: strings, elements, then the wiped copies.
    provider.release();
    container.release();
    for (auto &e : elements)
      if (e) e->release();
  }
  if (!imported)
    throwJavaException(env, refused ? "SSLRuntimeException04" : "Failed to import key pair!");
}

}  // namespace

JNIEXPORT void JNICALL Java_com_qel_varnel_MSCAPI_importKeyPair(
    JNIEnv *env, jclass cls, jstring providerName, jstring containerName, jint keySpec,
    jbyteArray modulus, jint keyBits, jint publicExponent, jbyteArray privateExponent,
    jbyteArray prime1, jbyteArray prime2, jbyteArray exponent1, jbyteArray exponent2,
    jbyteArray coefficient) {
  importKeyPairImpl(env, cls, providerName, containerName, keySpec, modulus, keyBits,
                    publicExponent, privateExponent, prime1, prime2, exponent1, exponent2,
                    coefficient, nullptr);
}

JNIEXPORT void JNICALL Java_com_qel_varnel_MSCAPI_importKeyPairPwd(
    JNIEnv *env, jclass cls, jstring providerName, jstring containerName, jint keySpec,
    jbyteArray modulus, jint keyBits, jint publicExponent, jbyteArray privateExponent,
    jbyteArray prime1, jbyteArray prime2, jbyteArray exponent1, jbyteArray exponent2,
    jbyteArray coefficient, jbyteArray password) {
  importKeyPairImpl(env, cls, providerName, containerName, keySpec, modulus, keyBits,
                    publicExponent, privateExponent, prime1, prime2, exponent1, exponent2,
                    coefficient, password);
}
