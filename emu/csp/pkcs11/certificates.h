// Writing a key's certificate onto its token (KP_CERTIFICATE), as a smart
// card's CSP keeps it in the key's container: an X.509 certificate object
// joined to the key by CKA_ID and CKA_LABEL, which card_certs.h copies into
// the user's "MY" and other PKCS#11 consumers (NSS, OpenSC) pair with the
// key the same way.
#pragma once

#include "common/failure.h"
#include "csp/key_info.h"
#include "csp/pkcs11/tokens.h"

namespace emu::csp::pkcs11 {

// Stores `der` (exactly one DER certificate whose public key is `key`'s)
// as a token object (CKO_CERTIFICATE, CKC_X_509) with the key's CKA_ID and
// the container's label, its CKA_SUBJECT, CKA_ISSUER and CKA_SERIAL_NUMBER
// encoded by OpenSSL; the container's other certificates of that CKA_ID are
// destroyed. A certificate the container holds already is left as it is.
Status writeCertificate(Container &c, const KeyInfo &key, const Bytes &der);

}  // namespace emu::csp::pkcs11
