// The test builds' side of the test hooks: EmuTestControl switches faults on
// and off for the whole process; EmuTestCount reads what was counted.
#include <atomic>

#include "common/test_hooks.h"

namespace {
std::atomic<unsigned> faults{0};
std::atomic<unsigned long long> counts[emu::hooks::kCounters];
}  // namespace

namespace emu::hooks {

bool active(Fault fault) {
  return (faults.load(std::memory_order_relaxed) & fault) != 0;
}

void count(Counter counter) {
  if (counter < kCounters) counts[counter].fetch_add(1);
}

}  // namespace emu::hooks

extern "C" unsigned EmuTestControl(unsigned set, unsigned clear) {
  unsigned now = faults.load();
  while (!faults.compare_exchange_weak(now, (now | set) & ~clear)) {
  }
  return (now | set) & ~clear;
}

extern "C" unsigned long long EmuTestCount(unsigned counter, int reset) {
  if (counter >= emu::hooks::kCounters) return 0;
  return reset ? counts[counter].exchange(0) : counts[counter].load();
}
