// The request of token import, read and checked (token_request.h).
#include "admin/token_request.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "csp/blob.h"
#include "csp/key_info.h"
#include "winapi/advapi32.h"

namespace emu::admin {

namespace {

using Json = nlohmann::ordered_json;
using csp::crypto::Bytes;
using csp::crypto::SecretBytes;

struct X509Free {
  void operator()(X509 *x) const { X509_free(x); }
};

// Every string of the parsed document wiped when it goes.
struct WipedDoc {
  Json doc;
  ~WipedDoc() {
    if (!doc.is_object()) return;
    for (auto &item : doc.items())
      if (item.value().is_string()) {
        std::string &s = item.value().get_ref<std::string &>();
        OPENSSL_cleanse(s.data(), s.size());
      }
  }
};

// A SAX reader that accepts every value and keeps where the parser stopped:
// tells a syntax error from a document followed by more text.
struct Stop : nlohmann::json_sax<Json> {
  size_t at = 0;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t &) override { return true; }
  bool string(string_t &) override { return true; }
  bool binary(binary_t &) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t &) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t position, const std::string &,
                   const nlohmann::detail::exception &) override {
    at = position;
    return false;
  }
};

// A member's name as a cause may show it: printable ASCII, at most 40 characters.
std::string shown(const std::string &name) {
  std::string out;
  for (char c : name.substr(0, 40)) out.push_back(c >= 0x20 && c < 0x7f ? c : '?');
  return out;
}

// Why the text is not one JSON document: a syntax error, or more after one.
std::string notJson(const unsigned char *text, size_t size) {
  Stop strict, lenient;
  Json::sax_parse(text, text + size, &strict, nlohmann::json::input_format_t::json, true);
  if (Json::sax_parse(text, text + size, &lenient, nlohmann::json::input_format_t::json, false))
    return "the request has data after its JSON document (at byte " + std::to_string(strict.at) +
           ")";
  return "the request is not a JSON document (syntax error at byte " + std::to_string(strict.at) +
         ")";
}

// A member's value as a string; false (and why) when present but not one.
bool stringMember(const Json &doc, const char *name, const std::string *&value, std::string &why) {
  value = nullptr;
  auto it = doc.find(name);
  if (it == doc.end()) return true;
  if (!it->is_string()) {
    why = std::string("\"") + name + "\" is not a string (it is " + it->type_name() + ")";
    return false;
  }
  value = &it->get_ref<const std::string &>();
  return true;
}

// Base64 text as the tool writes it (RFC 4648's alphabet, padded, no line
// breaks), checked here and decoded by OpenSSL.
bool base64(const std::string &text, const char *name, Bytes &out, std::string &why) {
  const std::string member = std::string("\"") + name + "\"";
  size_t padding = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '=') {
      ++padding;
      continue;
    }
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!letter) {
      why =
          member + " is not base64: a character that is not base64 at offset " + std::to_string(i);
      return false;
    }
    if (padding != 0) {
      why = member + " has text after its base64 padding (at offset " + std::to_string(i) + ")";
      return false;
    }
  }
  if (text.empty() || text.size() % 4 != 0 || padding > 2) {
    why = member + " is not base64: " +
          (text.empty()  ? std::string("it is empty")
           : padding > 2 ? std::string("more than two '=' at its end")
                         : "its length " + std::to_string(text.size()) + " is not a multiple of 4");
    return false;
  }
  out.assign(text.size() / 4 * 3, 0);
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char *>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0 || static_cast<size_t>(n) != out.size()) {
    why = member + " is not base64";
    return false;
  }
  out.resize(out.size() - padding);
  return true;
}

// Why `der` is not exactly one DER element: its header claims more bytes than
// there are, or bytes follow it; empty when its header's length is its size.
std::string derLength(const Bytes &der, const char *name) {
  const std::string member = std::string("\"") + name + "\"";
  const unsigned char *at = der.data();
  long len = 0;
  int tag = 0, cls = 0;
  const int ret = ASN1_get_object(&at, &len, &tag, &cls, static_cast<long>(der.size()));
  ERR_clear_error();
  if (ret == 0x80 || ret == 0x21 || (ret & V_ASN1_CONSTRUCTED) == 0 || tag != V_ASN1_SEQUENCE)
    return member + " is not DER: it does not start with a SEQUENCE of definite length";
  const size_t header = static_cast<size_t>(at - der.data());
  const size_t claimed = header + static_cast<size_t>(len);
  if ((ret & 0x80) != 0 || claimed > der.size())
    return member + "'s DER header claims " + std::to_string(claimed) + " bytes, " +
           std::to_string(claimed - der.size()) + " more than it holds";
  if (claimed < der.size())
    return member + " has " + std::to_string(der.size() - claimed) +
           " byte(s) after its DER element";
  return "";
}

// The key: an RSA private key, exactly one DER element, as a PRIVATEKEYBLOB.
bool privateBlob(const Bytes &pkcs8, int spec, csp::crypto::Pkey &key, Bytes &blob,
                 std::string &why) {
  why = derLength(pkcs8, "key");
  if (!why.empty()) return false;
  const unsigned char *p = pkcs8.data();
  key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(pkcs8.size())));
  ERR_clear_error();
  if (!key || p != pkcs8.data() + pkcs8.size()) {
    why = "\"key\" is not a private key in DER (PKCS#8)";
    return false;
  }
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
    why = "\"key\" is not an RSA key";
    return false;
  }
  csp::crypto::Parts parts;
  if (!csp::crypto::partsOf(key.get(), parts)) {
    why = "\"key\" lacks an RSA private key's components";
    return false;
  }
  if (parts.e.empty() || parts.e.size() > 4) {
    why = "\"key\"'s public exponent does not fit in 32 bits";
    return false;
  }
  if (!csp::blob::admittedLength(csp::crypto::modulusBits(parts.n))) {
    why = "\"key\" is " + std::to_string(csp::crypto::modulusBits(parts.n)) +
          " bits long: " + csp::blob::kLengthRule;
    return false;
  }
  // The check the CSP makes when it imports the blob, made before the token is touched.
  if (!csp::crypto::fromParts(parts, true)) {
    why = "\"key\" is not a consistent RSA key (its components fail OpenSSL's key check)";
    return false;
  }
  csp::KeyInfo info;
  info.spec = spec;
  info.alg = spec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
  info.bits = csp::crypto::modulusBits(parts.n);
  for (uint8_t b : parts.e) info.exponent = info.exponent << 8 | b;
  if (!csp::blob::privateBlob(info, parts, blob)) {
    why = "\"key\" cannot be given as a key blob";
    return false;
  }
  return true;
}

// The certificate: exactly one DER certificate (one encoding, as the stores
// take them) whose public key is the key's.
bool certificate(const Bytes &der, EVP_PKEY *key, std::string &why) {
  why = derLength(der, "certificate");
  if (!why.empty()) return false;
  const unsigned char *p = der.data();
  const std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  ERR_clear_error();
  if (!cert || p != der.data() + der.size()) {
    why = "\"certificate\" is not an X.509 certificate in DER";
    return false;
  }
  unsigned char *again = nullptr;
  const int n = i2d_X509(cert.get(), &again);
  const bool same =
      n > 0 && static_cast<size_t>(n) == der.size() && std::equal(der.begin(), der.end(), again);
  OPENSSL_free(again);
  if (!same) {
    why = "\"certificate\" is not in DER (another encoding of a certificate)";
    return false;
  }
  EVP_PKEY *pub = X509_get0_pubkey(cert.get());
  if (pub == nullptr || EVP_PKEY_eq(pub, key) != 1) {
    ERR_clear_error();
    why = "\"certificate\" is not the key's: its public key is another";
    return false;
  }
  return true;
}

}  // namespace

bool parseImportRequest(const unsigned char *text, size_t size, int spec, ImportRequest &out,
                        std::string &why) {
  if (size > kMostRequest) {
    why = "the request is longer than " + std::to_string(kMostRequest) + " bytes";
    return false;
  }
  // Members named twice are refused: which one counts would be a guess.
  std::set<std::string> seen;
  std::string twice;
  const Json::parser_callback_t names = [&](int depth, nlohmann::json::parse_event_t event,
                                            Json &parsed) {
    if (depth == 1 && event == nlohmann::json::parse_event_t::key && parsed.is_string() &&
        !seen.insert(parsed.get<std::string>()).second && twice.empty())
      twice = parsed.get<std::string>();
    return true;
  };
  WipedDoc r;
  r.doc = Json::parse(text, text + size, names, false);
  if (r.doc.is_discarded()) {
    why = notJson(text, size);
    return false;
  }
  if (!r.doc.is_object()) {
    why = std::string("the request is a JSON ") + r.doc.type_name() + ", not an object";
    return false;
  }
  for (auto &item : r.doc.items())
    if (item.key() != "pin" && item.key() != "key" && item.key() != "certificate") {
      why = "the request has a member \"" + shown(item.key()) +
            "\" besides \"key\", \"pin\" and \"certificate\"";
      return false;
    }
  if (!twice.empty()) {
    why = "the request names \"" + shown(twice) + "\" twice";
    return false;
  }
  const std::string *pin = nullptr, *key = nullptr, *cert = nullptr;
  if (!stringMember(r.doc, "pin", pin, why) || !stringMember(r.doc, "key", key, why) ||
      !stringMember(r.doc, "certificate", cert, why))
    return false;
  if (key == nullptr) {
    why = "the request has no \"key\"";
    return false;
  }
  if (pin != nullptr && pin->find('\0') != std::string::npos) {
    why = "\"pin\" holds a NUL character";
    return false;
  }
  out.hasPin = pin != nullptr && !pin->empty();
  if (out.hasPin) out.pin.bytes.assign(pin->begin(), pin->end());
  SecretBytes pkcs8;
  csp::crypto::Pkey pkey;
  if (!base64(*key, "key", pkcs8.bytes, why) ||
      !privateBlob(pkcs8.bytes, spec, pkey, out.keyBlob.bytes, why))
    return false;
  out.certificate.clear();
  if (cert != nullptr) {
    Bytes der;
    if (!base64(*cert, "certificate", der, why) || !certificate(der, pkey.get(), why)) return false;
    out.certificate = std::move(der);
  }
  return true;
}

}  // namespace emu::admin
