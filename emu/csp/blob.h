// The published CryptoAPI key blob layouts for RSA keys: BLOBHEADER,
// RSAPUBKEY, then the components little-endian. PUBLICKEYBLOB holds the
// modulus (bitlen/8 bytes); PRIVATEKEYBLOB adds prime1, prime2, exponent1,
// exponent2, coefficient (bitlen/16 bytes each) and the private exponent
// (bitlen/8). For a bit length that is not a multiple of 16 the fields are
// rounded up to whole bytes so that the components always fit.
#pragma once

#include "csp/keystore.h"

namespace emu::csp::blob {

constexpr DWORD kMagicPublic = 0x31415352;   // "RSA1"
constexpr DWORD kMagicPrivate = 0x32415352;  // "RSA2"
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

inline DWORD modulusBytes(DWORD bits) {
  return (bits + 7) / 8;
}
inline DWORD halfBytes(DWORD bits) {
  return (bits + 15) / 16;
}
inline DWORD privateSize(DWORD bits) {
  return 20 + 2 * modulusBytes(bits) + 5 * halfBytes(bits);
}
inline DWORD publicSize(DWORD bits) {
  return 20 + modulusBytes(bits);
}

Bytes publicBlob(const KeyInfo &info);
// False when a component does not fit its field.
bool privateBlob(const KeyInfo &info, const rsa::Parts &parts, Bytes &out);

// Reads a PRIVATEKEYBLOB: header, magic and length checked. Fills the
// components (big-endian) and the slot its aiKeyAlg names; false with the
// platform's error code otherwise.
bool parsePrivate(const BYTE *data, DWORD len, rsa::Parts &parts, int &spec, DWORD &bits,
                  DWORD &error);

}  // namespace emu::csp::blob
