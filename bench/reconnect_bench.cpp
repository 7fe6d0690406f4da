// "reconnect": --count reconnects to the control port from the one address
// the daemon admits: each newcomer replaces the connection before it. All
// but the last are connect/close cycles (every other one sends a command
// and resets the connection); the last one sends a command, and its answer
// is timed from the moment that connection was made. The daemon's thread
// count (--pid) is compared before and after.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench/bench_main.h"
#include "bench/bench_util.h"

namespace bench {

int reconnect_bench(const options& opt) {
  std::string address = opt.get("address", "");
  int port = opt.get_int("port", 8102);
  int count = opt.get_int("count", 200);
  int pid = opt.get_int("pid", 0);
  std::string command = opt.get("command", "?P");
  std::string expect = opt.get("expect", "");
  std::string prefix = opt.get("prefix", "reconnect");
  const char* p = prefix.c_str();
  const std::string line = command + "\r";
  const int64_t limit = now_us() + 120 * 1000000LL;  // the cycles, at most
  auto threads = [pid]() {
    return pid > 0 ? status_value("/proc/" + std::to_string(pid) + "/status", "Threads") : -1;
  };

  // One answered command first: the daemon and the player are up.
  std::string reply;
  int fd = tcp_connect(address, port, 10000);
  bool ok = fd >= 0 && send_all(fd, line.data(), line.size()) && read_line(fd, &reply, 10000);
  long long threads_before = threads();
  if (fd >= 0) close(fd);
  if (!ok) {
    std::fprintf(stderr, "vbd-bench reconnect: no answer before the cycles\n");
    return 1;
  }
  // count - 1 cycles; every other one sends a command and resets the
  // connection, the rest close it at once. The last reconnect stays.
  int refused = 0;
  int64_t t0 = now_us();
  for (int i = 0; i + 1 < count && now_us() < limit; i++) {
    fd = tcp_connect(address, port, 1000);
    if (fd < 0) {
      refused++;  // a full accept queue drops the handshake
      continue;
    }
    if (i % 2 == 0) {
      send_all(fd, line.data(), line.size());
      linger reset{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close(fd);
  }
  int64_t last = 0;
  fd = -1;
  while (fd < 0 && now_us() < limit) {
    fd = tcp_connect(address, port, 1000);
    last = now_us();
  }
  if (fd < 0) {
    std::fprintf(stderr, "vbd-bench reconnect: the last connection failed\n");
    return 1;
  }
  bool answered = send_all(fd, line.data(), line.size()) && read_line(fd, &reply, 30000);
  int64_t answer = now_us();
  if (!answered) {
    std::fprintf(stderr, "vbd-bench reconnect: no answer on the last connection within 30 s\n");
    close(fd);
    return 1;
  }
  // The threads of the ended connections must be gone (1 s allowed).
  long long threads_after = threads();
  for (int i = 0; i < 100 && threads_after > threads_before; i++) {
    sleep_us(10000);
    threads_after = threads();
  }
  close(fd);
  std::printf("%s_count=%d\n", p, count);
  std::printf("%s_refused=%d\n", p, refused);
  std::printf("%s_cycles_ms=%.1f\n", p, static_cast<double>(last - t0) / 1000.0);
  std::printf("%s_answer_ms=%.1f\n", p, static_cast<double>(answer - last) / 1000.0);
  std::printf("%s_reply=%s\n", p, reply.c_str());
  std::printf("%s_reply_ok=%d\n", p, reply.rfind(expect, 0) == 0 ? 1 : 0);
  std::printf("%s_threads_before=%lld\n", p, threads_before);
  std::printf("%s_threads_after=%lld\n", p, threads_after);
  return 0;
}

}  // namespace bench
