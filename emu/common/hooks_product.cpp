// The product's side of the test hooks: nothing can be switched on, nothing
// is counted.
#include "common/test_hooks.h"

namespace emu::hooks {

bool active(Fault) {
  return false;
}

void count(Counter) {}

}  // namespace emu::hooks
