// The request of `mscapi-admin token import`, read and checked in full
// before anything touches a token: one JSON document
//   {"pin": "...", "key": "<base64 PKCS#8 DER>", "certificate": "<base64 DER>"}
// ("pin" and "certificate" optional), nothing before or after it. A separate
// unit so that the fuzzer reaches it without a token.
#pragma once

#include <cstddef>
#include <string>

#include "csp/crypto.h"

namespace emu::admin {

// What a request gives, checked; the secrets are wiped when it goes.
struct ImportRequest {
  bool hasPin = false;               // a non-empty "pin" was given
  csp::crypto::SecretBytes pin;      // its UTF-8 text (no NUL in it)
  csp::crypto::SecretBytes keyBlob;  // the key as a PRIVATEKEYBLOB of `spec`
  csp::crypto::Bytes certificate;    // exactly one DER certificate of the key, or empty
};

// The request in `text` (at most kMostRequest bytes), for a key of `spec`
// (AT_SIGNATURE or AT_KEYEXCHANGE). False with a one-line cause in `why`
// (naming the member and what is wrong, never echoing its value) when the
// text is not one JSON object of those members, a value is not a string,
// base64 text or DER has anything after it, the key is not RSA, or the
// certificate is not exactly one DER certificate whose public key is the key's.
bool parseImportRequest(const unsigned char *text, size_t size, int spec, ImportRequest &out,
                        std::string &why);

// The longest request read: a key and a certificate take a few kilobytes.
constexpr size_t kMostRequest = 1 << 20;

}  // namespace emu::admin
