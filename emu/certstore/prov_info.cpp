#include "certstore/prov_info.h"

#include <cstring>

namespace emu::certstore {

namespace {

void put32(Bytes &b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void putString(Bytes &b, const WCHAR *s) {
  put32(b, s != nullptr ? 1 : 0);
  uint32_t n = 0;
  if (s != nullptr)
    while (s[n] != 0) ++n;
  put32(b, n);
  for (uint32_t i = 0; i < n; ++i) {
    b.push_back(static_cast<uint8_t>(s[i]));
    b.push_back(static_cast<uint8_t>(s[i] >> 8));
  }
}

// Reads the stored form; every access is bounds-checked.
class Reader {
 public:
  Reader(const uint8_t *b, size_t n) : b_(b), n_(n) {}
  bool u32(uint32_t &v) {
    if (n_ - pos_ < 4 || pos_ > n_) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b_[pos_ + i]) << (8 * i);
    pos_ += 4;
    return true;
  }
  bool take(size_t n, const uint8_t *&p) {
    if (n_ - pos_ < n) return false;
    p = b_ + pos_;
    pos_ += n;
    return true;
  }
  bool atEnd() const { return pos_ == n_; }

 private:
  const uint8_t *b_;
  size_t n_;
  size_t pos_ = 0;
};

struct Parsed {
  uint32_t provType = 0, flags = 0, keySpec = 0, params = 0;
  bool hasContainer = false, hasProvider = false;
  uint32_t containerUnits = 0, providerUnits = 0;
  const uint8_t *container = nullptr, *provider = nullptr;
  struct Param {
    uint32_t id, flags, size;
    const uint8_t *data;
  };
  std::vector<Param> rg;
  size_t paramBytes = 0;
};

bool readString(Reader &r, bool &present, uint32_t &units, const uint8_t *&p) {
  uint32_t flag = 0;
  if (!r.u32(flag) || !r.u32(units) || units > (1u << 20)) return false;
  present = flag != 0;
  return r.take(size_t{units} * 2, p);
}

bool parse(const uint8_t *stored, size_t n, Parsed &p) {
  Reader r(stored, n);
  if (!r.u32(p.provType) || !r.u32(p.flags) || !r.u32(p.keySpec) || !r.u32(p.params)) return false;
  if (!readString(r, p.hasContainer, p.containerUnits, p.container)) return false;
  if (!readString(r, p.hasProvider, p.providerUnits, p.provider)) return false;
  if (p.params > 1024) return false;
  for (uint32_t i = 0; i < p.params; ++i) {
    Parsed::Param q{};
    if (!r.u32(q.id) || !r.u32(q.flags) || !r.u32(q.size) || !r.take(q.size, q.data)) return false;
    p.rg.push_back(q);
    p.paramBytes += q.size;
  }
  return r.atEnd();
}

size_t stringBytes(bool present, uint32_t units) {
  return present ? (size_t{units} + 1) * sizeof(WCHAR) : 0;
}

}  // namespace

Bytes serialiseProvInfo(const CRYPT_KEY_PROV_INFO &info) {
  Bytes b;
  put32(b, info.dwProvType);
  put32(b, info.dwFlags);
  put32(b, info.dwKeySpec);
  const uint32_t params = info.rgProvParam != nullptr ? info.cProvParam : 0;
  put32(b, params);
  putString(b, info.pwszContainerName);
  putString(b, info.pwszProvName);
  for (uint32_t i = 0; i < params; ++i) {
    const CRYPT_KEY_PROV_PARAM &q = info.rgProvParam[i];
    const uint32_t size = q.pbData != nullptr ? q.cbData : 0;
    put32(b, q.dwParam);
    put32(b, q.dwFlags);
    put32(b, size);
    b.insert(b.end(), q.pbData, q.pbData + size);
  }
  return b;
}

DWORD provInfoSize(const uint8_t *stored, size_t n) {
  Parsed p;
  if (!parse(stored, n, p)) return 0;
  return static_cast<DWORD>(sizeof(CRYPT_KEY_PROV_INFO) +
                            p.rg.size() * sizeof(CRYPT_KEY_PROV_PARAM) +
                            stringBytes(p.hasContainer, p.containerUnits) +
                            stringBytes(p.hasProvider, p.providerUnits) + p.paramBytes);
}

void writeProvInfo(const uint8_t *stored, size_t n, BYTE *out) {
  Parsed p;
  if (!parse(stored, n, p)) return;
  auto *info = reinterpret_cast<CRYPT_KEY_PROV_INFO *>(out);
  auto *rg = reinterpret_cast<CRYPT_KEY_PROV_PARAM *>(out + sizeof(CRYPT_KEY_PROV_INFO));
  BYTE *cursor = reinterpret_cast<BYTE *>(rg + p.rg.size());
  auto copyString = [&cursor](bool present, uint32_t units, const uint8_t *src) -> WCHAR * {
    if (!present) return nullptr;
    auto *dst = reinterpret_cast<WCHAR *>(cursor);
    for (uint32_t i = 0; i < units; ++i)
      dst[i] = static_cast<WCHAR>(src[2 * i] | (src[2 * i + 1] << 8));
    dst[units] = 0;
    cursor += stringBytes(true, units);
    return dst;
  };
  info->pwszContainerName = copyString(p.hasContainer, p.containerUnits, p.container);
  info->pwszProvName = copyString(p.hasProvider, p.providerUnits, p.provider);
  info->dwProvType = p.provType;
  info->dwFlags = p.flags;
  info->cProvParam = static_cast<DWORD>(p.rg.size());
  info->rgProvParam = p.rg.empty() ? nullptr : rg;
  info->dwKeySpec = p.keySpec;
  for (size_t i = 0; i < p.rg.size(); ++i) {
    rg[i].dwParam = p.rg[i].id;
    rg[i].dwFlags = p.rg[i].flags;
    rg[i].cbData = p.rg[i].size;
    rg[i].pbData = p.rg[i].size != 0 ? cursor : nullptr;
    if (p.rg[i].size != 0) std::memcpy(cursor, p.rg[i].data, p.rg[i].size);
    cursor += p.rg[i].size;
  }
}

}  // namespace emu::certstore
