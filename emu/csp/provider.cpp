#include "csp/provider.h"

#include <algorithm>
#include <map>
#include <memory>
#include <utility>

#include "common/ascii.h"
#include "common/trace.h"
#include "csp/key_family.h"
#include "registry/registry.h"

namespace emu::csp {

namespace {

const char kTypes[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types";

// The file name part of an image path, lower-cased.
std::string imageFile(const std::string &path) {
  const auto slash = path.find_last_of("\\/");
  return ascii::lower(slash == std::string::npos ? path : path.substr(slash + 1));
}

// The one place that chooses a key family: by the image's file name.
const KeyFamily *chooseFamily(const std::string &image) {
  const std::string file = imageFile(image);
  if (file == "rsaenh.dll") return &softwareKeys();
  if (file == "softtoken.dll") return &softTokenKeys();
  // A PKCS#11 module is named by its absolute path.
  if (image.size() > 4 && image[0] == '/' && image.compare(image.size() - 3, 3, ".so") == 0)
    return &pkcs11Keys();
  return nullptr;
}

std::string typeKeyName(DWORD type) {
  std::string digits = std::to_string(type);
  while (digits.size() < 3) digits.insert(digits.begin(), '0');
  return "Type " + digits;
}

// A provider the registry does not name may be one that a file it could
// not read names: the permission that stood in the way is the real cause.
void unreadableRegistry(const registry::Tree &tree) {
  if (tree.unreadable.empty()) return;
  trace::why(trace::Reason::PERMISSION_DENIED,
             tree.unreadable + " (so the registry may lack providers)");
}

// Fails with the platform's error code; a reason with fields is set in the
// trace where it is found.
Status resolveIn(const registry::Tree &tree, LPCSTR name, DWORD type, Provider &out) {
  const registry::Key *hklm = registry::localMachine(tree);
  std::string wanted;
  if (name != nullptr) {
    wanted = name;
  } else {
    const registry::Key *types = hklm ? hklm->find(kTypes) : nullptr;
    const registry::Key *t = types ? types->child(typeKeyName(type)) : nullptr;
    if (t == nullptr || !registry::readString(*t, "Name", wanted)) {
      trace::why(trace::Reason::NO_DEFAULT_PROVIDER,
                 "no default provider of this type is registered");
      unreadableRegistry(tree);
      return Failure(NTE_PROV_TYPE_NOT_DEF);
    }
  }
  const registry::Key *providers = hklm ? hklm->find(kProvidersKey) : nullptr;
  const registry::Key *p = providers && !wanted.empty() ? providers->child(wanted) : nullptr;
  if (p == nullptr || wanted.find('\\') != std::string::npos) {
    trace::why(trace::Reason::PROVIDER_NOT_REGISTERED,
               "provider \"" + wanted + "\" is not registered");
    trace::detail("named", wanted);
    unreadableRegistry(tree);
    return Failure(NTE_KEYSET_NOT_DEF);
  }
  uint32_t regType = 0;
  if (!registry::readDword(*p, "Type", regType)) return Failure(NTE_PROV_TYPE_ENTRY_BAD);
  if (regType != type) {
    trace::why(trace::Reason::PROVIDER_WRONG_TYPE,
               "provider \"" + wanted + "\" is of type " + std::to_string(regType));
    trace::detail("named", wanted);
    trace::detail("registered type", regType);
    return Failure(NTE_PROV_TYPE_NO_MATCH);
  }
  std::string image;
  out.family = registry::readString(*p, "Image Path", image) ? chooseFamily(image) : nullptr;
  if (out.family == nullptr)
    return Failure(NTE_PROV_DLL_NOT_FOUND, trace::Reason::PROVIDER_NO_IMAGE,
                   "provider \"" + wanted + "\" has no image this platform can load");
  out.name = p->name;
  out.type = regType;
  out.image = image;
  out.pinPrompt.clear();
  registry::readString(*p, "PIN Prompt", out.pinPrompt);
  out.pinPromptTimeout = kDefaultPinPromptTimeout;
  uint32_t seconds = 0;
  if (registry::readDword(*p, "PIN Prompt Timeout", seconds) && seconds != 0)
    out.pinPromptTimeout = seconds;
  out.environment.clear();
  registry::readString(*p, "Environment", out.environment);
  return done();
}

// The providers this thread resolved in one registry state. A new state
// (a registry file changed) starts afresh; failures are not kept, so each
// one is traced again.
struct Resolved {
  std::shared_ptr<const registry::Tree> tree;
  std::map<std::pair<std::string, DWORD>, Provider> byName;  // name as asked
  std::map<DWORD, Provider> byType;                          // default of a type
};

constexpr size_t kMaxResolved = 64;

}  // namespace

const KeyFamily *familyOfImage(const std::string &image) {
  return chooseFamily(image);
}

Status resolveProvider(LPCSTR name, DWORD type, Provider &out) {
  thread_local Resolved resolved;
  auto tree = registry::current();
  if (resolved.tree != tree || resolved.byName.size() + resolved.byType.size() >= kMaxResolved) {
    resolved.byName.clear();
    resolved.byType.clear();
    resolved.tree = tree;
  }
  if (name != nullptr) {
    auto key = std::make_pair(std::string(name), type);
    const auto hit = resolved.byName.find(key);
    if (hit != resolved.byName.end()) {
      out = hit->second;
      return done();
    }
    if (Status failed = resolveIn(*tree, name, type, out)) return failed;
    resolved.byName.emplace(std::move(key), out);
    return done();
  }
  const auto hit = resolved.byType.find(type);
  if (hit != resolved.byType.end()) {
    out = hit->second;
    return done();
  }
  if (Status failed = resolveIn(*tree, name, type, out)) return failed;
  resolved.byType.emplace(type, out);
  return done();
}

std::vector<Provider> rsaFullProviders() {
  std::vector<Provider> out;
  const auto tree = registry::current();
  const registry::Key *hklm = registry::localMachine(*tree);
  const registry::Key *providers = hklm ? hklm->find(kProvidersKey) : nullptr;
  if (providers == nullptr) return out;
  for (const auto &entry : providers->subkeys) {
    const registry::Key &key = *entry.second;
    Provider p;
    uint32_t type = 0;
    if (!registry::readString(key, "Image Path", p.image) ||
        (p.family = chooseFamily(p.image)) == nullptr || !registry::readDword(key, "Type", type) ||
        type != PROV_RSA_FULL)
      continue;
    p.name = key.name;
    p.type = type;
    registry::readString(key, "PIN Prompt", p.pinPrompt);
    registry::readString(key, "Environment", p.environment);
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<Provider> pkcs11Providers() {
  std::vector<Provider> out = rsaFullProviders();
  out.erase(std::remove_if(out.begin(), out.end(),
                           [](const Provider &p) { return p.family != &pkcs11Keys(); }),
            out.end());
  return out;
}

}  // namespace emu::csp
