// One failed step of the emulation: the platform error code the caller's
// last error becomes, and the reason for the trace (a stable code and the
// words). Functions that may fail return a Status: empty when they did what
// was asked.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "common/reasons.h"
#include "winapi/windows_types.h"

namespace emu {

struct Failure {
  DWORD code = 0;
  trace::Reason cause = trace::Reason::None;
  std::string why;  // empty: the trace's reason was set where it was known

  Failure() = default;
  explicit Failure(DWORD c) : code(c) {}
  Failure(DWORD c, std::string w) : code(c), why(std::move(w)) {}
  Failure(DWORD c, trace::Reason r, std::string w) : code(c), cause(r), why(std::move(w)) {}
};

using Status = std::optional<Failure>;

inline Status done() {
  return std::nullopt;
}

}  // namespace emu
