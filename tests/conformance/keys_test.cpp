// Key containers and signing as the caller sees them, on the default
// provider of whatever platform runs the suite.
#include <cstdlib>
#include <string>
#include <vector>

#include "conformance.h"

namespace {

using namespace conformance;

// A 1024-bit key's PrivateKeyBytes cut into its components (big-endian).
struct Components {
  Bytes modulus, d, p, q, dp, dq, qinv;
  jint e = 0;
};

Components split(const Bytes &k) {
  Components c;
  const auto part = [&](size_t at, size_t n) {
    return Bytes(k.begin() + static_cast<long>(at), k.begin() + static_cast<long>(at + n));
  };
  c.modulus = part(0, 128);
  c.e = static_cast<jint>((k[128] << 24) | (k[129] << 16) | (k[130] << 8) | k[131]);
  c.d = part(132, 128);
  c.p = part(260, 64);
  c.q = part(324, 64);
  c.dp = part(388, 64);
  c.dq = part(452, 64);
  c.qinv = part(516, 64);
  return c;
}

// As dataLength: the hash value's own length.
constexpr jint kWholeHash = 0x7FFFFFFF;

class Keys : public Conformance {
 protected:
  void TearDown() override {
    for (const auto &c : made_) {
      natives().deleteKeyPair(f.env(), f.mscapiClass(), nullptr, str(c));
      f.finishCall();
      f.clearPending();
    }
    Conformance::TearDown();
  }

  // A new container of the default provider holding a 1024-bit key.
  std::string generate(const std::string &prefix, jint spec, Bytes *publicKey = nullptr) {
    const std::string c = unique(prefix);
    jbyteArray r = natives().generateKeyPair(f.env(), f.mscapiClass(), nullptr, str(c), spec, 1024);
    EXPECT_EQ(outcome(), "");
    made_.push_back(c);
    if (publicKey != nullptr && r != nullptr) *publicKey = contents(r);
    return c;
  }

  Bytes exportKey(const std::string &c, jint spec) {
    jbyteArray r =
        natives().getPrivateKey(f.env(), f.mscapiClass(), nullptr, str(c), spec, nullptr);
    EXPECT_EQ(outcome(), "") << c;
    return r != nullptr ? contents(r) : Bytes();
  }

  // importKeyPair(Pwd) with the given components; the outcome's message.
  std::string import(const std::string &c, jint spec, const Components &k, const Bytes *password,
                     bool nullModulus = false) {
    const auto a = [&](const Bytes &b) { return arr(b); };
    jbyteArray modulus = nullModulus ? nullptr : a(k.modulus);
    if (password == nullptr) {
      natives().importKeyPair(f.env(), f.mscapiClass(), nullptr, str(c), spec, modulus, 1024, k.e,
                              a(k.d), a(k.p), a(k.q), a(k.dp), a(k.dq), a(k.qinv));
    } else {
      natives().importKeyPairPwd(f.env(), f.mscapiClass(), nullptr, str(c), spec, modulus, 1024,
                                 k.e, a(k.d), a(k.p), a(k.q), a(k.dp), a(k.dq), a(k.qinv),
                                 a(*password));
    }
    const std::string m = outcome();
    if (m.empty()) made_.push_back(c);
    return m;
  }

  Bytes sign(const std::string &c, jint spec, const Bytes &hash, const Bytes *password = nullptr,
             std::string *message = nullptr, jint dataLength = kWholeHash, jint algId = kCalgSha1) {
    jbyteArray h = arr(hash);
    const jint n = dataLength != kWholeHash ? dataLength : static_cast<jint>(hash.size());
    jbyteArray r =
        password == nullptr
            ? natives().sign(f.env(), f.mscapiClass(), nullptr, str(c), spec, h, n, algId)
            : natives().verifyAndSign(f.env(), f.mscapiClass(), nullptr, str(c), spec, h, n, algId,
                                      arr(*password));
    const std::string m = outcome();
    if (message != nullptr)
      *message = m;
    else
      EXPECT_EQ(m, "") << c;
    return r != nullptr ? contents(r) : Bytes();
  }

  // Whether the container holds a signature key: it signs (export is no
  // test, as a token's keys need not leave it).
  bool exists(const std::string &c) {
    jbyteArray r = natives().sign(f.env(), f.mscapiClass(), nullptr, str(c), kAtSignature,
                                  arr(kHashValue()), 20, kCalgSha1);
    const bool ok = r != nullptr;
    outcome();
    return ok;
  }

  static Bytes kHashValue() { return Bytes(20, 0x5a); }

  // A token run: the default provider is a PKCS#11 token's.
  static bool onToken() { return !tokenProvider().empty(); }

  // A 1024-bit key's PrivateKeyBytes, made by the software family (a token
  // never lets a key it generated out), and its signature of `hash`.
  Bytes softwareKey(const Bytes &hash, Bytes *signature) {
    const std::string c = unique("soft");
    jstring strong = str("Microsoft Strong Cryptographic Provider");
    natives().generateKeyPair(f.env(), f.mscapiClass(), strong, str(c), kAtSignature, 1024);
    EXPECT_EQ(outcome(), "");
    jbyteArray k =
        natives().getPrivateKey(f.env(), f.mscapiClass(), strong, str(c), kAtSignature, nullptr);
    EXPECT_EQ(outcome(), "");
    jbyteArray sig = natives().sign(f.env(), f.mscapiClass(), strong, str(c), kAtSignature,
                                    arr(hash), static_cast<jint>(hash.size()), kCalgSha1);
    EXPECT_EQ(outcome(), "");
    natives().deleteKeyPair(f.env(), f.mscapiClass(), strong, str(c));
    EXPECT_EQ(outcome(), "");
    if (signature != nullptr && sig != nullptr) *signature = contents(sig);
    return k != nullptr ? contents(k) : Bytes();
  }

  // The name a container of the default provider is listed under.
  static std::string listedName(const std::string &c) {
    if (!onToken()) return c;
    const char *label = std::getenv("MSCAPI_CONFORMANCE_TOKEN_LABEL");
    return std::string("\\\\.\\") + (label != nullptr ? label : "L") + "\\" + c;
  }

  std::vector<std::string> made_;
};

const Bytes kHash = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a,
                     0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10, 0x11, 0x12, 0x13, 0x14};

TEST_F(Keys, GenerateAndDeleteLifeCycle) {
  Bytes pub;
  const std::string c = generate("life", kAtSignature, &pub);
  ASSERT_EQ(pub.size(), 132u);
  EXPECT_EQ(Bytes(pub.begin(), pub.begin() + 4), (Bytes{0x01, 0x00, 0x01, 0x00}));
  EXPECT_NE(pub[4] & 0x80, 0) << "modulus is big-endian, its top bit set";

  natives().generateKeyPair(f.env(), f.mscapiClass(), nullptr, str(c), kAtSignature, 1024);
  EXPECT_EQ(outcome(), "Failed to generate key pair!");
  natives().deleteKeyPair(f.env(), f.mscapiClass(), nullptr, str(c));
  EXPECT_EQ(outcome(), "");
  natives().deleteKeyPair(f.env(), f.mscapiClass(), nullptr, str(c));
  EXPECT_EQ(outcome(), "Key container not found!");
  jbyteArray again =
      natives().generateKeyPair(f.env(), f.mscapiClass(), nullptr, str(c), kAtSignature, 1024);
  EXPECT_EQ(outcome(), "");
  EXPECT_NE(again, nullptr);
}

// ContainerKeys.publicKeyBlob: the container's key as the provider exports
// it (PUBLICKEYBLOB: "RSA1", bit length, exponent, modulus little-endian),
// which the JCA provider compares with a bound certificate's key.
TEST_F(Keys, PublicKeyBlobIsTheContainersKey) {
  Bytes pub;
  const std::string c = generate("blob", kAtKeyExchange, &pub);
  ASSERT_EQ(pub.size(), 132u);
  jbyteArray r = natives().publicKeyBlob(f.env(), f.mscapiClass(), nullptr, str(c), kAtKeyExchange);
  ASSERT_EQ(outcome(), "");
  ASSERT_NE(r, nullptr);
  const Bytes blob = contents(r);
  ASSERT_EQ(blob.size(), 148u);
  EXPECT_EQ(Bytes(blob.begin() + 8, blob.begin() + 20),
            (Bytes{'R', 'S', 'A', '1', 0x00, 0x04, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00}));
  const Bytes reversed(blob.rbegin(), blob.rbegin() + 128);
  EXPECT_EQ(reversed, Bytes(pub.begin() + 4, pub.end())) << "the generated key's modulus";
  // No key of that spec, no container.
  natives().publicKeyBlob(f.env(), f.mscapiClass(), nullptr, str(c), kAtSignature);
  EXPECT_EQ(outcome(), "Failed to export the public key!");
  natives().publicKeyBlob(f.env(), f.mscapiClass(), nullptr, str(unique("none")), kAtKeyExchange);
  EXPECT_EQ(outcome(), "Key container not found!");
}

TEST_F(Keys, ExportImportAndSignAgree) {
  if (onToken()) {
    // A generated key stays on the token; a key brought in signs exactly as
    // the software family signs with it.
    const std::string a = generate("orig", kAtSignature);
    natives().getPrivateKey(f.env(), f.mscapiClass(), nullptr, str(a), kAtSignature, nullptr);
    EXPECT_EQ(outcome(), "Private key export failed !");
    Bytes expected;
    const Bytes key = softwareKey(kHash, &expected);
    ASSERT_EQ(key.size(), 580u);
    Components k = split(key);
    k.modulus.insert(k.modulus.begin(), 0x00);
    const std::string b = unique("copy");
    ASSERT_EQ(import(b, kAtSignature, k, nullptr), "");
    EXPECT_EQ(sign(b, kAtSignature, kHash), expected);
    EXPECT_EQ(sign(b, kAtSignature, kHash, nullptr, nullptr, 1), expected);
    return;
  }
  Bytes pub;
  const std::string a = generate("orig", kAtSignature, &pub);
  const Bytes key = exportKey(a, kAtSignature);
  ASSERT_EQ(key.size(), 580u);
  EXPECT_EQ(Bytes(key.begin(), key.begin() + 128), Bytes(pub.begin() + 4, pub.end()));
  EXPECT_EQ(Bytes(key.begin() + 128, key.begin() + 132), (Bytes{0x00, 0x01, 0x00, 0x01}));

  // The same key in a second container: modulus and private exponent with
  // a leading zero byte, which falls away.
  Components k = split(key);
  k.modulus.insert(k.modulus.begin(), 0x00);
  k.d.insert(k.d.begin(), 0x00);
  const std::string b = unique("copy");
  ASSERT_EQ(import(b, kAtSignature, k, nullptr), "");
  EXPECT_EQ(exportKey(b, kAtSignature), key);

  const Bytes sa = sign(a, kAtSignature, kHash);
  ASSERT_EQ(sa.size(), 128u);
  EXPECT_EQ(sign(b, kAtSignature, kHash), sa) << "PKCS#1 v1.5 signatures are deterministic";
  // dataLength bounds nothing: 1 still signs the whole hash value.
  EXPECT_EQ(sign(a, kAtSignature, kHash, nullptr, nullptr, 1), sa);
}

// The library's own SilentSigning.sign (a CRYPT_SILENT context) signs as
// sign does where no PIN is asked for: the platform's CSP takes the flag.
TEST_F(Keys, SilentSigningSignsAsSignDoes) {
  const std::string c = generate("silent", kAtSignature);
  const Bytes expected = sign(c, kAtSignature, kHash);
  ASSERT_NE(natives().silentSign, nullptr) << "SilentSigning.sign is not exported";
  jbyteArray r = natives().silentSign(f.env(), f.mscapiClass(), nullptr, str(c), kAtSignature,
                                      arr(kHash), static_cast<jint>(kHash.size()), kCalgSha1);
  EXPECT_EQ(outcome(), "");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(contents(r), expected);
}

TEST_F(Keys, SigningFailures) {
  const std::string c = generate("signer", kAtSignature);
  const Bytes empty;
  struct Case {
    const char *what;
    std::string container;
    jint spec, dataLength, algId;
    Bytes hash;
    const Bytes *password;
    const char *message;
  };
  const Bytes password = {'p', 'w'};
  const Case cases[] = {
      {"no data", c, kAtSignature, 0, kCalgSha1, kHash, nullptr, "No data provided !"},
      {"negative data", c, kAtSignature, -5, kCalgSha1, kHash, nullptr, "No data provided !"},
      {"no such container", unique("none"), kAtSignature, 20, kCalgSha1, kHash, nullptr,
       "Failed to sign data!"},
      {"no exchange key", c, kAtKeyExchange, 20, kCalgSha1, kHash, nullptr, "Failed to sign data!"},
      {"unknown algorithm", c, kAtSignature, 20, 0x1234, kHash, nullptr, "Failed to sign data!"},
      {"hash shorter than SHA-1", c, kAtSignature, 10, kCalgSha1, Bytes(10, 1), nullptr,
       "Failed to sign data!"},
      {"software provider refuses a PIN", c, kAtSignature, 20, kCalgSha1, kHash, &password,
       "SSLRuntimeException04"},
      {"even an empty one", c, kAtSignature, 20, kCalgSha1, kHash, &empty, "SSLRuntimeException04"},
  };
  for (const auto &k : cases) {
    std::string m;
    const Bytes s = sign(k.container, k.spec, k.hash, k.password, &m, k.dataLength, k.algId);
    EXPECT_EQ(m, k.message) << k.what;
    EXPECT_TRUE(s.empty()) << k.what;
    // The cause is the platform's error of this call: none where no
    // platform call failed, even right after one that did.
    if (k.dataLength < 1) {
      EXPECT_EQ(lastCause, "") << k.what;
    }
    if (k.container != c) {
      EXPECT_EQ(lastCause.rfind("0x80090016", 0), 0u) << lastCause;
    }
  }
  jbyteArray r = natives().sign(f.env(), f.mscapiClass(), nullptr, str(c), kAtSignature, nullptr,
                                20, kCalgSha1);
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(outcome(), "Failed to sign data!") << "null hash value";
}

TEST_F(Keys, ImportFailuresLeaveNothingBehind) {
  const std::string existing = generate("taken", kAtSignature);
  const Bytes before = onToken() ? softwareKey(kHash, nullptr) : exportKey(existing, kAtSignature);
  ASSERT_EQ(before.size(), 580u);
  const Components k = split(before);
  const Bytes signature = sign(existing, kAtSignature, kHash);

  EXPECT_EQ(import(existing, kAtSignature, k, nullptr), "Failed to import key pair!");
  EXPECT_EQ(sign(existing, kAtSignature, kHash), signature)
      << "the existing container keeps its key";

  const Bytes password = {'1', '2', '3', '4'};
  const std::string refused = unique("pin");
  EXPECT_EQ(import(refused, kAtSignature, k, &password), "SSLRuntimeException04");
  EXPECT_FALSE(exists(refused));

  Components shortPrime = k;
  shortPrime.p.resize(10);
  const std::string shorter = unique("short");
  EXPECT_EQ(import(shorter, kAtSignature, shortPrime, nullptr), "Failed to import key pair!");
  EXPECT_FALSE(exists(shorter));

  const std::string noModulus = unique("null");
  EXPECT_EQ(import(noModulus, kAtSignature, k, nullptr, true), "Failed to import key pair!");
  EXPECT_FALSE(exists(noModulus));
}

TEST_F(Keys, ExportFailures) {
  const std::string c = generate("exp", kAtSignature);
  natives().getPrivateKey(f.env(), f.mscapiClass(), nullptr, str(c), kAtKeyExchange, nullptr);
  EXPECT_EQ(outcome(), "Private key export failed !");
  natives().getPrivateKey(f.env(), f.mscapiClass(), nullptr, str(unique("gone")), kAtSignature,
                          nullptr);
  EXPECT_EQ(outcome(), "Private key export failed !");
  const Bytes password = {'x'};
  natives().getPrivateKey(f.env(), f.mscapiClass(), nullptr, str(c), kAtSignature, arr(password));
  EXPECT_EQ(outcome(), "SSLRuntimeException04");
}

TEST_F(Keys, KeyPairListShowsTheContainer) {
  Bytes pub;
  const std::string c = generate("listed", kAtKeyExchange, &pub);
  jbyteArray r = natives().queryKeyPairs(f.env(), f.mscapiClass());
  ASSERT_EQ(outcome(), "");
  ASSERT_NE(r, nullptr);
  std::vector<records::KeyPair> pairs;
  EXPECT_TRUE(records::keyPairs(contents(r), pairs));
  int found = 0;
  for (const records::KeyPair &k : pairs) {
    if (k.container != listedName(c)) continue;
    ++found;
    if (onToken())
      EXPECT_EQ(k.provider, tokenProvider());
    else
      EXPECT_EQ(k.provider.compare(0, 9, "Microsoft"), 0) << k.provider;
    EXPECT_EQ(k.modulus, Bytes(pub.begin() + 4, pub.end()));
    EXPECT_EQ(k.keySpec, 1u);
    EXPECT_EQ(k.exponent, 65537u);
  }
  EXPECT_EQ(found, 1) << "listed once, though several Microsoft providers reach it";
}

}  // namespace
