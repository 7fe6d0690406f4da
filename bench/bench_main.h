// The subcommands of vbd-bench; each prints "name=value" lines on standard
// output for bench/run and returns the exit status.
#pragma once

#include "bench/bench_util.h"

namespace bench {

int command_bench(const options& opt);    // cmd: command rate and latency
int latency_model(const options& opt);    // model: latency the polling design implies
int discovery_bench(const options& opt);  // search: M-SEARCH to last response
int notify_flood(const options& opt);     // notify: foreign NOTIFY traffic at a steady rate
int startup_bench(const options& opt);    // startup: start to control port accepting
int connection_hold(const options& opt);  // hold: keep control and HTTP connections open
int http_get(const options& opt);         // get: one GET, body to standard output
int process_stats(const options& opt);    // stats: memory, threads, CPU share of a process
int wake_floor(const options& opt);       // floor: CPU time of one bare poll wake-up

}  // namespace bench
