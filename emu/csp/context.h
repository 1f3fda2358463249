// A provider context (HCRYPTPROV) of the emulated CSP.
#pragma once

#include <memory>
#include <string>

#include "csp/handle_table.h"
#include "csp/provider.h"

namespace emu::csp {

struct Context {
  Provider provider;
  bool verifyOnly = false;  // CRYPT_VERIFYCONTEXT: no key container
};

inline HandleTable<Context> &contexts() {
  return handleTable<Context>(0x10000);
}

}  // namespace emu::csp
