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
// ("pin" and "certificate" optional). A failure leaves no container behind.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "admin/admin.h"
#include "csp/blob.h"
#include "csp/key_family.h"
#include "csp/provider.h"
#include "winapi/advapi32.h"

namespace emu::admin {

namespace {

using csp::crypto::Bytes;
using csp::crypto::SecretBytes;

// The most standard input may hold: a request is a few kilobytes.
constexpr size_t kMostInput = 1 << 20;

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

// The JSON request, wiped when it goes (its text and every string in it).
struct Request {
  SecretBytes text;
  Json doc;
  ~Request() {
    if (!doc.is_object()) return;
    for (auto &item : doc.items())
      if (item.value().is_string()) {
        std::string &s = item.value().get_ref<std::string &>();
        OPENSSL_cleanse(s.data(), s.size());
      }
  }
};

bool readRequest(Request &r) {
  r.text.bytes.assign(kMostInput, 0);
  size_t got = 0;
  for (;;) {
    if (got == r.text.bytes.size()) return false;
    const ssize_t n = read(STDIN_FILENO, r.text.bytes.data() + got, r.text.bytes.size() - got);
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  r.doc = Json::parse(r.text.bytes.begin(), r.text.bytes.begin() + static_cast<long>(got), nullptr,
                      false);
  return r.doc.is_object();
}

// A member's base64 text decoded by OpenSSL; false when it is not base64.
bool base64(const Json &doc, const char *name, SecretBytes &out) {
  auto it = doc.find(name);
  if (it == doc.end() || !it->is_string()) return false;
  const std::string &text = it->get_ref<const std::string &>();
  out.bytes.assign(text.size() / 4 * 3 + 3, 0);
  EVP_ENCODE_CTX *ctx = EVP_ENCODE_CTX_new();
  if (ctx == nullptr) return false;
  EVP_DecodeInit(ctx);
  int n = 0, last = 0;
  const bool ok = EVP_DecodeUpdate(ctx, out.bytes.data(), &n,
                                   reinterpret_cast<const unsigned char *>(text.data()),
                                   static_cast<int>(text.size())) >= 0 &&
                  EVP_DecodeFinal(ctx, out.bytes.data() + n, &last) == 1;
  EVP_ENCODE_CTX_free(ctx);
  if (!ok) return false;
  out.bytes.resize(static_cast<size_t>(n + last));
  return true;
}

// The PRIVATEKEYBLOB of an RSA private key in PKCS#8 DER (wiped when freed).
bool privateBlob(const Bytes &pkcs8, int spec, SecretBytes &blob) {
  const unsigned char *p = pkcs8.data();
  const csp::crypto::Pkey key(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(pkcs8.size())));
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) return false;
  csp::crypto::Parts parts;
  if (!csp::crypto::partsOf(key.get(), parts) || parts.e.empty() || parts.e.size() > 4)
    return false;
  csp::KeyInfo info;
  info.spec = spec;
  info.alg = spec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
  info.bits = csp::crypto::modulusBits(parts.n);
  for (uint8_t b : parts.e) info.exponent = info.exponent << 8 | b;
  return csp::blob::privateBlob(info, parts, blob.bytes);
}

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

// The import itself, into the context's new container; the reason in `why`.
bool importInto(HCRYPTPROV prov, int spec, const Request &r, bool exportable, bool &wroteCert,
                bool &keyExportable, std::string &why) {
  auto pin = r.doc.find("pin");
  if (pin != r.doc.end() && pin->is_string() && !pin->get_ref<const std::string &>().empty()) {
    const std::string &text = pin->get_ref<const std::string &>();
    if (!CryptSetProvParam(prov, spec == AT_KEYEXCHANGE ? PP_KEYEXCHANGE_PIN : PP_SIGNATURE_PIN,
                           reinterpret_cast<const BYTE *>(text.c_str()), 0)) {
      why = lastFailure("the PIN");
      return false;
    }
  }
  SecretBytes pkcs8, blob;
  if (!base64(r.doc, "key", pkcs8) || !privateBlob(pkcs8.bytes, spec, blob)) {
    why = "\"key\" is not an RSA private key in base64 PKCS#8 DER";
    return false;
  }
  Key key;
  if (!CryptImportKey(prov, blob.bytes.data(), static_cast<DWORD>(blob.bytes.size()), 0,
                      exportable ? CRYPT_EXPORTABLE : 0, key.out())) {
    why = lastFailure("CryptImportKey");
    return false;
  }
  DWORD permissions = 0, size = sizeof permissions;
  keyExportable = CryptGetKeyParam(key.get(), KP_PERMISSIONS,
                                   reinterpret_cast<BYTE *>(&permissions), &size, 0) &&
                  (permissions & CRYPT_EXPORT) != 0;
  if (r.doc.contains("certificate")) {
    SecretBytes der;
    if (!base64(r.doc, "certificate", der) || der.bytes.empty()) {
      why = "\"certificate\" is not base64 DER";
      return false;
    }
    if (!CryptSetKeyParam(key.get(), KP_CERTIFICATE, der.bytes.data(), 0)) {
      why = lastFailure("writing the certificate (KP_CERTIFICATE)");
      return false;
    }
    wroteCert = true;
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
  DWORD error = 0;
  if (!csp::resolveProvider(provider.c_str(), PROV_RSA_FULL, found, error) ||
      found.family != &csp::pkcs11Keys()) {
    std::fprintf(stderr, "mscapi: \"%s\" is not a registered PKCS#11 provider\n", provider.c_str());
    return kFailed;
  }
  Request request;
  if (!readRequest(request) || !request.doc.contains("key")) {
    std::fprintf(stderr,
                 "mscapi: token import reads {\"key\", \"pin\"?, \"certificate\"?} on "
                 "standard input\n");
    return kUsage;
  }
  std::string why, fullName;
  bool ok = false, wroteCert = false, keyExportable = false;
  {
    Context prov;
    if (!CryptAcquireContextA(prov.out(), container.c_str(), provider.c_str(), PROV_RSA_FULL,
                              CRYPT_NEWKEYSET)) {
      std::fprintf(stderr, "mscapi: %s\n", lastFailure("creating the container").c_str());
      return kFailed;
    }
    ok = importInto(prov.get(), spec, request, exportable, wroteCert, keyExportable, why);
    char name[1024] = {0};
    DWORD size = sizeof name;
    if (ok && CryptGetProvParam(prov.get(), PP_CONTAINER, reinterpret_cast<BYTE *>(name), &size, 0))
      fullName = name;
  }
  if (!ok) {
    // With the context released, the new container goes again.
    HCRYPTPROV unused = 0;
    CryptAcquireContextA(&unused, container.c_str(), provider.c_str(), PROV_RSA_FULL,
                         CRYPT_DELETEKEYSET);
    std::fprintf(stderr, "mscapi: %s\n", why.c_str());
    return kFailed;
  }
  print(Json{{"provider", utf8(found.name)},
             {"container", utf8(fullName.empty() ? container : fullName)},
             {"spec", specName},
             {"exportable", keyExportable},
             {"certificate", wroteCert}});
  return kOk;
}

}  // namespace emu::admin
