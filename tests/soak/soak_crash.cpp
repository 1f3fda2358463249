// Crash test of the emulated key containers and certificate store.
//
//   soak_crash run [--rounds N] [--workers N] [--seed S] [--keep] [--self-test]
//
// Each round starts the workers (this program again, "worker" mode) in one
// shared MSCAPI_HOME. They create, generate, import and delete key containers
// and add, rename and delete certificates through the public Windows API,
// until the driver kills each of them with SIGKILL at a random moment. A
// worker writes one line to a pipe the driver reads before each write call
// (the intent: what the call may change) and one after each call that
// succeeded (the acknowledgement: what it did change), always before the next
// call starts. A write() to a pipe survives the writer's death, so the driver
// holds every acknowledgement that was made.
//
// After each round a fresh process ("check" mode) replays the round's lines
// over the state the previous check observed and compares with what the
// databases hold now: an acknowledged write must be there and whole (a key
// exports the acknowledged modulus and signs a hash OpenSSL verifies; a
// certificate parses and has its properties), an acknowledged deletion must
// stay deleted, and both databases must pass PRAGMA integrity_check. A write
// still in flight at the kill may have happened or not, but nothing else.
// Every worker must start again in the next round (and once more at the end).
//
// The last line reads
//   rounds R, acknowledged writes W, lost L, torn T, resurrected D, failed starts F
// and the exit code is non-zero when L, T, D or F (or an unexpected failure
// of a call) is non-zero.
#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child.h"
#include "winapi/crypt32.h"

namespace {

using Bytes = std::vector<unsigned char>;

const char *const kProviders[2] = {"Microsoft Strong Cryptographic Provider",
                                   "Soft Token RSA Provider"};
const char kFamily[2] = {'s', 't'};
constexpr DWORD kBits = 512;
constexpr int kLogFd = 3;  // the worker's end of the driver's pipe

std::string hex(const unsigned char *p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}
std::string hex(const Bytes &b) {
  return hex(b.data(), b.size());
}

Bytes sha(const char *md, const unsigned char *p, size_t n) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned len = 0;
  if (!EVP_Digest(p, n, out.data(), &len, EVP_get_digestbyname(md), nullptr)) std::abort();
  out.resize(len);
  return out;
}

struct PkeyFree {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// ---------------------------------------------------------------- worker ----

// Writes one whole line to the driver's pipe (one write: atomic below
// PIPE_BUF). Returns only once the line is in the pipe.
void say(const std::string &line) {
  std::string s = line + "\n";
  if (s.size() > PIPE_BUF) std::abort();
  if (write(kLogFd, s.data(), s.size()) != static_cast<ssize_t>(s.size())) _exit(4);
}

// A failed call the worker did not expect: the driver's check counts it.
void failed(const std::string &what) {
  char code[16];
  std::snprintf(code, sizeof code, "%08x", static_cast<unsigned>(GetLastError()));
  say("F " + what + " " + code);
}

// The names of a family's containers. Later calls pass 0, not CRYPT_NEXT:
// the emulation refuses CRYPT_NEXT with NTE_BAD_FLAGS.
bool listContainers(int fam, std::vector<std::string> &names) {
  HCRYPTPROV p = 0;
  if (!CryptAcquireContextA(&p, nullptr, kProviders[fam], PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    return false;
  char buf[512];
  bool ok = true;
  for (DWORD flags = CRYPT_FIRST;; flags = 0) {
    DWORD len = sizeof buf;
    if (!CryptGetProvParam(p, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(buf), &len, flags)) {
      ok = GetLastError() == ERROR_NO_MORE_ITEMS;
      break;
    }
    names.push_back(buf);
  }
  CryptReleaseContext(p, 0);
  return ok;
}

Bytes exportPublic(HCRYPTKEY k) {
  DWORD n = 0;
  if (!CryptExportKey(k, 0, PUBLICKEYBLOB, 0, nullptr, &n)) return {};
  Bytes b(n);
  if (!CryptExportKey(k, 0, PUBLICKEYBLOB, 0, b.data(), &n)) return {};
  b.resize(n);
  return b;
}

// The modulus of a PUBLICKEYBLOB as big-endian hex, or "" when the blob is not
// a whole 512-bit RSA public key with exponent 65537.
std::string blobModulus(const Bytes &b) {
  if (b.size() != 8 + 12 + kBits / 8) return "";
  if (b[0] != PUBLICKEYBLOB || std::memcmp(&b[8], "RSA1", 4) != 0) return "";
  DWORD bitlen, exp;
  std::memcpy(&bitlen, &b[12], 4);
  std::memcpy(&exp, &b[16], 4);
  if (bitlen != kBits || exp != 65537) return "";
  Bytes n(b.begin() + 20, b.end());
  std::reverse(n.begin(), n.end());
  return hex(n);
}

Bytes bnParam(const EVP_PKEY *k, const char *name, size_t width) {
  BIGNUM *v = nullptr;
  if (!EVP_PKEY_get_bn_param(k, name, &v)) std::abort();
  Bytes out(width);
  if (BN_bn2lebinpad(v, out.data(), static_cast<int>(width)) < 0) std::abort();
  BN_free(v);
  return out;
}

// A fresh 512-bit key as a PRIVATEKEYBLOB, and its modulus as big-endian hex.
void newPrivateBlob(DWORD spec, Bytes &blob, std::string &modulus) {
  Pkey k(EVP_RSA_gen(kBits));
  if (!k) std::abort();
  const size_t n = kBits / 8, h = n / 2;
  blob.assign(8, 0);
  blob[0] = PRIVATEKEYBLOB;
  blob[1] = CUR_BLOB_VERSION;
  const ALG_ID alg = spec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;
  std::memcpy(&blob[4], &alg, 4);
  const DWORD rsa[3] = {0x32415352u /* "RSA2" */, kBits, 65537};
  blob.insert(blob.end(), reinterpret_cast<const unsigned char *>(rsa),
              reinterpret_cast<const unsigned char *>(rsa) + 12);
  const std::pair<const char *, size_t> fields[] = {
      {OSSL_PKEY_PARAM_RSA_N, n},         {OSSL_PKEY_PARAM_RSA_FACTOR1, h},
      {OSSL_PKEY_PARAM_RSA_FACTOR2, h},   {OSSL_PKEY_PARAM_RSA_EXPONENT1, h},
      {OSSL_PKEY_PARAM_RSA_EXPONENT2, h}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, h},
      {OSSL_PKEY_PARAM_RSA_D, n}};
  for (const auto &f : fields) {
    Bytes v = bnParam(k.get(), f.first, f.second);
    blob.insert(blob.end(), v.begin(), v.end());
  }
  Bytes mod = bnParam(k.get(), OSSL_PKEY_PARAM_RSA_N, n);
  std::reverse(mod.begin(), mod.end());
  modulus = hex(mod);
}

// A self-signed certificate with a random serial number and the subject
// "CN=<cn>", DER encoded.
Bytes newCertificate(EVP_PKEY *key, const std::string &cn, std::mt19937_64 &rng) {
  X509 *x = X509_new();
  X509_set_version(x, 2);
  BIGNUM *serial = BN_new();
  BN_set_word(serial, rng() >> 1);
  BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x));
  BN_free(serial);
  X509_NAME *name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
  X509_set_pubkey(x, key);
  if (!X509_sign(x, key, EVP_sha256())) std::abort();
  unsigned char *der = nullptr;
  const int len = i2d_X509(x, &der);
  X509_free(x);
  if (len <= 0) std::abort();
  Bytes out(der, der + len);
  OPENSSL_free(der);
  return out;
}

std::string commonName(const Bytes &der) {
  const unsigned char *p = der.data();
  X509 *x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  if (x == nullptr) return "";
  char buf[128] = {0};
  X509_NAME_get_text_by_NID(X509_get_subject_name(x), NID_commonName, buf, sizeof buf);
  X509_free(x);
  return buf;
}

Bytes friendlyName(const std::string &text) {
  Bytes b;
  for (char c : text) {
    b.push_back(static_cast<unsigned char>(c));
    b.push_back(0);
  }
  b.push_back(0);
  b.push_back(0);
  return b;
}

struct Container {
  int fam;
  bool has[3];  // by key spec
};
struct Cert {
  Bytes der;
  std::string thumb;
  int renamed = 0;
};

class Worker {
 public:
  Worker(int id, int round, uint64_t seed) : id_(id), round_(round), rng_(seed) {}

  // Starts (reads what earlier rounds left), says so, then works until it is
  // killed; with startOnly it ends once started.
  int run(bool startOnly) {
    if (!discover()) return 3;
    signer_.reset(EVP_RSA_gen(kBits));
    if (!signer_) return 3;
    say("R");
    if (startOnly) return 0;
    for (;;) step();
  }

 private:
  std::string prefix() const { return "w" + std::to_string(id_) + "-"; }
  std::string fresh(char kind) {
    return prefix() + "r" + std::to_string(round_) + "-" + kind + std::to_string(++seq_);
  }
  static std::string key(const std::string &name, int fam) {
    return std::string("K/") + kFamily[fam] + "/" + name;
  }

  // Finds this worker's containers and certificates left by earlier rounds.
  bool discover() {
    for (int fam = 0; fam < 2; ++fam) {
      std::vector<std::string> all, names;
      if (!listContainers(fam, all)) {
        failed("start-enum");
        say("X cannot list the containers");
        return false;
      }
      for (const auto &n : all)
        if (n.rfind(prefix(), 0) == 0) names.push_back(n);
      for (const auto &n : names) {
        HCRYPTPROV c = 0;
        if (!CryptAcquireContextA(&c, n.c_str(), kProviders[fam], PROV_RSA_FULL, 0)) {
          failed("start-open " + n);
          say("X cannot open a listed container");
          return false;
        }
        Container box{fam, {false, false, false}};
        for (DWORD spec = 1; spec <= 2; ++spec) {
          HCRYPTKEY k = 0;
          if (CryptGetUserKey(c, spec, &k)) {
            box.has[spec] = true;
            CryptDestroyKey(k);
          }
        }
        CryptReleaseContext(c, 0);
        boxes_[n] = box;
      }
    }
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (store == nullptr) {
      failed("start-store");
      say("X cannot open the store");
      return false;
    }
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(store, c)) {
      Bytes der(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
      if (commonName(der).rfind(prefix(), 0) == 0) {
        Cert cert;
        cert.thumb = hex(sha("SHA1", der.data(), der.size()));
        cert.der = std::move(der);
        certs_.push_back(std::move(cert));
      }
    }
    CertCloseStore(store, 0);
    return true;
  }

  template <class T>
  T &pick(std::vector<T> &v) {
    return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng_)];
  }
  int roll(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  void step() {
    const bool manyBoxes = boxes_.size() > 24, manyCerts = certs_.size() > 24;
    const int weights[] = {25, 15, 10, 10 + (manyBoxes ? 30 : 0), 25, 10, 5 + (manyCerts ? 25 : 0)};
    int total = 0;
    for (int w : weights) total += w;
    int r = roll(total), op = 0;
    while (r >= weights[op]) r -= weights[op++];
    switch (op) {
      case 0:
        newContainer(false);
        break;
      case 1:
        newContainer(true);
        break;
      case 2:
        addKey();
        break;
      case 3:
        deleteContainer();
        break;
      case 4:
        addCert();
        break;
      case 5:
        renameCert();
        break;
      default:
        deleteCert();
        break;
    }
  }

  // Generates the key, logs it, then reads its modulus back for the check.
  void generate(HCRYPTPROV p, const std::string &k, DWORD spec, Container &box) {
    const std::string field = k + "/" + std::to_string(spec);
    say("I " + field + "=?");
    HCRYPTKEY key = 0;
    if (!CryptGenKey(p, spec, kBits << 16, &key)) return failed("genkey " + field);
    say("A " + field + "=?");
    box.has[spec] = true;
    const std::string mod = blobModulus(exportPublic(key));
    CryptDestroyKey(key);
    if (mod.empty()) return failed("export " + field);
    say("N " + field + "=" + mod);
  }

  void newContainer(bool import) {
    const int fam = roll(2);
    const std::string name = fresh('k');
    const std::string k = key(name, fam);
    const DWORD spec = 1 + roll(2);
    Bytes blob;
    std::string mod;
    if (import) newPrivateBlob(spec, blob, mod);
    HCRYPTPROV p = 0;
    say("I " + k + "/e=1");
    if (!CryptAcquireContextA(&p, name.c_str(), kProviders[fam], PROV_RSA_FULL, CRYPT_NEWKEYSET))
      return failed("create " + k);
    say("A " + k + "/e=1");
    Container &box = boxes_[name] = Container{fam, {false, false, false}};
    if (import) {
      const std::string field = k + "/" + std::to_string(spec);
      say("I " + field + "=" + mod);
      HCRYPTKEY key = 0;
      if (CryptImportKey(p, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &key)) {
        say("A " + field + "=" + mod);
        box.has[spec] = true;
        CryptDestroyKey(key);
      } else {
        failed("import " + field);
      }
    } else {
      generate(p, k, spec, box);
    }
    CryptReleaseContext(p, 0);
  }

  // A second key in a container that holds one: of the other key type (exchange or signature).
  void addKey() {
    std::vector<std::string> open;
    for (const auto &b : boxes_)
      if (!b.second.has[1] || !b.second.has[2]) open.push_back(b.first);
    if (open.empty()) return newContainer(false);
    const std::string name = pick(open);
    Container &box = boxes_[name];
    HCRYPTPROV p = 0;
    if (!CryptAcquireContextA(&p, name.c_str(), kProviders[box.fam], PROV_RSA_FULL, 0))
      return failed("open " + key(name, box.fam));
    generate(p, key(name, box.fam), box.has[1] ? 2 : 1, box);
    CryptReleaseContext(p, 0);
  }

  void deleteContainer() {
    if (boxes_.empty()) return newContainer(true);
    std::vector<std::string> names;
    for (const auto &b : boxes_) names.push_back(b.first);
    const std::string name = pick(names);
    const int fam = boxes_[name].fam;
    const std::string k = key(name, fam);
    const std::string gone = k + "/e=0 " + k + "/1=- " + k + "/2=-";
    say("I " + gone);
    HCRYPTPROV p = 0;
    if (!CryptAcquireContextA(&p, name.c_str(), kProviders[fam], PROV_RSA_FULL, CRYPT_DELETEKEYSET))
      return failed("delete " + k);
    say("A " + gone);
    boxes_.erase(name);
  }

  void addCert() {
    const std::string cn = fresh('c');
    Cert cert;
    cert.der = newCertificate(signer_.get(), cn, rng_);
    cert.thumb = hex(sha("SHA1", cert.der.data(), cert.der.size()));
    const std::string c = "C/" + cert.thumb;
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (store == nullptr) return failed("open-store");
    PCCERT_CONTEXT made = CertCreateCertificateContext(X509_ASN_ENCODING, cert.der.data(),
                                                       static_cast<DWORD>(cert.der.size()));
    PCCERT_CONTEXT stored = nullptr;
    if (made == nullptr) {
      failed("create-context");
    } else {
      say("I " + c + "/e=1");
      if (!CertAddCertificateContextToStore(store, made, CERT_STORE_ADD_NEW, &stored)) {
        failed("addcert " + c);
      } else {
        say("A " + c + "/e=1");
        Bytes name = friendlyName(cn);
        Bytes description(8 + roll(32));
        for (auto &b : description) b = static_cast<unsigned char>(rng_());
        const std::pair<DWORD, Bytes *> props[] = {{CERT_FRIENDLY_NAME_PROP_ID, &name},
                                                   {CERT_DESCRIPTION_PROP_ID, &description}};
        for (const auto &prop : props) {
          const std::string field = c + "/" + std::to_string(prop.first) + "=" + hex(*prop.second);
          say("I " + field);
          CRYPT_DATA_BLOB blob{static_cast<DWORD>(prop.second->size()), prop.second->data()};
          if (!CertSetCertificateContextProperty(stored, prop.first, 0, &blob)) {
            failed("setprop " + field);
            break;
          }
          say("A " + field);
        }
        CertFreeCertificateContext(stored);
        certs_.push_back(std::move(cert));
      }
      CertFreeCertificateContext(made);
    }
    CertCloseStore(store, 0);
  }

  // Finds the certificate by issuer and serial number, as the library does.
  PCCERT_CONTEXT lookup(HCERTSTORE store, const Cert &cert) {
    PCCERT_CONTEXT made = CertCreateCertificateContext(X509_ASN_ENCODING, cert.der.data(),
                                                       static_cast<DWORD>(cert.der.size()));
    if (made == nullptr) return nullptr;
    PCCERT_CONTEXT found =
        CertGetSubjectCertificateFromStore(store, X509_ASN_ENCODING, made->pCertInfo);
    CertFreeCertificateContext(made);
    return found;
  }

  void renameCert() {
    if (certs_.empty()) return addCert();
    Cert &cert = pick(certs_);
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (store == nullptr) return failed("open-store");
    PCCERT_CONTEXT found = lookup(store, cert);
    if (found == nullptr) {
      failed("lookup C/" + cert.thumb);
    } else {
      Bytes name = friendlyName(commonName(cert.der) + " v" + std::to_string(++cert.renamed));
      const std::string field =
          "C/" + cert.thumb + "/" + std::to_string(CERT_FRIENDLY_NAME_PROP_ID) + "=" + hex(name);
      say("I " + field);
      CRYPT_DATA_BLOB blob{static_cast<DWORD>(name.size()), name.data()};
      if (CertSetCertificateContextProperty(found, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob))
        say("A " + field);
      else
        failed("rename " + field);
      CertFreeCertificateContext(found);
    }
    CertCloseStore(store, 0);
  }

  void deleteCert() {
    if (certs_.empty()) return addCert();
    const size_t at = std::uniform_int_distribution<size_t>(0, certs_.size() - 1)(rng_);
    const Cert cert = certs_[at];
    certs_.erase(certs_.begin() + static_cast<long>(at));
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (store == nullptr) return failed("open-store");
    PCCERT_CONTEXT found = lookup(store, cert);
    if (found == nullptr) {
      failed("lookup C/" + cert.thumb);
    } else {
      const std::string c = "C/" + cert.thumb;
      const std::string gone = c + "/e=0 " + c + "/11=- " + c + "/13=-";
      say("I " + gone);
      // The call frees the context whatever it returns.
      if (CertDeleteCertificateFromStore(found))
        say("A " + gone);
      else
        failed("delcert " + c);
    }
    CertCloseStore(store, 0);
  }

  int id_, round_;
  std::mt19937_64 rng_;
  int seq_ = 0;
  Pkey signer_;
  std::map<std::string, Container> boxes_;
  std::vector<Cert> certs_;
};

// ----------------------------------------------------------------- check ----

// What one field (a container's existence or key, a certificate's existence
// or property) may hold: the values the log allows now, and every value it
// ever named. "?" stands for a key whose modulus the worker did not read
// before it died; "-" for absent, "0"/"1" for existence.
struct Field {
  std::set<std::string> allowed;
  std::set<std::string> history;
};

bool absent(const std::string &v) {
  return v == "-" || v == "0";
}
bool wellFormed(const std::string &v) {
  return !v.empty() && v[0] != '!';
}
bool admits(const std::set<std::string> &values, const std::string &v) {
  if (values.count(v)) return true;
  return values.count("?") && wellFormed(v) && !absent(v);
}
std::string absentValue(const std::string &field) {
  return field.size() > 2 && field.compare(field.size() - 2, 2, "/e") == 0 ? "0" : "-";
}
std::string join(const std::set<std::string> &s) {
  std::string out;
  for (const auto &v : s) out += (out.empty() ? "" : ",") + v;
  return out.empty() ? "~" : out;
}
std::set<std::string> split(const std::string &s) {
  std::set<std::string> out;
  if (s == "~") return out;
  std::stringstream in(s);
  std::string v;
  while (std::getline(in, v, ',')) out.insert(v);
  return out;
}

// Verifies a CryptSignHashA signature (least significant byte first) of a
// SHA-256 hash value with OpenSSL, against the exported modulus.
bool verifies(const Bytes &modulusBE, const Bytes &hashValue, Bytes sig) {
  std::reverse(sig.begin(), sig.end());
  OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
  BIGNUM *n = BN_bin2bn(modulusBE.data(), static_cast<int>(modulusBE.size()), nullptr);
  BIGNUM *e = BN_new();
  BN_set_word(e, 65537);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
  OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX *from = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY *pkey = nullptr;
  bool ok = EVP_PKEY_fromdata_init(from) > 0 &&
            EVP_PKEY_fromdata(from, &pkey, EVP_PKEY_PUBLIC_KEY, params) > 0;
  if (ok) {
    EVP_PKEY_CTX *v = EVP_PKEY_CTX_new(pkey, nullptr);
    ok = EVP_PKEY_verify_init(v) > 0 && EVP_PKEY_CTX_set_rsa_padding(v, RSA_PKCS1_PADDING) > 0 &&
         EVP_PKEY_CTX_set_signature_md(v, EVP_sha256()) > 0 &&
         EVP_PKEY_verify(v, sig.data(), sig.size(), hashValue.data(), hashValue.size()) == 1;
    EVP_PKEY_CTX_free(v);
  }
  EVP_PKEY_free(pkey);
  EVP_PKEY_CTX_free(from);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(n);
  BN_free(e);
  return ok;
}

// The key of that spec as the container holds it: its modulus, "-" when the
// container has none, "!..." when it is there but not whole.
std::string observeKey(HCRYPTPROV p, DWORD spec) {
  HCRYPTKEY k = 0;
  if (!CryptGetUserKey(p, spec, &k)) return GetLastError() == NTE_NO_KEY ? "-" : "!getuserkey";
  const std::string mod = blobModulus(exportPublic(k));
  CryptDestroyKey(k);
  if (mod.empty()) return "!export";
  const std::string text = "soak " + mod;
  const Bytes value =
      sha("SHA256", reinterpret_cast<const unsigned char *>(text.data()), text.size());
  HCRYPTHASH h = 0;
  Bytes sig;
  if (CryptCreateHash(p, CALG_SHA_256, 0, 0, &h)) {
    DWORD n = 0;
    if (CryptSetHashParam(h, HP_HASHVAL, value.data(), 0) &&
        CryptSignHashA(h, spec, nullptr, 0, nullptr, &n)) {
      sig.resize(n);
      if (!CryptSignHashA(h, spec, nullptr, 0, sig.data(), &n)) sig.clear();
    }
    CryptDestroyHash(h);
  }
  Bytes modBE;
  for (size_t i = 0; i < mod.size(); i += 2)
    modBE.push_back(static_cast<unsigned char>(std::stoi(mod.substr(i, 2), nullptr, 16)));
  if (sig.empty()) return "!sign";
  if (!verifies(modBE, value, sig)) return "!verify";
  return mod;
}

void observeContainer(int fam, const std::string &name, std::map<std::string, std::string> &obs) {
  const std::string k = std::string("K/") + kFamily[fam] + "/" + name;
  HCRYPTPROV p = 0;
  if (!CryptAcquireContextA(&p, name.c_str(), kProviders[fam], PROV_RSA_FULL, 0)) {
    obs[k + "/e"] = GetLastError() == NTE_BAD_KEYSET ? "0" : "!acquire";
    obs[k + "/1"] = obs[k + "/2"] = "-";
    return;
  }
  obs[k + "/e"] = "1";
  for (DWORD spec = 1; spec <= 2; ++spec) obs[k + "/" + std::to_string(spec)] = observeKey(p, spec);
  CryptReleaseContext(p, 0);
}

bool observeAll(const std::map<std::string, Field> &model,
                std::map<std::string, std::string> &obs) {
  std::set<std::pair<int, std::string>> boxes;
  for (int fam = 0; fam < 2; ++fam) {
    std::vector<std::string> names;
    if (!listContainers(fam, names)) return false;
    for (const auto &n : names) boxes.insert({fam, n});
  }
  for (const auto &f : model) {
    if (f.first[0] != 'K') continue;
    const int fam = f.first[2] == 's' ? 0 : 1;
    boxes.insert({fam, f.first.substr(4, f.first.rfind('/') - 4)});
  }
  for (const auto &b : boxes) observeContainer(b.first, b.second, obs);

  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  if (store == nullptr) return false;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c)) {
    const std::string k = "C/" + hex(sha("SHA1", c->pbCertEncoded, c->cbCertEncoded));
    const unsigned char *p = c->pbCertEncoded;
    X509 *x = d2i_X509(nullptr, &p, static_cast<long>(c->cbCertEncoded));
    obs[k + "/e"] = x != nullptr && p == c->pbCertEncoded + c->cbCertEncoded ? "1" : "!parse";
    X509_free(x);
    for (DWORD id : {CERT_FRIENDLY_NAME_PROP_ID, CERT_DESCRIPTION_PROP_ID}) {
      std::string &v = obs[k + "/" + std::to_string(id)];
      DWORD n = 0;
      if (!CertGetCertificateContextProperty(c, id, nullptr, &n)) {
        v = GetLastError() == CRYPT_E_NOT_FOUND ? "-" : "!getprop";
        continue;
      }
      Bytes b(n);
      v = CertGetCertificateContextProperty(c, id, b.data(), &n) ? hex(b.data(), n) : "!getprop";
    }
  }
  CertCloseStore(store, 0);
  for (const auto &f : model)
    if (f.first[0] == 'C' && !obs.count(f.first)) obs[f.first] = absentValue(f.first);
  return true;
}

// PRAGMA integrity_check through a read-only connection of its own.
bool integrityHolds(const std::string &path, std::string &detail) {
  if (!std::filesystem::exists(path)) return true;
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    detail = sqlite3_errmsg(db);
    sqlite3_close(db);
    return false;
  }
  sqlite3_busy_timeout(db, 10000);
  sqlite3_stmt *st = nullptr;
  bool ok = sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK;
  int rows = 0;
  while (ok && sqlite3_step(st) == SQLITE_ROW) {
    const char *r = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
    if (++rows > 1 || r == nullptr || std::strcmp(r, "ok") != 0) {
      ok = false;
      detail += r != nullptr ? r : "(null)";
    }
  }
  if (rows == 0) ok = false;
  if (!ok && detail.empty()) detail = sqlite3_errmsg(db);
  sqlite3_finalize(st);
  sqlite3_close(db);
  return ok;
}

int check(const std::string &home, const std::string &stateFile,
          const std::vector<std::string> &logs) {
  std::map<std::string, Field> model;
  {
    std::ifstream in(stateFile);
    std::string field, allowed, history;
    while (in >> field >> allowed >> history) model[field] = {split(allowed), split(history)};
  }
  long acked = 0, lost = 0, torn = 0, resurrected = 0, failures = 0, inFlight = 0;
  for (const auto &log : logs) {
    std::ifstream in(log);
    std::string line, last;
    while (std::getline(in, line)) {
      std::stringstream words(line);
      std::string kind, item;
      words >> kind;
      last = kind;
      if (kind == "F") {
        ++failures;
        std::printf("unexpected failure in %s: %s\n", log.c_str(), line.c_str());
        continue;
      }
      if (kind != "I" && kind != "A" && kind != "N") continue;
      if (kind == "A") ++acked;
      while (words >> item) {
        const size_t eq = item.find('=');
        const std::string name = item.substr(0, eq), value = item.substr(eq + 1);
        Field &f = model[name];
        if (f.allowed.empty()) f.allowed.insert(absentValue(name));
        if (kind == "I") {
          f.allowed.insert(value);
        } else {
          f.allowed = {value};
        }
        f.history.insert(value);
      }
    }
    // The worker died inside a write call.
    if (last == "I") ++inFlight;
  }
  for (const char *db : {"keys.db", "certs.db"}) {
    std::string detail;
    if (!integrityHolds(home + "/" + db, detail)) {
      ++torn;
      std::printf("integrity_check of %s: %s\n", db, detail.c_str());
    }
  }
  std::map<std::string, std::string> obs;
  if (!observeAll(model, obs)) {
    std::printf("cannot read the home: error %08x\n", static_cast<unsigned>(GetLastError()));
    ++failures;
  }
  for (const auto &o : obs) model.emplace(o.first, Field{{absentValue(o.first)}, {}});
  std::ofstream out(stateFile + ".new");
  for (auto &entry : model) {
    Field &f = entry.second;
    const auto seen = obs.find(entry.first);
    const std::string v = seen == obs.end() ? absentValue(entry.first) : seen->second;
    if (!admits(f.allowed, v)) {
      bool onlyAbsent = true;
      for (const auto &a : f.allowed) onlyAbsent = onlyAbsent && absent(a);
      const char *what;
      if (absent(v)) {
        what = "lost";
        ++lost;
      } else if (onlyAbsent && admits(f.history, v)) {
        what = "resurrected";
        ++resurrected;
      } else if (admits(f.history, v)) {
        what = "lost (an earlier value)";
        ++lost;
      } else {
        what = "torn";
        ++torn;
      }
      std::printf("%s: %s holds %s, the log allows %s\n", what, entry.first.c_str(), v.c_str(),
                  join(f.allowed).c_str());
    }
    // What is there now is the next round's starting point.
    f.history.erase("?");
    if (wellFormed(v)) f.history.insert(v);
    out << entry.first << ' ' << v << ' ' << join(f.history) << '\n';
  }
  out.close();
  std::filesystem::rename(stateFile + ".new", stateFile);
  std::printf("result %ld %ld %ld %ld %ld %ld\n", acked, lost, torn, resurrected, failures,
              inFlight);
  return 0;
}

// ---------------------------------------------------------------- driver ----

struct Running {
  pid_t pid = -1;
  int fd = -1;
  std::string buffered;  // read but not yet written out
  std::ofstream log;
  bool ready = false, eof = false;
};

// Reads what is available (or waits up to `ms`) from every open pipe.
void pump(std::vector<Running> &ws, int ms) {
  std::vector<pollfd> fds;
  for (auto &w : ws)
    if (!w.eof) fds.push_back({w.fd, POLLIN, 0});
  if (fds.empty()) {
    if (ms > 0) usleep(static_cast<useconds_t>(ms) * 1000);
    return;
  }
  if (poll(fds.data(), fds.size(), ms) <= 0) return;
  for (auto &w : ws) {
    if (w.eof) continue;
    pollfd *p = nullptr;
    for (auto &f : fds)
      if (f.fd == w.fd) p = &f;
    if (p == nullptr || p->revents == 0) continue;
    char buf[65536];
    const ssize_t n = read(w.fd, buf, sizeof buf);
    if (n <= 0) {
      w.eof = true;
      close(w.fd);
      continue;
    }
    w.log.write(buf, n);
    w.buffered.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = w.buffered.find('\n')) != std::string::npos) {
      if (w.buffered.compare(0, nl, "R") == 0) w.ready = true;
      w.buffered.erase(0, nl + 1);
    }
  }
}

std::string self() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

Running startWorker(const std::string &log, int id, int round, uint64_t seed, bool startOnly) {
  Running w;
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  w.log.open(log, std::ios::binary);
  const pid_t pid = child::start(
      [&] {
        close(fds[0]);
        dup2(fds[1], kLogFd);
        if (fds[1] != kLogFd) close(fds[1]);
        const std::string exe = self(), a = std::to_string(id), b = std::to_string(round),
                          c = std::to_string(seed);
        execl(exe.c_str(), exe.c_str(), "worker", a.c_str(), b.c_str(), c.c_str(),
              startOnly ? "start-only" : static_cast<char *>(nullptr),
              static_cast<char *>(nullptr));
        return 127;
      },
      false);
  if (pid < 0) std::abort();
  close(fds[1]);
  w.pid = pid;
  w.fd = fds[0];
  return w;
}

// Runs the check in a fresh process; returns its counters.
bool runCheck(const std::string &home, const std::string &state,
              const std::vector<std::string> &logs, long out[6]) {
  std::string cmd = "'" + self() + "' check '" + home + "' '" + state + "'";
  for (const auto &l : logs) cmd += " '" + l + "'";
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return false;
  char line[4096];
  bool got = false;
  while (std::fgets(line, sizeof line, p) != nullptr) {
    if (std::sscanf(line, "result %ld %ld %ld %ld %ld %ld", &out[0], &out[1], &out[2], &out[3],
                    &out[4], &out[5]) == 6)
      got = true;
    else
      std::fputs(line, stdout);
  }
  return pclose(p) == 0 && got;
}

// Shows that the check finds what it looks for: after the rounds, writes a
// log that claims an acknowledged container that was never made (lost) and
// an acknowledged deletion of a container that is there (resurrected), and
// changes a certificate's description through the API behind the log's back
// (torn). The check must count exactly those three.
bool selfTest(const std::string &dir, const std::string &home, const std::string &state) {
  std::string box, cert;
  {
    std::ifstream in(state);
    std::string field, value, history;
    while (in >> field >> value >> history) {
      if (value != "1" || field.size() < 3 || field.compare(field.size() - 2, 2, "/e") != 0)
        continue;
      if (field[0] == 'K' && box.empty()) box = field.substr(0, field.size() - 2);
      if (field[0] == 'C' && cert.empty()) cert = field.substr(2, field.size() - 4);
    }
  }
  if (box.empty() || cert.empty()) {
    std::printf("self-test: the rounds left no container or no certificate\n");
    return false;
  }
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  bool changed = false;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c)) {
    if (hex(sha("SHA1", c->pbCertEncoded, c->cbCertEncoded)) != cert) continue;
    unsigned char odd[] = {'n', 'o', 't', ' ', 'l', 'o', 'g', 'g', 'e', 'd'};
    CRYPT_DATA_BLOB blob{sizeof odd, odd};
    changed = CertSetCertificateContextProperty(c, CERT_DESCRIPTION_PROP_ID, 0, &blob);
  }
  CertCloseStore(store, 0);
  const std::string log = dir + "/logs/self-test";
  std::ofstream(log) << "A K/s/never-made/e=1\nA " << box << "/e=0\n";
  long r[6] = {0, 0, 0, 0, 0, 0};
  if (!changed || !runCheck(home, state, {log}, r)) {
    std::printf("self-test: could not run\n");
    return false;
  }
  std::printf("self-test: lost %ld, torn %ld, resurrected %ld found (1, 1, 1 injected)\n", r[1],
              r[2], r[3]);
  return r[1] == 1 && r[2] == 1 && r[3] == 1 && r[4] == 0;
}

int drive(int rounds, int workers, uint64_t seed, bool keep, bool selftest) {
  const char *tmp = std::getenv("TMPDIR");
  const std::string base =
      std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/mscapi-soak-XXXXXX";
  std::vector<char> path(base.begin(), base.end());
  path.push_back(0);
  if (mkdtemp(path.data()) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const std::string dir = path.data();
  const std::string home = dir + "/home", state = dir + "/state";
  std::filesystem::create_directories(home);
  std::filesystem::create_directories(dir + "/logs");
  setenv("MSCAPI_HOME", home.c_str(), 1);
  std::printf("soak: %d rounds, %d workers, seed %llu, run directory %s\n", rounds, workers,
              static_cast<unsigned long long>(seed), dir.c_str());
  std::fflush(stdout);
  std::mt19937_64 rng(seed);
  long acked = 0, lost = 0, torn = 0, resurrected = 0, failures = 0, failedStarts = 0, inFlight = 0;
  for (int round = 1; round <= rounds + 1; ++round) {
    std::vector<Running> ws;
    std::vector<std::string> logs;
    for (int id = 1; id <= workers; ++id) {
      logs.push_back(dir + "/logs/r" + std::to_string(round) + "-w" + std::to_string(id));
      ws.push_back(startWorker(logs.back(), id, round, rng(), round > rounds));
    }
    // Wait until each worker has started (or died trying).
    for (;;) {
      bool waiting = false;
      for (auto &w : ws) waiting = waiting || (!w.ready && !w.eof);
      if (!waiting) break;
      pump(ws, 100);
    }
    for (auto &w : ws)
      if (!w.ready) {
        ++failedStarts;
        std::printf("round %d: a worker (pid %d) did not start\n", round, w.pid);
      }
    // Each worker dies at its own random moment. In the last round the
    // workers only start and end by themselves.
    std::vector<std::chrono::steady_clock::time_point> deadline;
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < ws.size(); ++i)
      deadline.push_back(now + std::chrono::milliseconds(
                                   round > rounds ? 60000 : 20 + static_cast<int>(rng() % 600)));
    std::vector<bool> killed(ws.size(), false);
    for (;;) {
      const auto t = std::chrono::steady_clock::now();
      int next = 1000;
      bool pending = false;
      for (size_t i = 0; i < ws.size(); ++i) {
        if (killed[i] || ws[i].eof) continue;
        if (t >= deadline[i]) {
          kill(ws[i].pid, SIGKILL);
          killed[i] = true;
          continue;
        }
        pending = true;
        next = std::min<int>(
            next,
            static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline[i] - t).count()) +
                1);
      }
      if (!pending) break;
      pump(ws, next);
    }
    for (;;) {
      bool open = false;
      for (auto &w : ws) open = open || !w.eof;
      if (!open) break;
      pump(ws, 100);
    }
    for (auto &w : ws) {
      const int status = child::wait(w.pid);
      w.log.close();
      const bool expected = round > rounds ? status == 0 : status == 128 + SIGKILL;
      if (!expected && w.ready) {
        std::printf("round %d: worker pid %d ended with status %d\n", round, w.pid, status);
        ++failures;
      }
    }
    if (round > rounds) break;
    long r[6] = {0, 0, 0, 0, 0, 0};
    if (!runCheck(home, state, logs, r)) {
      std::printf("round %d: the check did not run\n", round);
      ++failures;
    }
    acked += r[0];
    lost += r[1];
    torn += r[2];
    resurrected += r[3];
    failures += r[4];
    inFlight += r[5];
    std::fflush(stdout);
  }
  std::printf("workers killed inside a write call: %ld of %ld\n", inFlight,
              static_cast<long>(rounds) * workers);
  if (failures != 0) std::printf("unexpected call failures %ld\n", failures);
  std::printf(
      "rounds %d, acknowledged writes %ld, lost %ld, torn %ld, resurrected %ld, failed starts "
      "%ld\n",
      rounds, acked, lost, torn, resurrected, failedStarts);
  bool bad = lost || torn || resurrected || failedStarts || failures;
  if (selftest && !bad) {
    bad = !selfTest(dir, home, state);
    if (!bad) std::printf("self-test: the check found every injected fault\n");
  }
  if (keep || bad)
    std::printf("run directory kept: %s\n", dir.c_str());
  else
    std::filesystem::remove_all(dir);
  return bad ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "worker" && (argc == 5 || argc == 6)) {
    signal(SIGPIPE, SIG_IGN);
    return Worker(std::atoi(argv[2]), std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10))
        .run(argc == 6);
  }
  if (mode == "check" && argc >= 4)
    return check(argv[2], argv[3], std::vector<std::string>(argv + 4, argv + argc));
  if (mode == "run") {
    int rounds = 50, workers = 4;
    uint64_t seed = std::random_device{}();
    bool keep = false, selftest = false;
    for (int i = 2; i < argc; ++i) {
      const std::string a = argv[i];
      if (a == "--rounds" && i + 1 < argc)
        rounds = std::atoi(argv[++i]);
      else if (a == "--workers" && i + 1 < argc)
        workers = std::atoi(argv[++i]);
      else if (a == "--seed" && i + 1 < argc)
        seed = std::strtoull(argv[++i], nullptr, 10);
      else if (a == "--keep")
        keep = true;
      else if (a == "--self-test")
        selftest = true;
      else
        return std::fprintf(stderr, "unknown argument %s\n", a.c_str()), 2;
    }
    if (rounds < 1 || workers < 1) return 2;
    return drive(rounds, workers, seed, keep, selftest);
  }
  std::fprintf(
      stderr,
      "usage: soak_crash run [--rounds N] [--workers N] [--seed S] [--keep] [--self-test]\n"
      "       (worker and check modes are started by run)\n");
  return 2;
}
