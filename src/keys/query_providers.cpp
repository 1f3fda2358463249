// queryProviders: the installed PROV_RSA_FULL providers, read from the
// registry's provider registration, the machine's default first.
#include <cstring>
#include <memory>

#include "bridge/chain.h"
#include "bridge/frame.h"
#include "bridge/messages.h"
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

// A node for the name, or null when the memory cannot be had.
ProviderNode *makeNode(const char *name) {
  const uint32_t length = static_cast<uint32_t>(std::strlen(name));
  std::unique_ptr<ProviderNode> node(
      Chain<ProviderNode>::make(HeapBuffer(length + 1), length, nullptr));
  if (!node || !node->name) return nullptr;
  std::memcpy(node->name.data(), name, length + 1);
  return node.release();
}

// Gathers the type-1 providers into the chain, the default one held apart.
// Returns the message of a failure, or null. The provider key is closed
// when this returns.
const char *gatherProviders(const char *defaultName, Chain<ProviderNode> &chain,
                            std::unique_ptr<ProviderNode> &defaultNode) {
  RegKey providers;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS,
                    providers.out()) != ERROR_SUCCESS)
    return msg::kProviderPath;
  char name[kRegTextSize];
  for (DWORD index = 0;; ++index) {
    const ProviderName found = enumProviderName(providers.get(), index, name);
    if (found == ProviderName::End) return nullptr;
    if (found == ProviderName::Skipped) continue;
    RegKey provider;  // closed at the end of each turn
    if (!openProviderKey(name, provider)) return msg::kProviderKey;
    if (readProviderType(provider.get()) != PROV_RSA_FULL) continue;
    ProviderNode *node = makeNode(name);
    if (node == nullptr) continue;
    if (!defaultNode && std::strcmp(name, defaultName) == 0)
      defaultNode.reset(node);
    else
      chain.pushFront(node);
  }
}

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_queryProviders(JNIEnv *env, jclass cls) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;
  char defaultName[kRegTextSize];
  readDefaultName(defaultName);
  Chain<ProviderNode> chain;
  std::unique_ptr<ProviderNode> defaultNode;
  if (const char *failure = gatherProviders(defaultName, chain, defaultNode)) {
    throwJavaException(env, failure);
    return nullptr;
  }
  if (defaultNode) chain.pushFront(defaultNode.release());

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
  if (allocFailed) throwJavaException(env, msg::kProviderPath);
  return result;
}
