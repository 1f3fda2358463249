#include "bridge/fault_guard.h"

#if defined(_WIN32) && defined(__i386__)
#include "platform/platform.h"
#endif

namespace mscapi::detail {

#if defined(_WIN32) && defined(__i386__)

// GCC for 32-bit Windows has no __try/__except, so the guard registers a
// frame-based handler in the thread's exception chain (fs:[0]) itself. The
// handler accepts every exception code: it records the code, lets the
// frames inside the guarded body unwind (RtlUnwind, which leaves this record
// on top of the chain) and jumps back into runUnderSeh, which unlinks the
// record again.
namespace {

struct GuardRecord {
  EXCEPTION_REGISTRATION_RECORD record;  // first: its address is the frame
  void *resume[5];                       // __builtin_setjmp buffer
  DWORD code;
};

EXCEPTION_DISPOSITION NTAPI guardHandler(EXCEPTION_RECORD *exception, PVOID frame, CONTEXT *,
                                         PVOID) {
  if ((exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0)
    return ExceptionContinueSearch;
  auto *guard = static_cast<GuardRecord *>(frame);
  guard->code = exception->ExceptionCode;
  RtlUnwind(frame, nullptr, exception, nullptr);
  __builtin_longjmp(guard->resume, 1);
}

}  // namespace

bool runUnderSeh(void (*fn)(void *), void *context, uint32_t &code) {
  GuardRecord guard{};
  guard.record.Handler = guardHandler;
  guard.record.Next = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD *>(__readfsdword(0));
  if (__builtin_setjmp(guard.resume) == 0) {
    __writefsdword(0, reinterpret_cast<DWORD>(&guard.record));
    fn(context);
    __writefsdword(0, reinterpret_cast<DWORD>(guard.record.Next));
    return true;
  }
  __writefsdword(0, reinterpret_cast<DWORD>(guard.record.Next));
  code = guard.code;
  return false;
}

#else

// Without structured exception handling only C++ exceptions are caught
// (by runGuarded). Processor faults are not caught: inside a JVM the JVM
// owns those signals (it relies on them itself) and reports a real fault.
bool runUnderSeh(void (*fn)(void *), void *context, uint32_t &) {
  fn(context);
  return true;
}

#endif

}  // namespace mscapi::detail
