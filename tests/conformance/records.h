// Reads the list and record results of the native methods: 32-bit
// little-endian integers and length-prefixed fields, lists led by their
// record count. Each reader takes the bytes a method returned and gives the
// records, or false when the bytes are not exactly such a layout (a length
// past the end, bytes after the last record); it never reads out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace records {

using Bytes = std::vector<uint8_t>;

inline uint32_t le32(const Bytes &b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// Fields one after another; `ok` turns false at the first that runs past
// the end, and every later read gives 0 or nothing.
struct Reader {
  const Bytes &b;
  size_t at = 0;
  bool ok = true;
  uint32_t u32() {
    if (!ok || at + 4 > b.size()) {
      ok = false;
      return 0;
    }
    const uint32_t v = le32(b, at);
    at += 4;
    return v;
  }
  Bytes field() {
    const uint32_t n = u32();
    if (!ok || n > b.size() - at) {
      ok = false;
      return {};
    }
    Bytes f(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
    at += n;
    return f;
  }
  std::string text() {
    const Bytes f = field();
    return std::string(f.begin(), f.end());
  }
  bool atEnd() const { return ok && at == b.size(); }
};

// One KeyPairList record.
struct KeyPair {
  std::string provider, container;
  Bytes modulus;  // big-endian
  uint32_t keySpec = 0, exponent = 0;
};

// One CertList record.
struct Cert {
  Bytes encoded, serial, issuer;  // serial least significant byte first
  std::string friendlyName, provider, container;
  uint32_t keySpec = 0;
  Bytes description;
};

// A list: its record count, then `read` once per record.
template <class T, class Read>
bool list(const Bytes &b, std::vector<T> &out, Read read) {
  out.clear();
  Reader in{b};
  const uint32_t n = in.u32();
  for (uint32_t i = 0; i < n && in.ok; ++i) out.push_back(read(in));
  return in.atEnd();
}

// ProviderList: the provider names.
inline bool providers(const Bytes &b, std::vector<std::string> &out) {
  return list(b, out, [](Reader &in) { return in.text(); });
}

inline bool keyPairs(const Bytes &b, std::vector<KeyPair> &out) {
  return list(b, out, [](Reader &in) {
    KeyPair k;
    k.provider = in.text();
    k.container = in.text();
    k.modulus = in.field();
    k.keySpec = in.u32();
    k.exponent = in.u32();
    return k;
  });
}

inline bool certs(const Bytes &b, std::vector<Cert> &out) {
  return list(b, out, [](Reader &in) {
    Cert c;
    c.encoded = in.field();
    c.serial = in.field();
    c.issuer = in.field();
    c.friendlyName = in.text();
    c.provider = in.text();
    c.container = in.text();
    c.keySpec = in.u32();
    c.description = in.field();
    return c;
  });
}

}  // namespace records
