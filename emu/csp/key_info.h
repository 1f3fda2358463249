// What the CSP knows about a stored key: its public facts (KeyInfo) and,
// once loaded into OpenSSL, the key itself (LoadedKey).
#pragma once

#include <cstdint>

#include "csp/crypto.h"
#include "winapi/advapi32.h"

namespace emu::csp {

using crypto::Bytes;

// An RSA key loaded into OpenSSL, shared by every context of the process
// that may use it.
struct LoadedKey {
  crypto::Pkey pkey;
  crypto::Signer signer;  // signs with pkey, each thread with a copy of its own
  // Protected keys: SHA-256 over a per-process secret, the salt and the PIN
  // that opened it, so a later presentation of the PIN is checked without
  // the slow key derivation (as Windows caches a PIN once entered).
  Bytes pinCheck;
};

// The public facts about a stored key (no secret material).
struct KeyInfo {
  int spec = 0;  // AT_KEYEXCHANGE or AT_SIGNATURE
  ALG_ID alg = 0;
  uint32_t bits = 0;
  bool exportable = false;
  bool isProtected = false;
  uint64_t gen = 0;
  Bytes modulus;  // big-endian
  uint32_t exponent = 0;
  uint32_t pinFailures = 0;  // wrong PINs in a row (token family)
};

}  // namespace emu::csp
