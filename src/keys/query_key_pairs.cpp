// queryKeyPairs: every RSA key pair in every key container of every
// registered PROV_RSA_FULL provider, with its public part. Of the providers
// whose names begin with "Microsoft" (one family sharing one container
// namespace) only the first one met is searched.
#include <cstring>
#include <memory>

#include "bridge/chain.h"
#include "bridge/frame.h"
#include "bridge/messages.h"
#include "bridge/records.h"
#include "com_qel_varnel_MSCAPI.h"
#include "keys/provider_registry.h"
#include "platform/handles.h"
#include "platform/key_blobs.h"

using namespace mscapi;

namespace {

struct KeyPairRecord {
  HeapBuffer providerName;
  uint32_t providerNameLength;
  HeapBuffer containerName;
  uint32_t containerNameLength;
  HeapBuffer modulus;  // big-endian
  uint32_t keySpec;
  uint32_t publicExponent;
  uint32_t modulusLength;
  KeyPairRecord *next;
};

HeapBuffer copyText(const char *text, uint32_t length) {
  HeapBuffer b(length + 1);
  if (b) std::memcpy(b.data(), text, length + 1);
  return b;
}

// Adds a record for the container's key of `keySpec` when it has one whose
// public blob can be exported; otherwise adds nothing.
void collectUserKey(HCRYPTPROV context, DWORD keySpec, Chain<KeyPairRecord> &chain,
                    const char *containerName, const char *providerName) {
  CryptKey key;
  if (!CryptGetUserKey(context, keySpec, key.out())) return;
  DWORD size = 0;
  if (!CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, nullptr, &size)) return;
  HeapBuffer blob(size);
  if (!blob || !CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, blob.data(), &size)) return;
  if (size < keyblob::kModulusOffset) return;
  const uint32_t modulusLength = keyblob::readLE32(blob.data() + keyblob::kBitLenOffset) / 8;
  // A blob shorter than its bit length says contributes no record.
  if (modulusLength > size - keyblob::kModulusOffset) return;

  const uint32_t providerLength = static_cast<uint32_t>(std::strlen(providerName));
  const uint32_t containerLength = static_cast<uint32_t>(std::strlen(containerName));
  std::unique_ptr<KeyPairRecord> record(Chain<KeyPairRecord>::make(
      copyText(providerName, providerLength), providerLength,
      copyText(containerName, containerLength), containerLength, HeapBuffer(modulusLength), keySpec,
      keyblob::readLE32(blob.data() + keyblob::kExponentOffset), modulusLength, nullptr));
  if (!record || !record->providerName || !record->containerName || !record->modulus) return;
  std::memcpy(record->modulus.data(), blob.data() + keyblob::kModulusOffset, modulusLength);
  reverseBytes(record->modulus.data(), modulusLength);
  chain.pushFront(record.release());
}

// Walks one provider's containers through its verification context.
void collectProvider(const char *providerName, Chain<KeyPairRecord> &chain) {
  CryptProv verify;
  if (!CryptAcquireContextA(verify.out(), nullptr, providerName, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT))
    return;
  char container[kRegTextSize];
  DWORD size = sizeof container;
  for (DWORD flags = CRYPT_FIRST; CryptGetProvParam(
           verify.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(container), &size, flags);
       flags = 0, size = sizeof container) {
    // A name that does not end inside the buffer is never read past it.
    if (!isTerminated(container, sizeof container)) continue;
    CryptProv context;  // released at the end of each turn
    if (!CryptAcquireContextA(context.out(), container, providerName, PROV_RSA_FULL, 0)) continue;
    collectUserKey(context.get(), AT_KEYEXCHANGE, chain, container, providerName);
    collectUserKey(context.get(), AT_SIGNATURE, chain, container, providerName);
  }
}

// Gathers the key pairs of every type-1 provider. Returns the message of a
// failure, or null. The provider key is closed when this returns.
const char *gatherKeyPairs(Chain<KeyPairRecord> &chain) {
  RegKey providers;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS,
                    providers.out()) != ERROR_SUCCESS)
    return msg::kProviderPath;
  bool microsoftSeen = false;
  char name[kRegTextSize];
  for (DWORD index = 0;; ++index) {
    const ProviderName found = enumProviderName(providers.get(), index, name);
    if (found == ProviderName::End) return nullptr;
    if (found == ProviderName::Skipped) continue;
    // The "Microsoft" providers share one container namespace: the first one
    // met takes the family's only turn, even when it turns out not to be of
    // type 1 or refuses a verification context.
    const bool microsoft = std::strncmp(name, "Microsoft", 9) == 0;
    if (microsoft && microsoftSeen) continue;
    microsoftSeen = microsoftSeen || microsoft;
    RegKey provider;  // closed at the end of each turn
    if (!openProviderKey(name, provider)) return msg::kProviderKey;
    if (readProviderType(provider.get()) == PROV_RSA_FULL) collectProvider(name, chain);
  }
}

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_queryKeyPairs(JNIEnv *env, jclass cls) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;
  Chain<KeyPairRecord> chain;
  if (const char *failure = gatherKeyPairs(chain)) {
    throwJavaException(env, failure);
    return nullptr;
  }

  bool allocFailed = false;
  jbyteArray result = writeRecords(
      env,
      [&](RecordWriter &w) {
        uint32_t count = 0;
        chain.forEach([&](const KeyPairRecord &) { ++count; });
        w.u32(count);
        chain.forEach([&](const KeyPairRecord &r) {
          w.field(r.providerName.data(), r.providerNameLength);
          w.field(r.containerName.data(), r.containerNameLength);
          w.field(r.modulus.data(), r.modulusLength);
          w.u32(r.keySpec);
          w.u32(r.publicExponent);
        });
      },
      allocFailed);
  if (allocFailed) throwJavaException(env, msg::kProviderPath);
  return result;
}
