// The containers on one token, as listed and as looked up by name.
//
// A token holds two kinds: the library's containers (a CKO_DATA marker and
// RSA keys sharing its CKA_LABEL with CKA_ID 01 or 02), and key pairs as
// card issuers and pkcs11-tool make them (a private key, its public key
// and its certificate joined by CKA_ID). Key objects with another CKA_ID,
// or without a label, are such pairs, one per (CKA_LABEL, CKA_ID).
//
// Names (the part after `\\.\<token label>\`):
//   - a library container: its label;
//   - a pair whose label no other container on the token has: the label;
//   - a pair sharing its label with others: `<label> #<CKA_ID in hex>`;
//   - a pair without a label: `#<CKA_ID in hex>`.
// `<label> #<id>` names the pair at any time, also while its label alone
// does. A plain label that several pairs share (and no library container)
// is refused as ambiguous.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

#include "csp/pkcs11/attributes.h"

namespace emu::csp::pkcs11 {

struct TokenContainer {
  std::string name;  // as listed
  std::string label;
  Bytes id;                                  // a pair's CKA_ID
  bool pair = false;                         // a key pair joined by CKA_ID, not a library container
  CK_OBJECT_HANDLE any = CK_INVALID_HANDLE;  // one of its objects
};

// Lowercase hex of a CKA_ID.
std::string idHex(const Bytes &id);
// The key spec a pair's key serves: AT_SIGNATURE for CKA_ID 02 (a pair
// without label), AT_KEYEXCHANGE for every other.
int pairSpec(const Bytes &id);

// Every container on the token the session is on, sorted by name.
CK_RV tokenContainers(Use &use, CK_SESSION_HANDLE s, std::vector<TokenContainer> &out);

enum class Match { None, One, Ambiguous };
// The container a name (without token part) means.
Match matchName(const std::vector<TokenContainer> &all, const std::string &asked,
                TokenContainer &out);

}  // namespace emu::csp::pkcs11
