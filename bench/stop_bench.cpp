// "stop": SIGINT to exit while clients are connected. Each run starts the
// daemon (in the network namespace --netns, by setns before the exec; this
// process stays in its own, the clients' one), connects one control client
// and one keep-alive HTTP client that has fetched the description, and
// then, with --mode waiting, sends a command that the silent player never
// answers, so that the client's thread waits in the exchange. SIGINT then,
// and the time until the process has exited. The daemon's ssdp:byebye
// messages that reached the client side are counted, so that a stop that
// skips or cuts short its byebye pass shows.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/bench_util.h"

namespace bench {

namespace {

pid_t start_daemon(const std::string& program, const std::string& netns, const std::string& dir,
                   const std::string& log, int port) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (!netns.empty()) {
    int ns = open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) _exit(126);
    close(ns);
  }
  if (chdir(dir.c_str()) != 0) _exit(127);
  FILE* out = std::freopen(log.c_str(), "a", stdout);
  FILE* err = std::freopen(log.c_str(), "a", stderr);
  if (!out || !err) _exit(127);
  execl(program.c_str(), program.c_str(), std::to_string(port).c_str(), static_cast<char*>(nullptr));
  _exit(127);
}

void end_daemon(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace

int stop_bench(const options& opt) {
  std::string program = opt.get("program", "");
  std::string netns = opt.get("netns", "");
  std::string dir = opt.get("dir", ".");
  std::string log = opt.get("log", "/dev/null");
  std::string address = opt.get("address", "");
  std::string local = opt.get("local", "");
  int port = opt.get_int("port", 8102);
  int http_port = opt.get_int("http-port", 38400);
  int runs = opt.get_int("runs", 5);
  std::string mode = opt.get("mode", "idle");
  std::string command = opt.get("command", "?P") + "\r";
  int settle_ms = opt.get_int("settle-ms", 1000);
  int waiting_ms = opt.get_int("waiting-ms", 300);
  std::string prefix = opt.get("prefix", "stop");
  if (mode != "idle" && mode != "waiting") return 2;

  std::vector<double> stop_ms;
  std::vector<int> byebyes;
  int clean_exits = 0;
  for (int run = 0; run < runs; run++) {
    int watcher = ssdp_watch_open(local);
    if (watcher < 0) {
      std::fprintf(stderr, "vbd-bench stop: cannot watch SSDP on %s\n", local.c_str());
      return 1;
    }
    pid_t pid = start_daemon(program, netns, dir, log, port);
    if (pid < 0) return 1;
    const char* failure = nullptr;
    int control = connect_when_up(address, port, 20000);
    int http = control >= 0 ? connect_when_up(address, http_port, 5000) : -1;
    if (control < 0 || http < 0) {
      failure = "the ports never accepted";
    } else if (!http_get_keepalive(http, address + ":" + std::to_string(http_port),
                                   "/description.xml", nullptr)) {
      failure = "no description";
    }
    if (!failure) {
      // The start's byebye and announcement passes are over by then.
      sleep_us(static_cast<int64_t>(settle_ms) * 1000);
      if (mode == "waiting") {
        std::string line;
        if (!send_all(control, command.data(), command.size())) {
          failure = "the command could not be sent";
        } else if (read_line(control, &line, waiting_ms)) {
          failure = "the command was answered: the player is not silent";
        }
      }
    }
    if (failure) {
      std::fprintf(stderr, "vbd-bench stop: run %d: %s\n", run, failure);
      end_daemon(pid);
      return 1;
    }
    ssdp_watch_count(watcher, "", "", 0);  // what came before the stop
    int64_t t0 = now_us();
    kill(pid, SIGINT);
    int status = wait_exit(pid, 30000);
    double ms = static_cast<double>(now_us() - t0) / 1000.0;
    if (status == -1) {
      std::fprintf(stderr, "vbd-bench stop: run %d: no exit within 30 s of SIGINT\n", run);
      end_daemon(pid);
      return 1;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) clean_exits++;
    byebyes.push_back(ssdp_watch_count(watcher, address, "ssdp:byebye", 300));
    stop_ms.push_back(ms);
    close(control);
    close(http);
    close(watcher);
  }
  std::printf("%s_runs=%d\n", prefix.c_str(), runs);
  std::printf("%s_mean=%.1f\n", prefix.c_str(), mean(stop_ms));
  std::printf("%s_min=%.1f\n", prefix.c_str(), percentile(stop_ms, 0));
  std::printf("%s_max=%.1f\n", prefix.c_str(), percentile(stop_ms, 100));
  std::printf("%s_byebye_min=%d\n", prefix.c_str(), *std::min_element(byebyes.begin(), byebyes.end()));
  std::printf("%s_byebye_max=%d\n", prefix.c_str(), *std::max_element(byebyes.begin(), byebyes.end()));
  std::printf("%s_clean_exits=%d\n", prefix.c_str(), clean_exits);
  return 0;
}

}  // namespace bench
