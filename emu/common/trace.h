// The emulation's trace: with MSCAPI_TRACE=1 (standard error) or
// MSCAPI_TRACE=PATH (appended to that file), every platform call writes one
// line: the call, its main arguments, its result, the thread's last error
// and, where the emulation knows it, the reason in words. A reason with a
// stable code (common/reasons.h) adds the fields cause=CODE and the code's
// details (tries=3) after the arguments:
//
//   CryptSetProvParam(prov=0x.., param=32, cause=PIN_WRONG, tries=3) = FALSE,
//     last error 0x8010006b (SCARD_W_WRONG_CHV): PIN refused, 3 tries left Key material, PINs
// and passwords are never written. Off by default; when off, a call costs
// one relaxed atomic load.
//
//   trace::Call t("CryptAcquireContextA");
//   if (t) t.text("container", szContainer).hex("flags", dwFlags);
//   ...
//   trace::why(Reason::CONTAINER_NOT_FOUND, "container not found");  // anywhere below
//   trace::detail("tries", 3);
//   return t.done(ok);
#pragma once

#include <cstdint>
#include <string>

#include "common/reasons.h"
#include "winapi/windows_types.h"

namespace emu::trace {

// Whether tracing is on. MSCAPI_TRACE is read once per process.
bool enabled();

// Sets the reason of the current call on this thread (the last one set
// wins); does nothing when tracing is off.
void why(const char *reason);
void why(const std::string &reason);
// The same with the reason's stable code. A later why() replaces both.
void why(Reason code, const char *reason);
void why(Reason code, const std::string &reason);
// A detail of the current reason, written as its own field after the code.
void detail(const char *name, int64_t value);
void detail(const char *name, const std::string &value);

// The reason of this thread's last failed entry point, when it failed with
// `code`; "" otherwise. Kept whether or not tracing is on, for the words a
// caller asks for with FormatMessageA.
std::string lastFailure(DWORD code);

// The name of a platform error code ("NTE_BAD_KEYSET"), or "" when the
// trace does not know it.
const char *errorName(DWORD code);

// One traced entry point. Writes its line when done() is called.
class Call {
 public:
  explicit Call(const char *name);
  ~Call();
  Call(const Call &) = delete;
  Call &operator=(const Call &) = delete;

  explicit operator bool() const { return on_; }
  // Arguments, written in the order given.
  Call &text(const char *name, const char *value);  // null shows as null
  Call &text(const char *name, const std::string &value);
  Call &num(const char *name, int64_t value);
  Call &hex(const char *name, uint64_t value);
  // Finishes a BOOL call: writes the line with the result and the last
  // error; returns `ok`.
  BOOL done(BOOL ok);
  // Finishes a call that returns a handle or pointer (null means failure).
  template <typename P>
  P donePtr(P p) {
    if (p == nullptr) noteFailure();
    if (on_)
      finish(p != nullptr, p != nullptr ? "handle" : "NULL",
             p != nullptr ? ERROR_SUCCESS : GetLastError());
    return p;
  }
  // Keeps the thread's last error and this call's reason as the thread's
  // last failure (done() and donePtr() call it when the call failed).
  static void noteFailure();
  // Finishes a registry call, whose result is its error code.
  LONG doneStatus(LONG status);

 private:
  void finish(bool ok, const char *result, DWORD error);
  bool on_;
  std::string line_;
};

}  // namespace emu::trace
