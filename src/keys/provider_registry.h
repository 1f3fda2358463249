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

// What the enumeration found at one index of the provider key's subkeys.
enum class ProviderName {
  Read,     // the name is in the buffer, terminated
  Skipped,  // the name does not fit the buffer: pass over this index
  End,      // no more names, or the enumeration failed
};

// Reads the provider name at `index` of the provider key's subkeys. A name
// too long for the buffer only skips its own index; the enumeration ends at
// ERROR_NO_MORE_ITEMS or any other error.
inline ProviderName enumProviderName(HKEY providers, DWORD index, char (&name)[kRegTextSize]) {
  DWORD size = kRegTextSize;
  FILETIME lastWrite;
  const LONG result =
      RegEnumKeyExA(providers, index, name, &size, nullptr, nullptr, nullptr, &lastWrite);
  if (result == ERROR_MORE_DATA) return ProviderName::Skipped;
  if (result != ERROR_SUCCESS) return ProviderName::End;
  // A name that filled the whole buffer without its terminator is skipped
  // rather than read past the buffer.
  if (!isTerminated(name, sizeof name)) return ProviderName::Skipped;
  return ProviderName::Read;
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
