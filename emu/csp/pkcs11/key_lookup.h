// Finding a container's key objects on its token. In a library container
// a key's CKA_ID is the one its marker records for the key spec (pairs.h),
// or the key spec itself (one byte: 01 AT_KEYEXCHANGE, 02 AT_SIGNATURE), as
// keys made before ids were recorded have it; a key pair joined by CKA_ID (pairs.h) holds one key,
// of the key type (exchange or signature) pairSpec() gives. What is found is cached (caches.h) and
// checked again with one attribute read.
#pragma once

#include <p11-kit/pkcs11.h>

#include <chrono>
#include <vector>

#include "common/failure.h"
#include "csp/key_info.h"
#include "csp/pkcs11/caches.h"
#include "csp/pkcs11/module.h"
#include "csp/pkcs11/tokens.h"

namespace emu::csp::pkcs11 {

// The public facts of a key object (modulus and exponent); false when they
// cannot be read.
bool readPublic(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, int spec, KeyInfo &info);

// Finds the container's key object of a class for `spec`. With `wantId`,
// only the object with that CKA_ID.
CK_RV findKey(Use &use, CK_SESSION_HANDLE s, const Container &c, CK_OBJECT_CLASS cls, int spec,
              const Bytes *wantId, CK_OBJECT_HANDLE &h, Bytes &id);

// A cached key object that still is what it was (same label and CKA_ID).
bool cachedKey(Use &use, CK_SESSION_HANDLE s, const Container &c, int spec, CK_OBJECT_CLASS cls,
               KeyHit &hit);

// The handle and size of the container's private key of `spec` as found in
// this epoch, when it was found or last checked less than `within` ago:
// taken without asking the token.
bool knownKey(Use &use, const Container &c, int spec, std::chrono::steady_clock::duration within,
              CK_OBJECT_HANDLE &handle, uint32_t &bits);

// The public facts of the container's key of `spec`: from the public key
// object, else from a private key object this session can see.
Step publicKey(Use &use, CK_SESSION_HANDLE s, const Container &c, int spec, KeyHit &hit,
               Failure &f);

// The private key object of `spec`, logging in first (through the PIN
// prompt) when it is not visible and no login holds.
Step privateKey(Use &use, CK_SESSION_HANDLE s, const Container &c, int spec, KeyHit &hit,
                Failure &f);

// The objects of the container's key of `spec` (both classes), to be
// destroyed when a new key replaces it.
void keyObjects(Use &use, CK_SESSION_HANDLE s, const Container &c, int spec,
                std::vector<CK_OBJECT_HANDLE> &out);

// Every key object of the container (private ones only when the session
// sees them), to be destroyed with it.
void containerKeys(Use &use, CK_SESSION_HANDLE s, const Container &c,
                   std::vector<CK_OBJECT_HANDLE> &out);

}  // namespace emu::csp::pkcs11
