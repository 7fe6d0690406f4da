// "model": the command latency that the polling design implies, with zero
// processing time, for the same two client procedures that "cmd" runs.
//
// The daemon's threads and the player poll at fixed periods: the client
// thread reads its socket and sleeps 10 ms when nothing came (so after
// sending a reply it next reads 10 ms later), the exchange sends the command
// and tries the reply channel at the backing-off schedule, the player takes
// the command at its own next poll and answers at once, and the receive
// thread (50 ms) re-posts the answer, which the exchange takes at its next
// try. The client thread's phase follows the last reply.
//
// Spaced commands: with no processing time every poll would stay on one
// 10 ms lattice forever, while in the daemon each sleep overshoots and each
// step takes time, so the phases of the player and the receive thread
// against the client thread drift apart between two spaced commands. They
// are drawn afresh for every spaced command. In a closed loop they run
// freely, and the loop locks onto the receive thread's period.
#include <cmath>
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

// The first tick of a poll with this period and phase at or after t.
double next_tick(double t, double period, double phase) {
  return phase + std::ceil((t - phase) / period) * period;
}

struct design {
  double client_poll, player_poll, recv_poll;
  std::vector<double> exchange;
};

// Runs `count` commands; gap_ms(rng) is the pause between a reply and the
// next command (0 for a closed loop). Returns the latencies.
template <typename Gap>
std::vector<double> simulate(const design& d, int count, std::mt19937_64& rng, Gap gap_ms,
                             bool redraw_phases) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  double player_phase = d.player_poll * unit(rng);
  double recv_phase = d.recv_poll * unit(rng);
  double last_reply = 1000.0 * unit(rng);
  std::vector<double> latency;
  latency.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; i++) {
    if (redraw_phases) {
      player_phase = d.player_poll * unit(rng);
      recv_phase = d.recv_poll * unit(rng);
    }
    double sent = last_reply + gap_ms(rng);
    // The client thread's reads after the reply: last_reply + 10, + 20, ...
    double periods = std::max(1.0, std::ceil((sent - last_reply) / d.client_poll));
    double read = last_reply + periods * d.client_poll;
    double taken_by_player = next_tick(read, d.player_poll, player_phase);
    double reposted = next_tick(taken_by_player, d.recv_poll, recv_phase);
    double reply = read + d.exchange.back();
    for (double t : d.exchange) {
      if (read + t >= reposted) {
        reply = read + t;
        break;
      }
    }
    latency.push_back(reply - sent);
    last_reply = reply;
  }
  return latency;
}

}  // namespace

int latency_model(const options& opt) {
  design d{opt.get_double("client-poll", 10), opt.get_double("player-poll", 5),
           opt.get_double("recv-poll", 50), exchange_poll_times()};
  int count = opt.get_int("runs", 1000000);
  double max_gap = opt.get_double("max-gap-ms", 100);

  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> gap(0.0, max_gap);
  std::vector<double> open = simulate(d, count, rng, [&](std::mt19937_64& r) { return gap(r); }, true);
  std::vector<double> closed = simulate(d, count, rng, [](std::mt19937_64&) { return 0.0; }, false);
  std::printf("model_open_mean=%.2f\n", mean(open));
  std::printf("model_open_p50=%.2f\n", percentile(open, 50));
  std::printf("model_open_p99=%.2f\n", percentile(open, 99));
  std::printf("model_closed_p50=%.2f\n", percentile(closed, 50));
  std::printf("model_closed_p99=%.2f\n", percentile(closed, 99));
  std::printf("model_closed_rate=%.2f\n", 1000.0 / mean(closed));
  return 0;
}

}  // namespace bench
