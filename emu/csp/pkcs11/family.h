// The PKCS#11 family of the emulated CSP: a provider whose image is a
// PKCS#11 module keeps its key containers on that module's tokens.
//
// A container is the set of RSA key objects on one token that share its
// name as CKA_LABEL; CKA_ID holds the key spec (one byte: 01 AT_KEYEXCHANGE,
// 02 AT_SIGNATURE; a key with any other CKA_ID counts as the container's
// AT_KEYEXCHANGE key unless one with 01 is there). A public data object
// (CKO_DATA, CKA_APPLICATION kContainerApplication) with the same label
// marks a container, so that one without keys exists too.
//
// Full names follow the smart-card convention `\\.\<token label>\<name>`;
// a plain name means the first token, in slot order, that has a container
// of that name, and a new container with a plain name goes to the first
// initialised token that can be written. Names compare exactly, as
// CKA_LABEL does. PP_ENUMCONTAINERS gives full names.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "csp/context.h"
#include "csp/crypto.h"
#include "csp/key_info.h"

namespace emu::csp::pkcs11 {

constexpr const char kContainerApplication[] = "CryptoAPI key container";

// PKCS#11 has no cheap way to ask whether another process changed a
// token's objects: every attribute read is a read of the token (a file, a
// card, a socket), as costly as a tenth of a signature. Object handles stay
// valid while their objects exist. So a container found before, and the
// private key a signature uses, are checked again (the object still there,
// with the container's label and CKA_ID) only when they were last found or
// checked more than kTrustFor ago. A key that another process deleted or
// replaced is seen at once all the same: C_SignInit refuses the handle of
// an object that went away, and the key is looked up again. What the
// window delays is an open of a container another process deleted (it may
// succeed for kTrustFor; using it then fails) and a label changed on an
// object that stays.
constexpr std::chrono::milliseconds kTrustFor{100};

class Module;

// An open container: its token (by serial number and label) and its name.
struct Container;

// Loads the provider's module (for a verification context). False with
// NTE_PROV_DLL_NOT_FOUND when it cannot be loaded.
bool load(const Provider &provider, DWORD &error);

// Opens (action 0) or creates (CRYPT_NEWKEYSET) a container for a context:
// sets ctx.p11 and ctx.containerName (the full name). A `silent` context
// (CRYPT_SILENT) never runs the PIN prompt.
bool acquire(Context &ctx, const std::string &name, DWORD action, bool silent, DWORD &error);

// Deletes a container and its keys.
bool remove(const Provider &provider, const std::string &name, bool silent, DWORD &error);

// The full names of every container on every token, token by token in
// slot order, each token's names in case-insensitive order.
std::vector<std::string> containerNames(const Provider &provider);

// The public facts of the key of `spec`; false when there is none.
bool keyInfo(Context &ctx, int spec, KeyInfo &info);

// A new key pair on the token (never extractable) under `spec`, replacing
// the container's key of that spec.
bool generate(Context &ctx, int spec, DWORD bits, KeyInfo &info, DWORD &error);

// Stores a private key on the token under `spec`; `exportable` asks for a
// key whose components can be read back, which the token may refuse (the
// key is then stored sensitive).
bool import(Context &ctx, int spec, const crypto::Parts &parts, bool exportable, KeyInfo &info,
            DWORD &error);

// The components of an extractable, non-sensitive private key.
bool exportPrivate(Context &ctx, int spec, crypto::Parts &parts, DWORD &error);

// The length of a signature of the private key of `spec` (logging in
// through the PIN prompt when the key is not visible without a login).
bool signatureSize(Context &ctx, int spec, DWORD &size, DWORD &error);

// PKCS#1 v1.5 signature (CKM_RSA_PKCS) of the DigestInfo of `md` over
// `digest`, or of `digest` itself when `md` is null; big-endian.
bool sign(Context &ctx, int spec, const EVP_MD *md, const uint8_t *digest, size_t digestLen,
          crypto::Bytes &sig, DWORD &error);

// Presents a PIN: C_Login(CKU_USER) on the container's token, or, while
// this process is logged in there, a constant-time comparison with the PIN
// the token accepted.
bool presentPin(Context &ctx, const std::string &pin, DWORD &error);

}  // namespace emu::csp::pkcs11
