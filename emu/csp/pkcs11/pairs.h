// The containers on one token, as listed and as looked up by name.
//
// A token holds two kinds: the library's containers (a CKO_DATA marker and
// RSA keys sharing its CKA_LABEL, with the CKA_ID the marker records for
// their key spec, or CKA_ID 01 or 02, the key spec itself, as keys made
// before the marker recorded ids have it), and key pairs as
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

#include <map>
#include <string>
#include <vector>

#include "csp/pkcs11/attributes.h"

namespace emu::csp::pkcs11 {

// The CKA_IDs of a library container's keys, each with the key spec it
// serves. Each key's is recorded, when the key is made, in a marker object
// of its own (the container's application and label) whose CKA_VALUE holds
// the key spec (one byte), the id's length (one byte) and the id; tokens
// refuse changes to a data object's value, so a record is made and
// destroyed, never changed.
using KeyIds = std::map<Bytes, int>;
Bytes encodeKeyIds(const KeyIds &ids);
KeyIds decodeKeyIds(const Bytes &value);
// The key spec a library container's key with CKA_ID `id` serves (0: none
// of its keys): the key spec `ids` records for it, else 01 or 02 itself.
int librarySpec(const KeyIds &ids, const Bytes &id);
// The markers of the library container `label`, each with what it records.
CK_RV libraryMarkers(Use &use, CK_SESSION_HANDLE s, const std::string &label,
                     std::vector<std::pair<CK_OBJECT_HANDLE, KeyIds>> &out);
// What the markers of the library container `label` record together.
CK_RV libraryKeyIds(Use &use, CK_SESSION_HANDLE s, const std::string &label, KeyIds &out);

struct TokenContainer {
  std::string name;  // as listed
  std::string label;
  Bytes id;                                  // a pair's CKA_ID
  bool pair = false;                         // a key pair joined by CKA_ID, not a library container
  CK_OBJECT_HANDLE any = CK_INVALID_HANDLE;  // one of its objects
  KeyIds keyIds;                             // a library container's
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
