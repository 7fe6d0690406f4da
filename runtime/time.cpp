// Sleeping, the clock, random numbers and the millisecond stopwatch.
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "runtime/runtime.h"

namespace {

std::atomic<bool> g_random_seeded{false};

uint32_t now_ms() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  // Wraps in 32 bits by design: elapsed times are differences.
  return static_cast<uint32_t>(tv.tv_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
}

// Seeds the generator once, with the time and the process id. The random
// waits before announcements and search answers must differ between players
// switched on together, and between two starts in one second.
void seed_once() {
  if (!g_random_seeded.exchange(true, std::memory_order_acq_rel)) {
    srand(static_cast<unsigned>(time(nullptr)) ^ (static_cast<unsigned>(getpid()) << 16));
  }
}

}  // namespace

int cg_sleep_ms(int milliseconds) {
  if (milliseconds <= 0) return 0;
  // usleep would be interrupted by the stop signal too; nanosleep does the
  // same and takes any length.
  timespec ts{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
  return nanosleep(&ts, nullptr);
}

int cg_random_ms(int milliseconds) {
  seed_once();
  double r = static_cast<double>(rand()) / 2147483647.0;
  return static_cast<int>(milliseconds * r);
}

int cg_sleep_random_ms(int milliseconds) { return cg_sleep_ms(cg_random_ms(milliseconds)); }

int64_t cg_monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

time_t cg_current_time() { return time(nullptr); }

float cg_random_unit() {
  seed_once();
  return static_cast<float>(rand()) * (1.0f / 2147483648.0f);
}

cg_stopwatch* cg_stopwatch_start() {
  auto* watch = static_cast<cg_stopwatch*>(std::malloc(sizeof(cg_stopwatch)));
  if (!watch) return nullptr;
  watch->start_ms = watch->last_ms = now_ms();
  return watch;
}

uint32_t cg_stopwatch_elapsed(cg_stopwatch* watch) {
  if (!watch) return UINT32_MAX;
  watch->last_ms = now_ms();
  return watch->last_ms - watch->start_ms;
}

int cg_stopwatch_finish(cg_stopwatch* watch) {
  if (!watch) return 0;
  auto elapsed = static_cast<int>(cg_stopwatch_elapsed(watch));
  std::free(watch);
  return elapsed;
}
