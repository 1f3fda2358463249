// queryProviders: the installed PROV_RSA_FULL providers, read from the
// registry's provider registration, the machine's default first.
#include <cstring>

#include "bridge/chain.h"
#include "bridge/frame.h"
#include "bridge/records.h"
#include "com_qel_varnel_MSCAPI.h"
#include "keys/provider_registry.h"
#include "platform/handles.h"

using namespace mscapi;

namespace {

struct ProviderNode {
  HeapBuffer name;  // zero-terminated copy of the subkey name
  uint32_t nameLength;
  ProviderNode *next;
};

// Reads the name of the default type-1 provider; empty when the key or the
// value is missing or cannot be read whole.
void readDefaultName(char (&name)[kRegTextSize]) {
  std::memset(name, 0, sizeof name);
  RegKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDefaultProviderTypeKey, 0, KEY_QUERY_VALUE, key.out()) !=
      ERROR_SUCCESS)
    return;
  DWORD size = sizeof name;
  if (RegQueryValueExA(key.get(), "Name", nullptr, nullptr, reinterpret_cast<BYTE *>(name),
                       &size) != ERROR_SUCCESS ||
      !isTerminated(name, sizeof name))
    std::memset(name, 0, sizeof name);
}

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_queryProviders(JNIEnv *env, jclass cls) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;

  char defaultName[kRegTextSize];
  readDefaultName(defaultName);

  RegKey providers;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS,
                    providers.out()) != ERROR_SUCCESS) {
    throwJavaException(env, "Failed to open provider path in registry!");
    return nullptr;
  }

  Chain<ProviderNode> chain;
  ProviderNode *defaultNode = nullptr;
  char name[kRegTextSize];
  for (DWORD index = 0;; ++index) {
    const ProviderName found = enumProviderName(providers.get(), index, name);
    if (found == ProviderName::End) break;
    if (found == ProviderName::Skipped) continue;
    RegKey provider;
    if (!openProviderKey(name, provider)) {
      delete defaultNode;
      throwJavaException(env, "Failed to open provider key in registry!");
      return nullptr;  // the chain and both keys are released on the way out
    }
    if (readProviderType(provider.get()) == PROV_RSA_FULL) {
      const uint32_t length = static_cast<uint32_t>(std::strlen(name));
      ProviderNode *node = Chain<ProviderNode>::make(HeapBuffer(length + 1), length, nullptr);
      if (node != nullptr && node->name) {
        std::memcpy(node->name.data(), name, length + 1);
        if (defaultNode == nullptr && std::strcmp(name, defaultName) == 0)
          defaultNode = node;
        else
          chain.pushFront(node);
      } else {
        delete node;
      }
    }
    provider.reset();
  }
  providers.reset();
  if (defaultNode != nullptr) chain.pushFront(defaultNode);

  bool allocFailed = false;
  jbyteArray result = writeRecords(
      env,
      [&](RecordWriter &w) {
        uint32_t count = 0;
        chain.forEach([&](const ProviderNode &) { ++count; });
        w.u32(count);
        chain.forEach([&](const ProviderNode &n) { w.field(n.name.data(), n.nameLength); });
      },
      allocFailed);
  chain.clear();
  if (allocFailed) throwJavaException(env, "Failed to open provider path in registry!");
  return result;
}
