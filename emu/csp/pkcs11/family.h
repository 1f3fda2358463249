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
// card, a socket: against a network HSM or a token behind `p11-kit server`
// each call is a round trip). Object handles stay valid while their objects
// exist. So a container found before is trusted without asking the token,
// and so is the key a signature uses, until a call says otherwise: a
// signature, or another use of the key, refused because the object or the
// session went away (CKR_KEY_HANDLE_INVALID, CKR_OBJECT_HANDLE_INVALID; a
// session, slot or device gone re-initialises the module and drops
// everything), a cached key that no longer reads back as it was, or an
// enumeration of the containers, which lists the token afresh. No re-read
// is ever driven by the clock. The private key a signature uses is checked
// without a module call: once it was found or checked kVerifyEvery ago or
// more, the signature is verified with the key's public half as found, so
// a handle another key took over is caught (a deleted or replaced key is
// refused by C_SignInit at once, and looked up again). What stays unseen
// until such a failure or an enumeration: a container another process
// deleted still opens (signing with it then fails, and the next open does
// not find it), and a label changed on an object that stays.
constexpr std::chrono::milliseconds kVerifyEvery{50};

// The family's parts: attributes.h (object attributes and searches),
// pairs.h (the containers of a token and their names),
// caches.h (what was found), tokens.h (tokens, container names, running an
// operation in a use of the module), logins.h, key_lookup.h, and
// operations.cpp (the KeyFamily, key_family.h, pkcs11Keys()).

}  // namespace emu::csp::pkcs11
