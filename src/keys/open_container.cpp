#include "keys/open_container.h"

namespace mscapi {

Outcome presentPassword(HCRYPTPROV context, jint keySpec, const PasswordBuffer &password) {
  if (!password.given()) return Outcome::Ok;
  if (password.allocFailed()) return Outcome::Refused;
  const DWORD param = keySpec == AT_KEYEXCHANGE ? PP_KEYEXCHANGE_PIN : PP_SIGNATURE_PIN;
  if (!CryptSetProvParam(context, param, password.get(), 0)) return Outcome::Refused;
  return Outcome::Ok;
}

Outcome openContainer(const Utf8Chars &provider, const Utf8Chars &container, jint keySpec,
                      const PasswordBuffer &password, CryptProv &context, DWORD acquireFlags) {
  if (!CryptAcquireContextA(context.out(), container.get(), provider.get(), PROV_RSA_FULL,
                            acquireFlags))
    return Outcome::Failed;
  return presentPassword(context.get(), keySpec, password);
}

}  // namespace mscapi
