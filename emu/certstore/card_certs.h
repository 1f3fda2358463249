// The certificates the registered providers' key families hold beside
// their key pairs (today the PKCS#11 family's tokens), copied into the
// current user's "MY" store as Windows' certificate propagation does
// (KeyFamily::heldCertificates, csp/key_family.h).
#pragma once

namespace emu::certstore {

// Adds to the user's "MY" the certificates this process has not copied
// since their token was last seen, each bound (CERT_KEY_PROV_INFO_PROP_ID)
// to its provider, full container name and key spec; a certificate "MY"
// holds already gets that binding again. Called when "MY" is read: with
// no provider whose family holds certificates it reads the registry only. Never fails:
// a token or store that cannot be read adds nothing. A certificate whose
// copy fails (a full disk) is tried again at the next call; the cause is
// set as the current call's reason (its note in the trace).
void propagateCardCertificates();

}  // namespace emu::certstore
