// Presenting a password buffer to a provider as the PIN of one key.
#pragma once

#include <jni.h>

#include "bridge/holders.h"
#include "platform/platform.h"

namespace mscapi {

// Presents the password as the PIN of the key chosen by keySpec:
// PP_KEYEXCHANGE_PIN for AT_KEYEXCHANGE, PP_SIGNATURE_PIN for every other
// value. True when there is no password or the provider accepts it; false
// when it is refused (a buffer that could not be had counts as refused).
inline bool presentPassword(HCRYPTPROV context, jint keySpec, const PasswordBuffer &password) {
  if (!password.given()) return true;
  if (password.allocFailed()) return false;
  return CryptSetProvParam(context,
                           keySpec == AT_KEYEXCHANGE ? PP_KEYEXCHANGE_PIN : PP_SIGNATURE_PIN,
                           password.get(), 0) != FALSE;
}

}  // namespace mscapi
