// token import: a private key, and its certificate, into a new container of
// a PKCS#11 provider, through the emulated CSP as any program would do it:
//   CryptAcquireContextA(CRYPT_NEWKEYSET), the PIN (PP_SIGNATURE_PIN or
//   PP_KEYEXCHANGE_PIN), CryptImportKey of the PRIVATEKEYBLOB (with
//   CRYPT_EXPORTABLE only when asked: else the token keeps the key
//   sensitive and not extractable), CryptSetKeyParam(KP_CERTIFICATE),
//   which writes the certificate onto the token beside the key.
// The library's importKeyPair always asks for an exportable key; the tool
// runs this command for the keys it puts on tokens. The secrets come on
// standard input as one JSON document, never as arguments:
//   {"pin": "...", "key": "<base64 PKCS#8 DER>", "certificate": "<base64 DER>"}
// ("pin" and "certificate" optional), read and checked in full before the
// container is made (token_request.h). A failure leaves no container behind.
#include <dirent.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "admin/admin.h"
#include "admin/token_request.h"
#include "common/home.h"
#include "csp/blob.h"
#include "csp/key_family.h"
#include "csp/provider.h"
#include "winapi/advapi32.h"

namespace emu::admin {

namespace {

using csp::crypto::Bytes;
using csp::crypto::SecretBytes;

class Context {
 public:
  Context() = default;
  ~Context() {
    if (h_ != 0) CryptReleaseContext(h_, 0);
  }
  Context(const Context &) = delete;
  Context &operator=(const Context &) = delete;
  HCRYPTPROV *out() { return &h_; }
  HCRYPTPROV get() const { return h_; }

 private:
  HCRYPTPROV h_ = 0;
};

class Key {
 public:
  Key() = default;
  ~Key() {
    if (h_ != 0) CryptDestroyKey(h_);
  }
  Key(const Key &) = delete;
  Key &operator=(const Key &) = delete;
  HCRYPTKEY *out() { return &h_; }
  HCRYPTKEY get() const { return h_; }

 private:
  HCRYPTKEY h_ = 0;
};

// Standard input, at most one byte more than a request may hold (so that a
// longer one is told from one that fits); false when it cannot be read.
bool readInput(SecretBytes &text) {
  text.bytes.assign(kMostRequest + 1, 0);
  size_t got = 0;
  while (got < text.bytes.size()) {
    const ssize_t n = read(STDIN_FILENO, text.bytes.data() + got, text.bytes.size() - got);
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  text.bytes.resize(got);
  return true;
}

// The signals that end a process but can wait: held while the container is
// made and filled, so that a failed import is removed before they act.
class HeldSignals {
 public:
  HeldSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~HeldSignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  HeldSignals(const HeldSignals &) = delete;
  HeldSignals &operator=(const HeldSignals &) = delete;

 private:
  sigset_t old_;
};

// The emulation's words for the thread's last failure.
std::string lastFailure(const char *what) {
  const DWORD error = GetLastError();
  char words[512] = {0};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                 words, sizeof words, nullptr);
  std::string text = words;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(error));
  return std::string(what) + " failed (" + code + " " + text + ")";
}

// A record of an import under way, so that one whose process died (kill -9,
// a power cut) is undone: <home>/token-imports/import-XXXXXX holds the
// provider's and the container's names, the key spec and the key's modulus
// (public), then "made" once CRYPT_NEWKEYSET made the container. Its process
// holds an flock on it while it runs and removes it when the import is
// complete or undone. A record nobody holds is an import that died: the next
// token import removes its container; only a container the record says was
// made, and that holds no key of the key spec or that key (never one that was
// there before, nor one made again under that name with another key).
class ImportRecord {
 public:
  ImportRecord() = default;
  ~ImportRecord() {
    if (fd_ >= 0) close(fd_);  // the lock goes with it
  }
  ImportRecord(const ImportRecord &) = delete;
  ImportRecord &operator=(const ImportRecord &) = delete;

  static std::string folder() { return homeDir() + "/token-imports"; }

  // Written and locked under a name the others pass over, then renamed to
  // its own (the lock stays with the open file): no other process ever sees
  // the record unlocked while its import runs.
  bool begin(const std::string &provider, const std::string &container, int spec,
             const std::string &modulus) {
    const std::string dir = folder();
    if (!ensureDir(dir)) return false;
    std::string name = dir + "/.new-import-XXXXXX";
    fd_ = mkstemp(name.data());
    if (fd_ < 0) return false;
    std::string text;
    for (const std::string &field : {provider, container, std::to_string(spec), modulus}) {
      text += field;
      text.push_back('\0');
    }
    path_ = dir + "/" + name.substr(dir.size() + 6);
    if (flock(fd_, LOCK_EX) != 0 || !put(text) || rename(name.c_str(), path_.c_str()) != 0) {
      unlink(name.c_str());
      path_.clear();
      return false;
    }
    return syncFolder(dir);
  }
  // The container exists now: a died import's container is to be removed.
  bool made() { return put(std::string("made", 5)); }
  // The import is complete, or undone.
  void end() {
    if (!path_.empty()) unlink(path_.c_str());
    path_.clear();
  }

 private:
  bool put(const std::string &text) {
    return write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
           fsync(fd_) == 0;
  }
  static bool syncFolder(const std::string &dir) {
    const int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) return false;
    const bool ok = fsync(d) == 0;
    close(d);
    return ok;
  }
  int fd_ = -1;
  std::string path_;
};

// The modulus of a key blob (after its 20 bytes of headers, least
// significant byte first) in hex.
std::string modulusOf(const Bytes &blob) {
  std::string hex;
  if (blob.size() < 20) return hex;
  DWORD bits = 0;
  std::memcpy(&bits, blob.data() + 12, sizeof bits);
  const size_t n = std::min<size_t>(bits / 8, blob.size() - 20);
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    hex.push_back(digits[blob[20 + i] >> 4]);
    hex.push_back(digits[blob[20 + i] & 15]);
  }
  return hex;
}

// Whether the container holds a key of the key spec that is not the recorded one.
bool holdsAnotherKey(const std::string &provider, const std::string &container, int spec,
                     const std::string &modulus) {
  Context prov;
  if (!CryptAcquireContextA(prov.out(), container.c_str(), provider.c_str(), PROV_RSA_FULL, 0))
    return false;
  Key key;
  if (!CryptGetUserKey(prov.get(), static_cast<DWORD>(spec), key.out())) return false;
  DWORD size = 0;
  if (!CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, nullptr, &size)) return false;
  Bytes blob(size);
  if (!CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, blob.data(), &size)) return false;
  blob.resize(size);
  return modulusOf(blob) != modulus;
}

// Removes the containers of imports whose process died (their records are
// not locked), each said on standard error; a record whose container cannot
// be removed now (its token absent, say) stays for the next import.
void undoDiedImports() {
  const std::string dir = ImportRecord::folder();
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (const dirent *e = readdir(d))
    if (std::strncmp(e->d_name, "import-", 7) == 0) names.push_back(e->d_name);
  closedir(d);
  for (const std::string &n : names) {
    const std::string path = dir + "/" + n;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    // Locked: its import runs. Unlinked meanwhile: it ended.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &st) != 0 || st.st_nlink == 0 ||
        st.st_size > 4096) {
      close(fd);
      continue;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    const bool read = pread(fd, text.data(), text.size(), 0) == st.st_size;
    std::vector<std::string> fields;
    for (size_t at = 0, end; read && (end = text.find('\0', at)) != std::string::npos; at = end + 1)
      fields.push_back(text.substr(at, end - at));
    if (fields.size() != 5 || fields[4] != "made") {
      unlink(path.c_str());  // died before its container was made: nothing to undo
      close(fd);
      continue;
    }
    const std::string &provider = fields[0], &container = fields[1];
    if (holdsAnotherKey(provider, container, std::atoi(fields[2].c_str()), fields[3])) {
      unlink(path.c_str());  // made again since, by someone else: left as it is
      close(fd);
      continue;
    }
    std::fprintf(stderr,
                 "mscapi: removing container \"%s\" of \"%s\", left by a token import that did "
                 "not finish\n",
                 utf8(container).c_str(), utf8(provider).c_str());
    HCRYPTPROV unused = 0;
    if (CryptAcquireContextA(&unused, container.c_str(), provider.c_str(), PROV_RSA_FULL,
                             CRYPT_DELETEKEYSET) ||
        GetLastError() == static_cast<DWORD>(NTE_BAD_KEYSET))
      unlink(path.c_str());
    else
      std::fprintf(stderr, "mscapi: %s; tried again at the next token import\n",
                   lastFailure("removing it").c_str());
    close(fd);
  }
}

// The import itself, into the context's new container; the reason in `why`.
// The request was checked in full before: what fails here is the token.
bool importInto(HCRYPTPROV prov, int spec, const ImportRequest &r, bool exportable,
                bool &keyExportable, std::string &why) {
  if (r.hasPin) {
    SecretBytes text(r.pin.bytes);  // with its terminating NUL
    text.bytes.push_back(0);
    if (!CryptSetProvParam(prov, spec == AT_KEYEXCHANGE ? PP_KEYEXCHANGE_PIN : PP_SIGNATURE_PIN,
                           text.bytes.data(), 0)) {
      why = lastFailure("the PIN");
      return false;
    }
  }
  Key key;
  if (!CryptImportKey(prov, r.keyBlob.bytes.data(), static_cast<DWORD>(r.keyBlob.bytes.size()), 0,
                      exportable ? CRYPT_EXPORTABLE : 0, key.out())) {
    why = lastFailure("CryptImportKey");
    return false;
  }
  DWORD permissions = 0, size = sizeof permissions;
  keyExportable = CryptGetKeyParam(key.get(), KP_PERMISSIONS,
                                   reinterpret_cast<BYTE *>(&permissions), &size, 0) &&
                  (permissions & CRYPT_EXPORT) != 0;
  // Exactly one DER certificate of the key (checked with the request), so
  // KP_CERTIFICATE, which takes no length, reads exactly its bytes.
  if (!r.certificate.empty() &&
      !CryptSetKeyParam(key.get(), KP_CERTIFICATE, r.certificate.data(), 0)) {
    why = lastFailure("writing the certificate (KP_CERTIFICATE)");
    return false;
  }
  return true;
}

}  // namespace

int tokenImport(Args args) {
  takeFlag(args, "--json");
  const bool exportable = takeFlag(args, "--exportable");
  std::string provider, container, specName = "signature";
  if (!takeOption(args, "--provider", provider) || !takeOption(args, "--container", container) ||
      !takeOption(args, "--spec", specName)) {
    std::fprintf(stderr, "mscapi: an option lacks its value\n");
    return kUsage;
  }
  if (!noMore(args, nullptr)) return kUsage;
  if (provider.empty() || container.empty() ||
      (specName != "signature" && specName != "exchange")) {
    std::fprintf(stderr,
                 "mscapi: token import needs --provider P --container C [--spec "
                 "signature|exchange]\n");
    return kUsage;
  }
  const int spec = specName == "exchange" ? AT_KEYEXCHANGE : AT_SIGNATURE;
  csp::Provider found;
  if (csp::resolveProvider(provider.c_str(), PROV_RSA_FULL, found) || found.family == nullptr ||
      !found.family->holdsKeysOnTokens()) {
    std::fprintf(stderr, "mscapi: \"%s\" is not a registered PKCS#11 provider\n", provider.c_str());
    return kFailed;
  }
  // The whole request is read and checked before the container is made.
  SecretBytes text;
  ImportRequest request;
  std::string why;
  if (!readInput(text)) {
    std::fprintf(stderr, "mscapi: token import cannot read its standard input\n");
    return kFailed;
  }
  if (!parseImportRequest(text.bytes.data(), text.bytes.size(), spec, request, why)) {
    std::fprintf(stderr,
                 "mscapi: token import reads {\"key\", \"pin\"?, \"certificate\"?} on "
                 "standard input: %s\n",
                 why.c_str());
    return kUsage;
  }
  std::string fullName;
  bool ok = false, keyExportable = false;
  // All or nothing, by removing what a failure leaves: the key is stored
  // before its certificate (as the platform's calls go: KP_CERTIFICATE needs
  // the key), so a key without its certificate is what a failed step leaves,
  // and the container is removed again. What can fail once the request was
  // checked is the token. The signals that can wait are held until the
  // container is complete or removed; for a process that dies all the same,
  // the record above lets the next import remove its container.
  const HeldSignals held;
  undoDiedImports();
  ImportRecord record;
  if (!record.begin(provider, container, spec, modulusOf(request.keyBlob.bytes))) {
    std::fprintf(stderr, "mscapi: token import cannot write its record in %s: %s\n",
                 ImportRecord::folder().c_str(), std::strerror(errno));
    return kFailed;
  }
  {
    Context prov;
    if (!CryptAcquireContextA(prov.out(), container.c_str(), provider.c_str(), PROV_RSA_FULL,
                              CRYPT_NEWKEYSET)) {
      record.end();  // nothing was made: a container of that name stays as it was
      std::fprintf(stderr, "mscapi: %s\n", lastFailure("creating the container").c_str());
      return kFailed;
    }
    if (!record.made()) {
      why = "token import cannot write its record in " + ImportRecord::folder();
    } else {
      ok = importInto(prov.get(), spec, request, exportable, keyExportable, why);
    }
    char name[1024] = {0};
    DWORD size = sizeof name;
    if (ok && CryptGetProvParam(prov.get(), PP_CONTAINER, reinterpret_cast<BYTE *>(name), &size, 0))
      fullName = name;
  }
  if (!ok) {
    // With the context released, the new container goes again; when it
    // cannot, the record stays and the next import removes it.
    HCRYPTPROV unused = 0;
    if (CryptAcquireContextA(&unused, container.c_str(), provider.c_str(), PROV_RSA_FULL,
                             CRYPT_DELETEKEYSET))
      record.end();
    std::fprintf(stderr, "mscapi: %s\n", why.c_str());
    return kFailed;
  }
  record.end();
  print(Json{{"provider", utf8(found.name)},
             {"container", utf8(fullName.empty() ? container : fullName)},
             {"spec", specName},
             {"exportable", keyExportable},
             {"certificate", !request.certificate.empty()}});
  return kOk;
}

}  // namespace emu::admin
