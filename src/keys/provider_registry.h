// The registry places of the provider registration, shared by provider and
// key pair enumeration.
#pragma once

#include <cstddef>
#include <cstring>

#include "platform/handles.h"

namespace mscapi {

// Size of every text buffer a registry name or value is read into.
constexpr size_t kRegTextSize = 500;
// Size of the buffer a provider's subkey path is built in.
constexpr size_t kRegPathSize = 1000;

constexpr const char kDefaultProviderTypeKey[] =
    "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type 001";
constexpr const char kProviderKey[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";

// True when the buffer holds a terminator, i.e. its text ends inside it.
inline bool isTerminated(const char *text, size_t size) {
  return std::memchr(text, 0, size) != nullptr;
}

// The provider name at `index` of the provider key's subkeys; false at the
// end of the enumeration or on any other result than ERROR_SUCCESS.
inline bool enumProviderName(HKEY providers, DWORD index, char (&name)[kRegTextSize]) {
  DWORD size = kRegTextSize;
  FILETIME lastWrite;
  return RegEnumKeyExA(providers, index, name, &size, nullptr, nullptr, nullptr, &lastWrite) ==
         ERROR_SUCCESS;
}

// Opens "<provider key><name>" for reading its values.
inline bool openProviderKey(const char *name, RegKey &key) {
  char path[kRegPathSize];
  const size_t prefix = sizeof kProviderKey - 1;
  const size_t length = std::strlen(name);
  if (prefix + length + 1 > sizeof path) return false;
  std::memcpy(path, kProviderKey, prefix);
  std::memcpy(path + prefix, name, length + 1);
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key.out()) == ERROR_SUCCESS;
}

// The provider's "Type" value; 0 when it is missing or cannot be read.
inline DWORD readProviderType(HKEY provider) {
  DWORD type = 0;
  DWORD size = sizeof type;
  if (RegQueryValueExA(provider, "Type", nullptr, nullptr, reinterpret_cast<BYTE *>(&type),
                       &size) != ERROR_SUCCESS)
    type = 0;
  return type;
}

}  // namespace mscapi
