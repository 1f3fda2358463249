// Provider contexts: acquiring, releasing, and the provider's random number
// generator.
#include "csp/context.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <climits>

#include "common/api.h"
#include "common/login.h"
#include "csp/key_family.h"
#include "storage/guard.h"

namespace emu::csp {

void Slot::clearPin() {
  if (!pin.empty()) OPENSSL_cleanse(&pin[0], pin.size());
  pin.clear();
  pinGiven = false;
}

}  // namespace emu::csp

using emu::csp::Context;
using emu::csp::contexts;

namespace {
// Longest container name accepted (bytes, without the terminator).
constexpr size_t kMaxContainerName = 260;
}  // namespace

extern "C" {

static BOOL CryptAcquireContextAImpl(HCRYPTPROV *phProv, LPCSTR szContainer, LPCSTR szProvider,
                                     DWORD dwProvType, DWORD dwFlags) {
  if (phProv == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
  *phProv = 0;
  return emu::guarded(NTE_FAIL, [&]() -> BOOL {
    auto ctx = std::make_shared<Context>();
    if (auto f = emu::csp::resolveProvider(szProvider, dwProvType, ctx->provider))
      return emu::fail(*f);
    const emu::csp::KeyFamily &family = *ctx->provider.family;
    const bool silent = (dwFlags & CRYPT_SILENT) != 0;
    if ((dwFlags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
      // A verification context opens no container; naming one is an error.
      if (szContainer != nullptr && *szContainer != '\0') return emu::fail(NTE_BAD_FLAGS);
      if (auto f = family.openVerifyContext(*ctx)) return emu::fail(*f);
      ctx->verifyOnly = true;
      *phProv = contexts().add(std::move(ctx));
      return emu::succeed();
    }
    // A null or empty name stands for the user's login name.
    const std::string name = szContainer != nullptr && *szContainer != '\0'
                                 ? std::string(szContainer)
                                 : emu::loginName();
    if (name.size() > kMaxContainerName)
      return emu::fail(NTE_BAD_KEYSET_PARAM, emu::trace::Reason::CONTAINER_NAME,
                       "container name longer than 260 bytes");
    const DWORD action = dwFlags & ~(CRYPT_SILENT | CRYPT_MACHINE_KEYSET);
    if (action == CRYPT_DELETEKEYSET) {
      if (auto f = family.deleteContainer(ctx->provider, name, silent)) return emu::fail(*f);
      return emu::succeed();  // no handle remains
    }
    if (action != 0 && action != CRYPT_NEWKEYSET) return emu::fail(NTE_BAD_FLAGS);
    if (auto f = family.openContainer(*ctx, name, action == CRYPT_NEWKEYSET, silent))
      return emu::fail(*f);
    *phProv = contexts().add(std::move(ctx));
    return emu::succeed();
  });
}

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV *phProv, LPCSTR szContainer, LPCSTR szProvider,
                                 DWORD dwProvType, DWORD dwFlags) {
  emu::trace::Call t("CryptAcquireContextA");
  if (t)
    t.text("container", szContainer)
        .text("provider", szProvider)
        .num("type", dwProvType)
        .hex("flags", dwFlags);
  return t.done(CryptAcquireContextAImpl(phProv, szContainer, szProvider, dwProvType, dwFlags));
}

static BOOL CryptReleaseContextImpl(HCRYPTPROV hProv, DWORD dwFlags) {
  std::shared_ptr<Context> ctx = contexts().remove(hProv);
  if (!ctx) return emu::fail(ERROR_INVALID_HANDLE);
  // The keys and hash objects made through it stop working with it.
  ctx->released = true;
  ctx->provider.family->release(*ctx);
  // Flags are reserved: the call fails, but the context is released all the
  // same.
  if (dwFlags != 0) return emu::fail(NTE_BAD_FLAGS, "flags must be 0; the context was released");
  return emu::succeed();
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  emu::trace::Call t("CryptReleaseContext");
  if (t) t.hex("prov", hProv).hex("flags", dwFlags);
  return t.done(CryptReleaseContextImpl(hProv, dwFlags));
}

static BOOL CryptGenRandomImpl(HCRYPTPROV hProv, DWORD dwLen, BYTE *pbBuffer) {
  if (!contexts().get(hProv)) return emu::fail(ERROR_INVALID_HANDLE);
  if (dwLen == 0) return emu::succeed();
  if (pbBuffer == nullptr) return emu::fail(ERROR_INVALID_PARAMETER);
  while (dwLen > 0) {
    const int chunk = dwLen > INT_MAX ? INT_MAX : static_cast<int>(dwLen);
    if (RAND_bytes(pbBuffer, chunk) != 1) return emu::fail(NTE_FAIL);
    pbBuffer += chunk;
    dwLen -= static_cast<DWORD>(chunk);
  }
  return emu::succeed();
}

BOOL WINAPI CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE *pbBuffer) {
  emu::trace::Call t("CryptGenRandom");
  if (t) t.hex("prov", hProv).num("length", dwLen);
  return t.done(CryptGenRandomImpl(hProv, dwLen, pbBuffer));
}

}  // extern "C"
