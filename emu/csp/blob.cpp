#include "csp/blob.h"

#include "common/trace.h"

namespace emu::csp::blob {

namespace {

void header(Bytes &out, BYTE type, const KeyInfo &info, DWORD magic) {
  out[keyblob::kTypeOffset] = type;
  out[keyblob::kVersionOffset] = CUR_BLOB_VERSION;
  out[2] = out[3] = 0;
  keyblob::writeLE32(&out[keyblob::kAlgOffset], info.alg);
  keyblob::writeLE32(&out[keyblob::kMagicOffset], magic);
  keyblob::writeLE32(&out[keyblob::kBitLenOffset], info.bits);
  keyblob::writeLE32(&out[keyblob::kExponentOffset], info.exponent);
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
  header(out, PUBLICKEYBLOB, info, keyblob::kMagicPublic);
  putLE(out, keyblob::kModulusOffset, modulusBytes(info.bits), info.modulus);
  return out;
}

bool privateBlob(const KeyInfo &info, const crypto::Parts &parts, Bytes &out) {
  const size_t m = modulusBytes(info.bits), h = halfBytes(info.bits);
  out.assign(privateSize(info.bits), 0);
  header(out, PRIVATEKEYBLOB, info, keyblob::kMagicPrivate);
  size_t at = keyblob::kModulusOffset;
  bool ok = putLE(out, at, m, parts.n);
  at += m;
  for (const Bytes *b : {&parts.p, &parts.q, &parts.dp, &parts.dq, &parts.qinv}) {
    ok = ok && putLE(out, at, h, *b);
    at += h;
  }
  return ok && putLE(out, at, m, parts.d);
}

Status parsePrivate(const BYTE *data, DWORD len, crypto::Parts &parts, int &spec, DWORD &bits) {
  if (data == nullptr || len < keyblob::kHeaderSize) return Failure(NTE_BAD_LEN);
  if (data[keyblob::kTypeOffset] != PRIVATEKEYBLOB) return Failure(NTE_BAD_TYPE);
  if (data[keyblob::kVersionOffset] != CUR_BLOB_VERSION) return Failure(NTE_BAD_VER);
  const DWORD alg = keyblob::readLE32(data + 4);
  if (data[2] != 0 || data[3] != 0 ||
      keyblob::readLE32(data + keyblob::kMagicOffset) != keyblob::kMagicPrivate)
    return Failure(NTE_BAD_DATA);
  if (alg == CALG_RSA_KEYX) {
    spec = AT_KEYEXCHANGE;
  } else if (alg == CALG_RSA_SIGN) {
    spec = AT_SIGNATURE;
  } else {
    return Failure(NTE_BAD_ALGID);
  }
  bits = keyblob::readLE32(data + keyblob::kBitLenOffset);
  if (!admittedLength(bits)) return Failure(NTE_BAD_LEN, trace::Reason::KEY_LENGTH, kLengthRule);
  if (len < privateSize(bits))
    return Failure(NTE_BAD_LEN, "key blob shorter than its bit length needs");
  const DWORD e = keyblob::readLE32(data + keyblob::kExponentOffset);
  const size_t m = modulusBytes(bits), h = halfBytes(bits);
  const BYTE *p = data + keyblob::kModulusOffset;
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
  if (parts.e.empty() || crypto::modulusBits(parts.n) != bits) return Failure(NTE_BAD_DATA);
  return done();
}

}  // namespace emu::csp::blob
