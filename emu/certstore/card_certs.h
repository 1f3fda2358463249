// The certificates of the key pairs on the tokens of registered PKCS#11
// providers, copied into the current user's "MY" store as Windows'
// certificate propagation does (csp/pkcs11/card_certs.h).
#pragma once

namespace emu::certstore {

// Adds to the user's "MY" the certificates this process has not copied
// since their token was last seen, each bound (CERT_KEY_PROV_INFO_PROP_ID)
// to its provider, full container name and key spec; a certificate "MY"
// holds already gets that binding again. Called when "MY" is read: with
// no PKCS#11 provider registered it reads the registry only. Never fails:
// a token or store that cannot be read adds nothing. A certificate whose
// copy fails (a full disk) is tried again at the next call; the cause is
// set as the current call's reason (its note in the trace).
void propagateCardCertificates();

}  // namespace emu::certstore
