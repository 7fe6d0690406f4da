// "cmd": command round trips through the control port. A closed loop gives
// the rate one client reaches; single commands sent after a random pause
// give the latency distribution (the pause spreads each command uniformly
// over the phases of the daemon's polling threads, as independent commands
// from a remote would be).
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/bench_util.h"

namespace bench {

namespace {

// One command and its reply line; the reply's latency in ms, or -1.
double round_trip(int fd, const std::string& command, std::string* reply) {
  std::string line = command + "\r";
  int64_t start = now_us();
  if (!send_all(fd, line.data(), line.size())) return -1;
  std::string got;
  char buffer[256];
  while (got.find("\r\n") == std::string::npos) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      std::fprintf(stderr, "vbd-bench cmd: %s after %.0f ms waiting for the reply to %s\n",
                   n == 0 ? "connection closed" : std::strerror(errno),
                   static_cast<double>(now_us() - start) / 1000.0, command.c_str());
      return -1;
    }
    got.append(buffer, static_cast<size_t>(n));
  }
  double ms = static_cast<double>(now_us() - start) / 1000.0;
  if (reply) *reply = got.substr(0, got.find("\r\n"));
  return ms;
}

}  // namespace

int command_bench(const options& opt) {
  std::string address = opt.get("address", "");
  int port = opt.get_int("port", 8102);
  std::string command = opt.get("command", "?P");
  int seconds = opt.get_int("seconds", 10);
  int samples = opt.get_int("samples", 1000);
  int max_gap_ms = opt.get_int("max-gap-ms", 100);

  int fd = tcp_connect(address, port);
  if (fd < 0) {
    std::fprintf(stderr, "vbd-bench cmd: cannot connect to %s:%d\n", address.c_str(), port);
    return 1;
  }
  std::string reply;
  int errors = 0;
  for (int i = 0; i < 10; i++) {  // warm-up
    if (round_trip(fd, command, &reply) < 0) errors++;
  }

  // Closed loop: the next command leaves as soon as the reply is in.
  std::vector<double> closed;
  int64_t end = now_us() + static_cast<int64_t>(seconds) * 1000000;
  int64_t begin = now_us();
  while (now_us() < end) {
    double ms = round_trip(fd, command, nullptr);
    if (ms < 0) {
      errors++;
      break;
    }
    closed.push_back(ms);
  }
  double elapsed_s = static_cast<double>(now_us() - begin) / 1e6;
  double rate = static_cast<double>(closed.size()) / elapsed_s;

  // Open loop: a random pause before every command.
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> gap(0, max_gap_ms * 1000);
  std::vector<double> latency;
  for (int i = 0; i < samples; i++) {
    sleep_us(gap(rng));
    double ms = round_trip(fd, command, nullptr);
    if (ms < 0) {
      errors++;
      break;
    }
    latency.push_back(ms);
  }
  close(fd);

  std::printf("reply=%s\n", reply.c_str());
  std::printf("closed_count=%zu\n", closed.size());
  std::printf("closed_rate=%.2f\n", rate);
  std::printf("closed_p50=%.2f\n", percentile(closed, 50));
  std::printf("closed_p99=%.2f\n", percentile(closed, 99));
  std::printf("open_count=%zu\n", latency.size());
  std::printf("open_mean=%.2f\n", mean(latency));
  std::printf("open_p50=%.2f\n", percentile(latency, 50));
  std::printf("open_p99=%.2f\n", percentile(latency, 99));
  std::printf("open_min=%.2f\n", percentile(latency, 0));
  std::printf("open_max=%.2f\n", percentile(latency, 100));
  std::printf("errors=%d\n", errors);
  return errors == 0 ? 0 : 1;
}

}  // namespace bench
