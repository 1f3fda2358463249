// The Windows operations the library calls: registry and CryptoAPI
// (advapi32), certificate stores (crypt32). On Windows they come from the
// system headers; elsewhere from the emulated platform, which declares the
// same names with the published layouts and values.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// windows.h must come first: wincrypt.h relies on its types.
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on
#else
#include "winapi/advapi32.h"
#include "winapi/crypt32.h"
#endif

#include <cstddef>

namespace mscapi {

// Overwrites secrets (passwords, key material) before their memory is
// given back, in a way the compiler may not optimise away.
inline void wipe(void *p, size_t n) {
  if (p != nullptr && n != 0) SecureZeroMemory(p, n);
}

}  // namespace mscapi
