// The hostile-test environment: namespaces and veth link, the daemon in its
// own namespace with output in files, resource readings from /proc, and
// plain socket clients.
#include "tests/hostile/hostile_env.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vbd_hostile {

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool to_sockaddr(const std::string& address, int port, sockaddr_in* out) {
  *out = {};
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<uint16_t>(port));
  return inet_pton(AF_INET, address.c_str(), &out->sin_addr) == 1;
}

int unique_index() {
  static int counter = 0;
  return counter++;
}

}  // namespace

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

daemon_env::daemon_env() {
  int x = 20 + static_cast<int>(getpid() % 200);
  std::string net = "10.77." + std::to_string(x) + ".";
  device_ = net + "1";
  client_ = net + "2";
  other_ = net + "3";
  foreign_ = "10.77." + std::to_string(x + 1) + ".2";
  netns_ = "vbdh-" + std::to_string(getpid()) + "-" + std::to_string(unique_index());
}

daemon_env::~daemon_env() {
  daemon_.reset();  // SIGKILL and reap when still running
  if (netns_made_) run("ip netns del " + netns_);
  if (!dir_.empty()) run("rm -rf '" + dir_ + "'");
}

std::string daemon_env::run(const std::string& command) {
  std::string quiet = command + " >/dev/null 2>&1";
  return std::system(quiet.c_str()) == 0 ? "" : command;
}

std::string daemon_env::enter() {
  std::string failed = vbd_test::enter_private_namespaces(true);
  if (!failed.empty()) return failed;
  std::string net_other = foreign_.substr(0, foreign_.rfind('.'));
  const std::string ns = netns_;
  if (std::string f = run("ip netns add " + ns); !f.empty()) return f;
  netns_made_ = true;
  const std::vector<std::string> steps = {
      "ip link add hv1 type veth peer name hv0",
      "ip link set hv0 netns " + ns,
      "ip -n " + ns + " link set lo up",
      "ip -n " + ns + " addr add " + device_ + "/24 dev hv0",
      "ip -n " + ns + " link set hv0 up",
      "ip -n " + ns + " route add 224.0.0.0/4 dev hv0",
      "ip -n " + ns + " route add " + net_other + ".0/24 via " + client_,
      "ip addr add " + client_ + "/24 dev hv1",
      "ip addr add " + other_ + "/24 dev hv1",
      "ip addr add " + foreign_ + "/24 dev hv1",
      "ip link set hv1 up",
      "ip route add 224.0.0.0/4 dev hv1",
  };
  for (const std::string& step : steps) {
    if (std::string f = run(step); !f.empty()) return f;
  }
  // Duplicate address detection is IPv6 only; the link is usable at once,
  // but give the kernel a moment to bring both ends up.
  for (int i = 0; i < 100; i++) {
    if (run("ip -n " + ns + " link show hv0 | grep -q 'state UP'").empty()) break;
    sleep_ms(20);
  }
  char dir_template[] = "/tmp/vbd-hostile-XXXXXX";
  if (!mkdtemp(dir_template)) return "mkdtemp";
  dir_ = dir_template;
  std::string source = VBD_SOURCE_DIR;
  if (std::string f = run("cp -r '" + source + "/packaging/description.xml' '" + source +
                          "/packaging/description' '" + dir_ + "/'");
      !f.empty()) {
    return f;
  }
  return "";
}

bool daemon_env::start_daemon(const std::vector<std::string>& wrapper, int ready_ms) {
  vbd_test::spawn_options options;
  options.cwd = dir_;
  std::vector<std::string> argv = {"ip", "netns", "exec", netns_, "/bin/sh", "-c",
                                   "exec \"$0\" \"$@\" >>daemon.out 2>>daemon.err"};
  argv.insert(argv.end(), wrapper.begin(), wrapper.end());
  argv.push_back(vbd_test::server_path());
  argv.push_back(std::to_string(kControlPort));
  daemon_ = vbd_test::process::start(argv, options);
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
      int fd = tcp_connect(client_, device_, kControlPort, 500);
      if (fd >= 0) {
        close(fd);
        control = true;
      }
    }
    if (control && !discovery) {
      if (served_at == 0 && fetch_description(client_, device_, 500).rfind("HTTP/1.1 200 OK\r\n", 0) == 0) {
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
  long long deadline = now_ms() + timeout_ms;
  for (;;) {
    if (vbd_test::count_of(out(), text) >= static_cast<size_t>(count)) return true;
    if (now_ms() >= deadline) return false;
    sleep_ms(20);
  }
}

std::string daemon_env::check_alive() {
  if (!daemon_ || daemon_->wait_exit(0)) return "the daemon has ended";
  int fd = tcp_connect(client_, device_, kControlPort);
  if (fd < 0) return "control port refused the legitimate client";
  std::string reply = control_ask(fd, "?E");
  close(fd);
  if (reply.size() < 3 || reply.substr(reply.size() - 2) != "\r\n") {
    return "no reply to ?E (got \"" + reply + "\")";
  }
  std::string response = fetch_description(client_, device_);
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

int tcp_connect(const std::string& from, const std::string& to, int port, int timeout_ms) {
  sockaddr_in local{};
  sockaddr_in remote{};
  if (!to_sockaddr(from, 0, &local) || !to_sockaddr(to, port, &remote)) return -1;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string read_until(int fd, std::string_view end, int timeout_ms) {
  std::string got;
  long long deadline = now_ms() + timeout_ms;
  while (got.find(end) == std::string::npos) {
    long long left = deadline - now_ms();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      break;
    }
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

bool wait_closed(int fd, int timeout_ms, std::string* got) {
  long long deadline = now_ms() + timeout_ms;
  for (;;) {
    long long left = deadline - now_ms();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return true;  // reset
    }
    if (got) got->append(buffer, static_cast<size_t>(n));
  }
}

void close_with_reset(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

std::string control_ask(int fd, std::string_view request, int timeout_ms) {
  std::string line(request);
  line += '\r';
  if (!send_all(fd, line)) return "";
  return read_until(fd, "\r\n", timeout_ms);
}

std::string fetch_description(const std::string& from, const std::string& to, int timeout_ms) {
  int fd = tcp_connect(from, to, kHttpPort, timeout_ms);
  if (fd < 0) return "";
  std::string request = "GET /description.xml HTTP/1.1\r\nHost: " + to + ":" + std::to_string(kHttpPort) +
                        "\r\nConnection: close\r\n\r\n";
  std::string response;
  if (send_all(fd, request)) wait_closed(fd, timeout_ms, &response);
  close(fd);
  return response;
}

int udp_socket(const std::string& from, int port) {
  sockaddr_in local{};
  if (!to_sockaddr(from, port, &local)) return -1;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  in_addr interface_address = local.sin_addr;
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface_address, sizeof interface_address);
  unsigned char ttl = 2;
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool udp_send(int fd, const std::string& to, int port, std::string_view bytes) {
  sockaddr_in remote{};
  if (!to_sockaddr(to, port, &remote)) return false;
  return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&remote), sizeof remote) ==
         static_cast<ssize_t>(bytes.size());
}

std::vector<std::string> udp_collect(int fd, int timeout_ms) {
  std::vector<std::string> got;
  long long deadline = now_ms() + timeout_ms;
  for (;;) {
    long long left = deadline - now_ms();
    if (left <= 0) return got;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[2048];
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) got.emplace_back(buffer, static_cast<size_t>(n));
  }
}

std::string msearch(std::string_view st, std::string_view mx) {
  std::string text = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: ";
  text += mx;
  text += "\r\nST: ";
  text += st;
  text += "\r\n\r\n";
  return text;
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
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >>player.out 2>>player.err",
                                   vbd_test::sim_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  vbd_test::spawn_options options;
  options.cwd = env_.dir();
  player_ = vbd_test::process::start(argv, options);
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
