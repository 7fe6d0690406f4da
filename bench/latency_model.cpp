// "model": the command latency that the polling design implies, by Monte
// Carlo over the poll phases. A command waits for the client thread's next
// read (a 10 ms poll), the exchange sends it and polls the reply channel at
// the backing-off schedule, the player picks it up at its own next poll and
// answers at once, and the receive thread (a 50 ms poll) re-posts the reply,
// which the exchange takes at its next poll. Processing time counts as 0.
#include <cstdio>
#include <random>
#include <vector>

#include "bench/bench_main.h"
#include "bench/bench_util.h"

namespace bench {

namespace {

// Times (ms after the send) at which the exchange tries the reply channel:
// waits of 10 ms after failed tries 0-10, 20 ms after 11-15, 50 ms after
// 16-20 and 100 ms after 21-60; 62 tries in all.
std::vector<double> exchange_poll_times() {
  std::vector<double> times;
  double t = 0;
  for (int counter = 0; counter <= 61; counter++) {
    times.push_back(t);
    t += counter <= 10 ? 10 : counter <= 15 ? 20 : counter <= 20 ? 50 : 100;
  }
  return times;
}

}  // namespace

int latency_model(const options& opt) {
  double client_poll = opt.get_double("client-poll", 10);
  double player_poll = opt.get_double("player-poll", 5);
  double recv_poll = opt.get_double("recv-poll", 50);
  int runs = opt.get_int("runs", 1000000);

  std::vector<double> polls = exchange_poll_times();
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> open;
  std::vector<double> closed;
  open.reserve(static_cast<size_t>(runs));
  closed.reserve(static_cast<size_t>(runs));
  for (int i = 0; i < runs; i++) {
    double arrival = player_poll * unit(rng) + recv_poll * unit(rng);
    double taken = polls.back();
    for (double t : polls) {
      if (t >= arrival) {
        taken = t;
        break;
      }
    }
    // An independent command meets the client thread at a random point of
    // its 10 ms sleep; in a closed loop the thread has just gone to sleep
    // after sending the previous reply, so the whole period is waited.
    open.push_back(client_poll * unit(rng) + taken);
    closed.push_back(client_poll + taken);
  }
  double closed_mean = mean(closed);
  std::printf("model_open_mean=%.2f\n", mean(open));
  std::printf("model_open_p50=%.2f\n", percentile(open, 50));
  std::printf("model_open_p99=%.2f\n", percentile(open, 99));
  std::printf("model_closed_p50=%.2f\n", percentile(closed, 50));
  std::printf("model_closed_p99=%.2f\n", percentile(closed, 99));
  std::printf("model_closed_rate=%.2f\n", 1000.0 / closed_mean);
  return 0;
}

}  // namespace bench
