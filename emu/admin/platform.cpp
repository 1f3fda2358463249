// What the tool shows of the platform, as the emulation itself sees it:
//   home [--json]                 where the home is and where that came from
//   providers [--json]            the registered providers, their families,
//                                 and the slots and tokens of PKCS#11 ones
//   tokens [--provider N] [--json]  the slots and tokens of PKCS#11 providers
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "admin/admin.h"
#include "common/ascii.h"
#include "common/home.h"
#include "csp/key_family.h"
#include "csp/pkcs11/module.h"
#include "csp/provider.h"
#include "registry/registry.h"

namespace emu::admin {

namespace {

namespace p11 = csp::pkcs11;

bool exists(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// A blank-padded PKCS#11 text field without its padding.
template <size_t N>
std::string field(const CK_UTF8CHAR (&text)[N]) {
  std::string s(reinterpret_cast<const char *>(text), N);
  const auto end = s.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

struct FlagName {
  CK_FLAGS flag;
  const char *name;
};

const FlagName kTokenFlags[] = {
    {CKF_RNG, "CKF_RNG"},
    {CKF_WRITE_PROTECTED, "CKF_WRITE_PROTECTED"},
    {CKF_LOGIN_REQUIRED, "CKF_LOGIN_REQUIRED"},
    {CKF_USER_PIN_INITIALIZED, "CKF_USER_PIN_INITIALIZED"},
    {CKF_RESTORE_KEY_NOT_NEEDED, "CKF_RESTORE_KEY_NOT_NEEDED"},
    {CKF_CLOCK_ON_TOKEN, "CKF_CLOCK_ON_TOKEN"},
    {CKF_PROTECTED_AUTHENTICATION_PATH, "CKF_PROTECTED_AUTHENTICATION_PATH"},
    {CKF_DUAL_CRYPTO_OPERATIONS, "CKF_DUAL_CRYPTO_OPERATIONS"},
    {CKF_TOKEN_INITIALIZED, "CKF_TOKEN_INITIALIZED"},
    {CKF_SECONDARY_AUTHENTICATION, "CKF_SECONDARY_AUTHENTICATION"},
    {CKF_USER_PIN_COUNT_LOW, "CKF_USER_PIN_COUNT_LOW"},
    {CKF_USER_PIN_FINAL_TRY, "CKF_USER_PIN_FINAL_TRY"},
    {CKF_USER_PIN_LOCKED, "CKF_USER_PIN_LOCKED"},
    {CKF_USER_PIN_TO_BE_CHANGED, "CKF_USER_PIN_TO_BE_CHANGED"},
    {CKF_SO_PIN_COUNT_LOW, "CKF_SO_PIN_COUNT_LOW"},
    {CKF_SO_PIN_FINAL_TRY, "CKF_SO_PIN_FINAL_TRY"},
    {CKF_SO_PIN_LOCKED, "CKF_SO_PIN_LOCKED"},
    {CKF_SO_PIN_TO_BE_CHANGED, "CKF_SO_PIN_TO_BE_CHANGED"},
};

Json tokenJson(const CK_TOKEN_INFO &info) {
  Json flags = Json::array();
  for (const FlagName &f : kTokenFlags)
    if ((info.flags & f.flag) != 0) flags.push_back(f.name);
  return Json{{"label", utf8(field(info.label))},
              {"serial", utf8(field(info.serialNumber))},
              {"manufacturer", utf8(field(info.manufacturerID))},
              {"model", utf8(field(info.model))},
              {"initialized", (info.flags & CKF_TOKEN_INITIALIZED) != 0},
              {"flags", std::move(flags)}};
}

// Every slot of the module, a token in it or not.
bool listSlots(p11::Use &use, Json &slots, std::string &why) {
  CK_FUNCTION_LIST *fn = use.fn();
  CK_ULONG count = 0;
  CK_RV rv = fn->C_GetSlotList(CK_FALSE, nullptr, &count);
  std::vector<CK_SLOT_ID> ids(count);
  if (rv == CKR_OK && count > 0) rv = fn->C_GetSlotList(CK_FALSE, ids.data(), &count);
  if (rv != CKR_OK) {
    why = "C_GetSlotList: " + p11::rvName(rv);
    return false;
  }
  ids.resize(count);
  for (const CK_SLOT_ID id : ids) {
    CK_SLOT_INFO slot{};
    if ((rv = fn->C_GetSlotInfo(id, &slot)) != CKR_OK) {
      why = "C_GetSlotInfo: " + p11::rvName(rv);
      return false;
    }
    const bool present = (slot.flags & CKF_TOKEN_PRESENT) != 0;
    Json entry{{"slot", id},
               {"description", utf8(field(slot.slotDescription))},
               {"manufacturer", utf8(field(slot.manufacturerID))},
               {"present", present},
               {"removable", (slot.flags & CKF_REMOVABLE_DEVICE) != 0},
               {"token", nullptr}};
    CK_TOKEN_INFO token{};
    // A token taken out between the two calls counts as absent.
    if (present && fn->C_GetTokenInfo(id, &token) == CKR_OK) entry["token"] = tokenJson(token);
    slots.push_back(std::move(entry));
  }
  return true;
}

// The registered providers: name, type, image and family, in the
// registry's order (case-insensitive by name).
Json registeredProviders() {
  Json list = Json::array();
  const auto tree = registry::current();
  const registry::Key *hklm = registry::localMachine(*tree);
  const registry::Key *providers = hklm ? hklm->find(csp::kProvidersKey) : nullptr;
  if (providers == nullptr) return list;
  for (const auto &[lower, key] : providers->subkeys) {
    Json p{{"name", utf8(key->name)}};
    uint32_t type = 0;
    p["type"] = registry::readDword(*key, "Type", type) ? Json(type) : Json(nullptr);
    std::string image;
    const bool hasImage = registry::readString(*key, "Image Path", image);
    p["image"] = hasImage ? Json(utf8(image)) : Json(nullptr);
    const csp::KeyFamily *family = hasImage ? csp::familyOfImage(image) : nullptr;
    p["family"] = family != nullptr ? Json(family->name()) : Json(nullptr);
    if (family != nullptr && family->holdsKeysOnTokens()) {
      std::string prompt;
      p["pinPrompt"] =
          registry::readString(*key, "PIN Prompt", prompt) ? Json(utf8(prompt)) : Json(nullptr);
      p["raw-image"] = image;
      std::string environment;
      registry::readString(*key, "Environment", environment);
      p["raw-environment"] = environment;
    }
    list.push_back(std::move(p));
  }
  return list;
}

// Adds each PKCS#11 provider's module listing (and drops the raw image,
// which only served to load the module).
void addModules(Json &providers) {
  for (Json &p : providers) {
    if (!p.contains("raw-image")) continue;
    p["module"] =
        moduleSlots(p["raw-image"].get<std::string>(), p.value("raw-environment", std::string()));
    p.erase("raw-image");
    p.erase("raw-environment");
  }
}

}  // namespace

Json moduleSlots(const std::string &path, const std::string &environment) {
  Json out{{"path", utf8(path)}};
  std::shared_ptr<p11::Module> module;
  const Status failed = p11::Module::get(path, module, environment);
  std::string why = failed ? failed->why : std::string();
  Json slots = Json::array();
  if (!failed) {
    p11::Use use(*module);
    if (listSlots(use, slots, why)) {
      out["loaded"] = true;
      out["slots"] = std::move(slots);
      return out;
    }
  }
  out["loaded"] = false;
  out["error"] = utf8(why);
  out["slots"] = Json::array();
  return out;
}

TokenStore tokenStore(const std::string &home) {
  TokenStore s;
  s.dir = home + "/softhsm";
  s.conf = s.dir + "/softhsm2.conf";
  s.tokenDir = s.dir + "/tokens";
  return s;
}

void useTokenStore(const std::string &home, bool force) {
  const TokenStore store = tokenStore(home);
  const char *set = std::getenv("SOFTHSM2_CONF");
  if (force || ((set == nullptr || *set == '\0') && exists(store.conf)))
    setenv("SOFTHSM2_CONF", store.conf.c_str(), 1);
}

int home(Args args) {
  takeFlag(args, "--json");
  if (!noMore(args, nullptr)) return kUsage;
  const std::string dir = homeDir();
  const TokenStore store = tokenStore(dir);
  const bool present = exists(dir);
  print(Json{{"home", utf8(dir)},
             {"origin", homeOrigin()},
             {"exists", present},
             {"writable", present && homeWritable(dir)},
             {"tokenStore",
              {{"dir", utf8(store.dir)},
               {"conf", utf8(store.conf)},
               {"tokenDir", utf8(store.tokenDir)},
               {"exists", exists(store.conf)}}}});
  return kOk;
}

int providers(Args args) {
  takeFlag(args, "--json");
  if (!noMore(args, nullptr)) return kUsage;
  useTokenStore(homeDir(), false);
  Json list = registeredProviders();
  addModules(list);
  print(Json{{"home", utf8(homeDir())}, {"providers", std::move(list)}});
  return kOk;
}

int tokens(Args args) {
  takeFlag(args, "--json");
  std::string only;
  if (!takeOption(args, "--provider", only)) {
    std::fprintf(stderr, "mscapi: --provider needs a value\n");
    return kUsage;
  }
  if (!noMore(args, nullptr)) return kUsage;
  useTokenStore(homeDir(), false);
  Json list = Json::array();
  for (Json &p : registeredProviders()) {
    if (!p.contains("raw-image")) continue;
    if (!only.empty() && ascii::lower(p["name"].get<std::string>()) != ascii::lower(only)) continue;
    list.push_back(std::move(p));
  }
  addModules(list);
  print(Json{{"home", utf8(homeDir())}, {"providers", std::move(list)}});
  return kOk;
}

}  // namespace emu::admin
