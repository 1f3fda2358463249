#include "bridge/fault_guard.h"

#if defined(_WIN32) && (defined(__i386__) || defined(__x86_64__))
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

#elif defined(_WIN32) && defined(__x86_64__)

// On x86_64 Windows exception handlers are not linked on the stack: the
// dispatcher finds a function's handler through the unwind tables (.pdata,
// .xdata) of the image. GCC writes those tables for every function but
// offers no __try/__except, so the guard is a small function in assembly
// whose unwind information names its own language handler:
// mscapi_seh_guard_call(fn, context) calls fn(context) and returns all ones.
// The handler sees only exceptions that no frame inside the body handled
// (a C++ exception is caught by runGuarded's trampoline before it gets
// here; GCC's personality lets every other code pass). It accepts every
// code: RtlUnwindEx unwinds the frames inside the body and resumes at the
// label named in the handler data, in the guard's own frame, with the
// exception's code (zero-extended) as the return value. The nonvolatile
// registers of the caller come back through the unwind as for any return.
extern "C" {
uint64_t mscapi_seh_guard_call(void (*fn)(void *), void *context);
EXCEPTION_DISPOSITION mscapi_seh_guard_handler(EXCEPTION_RECORD *exception, void *frame,
                                               CONTEXT *context, DISPATCHER_CONTEXT *dispatch);
}

// clang-format off
asm(R"(
	.text
	.p2align 4
	.globl mscapi_seh_guard_call
	.def mscapi_seh_guard_call; .scl 2; .type 32; .endef
	.seh_proc mscapi_seh_guard_call
mscapi_seh_guard_call:
	subq $40, %rsp
	.seh_stackalloc 40
	.seh_endprologue
	movq %rcx, %rax
	movq %rdx, %rcx
	callq *%rax
	movq $-1, %rax
.Lmscapi_seh_guard_resume:
	addq $40, %rsp
	ret
	.seh_handler mscapi_seh_guard_handler, @except
	.seh_handlerdata
	.rva .Lmscapi_seh_guard_resume
	.text
	.seh_endproc
)");
// clang-format on

EXCEPTION_DISPOSITION mscapi_seh_guard_handler(EXCEPTION_RECORD *exception, void *frame,
                                               CONTEXT *context, DISPATCHER_CONTEXT *dispatch) {
  if ((exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0)
    return ExceptionContinueSearch;
  // The handler data is the resume label's address relative to the image.
  const ULONG64 resume = dispatch->ImageBase + *static_cast<const DWORD *>(dispatch->HandlerData);
  const auto code = static_cast<uintptr_t>(exception->ExceptionCode);
  RtlUnwindEx(frame, reinterpret_cast<void *>(resume), exception, reinterpret_cast<void *>(code),
              context, dispatch->HistoryTable);
  return ExceptionContinueSearch;  // not reached: RtlUnwindEx resumes at the label
}

bool runUnderSeh(void (*fn)(void *), void *context, uint32_t &code) {
  const uint64_t result = mscapi_seh_guard_call(fn, context);
  if (result == ~uint64_t{0}) return true;
  code = static_cast<uint32_t>(result);
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
