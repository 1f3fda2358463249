// The certificates a token holds for its key pairs, as Windows' certificate
// propagation copies them into the user's "MY" store: an X.509 certificate
// object (CKO_CERTIFICATE, CKC_X_509) paired by CKA_ID with a key pair of
// the token (pairs.h), with the pair's full container name and key spec.
#pragma once

#include <string>
#include <vector>

#include "csp/key_family.h"

namespace emu::csp::pkcs11 {

// The family's held certificate (key_family.h): its container's full name,
// and where it was found for cardCertificateNotCopied.
using CardCertificate = HeldCertificate;

// The certificates on the tokens of the provider's module that this
// process has not reported since their token was last seen. A token (by
// serial number) is read again only when its set of certificate objects
// changed; a token that is absent in one call is forgotten, so that its
// certificates are reported again when it comes back. The module is loaded
// on first use; failures are silent (no token, no certificates).
void cardCertificates(const Provider &provider, std::vector<CardCertificate> &out);

// Takes back the report of `card`, whose copy into "MY" failed (a full
// disk, a store that cannot be written): the next call reads its token
// again, though its certificate objects are the same, and reports it again.
void cardCertificateNotCopied(const CardCertificate &card);

}  // namespace emu::csp::pkcs11
