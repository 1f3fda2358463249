// Logins of the PKCS#11 family. A token's user PIN is presented once per
// process (C_Login), each time counted first in the home's own count of the
// token's wrong PINs (keystore.h), which hands a token no more PINs after
// kMaxTokenPinTries wrong ones in a row; the CSP keeps a salted hash of the
// PIN the token accepted and compares later presentations with it, each
// counted in the same count unless it is the accepted PIN and no PIN is
// counted against the token. A key that needs a login when none holds runs
// the provider's PIN prompt.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

#include "common/failure.h"
#include "csp/keystore.h"
#include "csp/pkcs11/module.h"
#include "csp/pkcs11/tokens.h"

namespace emu::csp::pkcs11 {

// Wrong PINs in a row handed to a token, counted in the home, after which
// no more are handed to it until a right PIN or `mscapi unblock`.
constexpr uint32_t kMaxTokenPinTries = keystore::kMaxPinTries;

// Presents a PIN on the container's token.
Step login(Use &use, const Container &c, CK_SESSION_HANDLE s, const std::string &pin, Failure &f);

// Whether `pin` is the PIN the token accepted when this process logged in
// (in this epoch), compared with its hash without asking the token whether
// the login still holds (a caller that then finds it gone presents the PIN
// with login()), while no wrong or pending PIN is counted against the
// token (no write; the home's count is read again only after keys.db
// changed). False otherwise: login() then counts the PIN before it is
// judged.
bool acceptedPin(Use &use, const Container &c, const std::string &pin);

// Makes sure the process is logged in on the container's token: when it is
// not, with the PIN the container's context presented (the login went away
// since), else asking the provider's PIN prompt for the PIN.
Step ensureLogin(Use &use, const Container &c, CK_SESSION_HANDLE s, Failure &f);

}  // namespace emu::csp::pkcs11
