// The published CryptoAPI key blob layouts for RSA keys, shared by the
// bridge, the emulated CSP and the tests: BLOBHEADER (8 bytes), RSAPUBKEY
// (magic, bit length, public exponent), then the components little-endian.
// PUBLICKEYBLOB holds the modulus (bitlen/8 bytes); PRIVATEKEYBLOB adds
// prime1, prime2, exponent1, exponent2, coefficient (bitlen/16 bytes each)
// and the private exponent (bitlen/8).
#pragma once

#include <cstddef>
#include <cstdint>

namespace keyblob {

constexpr size_t kTypeOffset = 0;       // bType
constexpr size_t kVersionOffset = 1;    // bVersion (2)
constexpr size_t kAlgOffset = 4;        // aiKeyAlg
constexpr size_t kMagicOffset = 8;      // "RSA1" or "RSA2"
constexpr size_t kBitLenOffset = 12;    // bit length of the modulus
constexpr size_t kExponentOffset = 16;  // public exponent, 32-bit little-endian
constexpr size_t kModulusOffset = 20;   // the first component
constexpr size_t kHeaderSize = kModulusOffset;

constexpr uint32_t kMagicPublic = 0x31415352;   // "RSA1"
constexpr uint32_t kMagicPrivate = 0x32415352;  // "RSA2"
constexpr uint8_t kBlobVersion = 2;

inline uint32_t readLE32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void writeLE32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Bytes of the modulus and of each half-size component, rounded up to
// whole bytes so that the components always fit.
constexpr size_t modulusBytes(size_t bits) {
  return (bits + 7) / 8;
}
constexpr size_t halfBytes(size_t bits) {
  return (bits + 15) / 16;
}
constexpr size_t publicSize(size_t bits) {
  return kHeaderSize + modulusBytes(bits);
}
constexpr size_t privateSize(size_t bits) {
  return kHeaderSize + 2 * modulusBytes(bits) + 5 * halfBytes(bits);
}

// Offsets of the PRIVATEKEYBLOB components for a key of `bits` bits.
struct PrivateOffsets {
  size_t modulus, prime1, prime2, exponent1, exponent2, coefficient, privateExponent;
};
constexpr PrivateOffsets privateOffsets(size_t bits) {
  const size_t n = modulusBytes(bits), h = halfBytes(bits);
  return {kModulusOffset,
          kModulusOffset + n,
          kModulusOffset + n + h,
          kModulusOffset + n + 2 * h,
          kModulusOffset + n + 3 * h,
          kModulusOffset + n + 4 * h,
          kModulusOffset + n + 5 * h};
}

}  // namespace keyblob
