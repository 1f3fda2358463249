// How an emulated API entry point ends when its body throws: a storage
// failure becomes the last error that says what it was, with its reason in
// the trace; nothing C++ crosses the C boundary. Storage sits above the
// common helpers (common/api.h), so this lives here, not there.
#pragma once

#include <new>
#include <utility>

#include "common/api.h"
#include "storage/error.h"

namespace emu {

// Sets the last error that says what a storage failure was, with its
// reason in the trace.
inline void setStorageError(const storage::StorageError &e) {
  trace::why(storage::cause(e), storage::describe(e));
  SetLastError(storage::windowsError(e));
}

// Runs an entry point's body so that no C++ exception crosses the C
// boundary: a storage failure becomes the code that says what it was, an
// allocation failure NTE_NO_MEMORY, anything else the given code.
template <typename F>
BOOL guarded(DWORD otherwise, F &&body) {
  try {
    return std::forward<F>(body)();
  } catch (const storage::StorageError &e) {
    setStorageError(e);
    return FALSE;
  } catch (const std::bad_alloc &) {
    return fail(NTE_NO_MEMORY, "out of memory");
  } catch (...) {
    return fail(otherwise, "internal error");
  }
}

}  // namespace emu
