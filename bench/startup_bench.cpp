// "startup": starts the daemon (this process's own namespaces, the given
// working directory), times how long until its control port accepts a
// connection, then stops it with SIGINT and times the stop as well.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/bench_util.h"

namespace bench {

int startup_bench(const options& opt) {
  std::string program = opt.get("program", "");
  std::string dir = opt.get("dir", ".");
  std::string address = opt.get("address", "");
  std::string log = opt.get("log", "/dev/null");
  int port = opt.get_int("port", 8102);
  int runs = opt.get_int("runs", 5);
  std::string prefix = opt.get("prefix", "startup");

  std::vector<double> start_ms, stop_ms;
  for (int run = 0; run < runs; run++) {
    int64_t t0 = now_us();
    pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
      if (chdir(dir.c_str()) != 0) _exit(127);
      FILE* out = std::freopen(log.c_str(), "a", stdout);
      FILE* err = std::freopen(log.c_str(), "a", stderr);
      if (!out || !err) _exit(127);
      execl(program.c_str(), program.c_str(), std::to_string(port).c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int fd = connect_when_up(address, port, 20000);
    double started = static_cast<double>(now_us() - t0) / 1000.0;
    if (fd >= 0) close(fd);
    int64_t t1 = now_us();
    kill(pid, SIGINT);
    bool ended = wait_exit(pid, 60000) != -1;
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (fd < 0 || !ended) {
      std::fprintf(stderr, "vbd-bench startup: run %d failed (%s)\n", run,
                   fd < 0 ? "port never accepted" : "no exit after SIGINT");
      return 1;
    }
    start_ms.push_back(started);
    stop_ms.push_back(static_cast<double>(now_us() - t1) / 1000.0);
  }
  std::printf("%s_runs=%d\n", prefix.c_str(), runs);
  std::printf("%s_mean=%.1f\n", prefix.c_str(), mean(start_ms));
  std::printf("%s_min=%.1f\n", prefix.c_str(), percentile(start_ms, 0));
  std::printf("%s_max=%.1f\n", prefix.c_str(), percentile(start_ms, 100));
  std::printf("%s_stop_mean=%.1f\n", prefix.c_str(), mean(stop_ms));
  return 0;
}

}  // namespace bench
