#include "csp/blob.h"

#include "common/trace.h"

namespace emu::csp::blob {

namespace {

void put32(Bytes &out, size_t at, DWORD v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

DWORD get32(const BYTE *p) {
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}

void header(Bytes &out, BYTE type, const KeyInfo &info, DWORD magic) {
  out[0] = type;
  out[1] = CUR_BLOB_VERSION;
  out[2] = out[3] = 0;
  put32(out, 4, info.alg);
  put32(out, 8, magic);
  put32(out, 12, info.bits);
  put32(out, 16, info.exponent);
}

// A big-endian number into a little-endian field of `width` bytes.
bool putLE(Bytes &out, size_t at, size_t width, const Bytes &be) {
  size_t len = be.size();
  size_t skip = 0;
  while (len > width && be[skip] == 0) {
    ++skip;
    --len;
  }
  if (len > width) return false;
  for (size_t i = 0; i < len; ++i) out[at + i] = be[be.size() - 1 - i];
  return true;
}

// A little-endian field as a big-endian number.
Bytes getBE(const BYTE *p, size_t width) {
  Bytes out(width);
  for (size_t i = 0; i < width; ++i) out[i] = p[width - 1 - i];
  return out;
}

}  // namespace

Bytes publicBlob(const KeyInfo &info) {
  Bytes out(publicSize(info.bits), 0);
  header(out, PUBLICKEYBLOB, info, kMagicPublic);
  putLE(out, 20, modulusBytes(info.bits), info.modulus);
  return out;
}

bool privateBlob(const KeyInfo &info, const rsa::Parts &parts, Bytes &out) {
  const size_t m = modulusBytes(info.bits), h = halfBytes(info.bits);
  out.assign(privateSize(info.bits), 0);
  header(out, PRIVATEKEYBLOB, info, kMagicPrivate);
  size_t at = 20;
  bool ok = putLE(out, at, m, parts.n);
  at += m;
  for (const Bytes *b : {&parts.p, &parts.q, &parts.dp, &parts.dq, &parts.qinv}) {
    ok = ok && putLE(out, at, h, *b);
    at += h;
  }
  return ok && putLE(out, at, m, parts.d);
}

bool parsePrivate(const BYTE *data, DWORD len, rsa::Parts &parts, int &spec, DWORD &bits,
                  DWORD &error) {
  if (data == nullptr || len < 20) {
    error = NTE_BAD_LEN;
    return false;
  }
  if (data[0] != PRIVATEKEYBLOB) {
    error = NTE_BAD_TYPE;
    return false;
  }
  if (data[1] != CUR_BLOB_VERSION) {
    error = NTE_BAD_VER;
    return false;
  }
  const DWORD alg = get32(data + 4);
  if (data[2] != 0 || data[3] != 0 || get32(data + 8) != kMagicPrivate) {
    error = NTE_BAD_DATA;
    return false;
  }
  if (alg == CALG_RSA_KEYX) {
    spec = AT_KEYEXCHANGE;
  } else if (alg == CALG_RSA_SIGN) {
    spec = AT_SIGNATURE;
  } else {
    error = NTE_BAD_ALGID;
    return false;
  }
  bits = get32(data + 12);
  if (!admittedLength(bits)) {
    trace::why(kLengthRule);
    error = NTE_BAD_LEN;
    return false;
  }
  if (len < privateSize(bits)) {
    trace::why("key blob shorter than its bit length needs");
    error = NTE_BAD_LEN;
    return false;
  }
  const DWORD e = get32(data + 16);
  const size_t m = modulusBytes(bits), h = halfBytes(bits);
  const BYTE *p = data + 20;
  parts.n = getBE(p, m);
  p += m;
  for (Bytes *b : {&parts.p, &parts.q, &parts.dp, &parts.dq, &parts.qinv}) {
    *b = getBE(p, h);
    p += h;
  }
  parts.d = getBE(p, m);
  parts.e.clear();
  for (int i = 3; i >= 0; --i)
    if (!parts.e.empty() || ((e >> (8 * i)) & 0xFF) != 0)
      parts.e.push_back(static_cast<uint8_t>(e >> (8 * i)));
  if (parts.e.empty() || rsa::modulusBits(parts.n) != bits) {
    error = NTE_BAD_DATA;
    return false;
  }
  return true;
}

}  // namespace emu::csp::blob
