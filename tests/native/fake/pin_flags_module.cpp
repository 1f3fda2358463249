// A PKCS#11 module for the native tests: SoftHSM2's own, except that
// C_GetTokenInfo adds the flags given (as a number) in the environment
// variable TEST_TOKEN_FLAGS, read at each call. SoftHSM2 reports a low
// retry count after a wrong PIN but never a final try or a locked PIN;
// through this module a test sees what the emulation says of a token that
// does.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>

namespace {

CK_FUNCTION_LIST wrapped;
CK_FUNCTION_LIST_PTR real = nullptr;

CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  const CK_RV rv = real->C_GetTokenInfo(slot, info);
  const char *flags = std::getenv("TEST_TOKEN_FLAGS");
  if (rv == CKR_OK && flags != nullptr) info->flags |= std::strtoul(flags, nullptr, 0);
  return rv;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR list) {
  if (list == nullptr) return CKR_ARGUMENTS_BAD;
  if (real == nullptr) {
    void *lib = dlopen(SOFTHSM_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return CKR_GENERAL_ERROR;
    const auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
    if (get == nullptr || get(&real) != CKR_OK) return CKR_GENERAL_ERROR;
    wrapped = *real;
    wrapped.C_GetTokenInfo = getTokenInfo;
  }
  *list = &wrapped;
  return CKR_OK;
}
