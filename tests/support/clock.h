// Test support: the monotonic clock, a plain sleep and a polling wait.
#pragma once

#include <functional>

namespace vbd_test {

// Milliseconds of the monotonic clock.
long long now_ms();
void sleep_ms(int ms);
// Milliseconds since a point taken with now_ms().
inline long long ms_since(long long start_ms) { return now_ms() - start_ms; }

// Polls done every step_ms until it holds (true) or timeout_ms has passed
// (false). done is asked once more at the deadline.
bool wait_until(const std::function<bool()>& done, int timeout_ms = 5000, int step_ms = 5);

}  // namespace vbd_test
