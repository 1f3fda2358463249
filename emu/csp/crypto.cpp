#include "csp/crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <map>
#include <mutex>
#include <utility>

namespace emu::csp::crypto {

namespace {

struct BnFree {
  void operator()(BIGNUM *b) const { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

struct CipherFree {
  void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};

struct BldFree {
  void operator()(OSSL_PARAM_BLD *b) const { OSSL_PARAM_BLD_free(b); }
};
struct ParamsFree {
  void operator()(OSSL_PARAM *p) const { OSSL_PARAM_free(p); }
};

Bn toBn(const Bytes &b) {
  return Bn(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr));
}

bool fromBn(EVP_PKEY *key, const char *name, Bytes &out) {
  BIGNUM *raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return false;
  Bn b(raw);
  out.assign(static_cast<size_t>(BN_num_bytes(b.get())), 0);
  BN_bn2bin(b.get(), out.data());
  return true;
}

void putLen(Bytes &out, size_t n) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
}

bool deriveKey(const std::string &pin, const Bytes &salt, uint8_t key[32]) {
  return PKCS5_PBKDF2_HMAC(pin.data(), static_cast<int>(pin.size()), salt.data(),
                           static_cast<int>(salt.size()), kPinIterations, EVP_sha256(), 32,
                           key) == 1;
}

}  // namespace

void cleanse(Bytes &b) {
  if (!b.empty()) OPENSSL_cleanse(b.data(), b.size());
  b.clear();
}

Parts::~Parts() {
  for (Bytes *b : {&n, &e, &d, &p, &q, &dp, &dq, &qinv}) cleanse(*b);
}

Pkey generate(unsigned bits) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1) return nullptr;
  if (EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1) return nullptr;
  EVP_PKEY *key = nullptr;
  if (EVP_PKEY_generate(ctx.get(), &key) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  return Pkey(key);
}

bool partsOf(EVP_PKEY *key, Parts &out) {
  return fromBn(key, OSSL_PKEY_PARAM_RSA_N, out.n) && fromBn(key, OSSL_PKEY_PARAM_RSA_E, out.e) &&
         fromBn(key, OSSL_PKEY_PARAM_RSA_D, out.d) &&
         fromBn(key, OSSL_PKEY_PARAM_RSA_FACTOR1, out.p) &&
         fromBn(key, OSSL_PKEY_PARAM_RSA_FACTOR2, out.q) &&
         fromBn(key, OSSL_PKEY_PARAM_RSA_EXPONENT1, out.dp) &&
         fromBn(key, OSSL_PKEY_PARAM_RSA_EXPONENT2, out.dq) &&
         fromBn(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, out.qinv);
}

Pkey fromParts(const Parts &parts, bool check) {
  Bn n = toBn(parts.n), e = toBn(parts.e), d = toBn(parts.d), p = toBn(parts.p), q = toBn(parts.q),
     dp = toBn(parts.dp), dq = toBn(parts.dq), qinv = toBn(parts.qinv);
  if (!n || !e || !d || !p || !q || !dp || !dq || !qinv) return nullptr;
  std::unique_ptr<OSSL_PARAM_BLD, BldFree> bld(OSSL_PARAM_BLD_new());
  if (!bld || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get()) != 1)
    return nullptr;
  std::unique_ptr<OSSL_PARAM, ParamsFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY *raw = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  Pkey key(raw);
  if (check) {
    PkeyCtx checker(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    // EVP_PKEY_check: the full private key validation (primes, n = pq,
    // d, the CRT values and the key pair).
    if (!checker || EVP_PKEY_check(checker.get()) != 1) {
      ERR_clear_error();
      return nullptr;
    }
  }
  return key;
}

bool verifiesRaw(const Bytes &n, uint32_t e, const Bytes &data, const Bytes &sig) {
  Bn bn = toBn(n);
  std::unique_ptr<OSSL_PARAM_BLD, BldFree> bld(OSSL_PARAM_BLD_new());
  if (!bn || !bld || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, bn.get()) != 1 ||
      OSSL_PARAM_BLD_push_uint32(bld.get(), OSSL_PKEY_PARAM_RSA_E, e) != 1)
    return false;
  std::unique_ptr<OSSL_PARAM, ParamsFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
  PkeyCtx make(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY *raw = nullptr;
  if (!params || !make || EVP_PKEY_fromdata_init(make.get()) != 1 ||
      EVP_PKEY_fromdata(make.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    ERR_clear_error();
    return false;
  }
  Pkey key(raw);
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  const bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), data.data(), data.size()) == 1;
  ERR_clear_error();
  return ok;
}

unsigned modulusBits(const Bytes &n) {
  Bn b = toBn(n);
  return b ? static_cast<unsigned>(BN_num_bits(b.get())) : 0;
}

Bytes serialisePrivate(const Parts &parts) {
  Bytes out;
  for (const Bytes *b : {&parts.d, &parts.p, &parts.q, &parts.dp, &parts.dq, &parts.qinv}) {
    putLen(out, b->size());
    out.insert(out.end(), b->begin(), b->end());
  }
  return out;
}

bool parsePrivate(const Bytes &data, Parts &out) {
  size_t at = 0;
  for (Bytes *b : {&out.d, &out.p, &out.q, &out.dp, &out.dq, &out.qinv}) {
    if (data.size() - at < 4) return false;
    size_t n = 0;
    for (int i = 0; i < 4; ++i) n |= static_cast<size_t>(data[at + i]) << (8 * i);
    at += 4;
    if (data.size() - at < n) return false;
    b->assign(data.begin() + static_cast<std::ptrdiff_t>(at),
              data.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  }
  return at == data.size();
}

namespace {

// A context ready to sign with the key (PKCS#1 v1.5, DigestInfo of `md`).
PkeyCtx signingContext(EVP_PKEY *key, const EVP_MD *md) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      (md != nullptr && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1)) {
    ERR_clear_error();
    return nullptr;
  }
  return ctx;
}

bool signWith(EVP_PKEY_CTX *ctx, EVP_PKEY *key, const uint8_t *digest, size_t digestLen,
              Bytes &sig) {
  size_t len = static_cast<size_t>(EVP_PKEY_get_size(key));
  sig.assign(len, 0);
  if (EVP_PKEY_sign(ctx, sig.data(), &len, digest, digestLen) != 1) {
    ERR_clear_error();
    return false;
  }
  sig.resize(len);
  return true;
}

}  // namespace

bool sign(EVP_PKEY *key, const EVP_MD *md, const uint8_t *digest, size_t digestLen, Bytes &sig) {
  PkeyCtx ctx = signingContext(key, md);
  return ctx && signWith(ctx.get(), key, digest, digestLen, sig);
}

// The DigestInfo of a hash value. Its encoding up to the value depends only
// on the hash algorithm and the value's length: OpenSSL encodes it once
// (NULL parameters, as PKCS#1 v1.5 signatures have them) and the value is
// appended to that prefix.
bool digestInfo(const EVP_MD *md, const uint8_t *digest, size_t len, Bytes &out) {
  static std::mutex mu;
  static auto *prefixes = new std::map<std::pair<int, size_t>, Bytes>;
  const std::pair<int, size_t> key{EVP_MD_get_type(md), len};
  Bytes prefix;
  {
    std::lock_guard<std::mutex> lock(mu);
    const auto it = prefixes->find(key);
    if (it != prefixes->end()) prefix = it->second;
  }
  if (prefix.empty()) {
    X509_SIG *sig = X509_SIG_new();
    if (sig == nullptr) return false;
    X509_ALGOR *alg = nullptr;
    ASN1_OCTET_STRING *value = nullptr;
    X509_SIG_getm(sig, &alg, &value);
    const Bytes zeros(len, 0);
    bool ok = X509_ALGOR_set0(alg, OBJ_nid2obj(key.first), V_ASN1_NULL, nullptr) == 1 &&
              ASN1_OCTET_STRING_set(value, zeros.data(), static_cast<int>(len)) == 1;
    unsigned char *der = nullptr;
    const int n = ok ? i2d_X509_SIG(sig, &der) : -1;
    X509_SIG_free(sig);
    if (n <= 0 || static_cast<size_t>(n) <= len) return false;
    prefix.assign(der, der + (static_cast<size_t>(n) - len));
    OPENSSL_free(der);
    std::lock_guard<std::mutex> lock(mu);
    (*prefixes)[key] = prefix;
  }
  out = std::move(prefix);
  out.insert(out.end(), digest, digest + len);
  return true;
}

namespace {

// How many copies exist in the process, of all keys.
std::atomic<size_t> liveCopies{0};

// A place in the process's budget of copies, taken when there is one and
// given back when it goes.
class Place {
 public:
  Place() {
    size_t live = liveCopies.load();
    do {
      if (live >= Signer::kMaxCopiesInProcess) return;
    } while (!liveCopies.compare_exchange_weak(live, live + 1));
    held_ = true;
  }
  ~Place() {
    if (held_) liveCopies.fetch_sub(1);
  }
  Place(Place &&o) noexcept : held_(std::exchange(o.held_, false)) {}
  Place(const Place &) = delete;
  Place &operator=(const Place &) = delete;
  explicit operator bool() const { return held_; }

 private:
  bool held_ = false;
};

// A thread's copy of a key, with the budget place it holds.
struct Copy {
  Place place;
  Pkey key;
  std::vector<std::pair<const EVP_MD *, PkeyCtx>> prepared;

  Copy(Place p, Pkey k) : place(std::move(p)), key(std::move(k)) {}
};

// Numbers the signers' states: a state made where an ended one was is not
// taken for it.
std::atomic<uint64_t> stateSerial{0};

}  // namespace

struct Signer::State {
  const uint64_t serial = stateSerial.fetch_add(1) + 1;
  std::mutex mu;  // guards copies (each copy's contents are its thread's)
  std::vector<std::unique_ptr<Copy>> copies;

  void drop(const Copy *copy) {
    std::lock_guard<std::mutex> lock(mu);
    copies.erase(std::remove_if(copies.begin(), copies.end(),
                                [copy](const auto &c) { return c.get() == copy; }),
                 copies.end());
  }
};

namespace {

// The signers in which this thread holds a copy, with the copy; when the
// thread ends, its copies go (freeing a key wipes its private parts). The
// thread finds its own copy here without taking the signer's lock, so that
// threads signing with one key do not queue on it.
struct ThreadCopies {
  struct Held {
    uint64_t serial;  // the signer's state
    std::weak_ptr<Signer::State> alive;
    Copy *copy;
  };
  std::vector<Held> in;

  ~ThreadCopies() {
    for (const auto &h : in)
      if (const auto state = h.alive.lock()) state->drop(h.copy);
  }
  // This thread's copy in the signer, if it holds one (the caller keeps the
  // signer alive, and with it the copy).
  Copy *find(const std::shared_ptr<Signer::State> &state) const {
    for (const auto &h : in)
      if (h.serial == state->serial) return h.copy;
    return nullptr;
  }
  void add(const std::shared_ptr<Signer::State> &state, Copy *copy) {
    in.erase(std::remove_if(in.begin(), in.end(), [](const auto &h) { return h.alive.expired(); }),
             in.end());
    in.push_back(Held{state->serial, state, copy});
  }
};

ThreadCopies &threadCopies() {
  thread_local ThreadCopies mine;
  return mine;
}

// The calling thread's copy of the key, made when there is room; null
// otherwise.
Copy *copyForThisThread(const std::shared_ptr<Signer::State> &state, EVP_PKEY *key) {
  ThreadCopies &mine = threadCopies();
  if (Copy *held = mine.find(state)) return held;
  Copy *made = nullptr;
  {
    std::lock_guard<std::mutex> lock(state->mu);
    if (state->copies.size() >= Signer::kMaxCopies) return nullptr;
    Place place;
    if (!place) return nullptr;
    Pkey dup(EVP_PKEY_dup(key));
    if (!dup) {
      ERR_clear_error();
      return nullptr;
    }
    auto copy = std::make_unique<Copy>(std::move(place), std::move(dup));
    made = copy.get();
    state->copies.push_back(std::move(copy));
  }
  mine.add(state, made);
  return made;
}

}  // namespace

Signer::Signer() : state_(std::make_shared<State>()) {}
Signer::~Signer() = default;

bool Signer::sign(EVP_PKEY *key, const EVP_MD *md, const uint8_t *digest, size_t digestLen,
                  Bytes &sig) {
  Copy *mine = copyForThisThread(state_, key);
  if (mine == nullptr) return crypto::sign(key, md, digest, digestLen, sig);
  // Only this thread uses its copy: no lock from here on.
  auto it = std::find_if(mine->prepared.begin(), mine->prepared.end(),
                         [md](const auto &p) { return p.first == md; });
  if (it == mine->prepared.end()) {
    PkeyCtx fresh = signingContext(mine->key.get(), md);
    if (!fresh) return false;
    mine->prepared.emplace_back(md, std::move(fresh));
    it = mine->prepared.end() - 1;
  }
  return signWith(it->second.get(), mine->key.get(), digest, digestLen, sig);
}

size_t Signer::copies() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->copies.size();
}

size_t Signer::copiesInProcess() {
  return liveCopies.load();
}

bool seal(const std::string &pin, const Bytes &plain, const Bytes &aad, Bytes &salt, Bytes &nonce,
          Bytes &sealed) {
  salt.assign(kSaltLen, 0);
  nonce.assign(kNonceLen, 0);
  if (!randomBytes(salt.data(), salt.size()) || !randomBytes(nonce.data(), nonce.size()))
    return false;
  uint8_t key[32];
  if (!deriveKey(pin, salt, key)) return false;
  std::unique_ptr<EVP_CIPHER_CTX, CipherFree> c(EVP_CIPHER_CTX_new());
  sealed.assign(plain.size() + kTagLen, 0);
  int len = 0, fin = 0;
  const bool ok =
      c && EVP_EncryptInit_ex(c.get(), EVP_aes_256_gcm(), nullptr, key, nonce.data()) == 1 &&
      EVP_EncryptUpdate(c.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1 &&
      EVP_EncryptUpdate(c.get(), sealed.data(), &len, plain.data(),
                        static_cast<int>(plain.size())) == 1 &&
      EVP_EncryptFinal_ex(c.get(), sealed.data() + len, &fin) == 1 &&
      EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_GCM_GET_TAG, kTagLen, sealed.data() + plain.size()) ==
          1;
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) ERR_clear_error();
  return ok;
}

bool open(const std::string &pin, const Bytes &salt, const Bytes &nonce, const Bytes &sealed,
          const Bytes &aad, Bytes &plain) {
  if (sealed.size() < kTagLen || nonce.size() != kNonceLen) return false;
  uint8_t key[32];
  if (!deriveKey(pin, salt, key)) return false;
  const size_t n = sealed.size() - kTagLen;
  std::unique_ptr<EVP_CIPHER_CTX, CipherFree> c(EVP_CIPHER_CTX_new());
  plain.assign(n, 0);
  Bytes tag(sealed.end() - kTagLen, sealed.end());
  int len = 0, fin = 0;
  const bool ok =
      c && EVP_DecryptInit_ex(c.get(), EVP_aes_256_gcm(), nullptr, key, nonce.data()) == 1 &&
      EVP_DecryptUpdate(c.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1 &&
      EVP_DecryptUpdate(c.get(), plain.data(), &len, sealed.data(), static_cast<int>(n)) == 1 &&
      EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_GCM_SET_TAG, kTagLen, tag.data()) == 1 &&
      EVP_DecryptFinal_ex(c.get(), plain.data() + len, &fin) == 1;
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) {
    ERR_clear_error();
    cleanse(plain);
  }
  return ok;
}

bool pbkdf2(const std::string &secret, const Bytes &salt, int iterations, Bytes &out) {
  out.assign(32, 0);
  return PKCS5_PBKDF2_HMAC(secret.data(), static_cast<int>(secret.size()), salt.data(),
                           static_cast<int>(salt.size()), iterations, EVP_sha256(), 32,
                           out.data()) == 1;
}

Bytes sha256(std::initializer_list<const Bytes *> parts) {
  // Fetched once: an implicit fetch on every call costs more than hashing
  // a PIN. The context is the thread's own, reset (and so wiped) after each
  // use.
  static EVP_MD *const md = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
  struct CtxFree {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
  };
  thread_local std::unique_ptr<EVP_MD_CTX, CtxFree> ctx(EVP_MD_CTX_new());
  EVP_MD_CTX *c = ctx.get();
  Bytes out(32, 0);
  bool ok = md != nullptr && c != nullptr && EVP_DigestInit_ex2(c, md, nullptr) == 1;
  for (const Bytes *p : parts) ok = ok && EVP_DigestUpdate(c, p->data(), p->size()) == 1;
  unsigned len = 0;
  ok = ok && EVP_DigestFinal_ex(c, out.data(), &len) == 1;
  if (c != nullptr) EVP_MD_CTX_reset(c);
  if (!ok) out.clear();
  return out;
}

bool randomBytes(uint8_t *p, size_t n) {
  return n <= INT_MAX && RAND_bytes(p, static_cast<int>(n)) == 1;
}

}  // namespace emu::csp::crypto
