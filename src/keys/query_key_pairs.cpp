// queryKeyPairs: every RSA key pair in every key container of every
// registered PROV_RSA_FULL provider, with its public part. Of the providers
// whose names begin with "Microsoft" (one family sharing one container
// namespace) only the first one met is searched.
#include <cstring>

#include "bridge/chain.h"
#include "bridge/frame.h"
#include "bridge/records.h"
#include "com_qel_varnel_MSCAPI.h"
#include "keys/provider_registry.h"
#include "platform/handles.h"

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

// PUBLICKEYBLOB offsets: BLOBHEADER (8), RSAPUBKEY magic (4), bit length
// (4), public exponent (4), then the modulus, little-endian.
constexpr DWORD kBitLenOffset = 12;
constexpr DWORD kPubExpOffset = 16;
constexpr DWORD kModulusOffset = 20;

uint32_t readLe32(const uint8_t *p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

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
  if (size < kModulusOffset) return;
  const uint32_t modulusLength = readLe32(blob.data() + kBitLenOffset) / 8;
  // A blob shorter than its bit length says contributes no record.
  if (modulusLength > size - kModulusOffset) return;

  const uint32_t providerLength = static_cast<uint32_t>(std::strlen(providerName));
  const uint32_t containerLength = static_cast<uint32_t>(std::strlen(containerName));
  KeyPairRecord *record = Chain<KeyPairRecord>::make(
      copyText(providerName, providerLength), providerLength,
      copyText(containerName, containerLength), containerLength, HeapBuffer(modulusLength), keySpec,
      readLe32(blob.data() + kPubExpOffset), modulusLength, nullptr);
  if (record == nullptr) return;
  if (!record->providerName || !record->containerName || !record->modulus) {
    delete record;
    return;
  }
  std::memcpy(record->modulus.data(), blob.data() + kModulusOffset, modulusLength);
  reverseBytes(record->modulus.data(), modulusLength);
  chain.pushFront(record);
}

// Walks one provider's containers through its verification context.
void collectProvider(const char *providerName, Chain<KeyPairRecord> &chain) {
  CryptProv verify;
  if (!CryptAcquireContextA(verify.out(), nullptr, providerName, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT))
    return;
  char container[kRegTextSize];
  DWORD size = sizeof container;
  DWORD flags = CRYPT_FIRST;
  while (CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(container),
                           &size, flags)) {
    flags = 0;
    // A name that does not end inside the buffer is never read past it.
    if (isTerminated(container, sizeof container)) {
      CryptProv context;
      if (CryptAcquireContextA(context.out(), container, providerName, PROV_RSA_FULL, 0)) {
        collectUserKey(context.get(), AT_KEYEXCHANGE, chain, container, providerName);
        collectUserKey(context.get(), AT_SIGNATURE, chain, container, providerName);
        context.reset();
      }
    }
    size = sizeof container;
  }
}

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_queryKeyPairs(JNIEnv *env, jclass cls) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;

  RegKey providers;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS,
                    providers.out()) != ERROR_SUCCESS) {
    throwJavaException(env, "Failed to open provider path in registry!");
    return nullptr;
  }

  Chain<KeyPairRecord> chain;
  bool microsoftSeen = false;
  char name[kRegTextSize];
  for (DWORD index = 0;; ++index) {
    const ProviderName found = enumProviderName(providers.get(), index, name);
    if (found == ProviderName::End) break;
    if (found == ProviderName::Skipped) continue;
    // The "Microsoft" providers share one container namespace: the first one
    // met takes the family's only turn, even when it turns out not to be of
    // type 1 or refuses a verification context.
    if (std::strncmp(name, "Microsoft", 9) == 0) {
      if (microsoftSeen) continue;
      microsoftSeen = true;
    }
    RegKey provider;
    if (!openProviderKey(name, provider)) {
      throwJavaException(env, "Failed to open provider key in registry!");
      return nullptr;  // the chain and both keys are released on the way out
    }
    if (readProviderType(provider.get()) == PROV_RSA_FULL) collectProvider(name, chain);
    provider.reset();
  }
  providers.reset();

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
  chain.clear();
  if (allocFailed) throwJavaException(env, "Failed to open provider path in registry!");
  return result;
}
