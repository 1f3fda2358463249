// Certificate store benchmark: queryCerts (through a JVM embedded in this
// process, as Java calls it) on stores of 10,000 and 100,000 certificates of
// about 1 KB, against a bare SQLite scan of the same rows measured in the
// same run; addCertToStore adds per second (each durable on return); and
// what copying card certificates into "MY" adds to listing it, with a
// PKCS#11 provider registered with and without a card, against a home with
// no PKCS#11 provider.
#include <dlfcn.h>
#include <jni.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "bench_common.h"
#include "common/test_hooks.h"
#include "winapi/crypt32.h"

// This program exports its own fdatasync and fsync (see CMakeLists.txt), so
// the library's calls come here first: each is counted and passed on.
namespace {
std::atomic<int64_t> syncs{0};
template <typename... A>
int countedSync(const char *name, A... args) {
  ++syncs;
  using Real = int (*)(A...);
  const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, name));
  return real != nullptr ? real(args...) : -1;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) int fdatasync(int fd) {
  return countedSync("fdatasync", fd);
}
extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
  return countedSync("fsync", fd);
}

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const uint8_t kSerialPattern[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                    0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x7F, 0x12};

// A real RSA-2048 certificate of about 1 KB with a 16-byte serial number,
// and the offset of that serial number in its encoding.
Bytes templateCert(size_t &serialAt) {
  EVP_PKEY *key = EVP_RSA_gen(2048);
  X509 *x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER *serial = ASN1_INTEGER_new();
  BIGNUM *bn = BN_bin2bn(kSerialPattern, sizeof kSerialPattern, nullptr);
  BN_to_ASN1_INTEGER(bn, serial);
  X509_set_serialNumber(x, serial);
  BN_free(bn);
  ASN1_INTEGER_free(serial);
  X509_NAME *name = X509_NAME_new();
  const char *fields[][2] = {{"C", "GB"},
                             {"ST", "Benchmarkshire"},
                             {"L", "Measuring Town"},
                             {"O", "Varnel Benchmark Certification Services Limited"},
                             {"OU", "Store Enumeration Performance Unit"},
                             {"CN", "Varnel Benchmark Intermediate Certification Authority G2"}};
  for (auto &f : fields)
    X509_NAME_add_entry_by_txt(name, f[0], MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(f[1]), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_set_subject_name(x, name);
  X509_NAME_free(name);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 365L * 86400);
  X509_set_pubkey(x, key);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
  X509_EXTENSION *ext = X509V3_EXT_conf_nid(
      nullptr, &ctx, NID_subject_alt_name,
      "DNS:bench.varnel.example,DNS:www.bench.varnel.example,DNS:api.bench.varnel.example");
  X509_add_ext(x, ext, -1);
  X509_EXTENSION_free(ext);
  X509_sign(x, key, EVP_sha256());
  unsigned char *out = nullptr;
  const int n = i2d_X509(x, &out);
  Bytes der(out, out + n);
  OPENSSL_free(out);
  X509_free(x);
  EVP_PKEY_free(key);
  serialAt =
      std::search(der.begin(), der.end(), std::begin(kSerialPattern), std::end(kSerialPattern)) -
      der.begin();
  return der;
}

// The template with the number i written into its serial number.
Bytes variant(const Bytes &tmpl, size_t serialAt, uint64_t i) {
  Bytes der = tmpl;
  for (int b = 0; b < 8; ++b) der[serialAt + 8 + b] = static_cast<uint8_t>(i >> (56 - 8 * b));
  return der;
}

// Fills the personal store of `home` with n certificates, each bound to a
// key container and named, through the emulation's public operations (in
// this process, linked in): the layout of what is stored is the product's
// own. Durability is not under test while filling, so fsync is off for it.
bool populate(const std::string &home, const Bytes &tmpl, size_t serialAt, size_t n) {
  setenv("MSCAPI_HOME", home.c_str(), 1);
  EmuTestControl(emu::hooks::kNoSync, 0);
  std::u16string provider = u"Microsoft Strong Cryptographic Provider";
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  size_t added = 0;
  for (size_t i = 0; store != nullptr && i < n; ++i) {
    const Bytes der = variant(tmpl, serialAt, i);
    PCCERT_CONTEXT c =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (c == nullptr) break;
    std::string text = "bench-" + std::to_string(i);
    std::u16string container(text.begin(), text.end());
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 0, nullptr, 2};
    std::u16string friendly = u"Benchmark certificate " + container;
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(2 * (friendly.size() + 1)),
                         reinterpret_cast<BYTE *>(friendly.data())};
    if (CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) &&
        CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob) &&
        CertAddCertificateContextToStore(store, c, CERT_STORE_ADD_NEW, nullptr))
      ++added;
    CertFreeCertificateContext(c);
  }
  if (store != nullptr) CertCloseStore(store, 0);
  EmuTestControl(0, emu::hooks::kNoSync);
  if (added != n) std::fprintf(stderr, "filling %s: %zu of %zu added\n", home.c_str(), added, n);
  return added == n;
}

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The floor: the same rows (certificates and their properties) read from
// the same file with SQLite alone (its default settings), every blob copied
// once into one buffer. With `mapped`, SQLite reads the file through a
// memory map as the emulation's connection does: printed for reference.
double bareScan(const std::string &home, size_t expect, bool mapped = false) {
  const auto t0 = Clock::now();
  sqlite3 *db = nullptr;
  sqlite3_open_v2((home + "/certs.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  if (mapped) sqlite3_exec(db, "PRAGMA mmap_size=1073741824", nullptr, nullptr, nullptr);
  Bytes out;
  out.reserve(expect * 1400);
  size_t rows = 0;
  auto copy = [&out](sqlite3_stmt *s, int col) {
    const auto *p = static_cast<const uint8_t *>(sqlite3_column_blob(s, col));
    out.insert(out.end(), p, p + sqlite3_column_bytes(s, col));
  };
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt *s = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT encoded, serial, issuer FROM certs WHERE scope = 1 AND store = 'MY' "
                     "ORDER BY id",
                     -1, &s, nullptr);
  while (sqlite3_step(s) == SQLITE_ROW) {
    copy(s, 0);
    copy(s, 1);
    copy(s, 2);
    ++rows;
  }
  sqlite3_finalize(s);
  sqlite3_prepare_v2(db,
                     "SELECT p.cert, p.prop, p.value FROM certs c INDEXED BY certs_by_store "
                     "JOIN props p ON p.cert = c.id "
                     "WHERE c.scope = 1 AND c.store = 'MY' ORDER BY c.id, p.prop",
                     -1, &s, nullptr);
  while (sqlite3_step(s) == SQLITE_ROW) copy(s, 2);
  sqlite3_finalize(s);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  const double t = ms(Clock::now() - t0);
  if (rows != expect) std::fprintf(stderr, "bare scan saw %zu rows, not %zu\n", rows, expect);
  return t;
}

struct Jvm {
  JNIEnv *env = nullptr;
  jclass cls = nullptr;
  jmethodID query = nullptr, add = nullptr;
};

bool startJvm(Jvm &j) {
  std::string cp = std::string("-Djava.class.path=") + MSCAPI_JAR;
  std::string lib = std::string("-Djava.library.path=") + MSCAPI_LIBDIR;
  std::string heap = "-Xmx4g";
  JavaVMOption options[3] = {{cp.data(), nullptr}, {lib.data(), nullptr}, {heap.data(), nullptr}};
  JavaVMInitArgs args{JNI_VERSION_10, 3, options, JNI_FALSE};
  JavaVM *vm = nullptr;
  if (JNI_CreateJavaVM(&vm, reinterpret_cast<void **>(&j.env), &args) != JNI_OK) return false;
  j.cls = j.env->FindClass("com/qel/varnel/MSCAPI");
  if (j.cls == nullptr) return false;
  j.query = j.env->GetStaticMethodID(j.cls, "queryCerts", "(I)[B");
  j.add = j.env->GetStaticMethodID(
      j.cls, "addCertToStore", "([BLjava/lang/String;Ljava/lang/String;ILjava/lang/String;I)[B");
  return j.query != nullptr && j.add != nullptr;
}

// One queryCerts("MY") call; returns its time, checks the record count.
double timeQuery(Jvm &j, const std::string &home, size_t expect) {
  setenv("MSCAPI_HOME", home.c_str(), 1);
  const auto t0 = Clock::now();
  auto *a = static_cast<jbyteArray>(j.env->CallStaticObjectMethod(j.cls, j.query, jint{1}));
  const double t = ms(Clock::now() - t0);
  uint8_t count[4] = {0, 0, 0, 0};
  if (a == nullptr || j.env->ExceptionCheck()) {
    j.env->ExceptionDescribe();
    std::fprintf(stderr, "queryCerts failed\n");
  } else {
    j.env->GetByteArrayRegion(a, 0, 4, reinterpret_cast<jbyte *>(count));
    j.env->DeleteLocalRef(a);
  }
  const size_t n = count[0] | count[1] << 8 | count[2] << 16 | size_t{count[3]} << 24;
  if (n != expect) std::fprintf(stderr, "queryCerts listed %zu, not %zu\n", n, expect);
  return t;
}

// The floor for an add: one row of the same bytes inserted into a bare
// SQLite table in WAL mode with synchronous=FULL (durable on commit, as an
// add is), each insert its own transaction, one prepared statement reused.
class BareInserts {
 public:
  explicit BareInserts(const std::string &path) {
    sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_exec(db_,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; "
                 "CREATE TABLE IF NOT EXISTS t (id INTEGER PRIMARY KEY, data BLOB NOT NULL)",
                 nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db_, "INSERT INTO t (data) VALUES (?1)", -1, &insert_, nullptr);
  }
  ~BareInserts() {
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
  }
  // Inserts one row; true when it was committed.
  bool insert(const Bytes &row) {
    sqlite3_bind_blob(insert_, 1, row.data(), static_cast<int>(row.size()), SQLITE_STATIC);
    const bool ok = sqlite3_step(insert_) == SQLITE_DONE;
    sqlite3_reset(insert_);
    return ok;
  }

 private:
  sqlite3 *db_ = nullptr;
  sqlite3_stmt *insert_ = nullptr;
};

// addCertToStore ("MY", bound to a container, with a friendly name), each
// add durable on return, against BareInserts of the same bytes into a file
// in the same folder. Adds and inserts alternate one by one, so that both
// meet the disk in the same state (its sync latency drifts over tens of
// milliseconds); a round's rates are over the time of its 100 adds and of
// its 100 inserts, and the figure is the median of the per-round ratios.
// Also prints what parsing alone costs.
bool measureAdds(Jvm &j, const std::string &home, const Bytes &tmpl, size_t serialAt) {
  setenv("MSCAPI_HOME", home.c_str(), 1);
  jstring provider = j.env->NewStringUTF("Microsoft Strong Cryptographic Provider");
  jstring container = j.env->NewStringUTF("bench-box");
  jstring friendly = j.env->NewStringUTF("added");
  const int rounds = 7, perRound = 100;
  uint64_t next = 1000000;
  auto batch = [&] {
    std::vector<Bytes> ders;
    for (int i = 0; i < perRound; ++i) ders.push_back(variant(tmpl, serialAt, next++));
    return ders;
  };
  auto add = [&](const Bytes &der) {
    jbyteArray a = j.env->NewByteArray(static_cast<jsize>(der.size()));
    j.env->SetByteArrayRegion(a, 0, static_cast<jsize>(der.size()),
                              reinterpret_cast<const jbyte *>(der.data()));
    jobject id = j.env->CallStaticObjectMethod(j.cls, j.add, a, provider, container, jint{2},
                                               friendly, jint{1});
    const bool ok = id != nullptr;
    j.env->DeleteLocalRef(id);
    j.env->DeleteLocalRef(a);
    return ok;
  };
  BareInserts bare(home + "/bare.db");
  // Warm-up: the files exist, the JIT has seen the call.
  for (const Bytes &der : batch()) add(der);
  for (const Bytes &der : batch()) bare.insert(der);
  std::vector<double> ratios, addRates, bareRates, syncsPerAdd;
  bool ok = true;
  for (int r = 0; r < rounds; ++r) {
    const std::vector<Bytes> a = batch(), b = batch();
    int64_t addSyncs = 0;
    double addMs = 0, bareMs = 0;
    for (int i = 0; i < perRound; ++i) {
      const int64_t syncs0 = syncs;
      auto t0 = Clock::now();
      ok = add(a[static_cast<size_t>(i)]) && ok;
      addMs += ms(Clock::now() - t0);
      addSyncs += syncs - syncs0;
      t0 = Clock::now();
      ok = bare.insert(b[static_cast<size_t>(i)]) && ok;
      bareMs += ms(Clock::now() - t0);
    }
    syncsPerAdd.push_back(static_cast<double>(addSyncs) / perRound);
    const double addRate = perRound / (addMs / 1000), bareRate = perRound / (bareMs / 1000);
    addRates.push_back(addRate);
    bareRates.push_back(bareRate);
    ratios.push_back(addRate / bareRate);
  }
  // Parsing alone: CertCreateCertificateContext on the same bytes.
  const Bytes der = variant(tmpl, serialAt, 1);
  const int parses = 2000;
  const auto p0 = Clock::now();
  for (int i = 0; i < parses; ++i)
    CertFreeCertificateContext(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                            static_cast<DWORD>(der.size())));
  const double parseUs = ms(Clock::now() - p0) * 1000 / parses;
  const bench::Spread s = bench::spreadOf(ratios), ar = bench::spreadOf(addRates),
                      br = bench::spreadOf(bareRates);
  std::printf(
      "addCertToStore: %.0f adds/s (range %.0f-%.0f), each durable on return; bare SQLite "
      "durable insert of the same bytes: %.0f/s (range %.0f-%.0f); parsing alone %.1f us\n",
      ar.median, ar.low, ar.high, br.median, br.low, br.high, parseUs);
  bench::ratio("addCertToStore_vs_bare_insert", s.median, ">=", 0.8,
               bench::describe(s, "%.2f") + " of " + std::to_string(perRound) +
                   " adds each, alternating one by one with bare inserts");
  // One WAL sync per add; checkpoints add a few every few hundred adds. A
  // directory sync per add would make it 2.
  const bench::Spread sy = bench::spreadOf(syncsPerAdd);
  bench::ratio("addCertToStore_syncs_per_add", sy.median, "<=", 1.1,
               "fdatasync/fsync calls per add, " + bench::describe(sy, "%.2f"));
  if (!ok) std::fprintf(stderr, "an add or a bare insert failed\n");
  return ok;
}

// ---- Card certificates: what propagating them costs a listing of "MY" ----

// Adds one certificate (DER in a file) to the personal store of `home`,
// bound as the card's pair is; false when it cannot.
bool addFile(const std::string &home, const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  Bytes der(8192);
  der.resize(std::fread(der.data(), 1, der.size(), f));
  std::fclose(f);
  setenv("MSCAPI_HOME", home.c_str(), 1);
  PCCERT_CONTEXT c =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (c == nullptr) return false;
  std::u16string container = u"\\\\.\\Bench card\\Card signing key",
                 provider = u"SoftHSM2 Token RSA Provider";
  CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 0, nullptr, 1};
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  const bool ok = store != nullptr &&
                  CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) &&
                  CertAddCertificateContextToStore(store, c, CERT_STORE_ADD_NEW, nullptr);
  if (store != nullptr) CertCloseStore(store, 0);
  CertFreeCertificateContext(c);
  return ok;
}

const char kProviders[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";

bool writeText(const std::string &path, const std::string &text) {
  FILE *f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && written;
}

// Registers SoftHSM2 (the module at `image`) in `home` as a PKCS#11
// provider whose "Environment" names the token store in `store`.
bool registerSoftHsm(const std::string &home, const std::string &image, const std::string &store) {
  return writeText(home + "/registry/60-softhsm2.reg",
                   "Windows Registry Editor Version 5.00\n\n[" + std::string(kProviders) +
                       "\\SoftHSM2 Token RSA Provider]\n\"Image Path\"=\"" + image +
                       "\"\n\"Type\"=dword:00000001\n\"Environment\"=\"SOFTHSM2_CONF=" + store +
                       "/softhsm2.conf\"\n");
}

// queryCerts("MY") of 1,000 certificates (and the card's) in three homes
// with the same store: no PKCS#11 provider registered (the baseline);
// SoftHSM2 registered with no token in its store; SoftHSM2 registered with
// one card (a key pair and its certificate), unchanged. The same three with
// the card's certificate alone in "MY" give what propagation adds to a call
// in microseconds. SoftHSM2 reads its configuration when it is initialised,
// once per process, so each token store is registered with a copy of
// SoftHSM2's module of its own: an instance of its own in the process, with
// its own SOFTHSM2_CONF (which the other sections' default registration,
// through p11-kit's proxy, may have given SoftHSM2 itself).
bool measureCards(Jvm &j, const std::string &root, const Bytes &tmpl, size_t serialAt) {
  namespace fs = std::filesystem;
  const size_t n = 1000;
  // [0]: no provider, [1]: SoftHSM2 without a token, [2]: with the card;
  // full: 1,000 certificates and the card's, bare: the card's alone.
  const std::string full[3] = {root + "/cards-none", root + "/cards-empty", root + "/cards-card"};
  const std::string bare[3] = {root + "/bare-none", root + "/bare-empty", root + "/bare-card"};
  std::error_code ec;
  for (int k = 0; k < 3; ++k)
    for (const std::string *h : {&full[k], &bare[k]}) {
      fs::create_directories(*h, ec);
      // The run's registration, when it has one, without the default
      // registration's PKCS#11 provider (as bench/run.sh gives it).
      if (fs::is_directory(root + "/registry"))
        fs::copy(root + "/registry", *h + "/registry", fs::copy_options::recursive, ec);
      fs::create_directories(*h + "/registry", ec);
      if (!writeText(*h + "/registry/55-no-proxy.reg",
                     "Windows Registry Editor Version 5.00\n\n[-" + std::string(kProviders) +
                         "\\PKCS#11 Token RSA Provider]\n"))
        return false;
      if (h == &full[k] && !populate(*h, tmpl, serialAt, n)) return false;
    }
  const std::string script = std::string(MSCAPI_SOURCE_DIR) + "/tests/tokens/issue-card.sh";
  const std::string stores[3] = {"", root + "/store-empty", root + "/store-card"};
  if (std::system(("'" + script + "' '" + stores[1] + "'").c_str()) != 0 ||
      std::system(("'" + script + "' '" + stores[2] + "' card").c_str()) != 0) {
    std::fprintf(stderr, "issuing the card failed (softhsm2-util, pkcs11-tool, openssl)\n");
    return false;
  }
  // The card's certificate in the stores without the card, bound as on the
  // card, and in the second home with the card: this process copies a
  // card's certificate once while the card stays, into the home of the
  // moment (the first listing of the first home with the card).
  const std::string cardCert = stores[2] + "/card.der";
  for (const std::string *h : {&full[0], &full[1], &bare[0], &bare[1], &bare[2]})
    if (!addFile(*h, cardCert)) return false;
  for (int k = 1; k < 3; ++k) {
    const std::string image = stores[k] + "/libsofthsm2.so";
    fs::copy_file("/usr/lib/softhsm/libsofthsm2.so", image, fs::copy_options::overwrite_existing,
                  ec);
    if (ec || !registerSoftHsm(full[k], image, stores[k]) ||
        !registerSoftHsm(bare[k], image, stores[k]))
      return false;
    // The module's first load applies its provider's SOFTHSM2_CONF only
    // when the variable is unset. The card's home copies the card's
    // certificate into "MY" at its first listing.
    unsetenv("SOFTHSM2_CONF");
    timeQuery(j, full[k], n + 1);
    timeQuery(j, bare[k], 1);
  }

  // Rounds in which the three homes take turns in blocks of a few calls,
  // in an order that goes through every permutation of the three twice (a
  // block meets the caches and the JVM's heap as any other left them). A
  // round's figure for a home is the calling thread's CPU time summed over
  // its blocks; the least among its blocks (work on other cores only ever
  // adds to it) and the wall clock are printed beside.
  struct Figures {
    bench::Spread noToken, card, noTokenSum, cardSum, wallNoToken, wallCard, us[3];
  };
  auto measure = [&j](const std::string(&homes)[3], size_t count, int rounds, int calls) {
    const int turns = 12;
    const int orders[6][3] = {{0, 1, 2}, {1, 2, 0}, {2, 0, 1}, {0, 2, 1}, {2, 1, 0}, {1, 0, 2}};
    std::vector<double> r1, r2, s1, s2, w1, w2, us[3];
    for (int r = -1; r < rounds; ++r) {  // round -1 warms up
      double least[3] = {1e9, 1e9, 1e9}, sum[3] = {0, 0, 0}, wall[3] = {0, 0, 0};
      for (int t = 0; t < turns; ++t)
        for (int h : orders[t % 6]) {
          const double c0 = bench::threadCpu();
          for (int i = 0; i < calls; ++i) wall[h] += timeQuery(j, homes[h], count);
          const double c = bench::threadCpu() - c0;
          least[h] = std::min(least[h], c);
          sum[h] += c;
        }
      if (r < 0) continue;
      r1.push_back(least[1] / least[0]);
      r2.push_back(least[2] / least[0]);
      s1.push_back(sum[1] / sum[0]);
      s2.push_back(sum[2] / sum[0]);
      w1.push_back(wall[1] / wall[0]);
      w2.push_back(wall[2] / wall[0]);
      for (int h = 0; h < 3; ++h) us[h].push_back(least[h] * 1e6 / calls);
    }
    Figures f;
    f.noToken = bench::spreadOf(r1);
    f.card = bench::spreadOf(r2);
    f.noTokenSum = bench::spreadOf(s1);
    f.cardSum = bench::spreadOf(s2);
    f.wallNoToken = bench::spreadOf(w1);
    f.wallCard = bench::spreadOf(w2);
    for (int h = 0; h < 3; ++h) f.us[h] = bench::spreadOf(us[h]);
    return f;
  };
  const int rounds = 15, calls = 3;
  const Figures f = measure(full, n + 1, rounds, calls);
  const Figures b = measure(bare, 1, rounds, 20);
  std::printf(
      "queryCerts(\"MY\") of %zu certificates, CPU per call (least of a round's blocks): %.0f us "
      "with no PKCS#11 provider, "
      "%.0f us with SoftHSM2 and no token, %.0f us with one card\n",
      n + 1, f.us[0].median, f.us[1].median, f.us[2].median);
  std::printf(
      "ratios of the least CPU time among a round's blocks: no token %.3f (%.3f-%.3f), one card "
      "%.3f (%.3f-%.3f); of the wall clock: %.3f, %.3f\n",
      f.noToken.median, f.noToken.low, f.noToken.high, f.card.median, f.card.low, f.card.high,
      f.wallNoToken.median, f.wallCard.median);
  std::printf(
      "with the card's certificate alone in \"MY\": %.1f us, %.1f us, %.1f us per call: "
      "propagation adds %.1f us with no token, %.1f us with one card\n",
      b.us[0].median, b.us[1].median, b.us[2].median, b.us[1].median - b.us[0].median,
      b.us[2].median - b.us[0].median);
  const std::string how = "thread CPU of 12 blocks of " + std::to_string(calls) +
                          " calls per home and round, homes in turn; ";
  bench::ratio("queryCerts_MY_no_token_vs_none", f.noTokenSum.median, "<=", 1.05,
               how + bench::describe(f.noTokenSum));
  bench::ratio("queryCerts_MY_one_card_vs_none", f.cardSum.median, "<=", 1.2,
               how + bench::describe(f.cardSum));
  return true;
}

}  // namespace

// `certs_bench [query] [add] [cards]` runs only the named sections (all by default).
int main(int argc, char **argv) {
  std::set<std::string> sections(argv + 1, argv + argc);
  auto wanted = [&](const char *s) { return sections.empty() || sections.count(s) != 0; };
  const char *base = getenv("MSCAPI_HOME");
  if (base == nullptr || *base == '\0') {
    std::fprintf(stderr, "run with a fresh MSCAPI_HOME (bench/run.sh does)\n");
    return 2;
  }
  const std::string root = base;
  const std::string home10k = root + "/10k", home100k = root + "/100k", homeAdd = root + "/add";
  for (const std::string *d : {&home10k, &home100k, &homeAdd}) mkdir(d->c_str(), 0700);

  size_t serialAt = 0;
  const Bytes tmpl = templateCert(serialAt);
  std::printf("certificate size %zu bytes\n", tmpl.size());
  std::fflush(stdout);
  Jvm j;
  if (!startJvm(j)) {
    std::fprintf(stderr, "could not start the JVM\n");
    return 1;
  }

  if (wanted("query")) {
    const auto filling = Clock::now();
    if (!populate(home10k, tmpl, serialAt, 10000) || !populate(home100k, tmpl, serialAt, 100000))
      return 1;
    std::printf("filled the stores (110,000 adds) in %.1f s\n", ms(Clock::now() - filling) / 1000);
    std::fflush(stdout);

    // Each size measured in turns (queryCerts, bare scan, mapped scan) after
    // a few rounds of warm-up: page cache, JIT, class loading, the JVM's heap.
    struct Figures {
      double query, bare, mapped;
    };
    auto measure = [&j](const std::string &home, size_t n, int warm, int rounds) {
      std::vector<double> q, s, m;
      for (int i = 0; i < warm + rounds; ++i) {
        const double tq = timeQuery(j, home, n), ts = bareScan(home, n),
                     tm = bareScan(home, n, true);
        if (i < warm) continue;
        q.push_back(tq);
        s.push_back(ts);
        m.push_back(tm);
      }
      return Figures{median(q), median(s), median(m)};
    };
    const Figures f10 = measure(home10k, 10000, 3, 21), f100 = measure(home100k, 100000, 2, 7);
    std::printf("queryCerts  10k: %8.1f ms   bare SQLite scan  10k: %8.1f ms\n", f10.query,
                f10.bare);
    std::printf("queryCerts 100k: %8.1f ms   bare SQLite scan 100k: %8.1f ms\n", f100.query,
                f100.bare);
    std::printf("growth 10k -> 100k: queryCerts %5.2f, the bare scan %5.2f\n",
                f100.query / f10.query, f100.bare / f10.bare);
    std::printf("ratio queryCerts / bare scan  10k: %5.2f  (target <= 1.5)\n",
                f10.query / f10.bare);
    std::printf("ratio queryCerts / bare scan 100k: %5.2f  (target <= 1.5)\n",
                f100.query / f100.bare);
    std::printf(
        "for reference, the bare scan through a memory map: %.1f ms (10k), %.1f ms (100k); "
        "queryCerts / it: %.2f, %.2f\n",
        f10.mapped, f100.mapped, f10.query / f10.mapped, f100.query / f100.mapped);
    // The same figures as lines for bench/run.sh's table of every ratio.
    std::printf("RATIO certs_query/bare_scan_10k %.2f <= 1.5 medians of 21 runs\n",
                f10.query / f10.bare);
    std::printf("RATIO certs_query/bare_scan_100k %.2f <= 1.5 medians of 7 runs\n",
                f100.query / f100.bare);
    std::fflush(stdout);
  }
  if (wanted("add") && !measureAdds(j, homeAdd, tmpl, serialAt)) return 1;
  if (!wanted("cards")) return 0;
  const bool cards = measureCards(j, root, tmpl, serialAt);
  // Two instances of SoftHSM2 in one process (see measureCards) may crash
  // each other when they are finalized at exit: the process ends here.
  std::fflush(stdout);
  std::_Exit(cards ? 0 : 1);
}
