// Helpers shared by the emulated API entry points.
#pragma once

#include "common/failure.h"
#include "common/trace.h"
#include "winapi/windows_types.h"

namespace emu {

// Sets the thread's last error and returns FALSE, for the common
// "fail with code" exit of a BOOL entry point.
inline BOOL fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// Success leaves the thread's last error as it was, as Windows does.
inline BOOL succeed() {
  return TRUE;
}

// Fails with a code and gives the trace its reason.
inline BOOL fail(DWORD code, const char *reason) {
  trace::why(reason);
  return fail(code);
}

// Fails with a code and gives the trace its reason with the reason's
// stable code.
inline BOOL fail(DWORD code, trace::Reason cause, const char *reason) {
  trace::why(cause, reason);
  return fail(code);
}

// Fails as a step said: its code, and its reason when it has one (a step
// that set the trace's reason itself leaves it be).
inline BOOL fail(const Failure &f) {
  if (!f.why.empty()) trace::why(f.cause, f.why);
  return fail(f.code);
}

// Copies `n` bytes of output into a caller's buffer by the platform's
// convention: a null buffer asks the size, a short one fails with
// ERROR_MORE_DATA and the needed size.
inline BOOL copyOut(const void *src, DWORD n, BYTE *dst, DWORD *len) {
  if (len == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (dst == nullptr) {
    *len = n;
    return succeed();
  }
  if (*len < n) {
    *len = n;
    return fail(ERROR_MORE_DATA);
  }
  for (DWORD i = 0; i < n; ++i) dst[i] = static_cast<const BYTE *>(src)[i];
  *len = n;
  return succeed();
}

}  // namespace emu
