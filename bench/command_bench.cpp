// "cmd": command round trips through the control port (or through the
// floor's echo server, which answers a line the same way): a closed loop for
// the rate one client reaches, then single commands after random pauses for
// the latency distribution. Both procedures are in round_trips.h.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench/bench_main.h"
#include "bench/bench_util.h"
#include "bench/round_trips.h"

namespace bench {

int command_bench(const options& opt) {
  std::string address = opt.get("address", "");
  int port = opt.get_int("port", 8102);
  std::string command = opt.get("command", "?P");
  // Replies that do not begin with this are counted (an "E04" after the
  // exchange gave up is a fault, not a sample of the command path).
  std::string expect = opt.get("expect", "");
  std::string prefix = opt.get("prefix", "");
  round_trip_plan plan;
  plan.seconds = opt.get_int("seconds", 10);
  plan.samples = opt.get_int("samples", 1000);
  plan.max_gap_ms = opt.get_int("max-gap-ms", 100);

  int fd = tcp_connect(address, port, 5000);
  if (fd < 0) {
    std::fprintf(stderr, "vbd-bench cmd: cannot connect to %s:%d\n", address.c_str(), port);
    return 1;
  }
  const std::string line = command + "\r";
  std::string reply, first_reply;
  int unexpected = 0;
  auto once = [&]() -> double {
    int64_t start = now_us();
    if (!send_all(fd, line.data(), line.size()) || !read_line(fd, &reply, 30000)) {
      std::fprintf(stderr, "vbd-bench cmd: no reply to %s within %.0f ms\n", command.c_str(),
                   static_cast<double>(now_us() - start) / 1000.0);
      return -1;
    }
    double ms = static_cast<double>(now_us() - start) / 1000.0;
    if (first_reply.empty()) first_reply = reply;
    if (reply.rfind(expect, 0) != 0) {
      if (unexpected++ == 0) std::fprintf(stderr, "vbd-bench cmd: unexpected reply \"%s\"\n", reply.c_str());
    }
    return ms;
  };
  round_trip_result result = run_round_trips(once, plan);
  close(fd);

  std::printf("%sreply=%s\n", prefix.c_str(), first_reply.c_str());
  std::printf("%sunexpected=%d\n", prefix.c_str(), unexpected);
  print_round_trips(prefix, result);
  return result.errors == 0 ? 0 : 1;
}

}  // namespace bench
