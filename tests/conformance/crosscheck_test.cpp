// Cross-check between platforms: the same RSA key and certificate give the
// same bytes on the emulation and on Windows (Wine). With
// MSCAPI_CROSSCHECK_MODE=record a run writes what it sees into the file
// named by MSCAPI_CROSSCHECK; with =replay it reads that file, gives the
// same inputs to the platform it runs on, and compares.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "conformance.h"
#include "test_cert.h"

namespace {

using namespace conformance;

std::string hex(const Bytes &b) {
  std::string s;
  for (uint8_t x : b) s += "0123456789abcdef"[x >> 4], s += "0123456789abcdef"[x & 15];
  return s;
}

Bytes unhex(const std::string &s) {
  Bytes b;
  for (size_t i = 0; i + 1 < s.size(); i += 2)
    b.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return b;
}

class CrossCheck : public Conformance {
 protected:
  void TearDown() override {
    if (!container_.empty()) {
      natives().deleteKeyPair(f.env(), f.mscapiClass(), nullptr, str(container_));
      outcome();
    }
    Conformance::TearDown();
  }

  // Imports PrivateKeyBytes `k` (1024 bits) as a signature key of a new
  // container of the default provider.
  void importKey(const Bytes &k) {
    container_ = unique("cross");
    const auto part = [&](size_t at, size_t n) {
      return arr(Bytes(k.begin() + static_cast<long>(at), k.begin() + static_cast<long>(at + n)));
    };
    const jint e = static_cast<jint>((k[128] << 24) | (k[129] << 16) | (k[130] << 8) | k[131]);
    natives().importKeyPair(f.env(), f.mscapiClass(), nullptr, str(container_), kAtSignature,
                            part(0, 128), 1024, e, part(132, 128), part(260, 64), part(324, 64),
                            part(388, 64), part(452, 64), part(516, 64));
    ASSERT_EQ(outcome(), "");
  }

  // The key's blobs as the platform itself exports them.
  Bytes blob(DWORD type) {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    Bytes out;
    if (CryptAcquireContextA(&prov, container_.c_str(), nullptr, PROV_RSA_FULL, 0)) {
      if (CryptGetUserKey(prov, AT_SIGNATURE, &key)) {
        DWORD size = 0;
        if (CryptExportKey(key, 0, type, 0, nullptr, &size)) {
          out.resize(size);
          if (!CryptExportKey(key, 0, type, 0, out.data(), &size)) out.clear();
        }
        CryptDestroyKey(key);
      }
      CryptReleaseContext(prov, 0);
    }
    return out;
  }

  // Everything compared, from PrivateKeyBytes and a certificate.
  std::map<std::string, std::string> observe(const Bytes &key, const TestCert &cert) {
    std::map<std::string, std::string> seen;
    importKey(key);
    const Bytes sha1(20, 0x5A), sha256(32, 0xA5);
    for (const auto &[name, hash, alg] :
         {std::tuple<const char *, Bytes, jint>{"sign-sha1", sha1, 0x8004},
          {"sign-sha256", sha256, 0x800C}}) {
      jbyteArray s = natives().sign(f.env(), f.mscapiClass(), nullptr, str(container_),
                                    kAtSignature, arr(hash), static_cast<jint>(hash.size()), alg);
      seen[name] = outcome().empty() && s != nullptr ? hex(contents(s)) : "failed";
    }
    jbyteArray p = natives().getPrivateKey(f.env(), f.mscapiClass(), nullptr, str(container_),
                                           kAtSignature, nullptr);
    seen["private-key-bytes"] = outcome().empty() && p != nullptr ? hex(contents(p)) : "failed";
    seen["publickeyblob"] = hex(blob(PUBLICKEYBLOB));
    seen["privatekeyblob"] = hex(blob(PRIVATEKEYBLOB));
    jbyteArray id = natives().addCertToStore(f.env(), f.mscapiClass(), arr(cert.der), nullptr,
                                             nullptr, 0, nullptr, 4);
    seen["cert-id"] = outcome().empty() && id != nullptr ? hex(contents(id)) : "failed";
    return seen;
  }

  std::string container_;
};

TEST_F(CrossCheck, SameKeySameBytes) {
  const char *path = std::getenv("MSCAPI_CROSSCHECK");
  const char *mode = std::getenv("MSCAPI_CROSSCHECK_MODE");
  if (mode != nullptr && std::string(mode) == "replay") {
    std::ifstream recorded(path != nullptr ? path : "");
    ASSERT_TRUE(recorded) << "nothing recorded to replay";
    // Replay what another platform recorded.
    std::map<std::string, std::string> expected;
    std::string name, value;
    while (recorded >> name >> value) expected[name] = value;
    ASSERT_TRUE(expected.count("key") && expected.count("cert"));
    const Bytes der = unhex(expected["cert"]);
    TestCert cert{der, {}, {}};
    const auto seen = observe(unhex(expected["key"]), cert);
    for (const auto &[k, v] : seen) {
      if (k == "sign-sha256" && onWine()) {
        // The emulation signs SHA-256 hashes in PROV_RSA_FULL; Windows'
        // (and Wine's) PROV_RSA_FULL providers do not know the algorithm.
        EXPECT_EQ(v, "failed");
        continue;
      }
      EXPECT_EQ(v, expected[k]) << k;
    }
    return;
  }
  // Record: a key made here, exported, and a fresh certificate.
  const std::string source = unique("source");
  jbyteArray pub =
      natives().generateKeyPair(f.env(), f.mscapiClass(), nullptr, str(source), kAtSignature, 1024);
  ASSERT_EQ(outcome(), "");
  ASSERT_NE(pub, nullptr);
  jbyteArray k = natives().getPrivateKey(f.env(), f.mscapiClass(), nullptr, str(source),
                                         kAtSignature, nullptr);
  ASSERT_EQ(outcome(), "");
  const Bytes key = contents(k);
  natives().deleteKeyPair(f.env(), f.mscapiClass(), nullptr, str(source));
  ASSERT_EQ(outcome(), "");
  jbyteArray serial = natives().generateRandom(f.env(), f.mscapiClass(), nullptr, 9);
  outcome();
  Bytes s = contents(serial);
  s[0] = 0x00;  // a sign byte before a high first byte
  s[1] |= 0x80;
  const TestCert cert = makeCert(s, unique("cross-cert"));
  const auto seen = observe(key, cert);
  EXPECT_EQ(seen.at("private-key-bytes"), hex(key)) << "the imported key exports as it came";
  for (const auto &[name, value] : seen) EXPECT_NE(value, "failed") << name;
  if (path != nullptr && mode != nullptr && std::string(mode) == "record") {
    std::ofstream out(path);
    out << "key " << hex(key) << "\ncert " << hex(cert.der) << "\n";
    for (const auto &[name, value] : seen) out << name << " " << value << "\n";
    ASSERT_TRUE(out.good());
  }
}

}  // namespace
