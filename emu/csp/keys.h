// Key handles (HCRYPTKEY) and hash handles (HCRYPTHASH) of the emulated CSP.
#pragma once

#include <memory>

#include "csp/context.h"
#include "csp/keystore.h"

namespace emu::csp {

// A handle on one stored key: the facts it had when the handle was made.
// Private material is fetched (through the cache) only when needed, and
// only while the stored key is still that generation.
struct Key {
  std::shared_ptr<Context> ctx;
  KeyInfo info;
};

inline HandleTable<Key, HandleKind::Key> &keys() {
  return HandleTable<Key, HandleKind::Key>::instance();
}

struct Hash {
  std::shared_ptr<Context> ctx;
  ALG_ID alg = 0;
  DWORD size = 0;
  bool hasValue = false;
  BYTE value[64] = {};
};

inline HandleTable<Hash, HandleKind::Hash> &hashes() {
  return HandleTable<Hash, HandleKind::Hash>::instance();
}

}  // namespace emu::csp
