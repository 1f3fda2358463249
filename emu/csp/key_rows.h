// What the key store's own files share: the key database, the reading of
// key rows, and the PIN check value. Not for use outside emu/csp's key
// store (keystore.h is its interface).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "csp/keystore.h"
#include "storage/database.h"

namespace emu::csp::keystore {

using storage::Database;
using storage::Statement;

// The key database at `path` with its schema.
Database &open(const std::string &path);

// Resets a cached statement on every path out of a scope.
struct Use {
  Statement &s;
  explicit Use(Statement &st) : s(st) {}
  ~Use() { s.reset(); }
};

// The public exponent as unsigned big-endian bytes without leading zeros.
Bytes exponentBytes(uint32_t e);

// The facts of a stored key (with its wrong-PIN count); false when the slot
// is empty.
bool readInfo(Database &db, int64_t container, int spec, KeyInfo &info);

// The sealed or plain private components of one generation of a key.
struct Secret {
  crypto::SecretBytes secret;
  Bytes salt, nonce;
  bool isProtected = false;
};
bool readSecret(Database &db, int64_t container, int spec, uint64_t gen, Secret &out);

// A key loaded from its stored private components; null when they do not
// make a key.
std::shared_ptr<LoadedKey> load(const KeyInfo &info, const Bytes &privateParts);

// The check value of a PIN for one generation of a protected key: SHA-256
// over a per-process secret, the generation and the PIN.
Bytes pinCheck(uint64_t gen, const std::string &pin);

}  // namespace emu::csp::keystore
