// Writes the seed corpora of the fuzz targets into OUT/<target>/: DER
// certificates and RSA keys made here with OpenSSL (512-bit keys, the
// shortest OpenSSL generates and the CSP accepts, so that the targets stay
// fast), PRIVATEKEYBLOBs of those keys, ".reg" documents in 8-bit and
// UTF-16LE form, call sequences for the JNI target, and token import's JSON
// requests (a key in PKCS#8 with its certificate, base64-encoded).
//
// Usage: fuzz_make_seeds OUT
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "jni_program.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

[[noreturn]] void die(const char *what) {
  std::fprintf(stderr, "fuzz_make_seeds: %s failed\n", what);
  std::exit(1);
}

void put(const fs::path &dir, int n, const std::string &data) {
  char name[32];
  std::snprintf(name, sizeof name, "seed-%03d", n);
  std::ofstream(dir / name, std::ios::binary) << data;
}
void put(const fs::path &dir, int n, const Bytes &data) {
  put(dir, n, std::string(data.begin(), data.end()));
}

EVP_PKEY *rsaKey(unsigned bits, unsigned exponent = 65537) {
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  BIGNUM *e = BN_new();
  BN_set_word(e, exponent);
  EVP_PKEY *key = nullptr;
  if (ctx == nullptr || EVP_PKEY_keygen_init(ctx) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, static_cast<int>(bits)) != 1 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e) != 1 || EVP_PKEY_keygen(ctx, &key) != 1)
    die("RSA key generation");
  BN_free(e);
  EVP_PKEY_CTX_free(ctx);
  return key;
}

// The RSA components of a key, each as a BIGNUM.
struct Components {
  BIGNUM *n = nullptr, *e = nullptr, *d = nullptr, *p = nullptr, *q = nullptr, *dp = nullptr,
         *dq = nullptr, *qinv = nullptr;
  explicit Components(const EVP_PKEY *key) {
    const std::pair<const char *, BIGNUM **> all[] = {
        {OSSL_PKEY_PARAM_RSA_N, &n},          {OSSL_PKEY_PARAM_RSA_E, &e},
        {OSSL_PKEY_PARAM_RSA_D, &d},          {OSSL_PKEY_PARAM_RSA_FACTOR1, &p},
        {OSSL_PKEY_PARAM_RSA_FACTOR2, &q},    {OSSL_PKEY_PARAM_RSA_EXPONENT1, &dp},
        {OSSL_PKEY_PARAM_RSA_EXPONENT2, &dq}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &qinv}};
    for (const auto &[name, bn] : all)
      if (EVP_PKEY_get_bn_param(key, name, bn) != 1) die("reading an RSA component");
  }
  ~Components() {
    for (BIGNUM *b : {n, e, d, p, q, dp, dq, qinv}) BN_clear_free(b);
  }
  unsigned bits() const { return static_cast<unsigned>(BN_num_bits(n)); }
};

Bytes bigEndian(const BIGNUM *b, size_t width) {
  Bytes out(width);
  if (BN_bn2binpad(b, out.data(), static_cast<int>(width)) < 0) die("BN_bn2binpad");
  return out;
}

void appendLE(Bytes &out, const BIGNUM *b, size_t width) {
  Bytes le(width);
  if (BN_bn2lebinpad(b, le.data(), static_cast<int>(width)) < 0) die("BN_bn2lebinpad");
  out.insert(out.end(), le.begin(), le.end());
}

void append32(Bytes &out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The published PRIVATEKEYBLOB layout: BLOBHEADER (type, version 2,
// reserved, algorithm), RSAPUBKEY ("RSA2", bit length, exponent), then n,
// p, q, dp, dq, qinv and d, little-endian.
Bytes privateKeyBlob(const EVP_PKEY *key, uint32_t alg) {
  const Components c(key);
  const size_t m = (c.bits() + 7) / 8, h = (c.bits() + 15) / 16;
  Bytes blob = {0x07, 0x02, 0x00, 0x00};
  append32(blob, alg);
  append32(blob, 0x32415352);
  append32(blob, c.bits());
  append32(blob, static_cast<uint32_t>(BN_get_word(c.e)));
  appendLE(blob, c.n, m);
  for (const BIGNUM *b : {c.p, c.q, c.dp, c.dq, c.qinv}) appendLE(blob, b, h);
  appendLE(blob, c.d, m);
  return blob;
}

struct CertSpec {
  long version;  // 0 for v1, 2 for v3
  long serial;   // used when serialHex is empty
  const char *serialHex;
  const char *subjectCn;
  const char *issuerCn;  // null: self-signed
  bool extensions;
  const char *extraRdn;  // an organisation name in UTF-8, or null
};

Bytes certificate(const CertSpec &s, EVP_PKEY *key, EVP_PKEY *issuerKey) {
  X509 *x = X509_new();
  X509_set_version(x, s.version);
  ASN1_INTEGER *serial = nullptr;
  if (s.serialHex != nullptr) {
    BIGNUM *bn = nullptr;
    BN_hex2bn(&bn, s.serialHex);
    serial = BN_to_ASN1_INTEGER(bn, nullptr);
    BN_free(bn);
  } else {
    serial = ASN1_INTEGER_new();
    ASN1_INTEGER_set(serial, s.serial);
  }
  X509_set_serialNumber(x, serial);
  ASN1_INTEGER_free(serial);
  const auto name = [&](const char *cn) {
    X509_NAME *n = X509_NAME_new();
    X509_NAME_add_entry_by_txt(n, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("DE"),
                               -1, -1, 0);
    if (s.extraRdn != nullptr)
      X509_NAME_add_entry_by_txt(n, "O", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char *>(s.extraRdn), -1, -1, 0);
    X509_NAME_add_entry_by_txt(n, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(cn),
                               -1, -1, 0);
    return n;
  };
  X509_NAME *subject = name(s.subjectCn);
  X509_NAME *issuer = name(s.issuerCn != nullptr ? s.issuerCn : s.subjectCn);
  X509_set_subject_name(x, subject);
  X509_set_issuer_name(x, issuer);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 365L * 24 * 3600);
  X509_set_pubkey(x, key);
  if (s.extensions) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    const std::pair<int, const char *> exts[] = {
        {NID_basic_constraints, "critical,CA:FALSE"},
        {NID_key_usage, "digitalSignature,keyEncipherment"},
        {NID_subject_alt_name, "DNS:fuzz.example,email:seed@fuzz.example"},
        {NID_subject_key_identifier, "hash"}};
    for (const auto &[nid, value] : exts) {
      X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
      if (ext == nullptr) die("an extension");
      X509_add_ext(x, ext, -1);
      X509_EXTENSION_free(ext);
    }
  }
  if (X509_sign(x, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) <= 0) die("X509_sign");
  unsigned char *der = nullptr;
  const int len = i2d_X509(x, &der);
  if (len <= 0) die("i2d_X509");
  Bytes out(der, der + len);
  OPENSSL_free(der);
  X509_NAME_free(subject);
  X509_NAME_free(issuer);
  X509_free(x);
  return out;
}

std::string utf16le(const std::u16string &s) {
  std::string out = "\xFF\xFE";
  for (char16_t c : s) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

// A key's PKCS#8 DER (PrivateKeyInfo), as Java's getEncoded() gives it.
Bytes pkcs8Of(EVP_PKEY *key) {
  PKCS8_PRIV_KEY_INFO *info = EVP_PKEY2PKCS8(key);
  unsigned char *der = nullptr;
  const int n = info == nullptr ? -1 : i2d_PKCS8_PRIV_KEY_INFO(info, &der);
  PKCS8_PRIV_KEY_INFO_free(info);
  if (n <= 0) die("PKCS#8 encoding");
  Bytes out(der, der + n);
  OPENSSL_free(der);
  return out;
}

// Base64 (padded, no line breaks) by OpenSSL.
std::string base64(const Bytes &b) {
  std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), b.data(),
                                static_cast<int>(b.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::u16string widen(const std::string &ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT\n", argv[0]);
    return 2;
  }
  const fs::path out = argv[1];
  for (const char *t : {"cert", "keyblob", "regfile", "jni", "token_import"}) {
    fs::remove_all(out / t);
    fs::create_directories(out / t);
  }

  // ---- Certificates ----
  EVP_PKEY *key = rsaKey(512);
  EVP_PKEY *caKey = rsaKey(512);
  EVP_PKEY *key3 = rsaKey(512, 3);
  const CertSpec specs[] = {
      {2, 1, nullptr, "Fuzz Seed One", nullptr, true, nullptr},
      {0, 2, nullptr, "Fuzz Seed v1", nullptr, false, nullptr},
      {2, 0, "00FFEEDDCCBBAA99887766554433221100112233", "Fuzz Long Serial", nullptr, true,
       nullptr},
      {2, 0x80, nullptr, "Fuzz Leaf", "Fuzz CA", true,
       "Gr\xC3\xBC"
       "ne \xE2\x82\xAC AG"},
      {2, -5, nullptr, "Fuzz Negative Serial", nullptr, false, nullptr},
      {2, 0, nullptr, "Fuzz Zero Serial", nullptr, true, "\xE6\x97\xA5\xE6\x9C\xAC"},
  };
  std::vector<Bytes> certs;
  for (const auto &s : specs)
    certs.push_back(certificate(s, s.issuerCn != nullptr ? key3 : key,
                                s.issuerCn != nullptr ? caKey : nullptr));
  int n = 0;
  for (const auto &c : certs) put(out / "cert", n++, c);

  // ---- Key blobs ----
  EVP_PKEY *key1024 = rsaKey(1024);
  n = 0;
  for (EVP_PKEY *k : {key, caKey, key3, key1024}) {
    put(out / "keyblob", n++, privateKeyBlob(k, 0xa400));  // CALG_RSA_KEYX
    put(out / "keyblob", n++, privateKeyBlob(k, 0x2400));  // CALG_RSA_SIGN
  }
  Bytes trailing = privateKeyBlob(key, 0x2400);
  trailing.insert(trailing.end(), 16, 0xAB);
  put(out / "keyblob", n++, trailing);
  Bytes header = privateKeyBlob(key, 0xa400);
  header.resize(20);
  put(out / "keyblob", n++, header);

  // ---- token import requests: the first certificate's key, with and without the rest ----
  {
    const std::string pkcs8 = base64(pkcs8Of(key)), cert = base64(certs[0]);
    const std::string requests[] = {
        "{\"pin\": \"1357\", \"key\": \"" + pkcs8 + "\", \"certificate\": \"" + cert + "\"}",
        "{\"key\": \"" + pkcs8 + "\", \"certificate\": \"" + cert + "\"}",
        "{\"key\": \"" + pkcs8 + "\"}",
        "{\"pin\": 1357, \"key\": \"" + pkcs8 + "\"}",
        "{\"key\": \"" + pkcs8 + "\", \"certificate\": \"" + base64(certs[1]) + "\"} x",
    };
    n = 0;
    for (const std::string &r : requests) put(out / "token_import", n++, r);
  }

  // ---- Registry files ----
  const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n";
  const std::string providerKey =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Fuzz Seed "
      "Provider]\r\n\"Image Path\"=\"fuzz.dll\"\r\n\"Type\"=dword:00000001\r\n"
      "\"Quoted \\\"name\\\"\"=\"back\\\\slash\"\r\n@=\"default\"\r\n\r\n";
  const std::vector<std::string> docs = {
      head + providerKey,
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B\\C]\n\"x\"=dword:ffffffff\n\"y\"=-\n; c\n",
      head +
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type "
          "001]\r\n\"Name\"=\"Soft Token RSA Provider\"\r\n",
      head +
          "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Microsoft "
          "Base Cryptographic Provider "
          "v1.0]\r\n[HKEY_CURRENT_USER\\Software\\x]\r\n\"a\"=\"b\"\r\n",
      "\xEF\xBB\xBF" + head +
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\xC3\xA9t\xC3\xA9]\r\n\"\xE2\x82\xAC\"=\"1\"\r\n",
      head +
          "[HKEY_LOCAL_MACHINE\\\\SOFTWARE]\r\n\"bad\"=dword:123456789\r\n[broken\r\n\"v\"=hex:"
          "00\r\n",
  };
  n = 0;
  for (const auto &d : docs) put(out / "regfile", n++, d);
  // The same documents as regedit writes them: UTF-16LE with its mark.
  for (const auto &d : {docs[0], docs[1], docs[3]}) put(out / "regfile", n++, utf16le(widen(d)));
  put(out / "regfile", n++,
      utf16le(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\"
              u"\u00e9\u20ac\U0001F600]\r\n\"n\"=\"\u00fc\"\r\n"));
  // A lone surrogate and an odd byte at the end.
  put(out / "regfile", n++,
      utf16le(u"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\S\xD800X]\r\n") + "A");
  // A deep section, just at the limit, and one just past it.
  for (size_t depth : {size_t(511), size_t(512)}) {
    std::string deep = head + "[HKEY_LOCAL_MACHINE";
    for (size_t i = 1; i < depth; ++i) deep += "\\k";
    put(out / "regfile", n++, deep + "]\r\n\"v\"=dword:00000001\r\n");
  }

  // ---- JNI call sequences ----
  using namespace fuzz::jni;
  const Components c(key);
  const size_t m = (c.bits() + 7) / 8, h = m / 2;
  const auto component = [&](const BIGNUM *b, size_t w) { return bigEndian(b, w); };
  const Bytes hash20(20, 0x5A), hash32(32, 0xA5);
  std::vector<Writer> seqs(14);
  seqs[0]
      .call(kGetDLLVersion)
      .call(kQueryProviders)
      .call(kQueryKeyPairs)
      .call(kQueryCerts)
      .small(1);
  seqs[1].call(kGenerateRandom).strNull().small(16);
  seqs[1].call(kGenerateRandom).provider(0).small(0);
  seqs[1].call(kGenerateRandom).latin1("x").negative(0);
  seqs[2].call(kGenerateKeyPair).strNull().container(0).small(2).i32(512);
  seqs[2].call(kSign).strNull().container(0).small(2).arr(hash20).small(20).i32(0x8004);
  seqs[2].call(kGetPrivateKey).strNull().container(0).small(2).arrNull();
  seqs[2].call(kDeleteKeyPair).strNull().container(0);
  // importKeyPair(Pwd) of the 512-bit key into a listed container, or into
  // one named `other` when that is not empty.
  const auto import = [&](Writer &w, Method method, uint8_t container, int spec,
                          const std::string &other = "") {
    w.call(method).strNull();
    if (other.empty())
      w.container(container);
    else
      w.latin1(other);
    w.small(static_cast<uint8_t>(spec));
    w.arr(component(c.n, m)).i32(static_cast<int32_t>(c.bits())).i32(65537);
    w.arr(component(c.d, m));
    for (const BIGNUM *b : {c.p, c.q, c.dp, c.dq, c.qinv}) w.arr(component(b, h));
    if (method == kImportKeyPairPwd) w.arr({'p', 'i', 'n'});
  };
  import(seqs[3], kImportKeyPair, 1, 1);
  seqs[3].call(kSign).strNull().container(1).small(1).arr(hash32).small(32).i32(0x800c);
  seqs[3].call(kGetPrivateKey).strNull().container(1).small(1).arrNull();
  seqs[3].call(kQueryKeyPairs);
  import(seqs[4], kImportKeyPairPwd, 2, 2);
  seqs[4]
      .call(kVerifyAndSign)
      .strNull()
      .container(2)
      .small(2)
      .arr(hash20)
      .small(20)
      .i32(0x8004)
      .arr({'p', 'i', 'n'});
  seqs[4].call(kGetPrivateKey).strNull().container(2).small(2).arr({'b', 'a', 'd'});
  seqs[4].call(kDeleteKeyPair).provider(1).container(2);
  seqs[5]
      .call(kAddCertToStore)
      .arr(certs[0])
      .provider(0)
      .container(0)
      .small(2)
      .latin1("friendly")
      .small(1);
  seqs[5].call(kQueryCerts).small(1);
  seqs[5].call(kSetFriendlyName).latin1("renamed").known(kKnownSerial).known(kKnownIssuer).small(1);
  seqs[5].call(kSetFlags).arr({1, 2, 3}).known(kKnownSerial).known(kKnownIssuer).small(1);
  seqs[6].call(kAddCertToStore).arr(certs[3]).strNull().strNull().small(0).strNull().small(5);
  seqs[6].call(kQueryCerts).small(5);
  seqs[6].call(kDeleteCertFromStore).known(kKnownSerial).known(kKnownIssuer).small(5);
  seqs[6].call(kDeleteCertFromStore).known(kKnownSerial).known(kKnownIssuer).small(5);
  seqs[7].call(kQueryCerts, 0x0F).raw(kManager | kManagerRefuses).small(1);
  seqs[7].call(kGenerateRandom, 0x0F).raw(kNoLibField).strNull().small(4);
  seqs[7].call(kQueryProviders, 0x0F).raw(kLibNull | kManager | kManagerRefuses);
  seqs[7].call(kGetDLLVersion, 0x0F).raw(kManager | kManagerRefuses);
  seqs[8].call(kQueryProviders, 0xF0).raw(0).call(kQueryCerts, 0xF0).raw(1).small(2);
  seqs[8]
      .call(kAddCertToStore, 0xF0)
      .raw(0)
      .arr(certs[1])
      .strNull()
      .strNull()
      .small(1)
      .latin1("n")
      .small(3);
  seqs[9].call(kQueryCerts, 0xF0).raw(kFaultCpp).small(1);
  seqs[9].call(kQueryCerts, 0xF0).raw(kFaultCpp | kFaultFromNewByteArray).small(2);
  seqs[10]
      .call(kAddCertToStore)
      .arr(certs[2])
      .utf16(u"\xD800\0x")
      .utf16(u"\u20ac\u00e9")
      .small(1)
      .utf16(u"\xDFFFname")
      .small(1);
  seqs[10].call(kQueryCerts).small(1);
  import(seqs[11], kImportKeyPair, 0, 2, "zz");
  seqs[12].call(kSign).strNull().container(1).small(1).arr(hash20).small(0).i32(0x8004);
  seqs[12].call(kSign).strNull().container(1).small(1).arrNull().small(20).i32(0x8004);
  seqs[12].call(kSign).provider(7).container(1).small(1).fill(64, 1).i32(64).i32(0x800e);
  seqs[13].call(kSetFriendlyName).strNull().arrEmpty().arrEmpty().small(1);
  seqs[13].call(kSetFlags).arrNull().known(kKnownSerial).known(kKnownIssuer).small(9);
  seqs[13].call(kDeleteCertFromStore).arrNull().arrNull().negative(3);
  seqs[13]
      .call(kImportKeyPair)
      .provider(4)
      .latin1("short")
      .small(1)
      .arr({1})
      .i32(-8)
      .small(3)
      .arr({1})
      .arr({1})
      .arr({1})
      .arr({1})
      .arr({1})
      .arr({1});
  n = 0;
  for (const auto &w : seqs) put(out / "jni", n++, w.bytes);

  for (EVP_PKEY *k : {key, caKey, key3, key1024}) EVP_PKEY_free(k);
  std::printf("seed corpora written to %s\n", out.c_str());
  return 0;
}
