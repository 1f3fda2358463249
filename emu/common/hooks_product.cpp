// The product's side of the test hooks: nothing can be switched on.
#include "common/test_hooks.h"

namespace emu::hooks {

bool active(Fault) {
  return false;
}

}  // namespace emu::hooks
