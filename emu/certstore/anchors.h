// The machine's trust anchors: the part of the local machine's "ROOT" that
// a PKCS#11 module serves (on Debian p11-kit's trust module, which holds the
// anchors of ca-certificates and those an administrator added), read-only.
//
// The registry names the source under kAnchorSourceKey: the value
// "PKCS#11 Module" is the module's path and the optional "Init Args" is
// handed to C_Initialize in CK_C_INITIALIZE_ARGS.pReserved (p11-kit's trust
// module reads "paths=DIR[:DIR...]" there). Without the key, or without a
// module named, the machine's "ROOT" holds only what was added to it.
//
// An anchor is a CKO_CERTIFICATE of type CKC_X_509 with CKA_TRUSTED true and
// CKA_CERTIFICATE_CATEGORY 2 (authority) whose encoding no object of the
// module marks distrusted (p11-kit's CKA_X_DISTRUSTED, its blocklist). Its
// CKA_LABEL, when it has one, is its friendly name.
//
// The module is loaded the first time a view that shows the machine's
// "ROOT" needs it, and the anchors are read once and kept until the files
// they come from change (see AnchorCache in anchors.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "certstore/store.h"

namespace emu::certstore {

inline constexpr char kAnchorSourceKey[] =
    "SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Trust Anchors";

// One anchor. Its bytes (encoding, serial number least significant byte
// first, issuer DER, back to back) and its friendly name live in its set.
struct Anchor {
  const uint8_t *bytes = nullptr;
  size_t encodedSize = 0, serialSize = 0, issuerSize = 0;
  Bytes thumb;      // SHA-1 of the encoding
  Bytes serialKey;  // serialKey() of the serial number, for lookups
  const Property *props = nullptr;
  size_t propCount = 0;  // 1 with a friendly name, else 0
};

// The anchors read from a source at one time, never changed once made.
// Contexts borrow its bytes: a store keeps every set it handed contexts
// of until it goes (Store::anchorSets).
struct AnchorSet {
  std::vector<Anchor> anchors;
  Bytes data;                   // every anchor's bytes
  std::vector<uint16_t> names;  // every friendly name, UTF-16 with its terminator
  std::vector<Property> props;  // the friendly name entries
};

// The anchors the registry's source serves now; null when the registry
// names no source. A source that cannot be loaded serves none (the reason
// goes to the trace).
std::shared_ptr<const AnchorSet> machineAnchors();

// Whether a view of a store shows the machine's anchors: the machine's
// "ROOT" and the current user's view that includes it.
bool showsAnchors(const Store &s);

// Appends a context for each anchor of `set` to `out`, made in the store's
// memory; the store keeps the set.
void addAnchorContexts(Store &s, const std::shared_ptr<const AnchorSet> &set,
                       std::vector<CertObject *> &out);

// The anchor of `set` with this issuer and serial number key, or with this
// thumbprint, as a context of the store's memory; null when there is none.
CertObject *findAnchor(Store &s, const std::shared_ptr<const AnchorSet> &set, const Bytes &issuer,
                       const Bytes &serialKey);
CertObject *findAnchorByThumbprint(Store &s, const std::shared_ptr<const AnchorSet> &set,
                                   const Bytes &thumb);

// Whether `set` holds a certificate with this thumbprint.
bool holdsThumbprint(const AnchorSet *set, const Bytes &thumb);

}  // namespace emu::certstore
