// The PKCS#11 family of the emulated CSP: a provider whose image is a
// PKCS#11 module keeps its key containers on that module's tokens.
//
// A container is either the library's (the RSA key objects on one token
// that share its name as CKA_LABEL, each with a CKA_ID of its own that a
// marker of the container records with its key spec, or, made before, the
// key spec: one byte, 01 AT_KEYEXCHANGE, 02 AT_SIGNATURE; the marker, a
// public data object (CKO_DATA, CKA_APPLICATION kContainerApplication) with
// the same label, makes one without keys exist too), or a key pair as card
// issuers make them, joined by CKA_ID (pairs.h, which also gives the names
// of both).
//
// Full names follow the smart-card convention `\\.\<token label>\<name>`;
// a plain name means the first token, in slot order, that has a container
// of that name, and a new container with a plain name goes to the first
// initialised token that can be written. Names compare exactly, as
// CKA_LABEL does. PP_ENUMCONTAINERS gives full names.
#pragma once

#include <chrono>

namespace emu::csp::pkcs11 {

constexpr const char kContainerApplication[] = "CryptoAPI key container";

// PKCS#11 has no cheap way to ask whether another process changed a
// token's objects: every attribute read is a read of the token (a file, a
// card, a socket), as costly as a tenth of a signature. Object handles stay
// valid while their objects exist. So a container found before is checked
// again (the object still there, with the container's label and CKA_ID)
// only when it was last found or checked more than kTrustFor ago. The
// private key a signature uses is checked without a module call: from half
// that window on, the signature is verified with the key's public half,
// which counts as a check of the key and its container. A key that another
// process deleted or replaced is seen at once all the same: C_SignInit
// refuses the handle of an object that went away, and the key is looked up
// again. What the window delays is an open of a container another process
// deleted (it may succeed for kTrustFor; using it then fails) and a label
// changed on an object that stays.
constexpr std::chrono::milliseconds kTrustFor{100};

// The family's parts: attributes.h (object attributes and searches),
// pairs.h (the containers of a token and their names),
// caches.h (what was found), tokens.h (tokens, container names, running an
// operation in a use of the module), logins.h, key_lookup.h, and
// operations.cpp (the KeyFamily, key_family.h, pkcs11Keys()).

}  // namespace emu::csp::pkcs11
