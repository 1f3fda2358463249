// importKeyPair, importKeyPairPwd: bring an RSA private key, given as its
// components (big-endian), into a new key container as an exportable key,
// optionally protected by a password presented as the container's PIN. One
// body, importKeyPairImpl. A container created by a failing import is
// deleted again.
#include <cstring>
#include <optional>

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

// modulus, privateExponent, prime1, prime2, exponent1, exponent2, coefficient
constexpr int kComponents = 7;
// Their order in the blob: modulus, prime1, prime2, exponent1, exponent2,
// coefficient, privateExponent.
constexpr int kBlobOrder[kComponents] = {0, 2, 3, 4, 5, 6, 1};

// The components as Java gave them and as little-endian copies of the
// method's own (wiped when freed). Java's arrays are only read.
struct Components {
  std::optional<ByteElements> elements[kComponents];
  HeapBuffer reversed[kComponents];
  size_t fields[kComponents] = {};
  bool complete = true;  // every component present and at least its field
};

// Takes the seven arrays; false when the JVM failed (its error pending). A
// missing or too short component marks the set incomplete.
bool takeComponents(JNIEnv *env, const jbyteArray (&arrays)[kComponents], size_t n, Components &c) {
  const size_t h = n / 2;
  const size_t fields[kComponents] = {n, n, h, h, h, h, h};
  for (int i = 0; i < kComponents; ++i) {
    c.fields[i] = fields[i];
    const ByteElements &e = c.elements[i].emplace(env, arrays[i]);
    if (e.failed()) return false;
    if (e.isNull() || e.size() < fields[i]) {
      c.complete = false;
      continue;
    }
    c.reversed[i] = HeapBuffer(e.size(), HeapBuffer::Wipe::Yes);
    if (!c.reversed[i]) {
      c.complete = false;
      continue;
    }
    if (e.size() != 0) std::memcpy(c.reversed[i].data(), e.data(), e.size());
    reverseBytes(c.reversed[i].data(), e.size());
  }
  return true;
}

// The PRIVATEKEYBLOB: 20 + 4n + n/2 bytes, the fields plus two zero bytes
// when n is odd. Wiped when freed.
HeapBuffer buildBlob(const Components &c, size_t n, jint keySpec, jint publicExponent) {
  const size_t size = keyblob::kHeaderSize + 4 * n + n / 2;
  HeapBuffer blob(size, HeapBuffer::Wipe::Yes);
  if (!blob) return blob;
  uint8_t *b = blob.data();
  std::memset(b, 0, size);
  b[keyblob::kTypeOffset] = PRIVATEKEYBLOB;
  b[keyblob::kVersionOffset] = keyblob::kBlobVersion;
  keyblob::writeLE32(b + keyblob::kAlgOffset,
                     keySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN);
  keyblob::writeLE32(b + keyblob::kMagicOffset, keyblob::kMagicPrivate);
  keyblob::writeLE32(b + keyblob::kBitLenOffset, static_cast<uint32_t>(n * 8));
  keyblob::writeLE32(b + keyblob::kExponentOffset, static_cast<uint32_t>(publicExponent));
  size_t at = keyblob::kModulusOffset;
  for (int i : kBlobOrder) {
    std::memcpy(b + at, c.reversed[i].data(), c.fields[i]);
    at += c.fields[i];
  }
  return blob;
}

// Deletes the container a failed import made; the outcome is not examined.
void deleteContainer(const Utf8Chars &provider, const Utf8Chars &container) {
  HCRYPTPROV unused = 0;
  CryptAcquireContextA(&unused, container.get(), provider.get(), PROV_RSA_FULL, CRYPT_DELETEKEYSET);
}

// Imports the blob into the new container under the password's PIN.
Outcome importBlob(HCRYPTPROV context, const HeapBuffer &blob, jint keySpec,
                   const PasswordBuffer &pin) {
  if (!blob) return Outcome::Failed;
  const Outcome presented = presentPassword(context, keySpec, pin);
  if (presented != Outcome::Ok) return presented;
  CryptKey key;  // the key stays in the container
  if (!CryptImportKey(context, blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE,
                      key.out()))
    return Outcome::Failed;
  return Outcome::Ok;
}

Outcome import(const Utf8Chars &provider, const Utf8Chars &container, jint keySpec, size_t n,
               jint publicExponent, const Components &components, const PasswordBuffer &pin) {
  if (!components.complete) return Outcome::Failed;
  Outcome outcome = Outcome::Failed;
  {
    CryptProv context;
    if (!CryptAcquireContextA(context.out(), container.get(), provider.get(), PROV_RSA_FULL,
                              CRYPT_NEWKEYSET))
      return Outcome::Failed;
    const HeapBuffer blob = buildBlob(components, n, keySpec, publicExponent);
    outcome = importBlob(context.get(), blob, keySpec, pin);
  }
  // With the context released, a failed import leaves no container behind.
  if (outcome != Outcome::Ok) deleteContainer(provider, container);
  return outcome;
}

void importKeyPairImpl(JNIEnv *env, jclass cls, jstring providerName, jstring containerName,
                       jint keySpec, jbyteArray modulus, jint keyBits, jint publicExponent,
                       jbyteArray privateExponent, jbyteArray prime1, jbyteArray prime2,
                       jbyteArray exponent1, jbyteArray exponent2, jbyteArray coefficient,
                       jbyteArray password) {
  if (checkLinkPermission(env, cls) != nullptr) return;
  Utf8Chars provider(env, providerName);
  if (provider.failed()) return;
  Utf8Chars container(env, containerName);
  if (container.failed()) return;
  // n: bytes of the modulus and the private exponent; the others take n/2.
  const size_t n = keyBits >= 0 ? static_cast<size_t>(keyBits) / 8 : 0;
  const jbyteArray arrays[kComponents] = {modulus,   privateExponent, prime1,     prime2,
                                          exponent1, exponent2,       coefficient};
  Components components;
  if (!takeComponents(env, arrays, n, components)) return;
  components.complete = components.complete && keyBits >= 0;
  PasswordBuffer pin(env, password);
  if (pin.jniFailed()) return;

  const Outcome outcome = import(provider, container, keySpec, n, publicExponent, components, pin);
  raise(env, outcome, msg::kPasswordRefused, msg::kImportFailed);
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
