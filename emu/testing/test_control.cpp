// The test builds' side of the test hooks: EmuTestControl switches faults on
// and off for the whole process.
#include <atomic>

#include "common/test_hooks.h"

namespace {
std::atomic<unsigned> faults{0};
}

namespace emu::hooks {

bool active(Fault fault) {
  return (faults.load(std::memory_order_relaxed) & fault) != 0;
}

}  // namespace emu::hooks

extern "C" unsigned EmuTestControl(unsigned set, unsigned clear) {
  unsigned now = faults.load();
  while (!faults.compare_exchange_weak(now, (now | set) & ~clear)) {
  }
  return (now | set) & ~clear;
}
