// "stats": resident memory, thread count, and over a window the CPU share of
// one core that a running process uses (its threads' run times summed) and
// its wake-ups per second.
//
// A wake-up is counted from each thread's voluntary context switches
// (/proc/PID/task/TID/status): every time a thread blocks (poll, a timed
// wait, msgrcv, a sleep) it gives up the CPU once, and it runs again only
// when woken. Preemptions (the involuntary switches) are printed apart.
//
// With --watch-ssdp LOCAL --from ADDRESS the window is also watched for the
// daemon's own SSDP multicast (received on the interface that has LOCAL):
// a window in which ADDRESS announced is thrown away and measured again
// (at most --tries windows), so the idle figure leaves out the advertiser's
// announcement passes, which repeat 450 to 900 s apart.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/bench_util.h"

namespace bench {

namespace {

struct thread_counters {
  long long run_ns = 0;
  long long voluntary = 0;
  long long involuntary = 0;
};

// Every current thread of the process, by thread id.
std::map<long, thread_counters> snapshot(int pid) {
  std::map<long, thread_counters> threads;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string task = dir + "/" + e->d_name;
      thread_counters c;
      std::ifstream sched(task + "/schedstat");
      if (!(sched >> c.run_ns)) continue;  // the thread has just ended
      c.voluntary = status_value(task + "/status", "voluntary_ctxt_switches");
      c.involuntary = status_value(task + "/status", "nonvoluntary_ctxt_switches");
      if (c.voluntary < 0 || c.involuntary < 0) continue;
      threads[std::atol(e->d_name)] = c;
    }
    closedir(d);
  }
  return threads;
}

struct window_result {
  double seconds = 0;
  long long run_ns = 0, voluntary = 0, involuntary = 0;
  std::vector<long long> per_thread;  // wake-ups of each thread, largest first
  int threads_gone = 0;               // ended during the window: not counted
};

// The counters' growth over the window. A thread that began during the
// window counts from zero; one that ended is missed and reported.
window_result measure(int pid, int seconds) {
  window_result w;
  std::map<long, thread_counters> before = snapshot(pid);
  int64_t t0 = now_us();
  sleep_us(static_cast<int64_t>(seconds) * 1000000);
  std::map<long, thread_counters> after = snapshot(pid);
  w.seconds = static_cast<double>(now_us() - t0) / 1e6;
  for (const auto& [tid, end] : after) {
    thread_counters start;
    if (auto it = before.find(tid); it != before.end()) start = it->second;
    w.run_ns += end.run_ns - start.run_ns;
    w.voluntary += end.voluntary - start.voluntary;
    w.involuntary += end.involuntary - start.involuntary;
    w.per_thread.push_back(end.voluntary - start.voluntary);
  }
  for (const auto& entry : before) {
    if (!after.count(entry.first)) w.threads_gone++;
  }
  std::sort(w.per_thread.begin(), w.per_thread.end(), std::greater<>());
  return w;
}

}  // namespace

int process_stats(const options& opt) {
  int pid = opt.get_int("pid", 0);
  int seconds = opt.get_int("seconds", 0);
  std::string prefix = opt.get("prefix", "stats");
  std::string watch_local = opt.get("watch-ssdp", "");
  std::string watch_from = opt.get("from", "");
  int tries = std::max(1, opt.get_int("tries", 3));
  if (pid <= 0) return 2;
  const char* p = prefix.c_str();
  if (seconds > 0) {
    int watcher = -1;
    if (!watch_local.empty()) {
      watcher = ssdp_watch_open(watch_local);
      if (watcher < 0) {
        std::fprintf(stderr, "vbd-bench stats: cannot watch SSDP on %s\n", watch_local.c_str());
        return 1;
      }
    }
    window_result w;
    int announced = 0, attempt = 0;
    do {
      if (watcher >= 0) ssdp_watch_count(watcher, "", "", 0);  // drop what came before
      w = measure(pid, seconds);
      announced = watcher >= 0 ? ssdp_watch_count(watcher, watch_from, "NOTIFY", 0) : 0;
      attempt++;
    } while (announced > 0 && attempt < tries);
    if (watcher >= 0) close(watcher);
    std::printf("%s_cpu_percent=%.3f\n", p, 100.0 * static_cast<double>(w.run_ns) / (w.seconds * 1e9));
    std::printf("%s_wakes_per_s=%.2f\n", p, static_cast<double>(w.voluntary) / w.seconds);
    std::printf("%s_preempt_per_s=%.2f\n", p, static_cast<double>(w.involuntary) / w.seconds);
    std::printf("%s_wakes_by_thread=", p);
    for (size_t i = 0; i < w.per_thread.size(); i++) std::printf(i ? " %lld" : "%lld", w.per_thread[i]);
    std::printf("\n");
    std::printf("%s_window_s=%.2f\n", p, w.seconds);
    std::printf("%s_threads_gone=%d\n", p, w.threads_gone);
    if (watcher >= 0) {
      std::printf("%s_windows=%d\n", p, attempt);
      std::printf("%s_announcements=%d\n", p, announced);
    }
  }
  std::string status = "/proc/" + std::to_string(pid) + "/status";
  std::printf("%s_rss_kib=%lld\n", p, status_value(status, "VmRSS"));
  std::printf("%s_vsz_kib=%lld\n", p, status_value(status, "VmSize"));
  std::printf("%s_threads=%lld\n", p, status_value(status, "Threads"));
  return 0;
}

}  // namespace bench
