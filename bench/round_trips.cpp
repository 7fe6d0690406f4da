// The closed-loop and spaced round-trip procedures shared by "cmd" (the
// daemon, and the TCP echo floor) and "queue" (the message queue floor).
#include "bench/round_trips.h"

#include <cstdio>
#include <random>

#include "bench/bench_util.h"

namespace bench {

round_trip_result run_round_trips(const std::function<double()>& once, const round_trip_plan& plan) {
  round_trip_result r;
  for (int i = 0; i < plan.warmup; i++) {
    if (once() < 0) r.errors++;
  }
  int64_t begin = now_us();
  int64_t end = begin + static_cast<int64_t>(plan.seconds) * 1000000;
  while (now_us() < end) {
    double ms = once();
    if (ms < 0) {
      r.errors++;
      break;
    }
    r.closed.push_back(ms);
  }
  double elapsed_s = static_cast<double>(now_us() - begin) / 1e6;
  r.closed_rate = elapsed_s > 0 ? static_cast<double>(r.closed.size()) / elapsed_s : 0;

  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> gap(0, plan.max_gap_ms * 1000);
  for (int i = 0; i < plan.samples; i++) {
    sleep_us(gap(rng));
    double ms = once();
    if (ms < 0) {
      r.errors++;
      break;
    }
    r.spaced.push_back(ms);
  }
  return r;
}

void print_round_trips(const std::string& prefix, round_trip_result& r) {
  const char* p = prefix.c_str();
  std::printf("%sclosed_count=%zu\n", p, r.closed.size());
  std::printf("%sclosed_rate=%.2f\n", p, r.closed_rate);
  std::printf("%sclosed_mean=%.4f\n", p, mean(r.closed));
  std::printf("%sclosed_p50=%.4f\n", p, percentile(r.closed, 50));
  std::printf("%sclosed_p99=%.4f\n", p, percentile(r.closed, 99));
  std::printf("%sopen_count=%zu\n", p, r.spaced.size());
  std::printf("%sopen_mean=%.4f\n", p, mean(r.spaced));
  std::printf("%sopen_p50=%.4f\n", p, percentile(r.spaced, 50));
  std::printf("%sopen_p99=%.4f\n", p, percentile(r.spaced, 99));
  std::printf("%sopen_min=%.4f\n", p, percentile(r.spaced, 0));
  std::printf("%sopen_max=%.4f\n", p, percentile(r.spaced, 100));
  std::printf("%serrors=%d\n", p, r.errors);
}

}  // namespace bench
