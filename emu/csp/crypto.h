// The cryptography the emulated CSP needs, all done by OpenSSL 3: RSA key
// generation, validation and PKCS#1 v1.5 signing, the PIN key derivation
// (PBKDF2), the sealing of protected keys (AES-256-GCM), SHA-256.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace emu::csp::crypto {

using Bytes = std::vector<uint8_t>;

// Overwrites a buffer before its memory is given back.
void cleanse(Bytes &b);

// A byte vector that is wiped when it goes away.
struct SecretBytes {
  Bytes bytes;
  SecretBytes() = default;
  explicit SecretBytes(Bytes b) : bytes(std::move(b)) {}
  ~SecretBytes() { cleanse(bytes); }
  SecretBytes(const SecretBytes &) = delete;
  SecretBytes &operator=(const SecretBytes &) = delete;
};

struct PkeyFree {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// The components of an RSA private key, unsigned big-endian without
// leading zero bytes. Wiped when it goes away.
struct Parts {
  Bytes n, e, d, p, q, dp, dq, qinv;
  Parts() = default;
  ~Parts();
  Parts(const Parts &) = delete;
  Parts &operator=(const Parts &) = delete;
};

// A fresh key of `bits` bits with public exponent 65537; null on failure.
Pkey generate(unsigned bits);

// The components of a private key; false when they cannot be read.
bool partsOf(EVP_PKEY *key, Parts &out);

// A key made from its components. With `check`, OpenSSL's private key
// checks (primes, CRT values, the key pair) must pass as well.
Pkey fromParts(const Parts &parts, bool check);

// Bits of the modulus.
unsigned modulusBits(const Bytes &n);

// The private components (d, p, q, dp, dq, qinv) as one length-prefixed
// serialisation, and back.
Bytes serialisePrivate(const Parts &parts);
bool parsePrivate(const Bytes &data, Parts &out);

// PKCS#1 v1.5 signature of `digest` (`md` names the DigestInfo, null for
// none) into `sig` (EVP_PKEY_get_size bytes), big-endian.
bool sign(EVP_PKEY *key, const EVP_MD *md, const uint8_t *digest, size_t digestLen, Bytes &sig);

// Whether `sig` (big-endian) is the PKCS#1 v1.5 signature of `data` (taken
// whole, as signed: a DigestInfo or raw bytes) by the RSA key whose public
// half is modulus `n` (big-endian) and exponent `e`.
bool verifiesRaw(const Bytes &n, uint32_t e, const Bytes &data, const Bytes &sig);

// The DER DigestInfo of the hash value `digest` of `md` (NULL parameters,
// as PKCS#1 v1.5 signatures have them), for signers that take it whole.
bool digestInfo(const EVP_MD *md, const uint8_t *digest, size_t len, Bytes &out);

struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX *c) const { EVP_PKEY_CTX_free(c); }
};

// Signs with one key as sign() does, each thread with a copy of its own.
// OpenSSL gives an RSA key's blinding to the first thread that signs with
// it; every other thread shares a second blinding under the key's lock, so
// threads that sign with one key at once wait for each other, and a key
// first used by a thread that lives on (a program's main thread) slows
// every other thread for good. A thread's copy has its blinding to itself,
// and the thread's signing contexts (set up once per DigestInfo: the set-up
// costs more than a hundredth of an RSA-2048 signature) are used again as
// they are. A thread's copies go when it ends. At most kMaxCopies threads
// hold a copy of one key, and at most kMaxCopiesInProcess copies (a few KB
// each) exist in the process; other threads sign with the shared key.
// Safe to use from several threads at once.
class Signer {
 public:
  static constexpr size_t kMaxCopies = 16;
  static constexpr size_t kMaxCopiesInProcess = 256;

  Signer();
  ~Signer();
  Signer(const Signer &) = delete;
  Signer &operator=(const Signer &) = delete;

  bool sign(EVP_PKEY *key, const EVP_MD *md, const uint8_t *digest, size_t digestLen, Bytes &sig);
  // How many threads hold a copy of this key.
  size_t copies() const;
  // How many copies of any key exist in the process.
  static size_t copiesInProcess();

  struct State;  // the copies, shared with the threads that hold one

 private:
  std::shared_ptr<State> state_;
};

// Sealing of a protected key's private components under a PIN:
// PBKDF2-HMAC-SHA256 (kPinIterations) with a random salt gives the
// AES-256-GCM key; the ciphertext carries the 16-byte tag at its end and is
// bound to `aad`. open() fails for a wrong PIN (the tag does not match).
// A sealed key keeps a salt of kSaltLen bytes and a nonce of kNonceLen.
constexpr int kPinIterations = 100000;
constexpr int kSaltLen = 16;
constexpr int kNonceLen = 12;
constexpr int kTagLen = 16;
bool seal(const std::string &pin, const Bytes &plain, const Bytes &aad, Bytes &salt, Bytes &nonce,
          Bytes &sealed);
bool open(const std::string &pin, const Bytes &salt, const Bytes &nonce, const Bytes &sealed,
          const Bytes &aad, Bytes &plain);

// PBKDF2-HMAC-SHA256 of a secret (the token's unblock code) into `out`
// (32 bytes).
bool pbkdf2(const std::string &secret, const Bytes &salt, int iterations, Bytes &out);

// SHA-256 of the concatenated inputs.
Bytes sha256(std::initializer_list<const Bytes *> parts);

bool randomBytes(uint8_t *p, size_t n);

}  // namespace emu::csp::crypto
