// The hostile-test environment: the daemon in its own namespace of a veth
// link with its output in files, resource readings from /proc, and the
// bounds and health checks every hostile test ends with.
#include "tests/hostile/hostile_env.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace vbd_hostile {

using vbd_test::read_file;

bool sanitized_build() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

usage usage_of(pid_t pid) {
  usage u;
  std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  std::istringstream lines(status);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("VmRSS:", 0) == 0) u.rss_kb = std::atol(line.c_str() + 6);
    if (line.rfind("Threads:", 0) == 0) u.threads = std::atoi(line.c_str() + 8);
  }
  std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* dir = opendir(fd_dir.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') u.fds++;
    }
    closedir(dir);
  }
  return u;
}

bool udp_port_bound(pid_t pid, int port) {
  // Local addresses are "HEXADDR:HEXPORT" in the process's network namespace.
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X ", static_cast<unsigned>(port));
  return read_file("/proc/" + std::to_string(pid) + "/net/udp").find(wanted) != std::string::npos;
}

long long udp_datagrams_received(pid_t pid) {
  std::istringstream lines(read_file("/proc/" + std::to_string(pid) + "/net/snmp"));
  std::string names, values;
  while (std::getline(lines, names) && std::getline(lines, values)) {
    if (names.rfind("Udp:", 0) != 0) continue;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value) {
      if (name == "InDatagrams") return std::atoll(value.c_str());
    }
  }
  return -1;
}

// ---------------------------------------------------------------------------
// daemon_env
// ---------------------------------------------------------------------------

daemon_env::~daemon_env() {
  daemon_.reset();  // SIGKILL and reap when still running
  link_.reset();
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

std::string daemon_env::enter() {
  std::string failed = vbd_test::enter_private_namespaces(true);
  if (!failed.empty()) return failed;
  vbd_test::link_options options;
  options.client_in_caller = true;
  options.second_client = true;
  options.foreign = true;
  link_ = std::make_unique<vbd_test::veth_link>(options);
  if (!link_->ok()) return link_->error();
  dir_ = vbd_test::make_work_dir();
  if (dir_.empty()) return "mkdtemp";
  return vbd_test::copy_description(dir_);
}

bool daemon_env::start_daemon(const std::vector<std::string>& wrapper, int ready_ms) {
  return launch_daemon(wrapper) && wait_ready(ready_ms);
}

bool daemon_env::launch_daemon(const std::vector<std::string>& wrapper) {
  vbd_test::launch_options options;
  options.netns = netns();
  options.cwd = dir_;
  options.wrapper = wrapper;
  options.output_files = "daemon";
  daemon_ = vbd_test::launch(vbd_test::server_path(), {std::to_string(kControlPort)}, options);
  return daemon_ != nullptr;
}

bool daemon_env::wait_ready(int ready_ms) {
  if (!daemon_) return false;
  // Ready when the control port answers and, with a description, once
  // discovery (which starts after the control port opens) has its SSDP
  // socket: the description server opened just before it. Where the SSDP
  // socket cannot open at all (joining a group fails under qemu-user), a
  // description served for a while will do.
  constexpr int kSsdpOpenMs = 2000;
  long long deadline = now_ms() + ready_ms;
  long long served_at = 0;
  bool control = false;
  bool discovery = !std::filesystem::exists(dir_ + "/description.xml");
  while (now_ms() < deadline) {
    if (!control) {
      int fd = tcp_connect(client_address(), device_address(), kControlPort, 500);
      if (fd >= 0) {
        close(fd);
        control = true;
      }
    }
    if (control && !discovery) {
      if (served_at == 0 && fetch_description(client_address(), device_address(), 500).rfind("HTTP/1.1 200 OK\r\n", 0) == 0) {
        served_at = now_ms();
      }
      discovery = udp_port_bound(daemon_->pid(), kSsdpPort) || (served_at != 0 && now_ms() - served_at >= kSsdpOpenMs);
    }
    if (control && discovery) return true;
    if (daemon_->wait_exit(0)) return false;
    sleep_ms(50);
  }
  return false;
}

std::string daemon_env::out() const { return read_file(dir_ + "/daemon.out"); }
std::string daemon_env::err() const { return read_file(dir_ + "/daemon.err"); }

bool daemon_env::wait_out(std::string_view text, int timeout_ms, int count) const {
  return vbd_test::wait_until([&] { return vbd_test::count_of(out(), text) >= static_cast<size_t>(count); },
                              timeout_ms, 20);
}

std::string daemon_env::check_alive() {
  if (!daemon_ || daemon_->wait_exit(0)) return "the daemon has ended";
  int fd = tcp_connect(client_address(), device_address(), kControlPort);
  if (fd < 0) return "control port refused the legitimate client";
  std::string reply = control_ask(fd, "?E");
  close(fd);
  if (reply.size() < 3 || reply.substr(reply.size() - 2) != "\r\n") {
    return "no reply to ?E (got \"" + reply + "\")";
  }
  std::string response = fetch_description(client_address(), device_address());
  if (response.rfind("HTTP/1.1 200 OK\r\n", 0) != 0 || response.find("</root>") == std::string::npos) {
    return "description not served (got \"" + response.substr(0, 200) + "\")";
  }
  return "";
}

std::string daemon_env::check_bounds(const usage& baseline) {
  if (!daemon_) return "no daemon";
  usage now = usage_of(pid());
  long long deadline = now_ms() + kSettleMs;
  while (now.threads > baseline.threads + kThreadSlack || now.fds > baseline.fds + kFdSlack) {
    if (now_ms() >= deadline) break;
    sleep_ms(50);
    now = usage_of(pid());
  }
  std::string over;
  if (now.threads > baseline.threads + kThreadSlack) {
    over += "threads " + std::to_string(now.threads) + " (baseline " + std::to_string(baseline.threads) + ") ";
  }
  if (now.fds > baseline.fds + kFdSlack) {
    over += "descriptors " + std::to_string(now.fds) + " (baseline " + std::to_string(baseline.fds) + ") ";
  }
  if (!sanitized_build() && now.rss_kb > baseline.rss_kb + kRssGrowthBoundKb) {
    over += "resident " + std::to_string(now.rss_kb) + " kB (baseline " + std::to_string(baseline.rss_kb) +
            " kB) ";
  }
  return over;
}

std::string daemon_env::stop(int timeout_ms) {
  if (!daemon_) return "no daemon";
  daemon_->signal(SIGINT);
  int status = 0;
  if (!daemon_->wait_exit(timeout_ms, &status)) {
    return "no exit within " + std::to_string(timeout_ms) + " ms of SIGINT";
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "exit status " + std::to_string(status) + "\n" + err().substr(0, 4000);
  }
  return "";
}

// ---------------------------------------------------------------------------
// Clients
// ---------------------------------------------------------------------------

std::string control_ask(int fd, std::string_view request, int timeout_ms) {
  std::string line(request);
  line += '\r';
  if (!send_all(fd, line)) return "";
  return read_until(fd, "\r\n", timeout_ms);
}

}  // namespace vbd_hostile

// ---------------------------------------------------------------------------
// hostile_test
// ---------------------------------------------------------------------------

namespace vbd_hostile {

void hostile_test::SetUp() {
  ASSERT_EQ(env_.enter(), "");
  ASSERT_TRUE(env_.start_daemon()) << env_.out() << env_.err();
  // One round of every service first, so that the baseline includes what
  // the first use allocates once.
  ASSERT_EQ(env_.check_alive(), "") << env_.err();
  ASSERT_EQ(env_.check_alive(), "") << env_.err();
  sleep_ms(200);
  baseline_ = usage_of(env_.pid());
}

bool hostile_test::start_player(const std::vector<std::string>& args) {
  vbd_test::launch_options options;
  options.cwd = env_.dir();
  options.output_files = "player";
  player_ = vbd_test::launch(vbd_test::sim_path(), args, options);
  return player_ != nullptr;
}

void hostile_test::finish() {
  if (HasFatalFailure()) return;
  EXPECT_EQ(env_.check_alive(), "") << env_.err().substr(0, 4000);
  EXPECT_EQ(env_.check_bounds(baseline_), "");
  usage now = usage_of(env_.pid());
  RecordProperty("rss_growth_kb", std::to_string(now.rss_kb - baseline_.rss_kb));
  long long start = now_ms();
  EXPECT_EQ(env_.stop(kStopBoundMs), "");
  RecordProperty("stop_ms", std::to_string(now_ms() - start));
}

}  // namespace vbd_hostile
