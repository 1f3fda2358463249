// Per-thread last error and memory wiping of the emulated platform.
#include <openssl/crypto.h>

#include "winapi/windows_types.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

extern "C" {

DWORD WINAPI GetLastError(void) {
  return lastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
  lastError = dwErrCode;
}

PVOID WINAPI SecureZeroMemory(PVOID ptr, SIZE_T cnt) {
  if (ptr != nullptr) OPENSSL_cleanse(ptr, cnt);
  return ptr;
}

}  // extern "C"
