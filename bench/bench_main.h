// The subcommands of vbd-bench; each prints "name=value" lines on standard
// output for bench/run and returns the exit status.
#pragma once

#include "bench/bench_util.h"

namespace bench {

int command_bench(const options& opt);    // cmd: command rate and latency
int echo_server(const options& opt);      // echo-server: the TCP half of the round-trip floor
int queue_floor(const options& opt);      // queue: the message-queue half of the floor
int discovery_bench(const options& opt);  // search: M-SEARCH to last response
int notify_flood(const options& opt);     // notify: foreign NOTIFY traffic at a steady rate
int startup_bench(const options& opt);    // startup: start to control port accepting
int stop_bench(const options& opt);       // stop: SIGINT to exit with clients connected
int reconnect_bench(const options& opt);  // reconnect: many reconnects, then a command
int connection_hold(const options& opt);  // hold: keep control and HTTP connections open
int http_get(const options& opt);         // get: one GET, body to standard output
int process_stats(const options& opt);    // stats: memory, threads, CPU share, wake-ups
int wake_cost(const options& opt);        // wake-cost: CPU time of one bare wake-up

}  // namespace bench
