// Builds small X.509 certificates for the suite (the stores parse them but
// never check their signatures, so any signature bytes do).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace conformance {

using Bytes = std::vector<uint8_t>;

inline Bytes tlv(uint8_t tag, const Bytes &content) {
  Bytes out{tag};
  const size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
  } else if (n < 0x100) {
    out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes seq(std::initializer_list<Bytes> parts) {
  return tlv(0x30, cat(parts));
}

// A Name of one common name, as `tag` (0x0C UTF8String, 0x13 PrintableString).
inline Bytes name(const std::string &cn, uint8_t tag = 0x0C) {
  const Bytes cnOid{0x06, 0x03, 0x55, 0x04, 0x03};
  return seq({tlv(0x31, seq({cnOid, tlv(tag, Bytes(cn.begin(), cn.end()))}))});
}

struct TestCert {
  Bytes der;
  Bytes serialContent;  // the DER INTEGER's content bytes, most significant first
  Bytes issuer;         // the issuer Name's DER
};

// A self-issued certificate with the given serial number content bytes
// (which must form a valid DER INTEGER content) and common name.
inline TestCert makeCert(const Bytes &serialContent, const std::string &cn) {
  const Bytes sha256WithRsa =
      seq({{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B}, {0x05, 0x00}});
  const Bytes rsaEncryption =
      seq({{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}, {0x05, 0x00}});
  Bytes modulus(129, 0x5A);
  modulus[0] = 0x00;  // positive
  modulus[1] = 0xC3;
  const Bytes rsaKey = seq({tlv(0x02, modulus), tlv(0x02, {0x01, 0x00, 0x01})});
  const Bytes spki = seq({rsaEncryption, tlv(0x03, cat({{0x00}, rsaKey}))});
  const Bytes issuer = name(cn);
  const Bytes validity =
      seq({tlv(0x17, Bytes{'2', '5', '0', '1', '0', '1', '0', '0', '0', '0', '0', '0', 'Z'}),
           tlv(0x17, Bytes{'3', '5', '0', '1', '0', '1', '0', '0', '0', '0', '0', '0', 'Z'})});
  const Bytes tbs = seq({tlv(0xA0, tlv(0x02, {0x02})), tlv(0x02, serialContent), sha256WithRsa,
                         issuer, validity, issuer, spki});
  const Bytes signature(128, 0x11);
  return {seq({tbs, sha256WithRsa, tlv(0x03, cat({{0x00}, signature}))}), serialContent, issuer};
}

}  // namespace conformance
