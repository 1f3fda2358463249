// Provider registration as the emulated CSP sees it: which registered
// providers it can load, and which key family (key_family.h) each belongs
// to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/failure.h"
#include "winapi/advapi32.h"

namespace emu::csp {

class KeyFamily;

// The key container namespaces of keys.db (its "family" columns): one per
// key family that keeps its containers there, shared by all providers of
// the family. The numbers are stored in keys.db rows and never change; a
// PKCS#11 token's containers are on the token, not here.
enum class ContainerNamespace {
  Software = 0,  // the "Microsoft ..." software providers (image rsaenh.dll)
  Token = 1,     // the emulation's software token with PINs (image softtoken.dll)
};

// The time limit of a PIN prompt when the provider sets none.
constexpr uint32_t kDefaultPinPromptTimeout = 60;  // seconds

struct Provider {
  std::string name;  // as registered
  DWORD type = 0;
  const KeyFamily *family = nullptr;  // chosen by the image
  std::string image;                  // the registered "Image Path"
  std::string pinPrompt;              // the optional "PIN Prompt" program
  // Its time limit in seconds: "PIN Prompt Timeout" (REG_DWORD, 0 for the
  // default).
  uint32_t pinPromptTimeout = kDefaultPinPromptTimeout;
  // The optional "Environment": NAME=VALUE, a variable the provider's
  // module reads (SoftHSM2's SOFTHSM2_CONF, naming its token store). It is
  // set before the module is loaded, unless the process has it already.
  std::string environment;
};

// The key below HKEY_LOCAL_MACHINE whose subkeys are the registered providers.
constexpr const char kProvidersKey[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";

// The family a registered "Image Path" selects; null when the emulation
// implements none for it (as a DLL missing on Windows).
const KeyFamily *familyOfImage(const std::string &image);

// Finds the provider to load for CryptAcquireContext: by name
// (case-insensitive, as registry keys are), or the registered default of
// `type` when `name` is null. Fails with the platform's error code when the
// provider is unknown, of another type, or its image is not one the
// emulation implements (as a missing DLL on Windows), with the reason in
// the trace.
Status resolveProvider(LPCSTR name, DWORD type, Provider &out);

// The registered PROV_RSA_FULL providers whose image selects a family, in
// the registry's order, each with its family, PIN prompt and environment.
std::vector<Provider> rsaFullProviders();

// Those of them served by a PKCS#11 module; none (and no module loaded)
// when there are none.
std::vector<Provider> pkcs11Providers();

}  // namespace emu::csp
