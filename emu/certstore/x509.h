// The parts of an X.509 certificate the emulated stores need. A store holds
// DER only: one certificate has one encoding, so it cannot be stored twice
// under two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace emu::certstore {

using Bytes = std::vector<uint8_t>;

struct ParsedCert {
  Bytes serial;      // the INTEGER's content bytes, least significant first
  Bytes issuer;      // the issuer Name's DER (tag and length included)
  uint32_t version;  // 0 for v1, 2 for v3
};

// Parses exactly one DER certificate: OpenSSL must accept it, consume every
// byte, and encode it afresh to the same bytes (which refuses BER forms such
// as a non-minimal length, also inside the names). Returns false for
// anything else.
bool parseCertificate(const uint8_t *der, size_t n, ParsedCert &out);

// SHA-1 of the encoding: the store's key for a certificate.
Bytes thumbprint(const uint8_t *der, size_t n);

// The serial number (least significant byte first) as an integer value for
// comparison: redundant zero bytes and redundant sign bytes (at the end in
// this order) removed.
Bytes serialKey(const uint8_t *serial, size_t n);

}  // namespace emu::certstore
