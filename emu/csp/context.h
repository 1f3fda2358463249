// A provider context (HCRYPTPROV) of the emulated CSP.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/handle_table.h"
#include "csp/provider.h"

namespace emu::csp {

struct LoadedKey;
namespace pkcs11 {
struct Container;
}

// What a context knows about one key slot (AT_KEYEXCHANGE, AT_SIGNATURE) of
// its container: the PIN it presented (token family only) and, once that PIN
// opened the slot's protected key, the unlocked key of that generation.
struct Slot {
  bool pinGiven = false;
  std::string pin;  // wiped when replaced and when the context goes away
  uint64_t unlockedGen = 0;
  std::shared_ptr<LoadedKey> unlocked;
  void clearPin();
  ~Slot() { clearPin(); }
};

struct Context {
  Provider provider;
  bool verifyOnly = false;  // CRYPT_VERIFYCONTEXT: no key container
  // Set when CryptReleaseContext released the handle; keys and hash
  // objects made through the context then fail with NTE_BAD_UID.
  std::atomic<bool> released{false};
  std::string dbPath;       // the key database of the home the context opened
  int64_t containerId = 0;  // row of the open container (0 for a verification context)
  std::string containerName;
  // PKCS#11 family: the open container on its token.
  std::shared_ptr<pkcs11::Container> p11;

  std::mutex mu;  // guards what follows
  Slot slots[2];  // [0] AT_KEYEXCHANGE, [1] AT_SIGNATURE
  // PP_ENUMCONTAINERS: the names taken at CRYPT_FIRST and the next position.
  std::vector<std::string> enumNames;
  size_t enumPos = 0;
  bool enumStarted = false;
};

inline HandleTable<Context, HandleKind::Context> &contexts() {
  return HandleTable<Context, HandleKind::Context>::instance();
}

// The slot index of a key spec (AT_KEYEXCHANGE 0, AT_SIGNATURE 1); -1 for
// anything else.
inline int slotOf(DWORD keySpec) {
  return keySpec == AT_KEYEXCHANGE ? 0 : keySpec == AT_SIGNATURE ? 1 : -1;
}

}  // namespace emu::csp
