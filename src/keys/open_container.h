// Opening an existing key container and presenting the caller's password as
// the PIN of one of its keys: the first step that getPrivateKey, sign and
// verifyAndSign share.
#pragma once

#include "bridge/holders.h"
#include "bridge/outcome.h"
#include "platform/handles.h"

namespace mscapi {

// Presents the password, when one was given, as the PIN of keySpec's key
// (PP_KEYEXCHANGE_PIN for AT_KEYEXCHANGE, PP_SIGNATURE_PIN for every other
// value). Refused when the provider refuses it (a buffer that could not be
// had counts as refused).
Outcome presentPassword(HCRYPTPROV context, jint keySpec, const PasswordBuffer &password);

// Opens the container into `context` and, when a password was given,
// presents it as the PIN of keySpec's key (PP_KEYEXCHANGE_PIN for
// AT_KEYEXCHANGE, PP_SIGNATURE_PIN for every other value). Refused when the
// provider refuses the password (a buffer that could not be had counts as
// refused); Failed when the container cannot be opened. `acquireFlags`
// go to CryptAcquireContextA: CRYPT_SILENT for a context in which the
// provider asks the user nothing (no PIN dialog).
Outcome openContainer(const Utf8Chars &provider, const Utf8Chars &container, jint keySpec,
                      const PasswordBuffer &password, CryptProv &context, DWORD acquireFlags = 0);

}  // namespace mscapi
