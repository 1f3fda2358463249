// Provider parameters: the container enumeration, the provider's and the
// container's names, and the PINs of the token family.
#include <openssl/crypto.h>

#include <cstring>

#include "common/api.h"
#include "csp/context.h"
#include "csp/key_family.h"
#include "storage/guard.h"

using emu::csp::Context;
using emu::csp::contexts;

namespace {

BOOL copyText(const std::string &s, BYTE *pbData, DWORD *pdwDataLen) {
  return emu::copyOut(s.c_str(), static_cast<DWORD>(s.size() + 1), pbData, pdwDataLen);
}

}  // namespace

extern "C" {

static BOOL CryptGetProvParamImpl(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                                  DWORD dwFlags) {
  if (pdwDataLen == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
  return emu::guarded(NTE_FAIL, [&]() -> BOOL {
    auto ctx = contexts().get(hProv);
    if (!ctx) return emu::fail(ERROR_INVALID_HANDLE);
    switch (dwParam) {
      case PP_ENUMCONTAINERS: {
        if ((dwFlags & ~(CRYPT_FIRST | CRYPT_NEXT)) != 0) return emu::fail(NTE_BAD_FLAGS);
        // Read the names before taking the context's lock: no storage work
        // happens under it.
        std::vector<std::string> names;
        bool restart = false;
        {
          std::lock_guard<std::mutex> lock(ctx->mu);
          restart = (dwFlags & CRYPT_FIRST) != 0 || !ctx->enumStarted;
        }
        if (restart) names = ctx->provider.family->containerNames(*ctx);
        std::lock_guard<std::mutex> lock(ctx->mu);
        if (restart) {
          ctx->enumNames = std::move(names);
          ctx->enumPos = 0;
          ctx->enumStarted = true;
        }
        if (ctx->enumPos >= ctx->enumNames.size()) return emu::fail(ERROR_NO_MORE_ITEMS);
        const std::string &name = ctx->enumNames[ctx->enumPos];
        // A null buffer asks the size; a short one fails; neither moves on.
        const BOOL ok = copyText(name, pbData, pdwDataLen);
        if (ok && pbData != nullptr) ++ctx->enumPos;
        return ok;
      }
      case PP_NAME:
        if (dwFlags != 0) return emu::fail(NTE_BAD_FLAGS);
        return copyText(ctx->provider.name, pbData, pdwDataLen);
      case PP_CONTAINER:
        if (dwFlags != 0) return emu::fail(NTE_BAD_FLAGS);
        if (ctx->verifyOnly) return emu::fail(NTE_BAD_KEYSET);
        return copyText(ctx->containerName, pbData, pdwDataLen);
      default:
        return emu::fail(NTE_BAD_TYPE);
    }
  });
}

BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                              DWORD dwFlags) {
  emu::trace::Call t("CryptGetProvParam");
  if (t) t.hex("prov", hProv).num("param", dwParam).hex("flags", dwFlags);
  return t.done(CryptGetProvParamImpl(hProv, dwParam, pbData, pdwDataLen, dwFlags));
}

static BOOL CryptSetProvParamImpl(HCRYPTPROV hProv, DWORD dwParam, CONST BYTE *pbData,
                                  DWORD dwFlags) {
  return emu::guarded(NTE_FAIL, [&]() -> BOOL {
    auto ctx = contexts().get(hProv);
    if (!ctx) return emu::fail(ERROR_INVALID_HANDLE);
    if (dwParam != PP_KEYEXCHANGE_PIN && dwParam != PP_SIGNATURE_PIN)
      return emu::fail(NTE_BAD_TYPE);
    // The software providers have no PINs, as on Windows.
    const emu::csp::KeyFamily &family = *ctx->provider.family;
    if (!family.takesPins())
      return emu::fail(NTE_BAD_TYPE, emu::trace::Reason::PIN_UNSUPPORTED,
                       "the provider's keys have no PINs");
    if (dwFlags != 0) return emu::fail(NTE_BAD_FLAGS);
    if (pbData == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
    std::string pin(reinterpret_cast<const char *>(pbData));
    const int spec = dwParam == PP_KEYEXCHANGE_PIN ? AT_KEYEXCHANGE : AT_SIGNATURE;
    const emu::Status failed = family.presentPin(*ctx, spec, pin);
    if (!pin.empty()) OPENSSL_cleanse(&pin[0], pin.size());
    return failed ? emu::fail(*failed) : emu::succeed();
  });
}

BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, CONST BYTE *pbData, DWORD dwFlags) {
  emu::trace::Call t("CryptSetProvParam");
  if (t) t.hex("prov", hProv).num("param", dwParam);
  return t.done(CryptSetProvParamImpl(hProv, dwParam, pbData, dwFlags));
}

}  // extern "C"
