// "stats": resident memory, thread count and the CPU share of one core that
// a running process uses over a window (summed over its threads' run times).
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/bench_main.h"
#include "bench/bench_util.h"

namespace bench {

namespace {

// Run time of all current threads of the process, in nanoseconds.
long long run_time_ns(int pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  long long total = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream in(dir + "/" + e->d_name + "/schedstat");
      long long ns = 0;
      if (in >> ns) total += ns;
    }
    closedir(d);
  }
  return total;
}

// A "Name:  value" line of /proc/PID/status as a number (kB for memory).
long status_value(int pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
  }
  return -1;
}

}  // namespace

int process_stats(const options& opt) {
  int pid = opt.get_int("pid", 0);
  int seconds = opt.get_int("seconds", 0);
  std::string prefix = opt.get("prefix", "stats");
  if (pid <= 0) return 2;
  if (seconds > 0) {
    long long cpu0 = run_time_ns(pid);
    int64_t t0 = now_us();
    sleep_us(static_cast<int64_t>(seconds) * 1000000);
    long long cpu1 = run_time_ns(pid);
    double wall_ns = static_cast<double>(now_us() - t0) * 1000.0;
    std::printf("%s_cpu_percent=%.3f\n", prefix.c_str(),
                100.0 * static_cast<double>(cpu1 - cpu0) / wall_ns);
  }
  std::printf("%s_rss_kib=%ld\n", prefix.c_str(), status_value(pid, "VmRSS"));
  std::printf("%s_vsz_kib=%ld\n", prefix.c_str(), status_value(pid, "VmSize"));
  std::printf("%s_threads=%ld\n", prefix.c_str(), status_value(pid, "Threads"));
  return 0;
}

}  // namespace bench
