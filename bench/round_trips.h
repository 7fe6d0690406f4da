// The two client procedures that every round-trip figure uses, the
// daemon's command path and its floor alike, so that their numbers compare.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace bench {

struct round_trip_plan {
  int warmup = 10;       // round trips before anything is recorded
  int seconds = 10;      // length of the closed loop
  int samples = 1000;    // spaced round trips
  int max_gap_ms = 100;  // each spaced round trip follows a pause of 0..max_gap_ms
};

struct round_trip_result {
  std::vector<double> closed;  // ms, back to back
  double closed_rate = 0;      // round trips per second in the closed loop
  std::vector<double> spaced;  // ms, each after a random pause
  int errors = 0;
};

// `once` makes one round trip and returns its time in ms, or a negative
// number on failure (which ends the procedure it happened in). First a
// closed loop for plan.seconds (the next one leaves as soon as the last
// returned), then plan.samples round trips each after a uniform random pause
// of 0..max_gap_ms: the pause lets every sample meet the machine and the
// threads in an idle state, as independent commands from a remote would.
round_trip_result run_round_trips(const std::function<double()>& once, const round_trip_plan& plan);

// Prints PREFIXclosed_count, _rate, _mean, _p50, _p99 and PREFIXopen_count,
// _mean, _p50, _p99, _min, _max ("open" is the spaced procedure), and
// PREFIXerrors.
void print_round_trips(const std::string& prefix, round_trip_result& result);

}  // namespace bench
