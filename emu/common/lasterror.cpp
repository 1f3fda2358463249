// Per-thread last error and memory wiping of the emulated platform.
#include <openssl/crypto.h>

#include <cstring>
#include <string>

#include "common/trace.h"
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

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPSTR lpBuffer,
                            DWORD nSize, va_list *) {
  if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char *name = emu::trace::errorName(dwMessageId);
  std::string text = *name != '\0' ? name : "error";
  const std::string reason = emu::trace::lastFailure(dwMessageId);
  if (!reason.empty()) text += ": " + reason;
  if (text.size() + 1 > nSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

}  // extern "C"
