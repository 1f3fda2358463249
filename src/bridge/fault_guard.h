// The fault guard of queryCerts: runs a body so that whatever exception is
// raised below it (a C++ exception, and on Windows, 32-bit and 64-bit, also
// a processor fault or other structured exception) ends the body instead
// of the process, and reports the exception's 32-bit code.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

namespace mscapi {

// The code Windows gives a C++ exception ("msc" | 0xE0000000).
constexpr uint32_t kCppExceptionCode = 0xE06D7363u;

namespace detail {
// Runs fn(context) under a structured exception handler where the platform
// has one; false (with the exception's code) when the handler caught one.
bool runUnderSeh(void (*fn)(void *), void *context, uint32_t &code);
}  // namespace detail

// Runs `body` (a callable, passed as an lvalue or a temporary); true when it
// completed, false when an exception was caught, with its code in `code`.
// C++ exceptions are caught before they can cross the structured handler's
// frame.
template <typename Body>
bool runGuarded(Body &&body, uint32_t &code) {
  struct Context {
    std::remove_reference_t<Body> *body;
    bool cppCaught;
  } context{&body, false};
  auto trampoline = [](void *p) {
    auto *c = static_cast<Context *>(p);
    try {
      (*c->body)();
    } catch (...) {
      c->cppCaught = true;
    }
  };
  if (!detail::runUnderSeh(trampoline, &context, code)) return false;
  if (context.cppCaught) {
    code = kCppExceptionCode;
    return false;
  }
  return true;
}

}  // namespace mscapi
