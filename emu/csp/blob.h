// Making and reading the CSP's key blobs. The layouts themselves (offsets,
// sizes, little-endian readers and writers) are the ones the bridge uses:
// platform/key_blobs.h (include/).
#pragma once

#include "common/failure.h"
#include "csp/key_info.h"
#include "platform/key_blobs.h"

namespace emu::csp::blob {

// The key lengths the CSP admits, for generation and import alike: those
// OpenSSL both makes and signs with (it refuses RSA keys under 512 bits),
// in whole bytes.
constexpr DWORD kMinBits = 512;
constexpr DWORD kMaxBits = 16384;
constexpr DWORD kBitsStep = 8;
inline bool admittedLength(DWORD bits) {
  return bits >= kMinBits && bits <= kMaxBits && bits % kBitsStep == 0;
}
// The rule in words, for the trace.
constexpr const char kLengthRule[] = "key length must be 512 to 16384 bits in steps of 8";

using keyblob::halfBytes;
using keyblob::modulusBytes;
using keyblob::privateSize;
using keyblob::publicSize;

Bytes publicBlob(const KeyInfo &info);
// False when a component does not fit its field.
bool privateBlob(const KeyInfo &info, const crypto::Parts &parts, Bytes &out);

// Reads a PRIVATEKEYBLOB: header, magic and length checked. Fills the
// components (big-endian) and the slot its aiKeyAlg names; fails with the
// platform's error code otherwise.
Status parsePrivate(const BYTE *data, DWORD len, crypto::Parts &parts, int &spec, DWORD &bits);

}  // namespace emu::csp::blob
