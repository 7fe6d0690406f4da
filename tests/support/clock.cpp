// Test support: the clock and the polling wait, on the runtime's clock.
#include "tests/support/clock.h"

#include "runtime/runtime.h"

namespace vbd_test {

long long now_ms() { return static_cast<long long>(cg_monotonic_ms()); }

void sleep_ms(int ms) {
  if (ms > 0) cg_sleep_ms(ms);
}

bool wait_until(const std::function<bool()>& done, int timeout_ms, int step_ms) {
  const long long deadline = now_ms() + timeout_ms;
  while (!done()) {
    long long left = deadline - now_ms();
    if (left <= 0) return done();
    sleep_ms(static_cast<int>(left < step_ms ? left : step_ms));
  }
  return true;
}

}  // namespace vbd_test
