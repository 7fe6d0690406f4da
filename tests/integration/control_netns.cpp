// Support for the control-port tests: namespaces joined by a veth pair, a
// TCP client in the client namespace, and the fixture that runs the daemon
// and the simulator in the device namespace.
#include "tests/integration/control_netns.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

namespace vbd_test {

namespace {

constexpr char kFamily[] = "vbd-ctl-";

bool run_quiet(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

// ---------------------------------------------------------------------------
// netns_link
// ---------------------------------------------------------------------------

netns_link::netns_link() {
  static int serial = 0;
  int pid = static_cast<int>(getpid());
  std::string tag = std::string(kFamily) + std::to_string(pid) + "-" + std::to_string(serial);
  // 10.77.20.0/24 .. 10.77.139.0/24; the discovery tests use the range above.
  subnet_ = "10.77." + std::to_string(20 + (pid + serial * 37) % 120);
  serial++;
  device_ns_ = tag + "-dev";
  client_ns_ = tag + "-cli";
  const std::string dev = "ip -n " + device_ns_ + " ";
  const std::string cli = "ip -n " + client_ns_ + " ";
  const std::vector<std::string> commands = {
      "ip netns add " + device_ns_,
      "ip netns add " + client_ns_,
      dev + "link set lo up",
      cli + "link set lo up",
      dev + "link add vd0 type veth peer name vc0 netns " + client_ns_,
      dev + "addr add " + device_address() + "/24 dev vd0",
      cli + "addr add " + client_address() + "/24 dev vc0",
      cli + "addr add " + second_client_address() + "/24 dev vc0",
      dev + "link set vd0 up",
      cli + "link set vc0 up",
      dev + "route add 224.0.0.0/4 dev vd0",
      cli + "route add 224.0.0.0/4 dev vc0",
  };
  for (const std::string& command : commands) {
    if (!run_quiet(command)) {
      error_ = "failed: " + command;
      return;
    }
  }
  // Addresses are usable once duplicate detection is done (IPv4: at once)
  // and the link is up on both sides.
  for (int i = 0; i < 100; ++i) {
    if (run_quiet("ip -n " + client_ns_ + " link show vc0 | grep -q 'state UP'")) return;
    sleep_ms(20);
  }
  error_ = "veth link did not come up";
}

netns_link::~netns_link() {
  run_quiet("ip netns del " + device_ns_);
  run_quiet("ip netns del " + client_ns_);
}

namespace {

// Entries of the directory named "vbd-ctl-<pid>-..." whose process has ended.
std::vector<std::string> stale_entries(const char* path) {
  std::vector<std::string> stale;
  DIR* dir = opendir(path);
  if (!dir) return stale;
  while (dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.substr(0, sizeof kFamily - 1) != kFamily) continue;
    pid_t owner = static_cast<pid_t>(atoi(entry->d_name + sizeof kFamily - 1));
    if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) stale.emplace_back(name);
  }
  closedir(dir);
  return stale;
}

}  // namespace

void netns_link::remove_stale() {
  for (const std::string& name : stale_entries("/run/netns")) run_quiet("ip netns del " + name);
  for (const std::string& name : stale_entries("/tmp")) {
    std::error_code ec;
    std::filesystem::remove_all("/tmp/" + name, ec);
  }
}

int run_in_netns(const std::string& ns, int (*fn)(void*), void* arg) {
  int result = -1;
  int error = 0;
  std::thread worker([&] {
    int nsfd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (nsfd == -1 || setns(nsfd, CLONE_NEWNET) != 0) {
      error = errno;
      if (nsfd != -1) close(nsfd);
      return;
    }
    close(nsfd);
    result = fn(arg);
    error = errno;
  });
  worker.join();
  errno = error;
  return result;
}

// ---------------------------------------------------------------------------
// tcp_client
// ---------------------------------------------------------------------------

namespace {

struct connect_args {
  std::string source;
  std::string address;
  int port;
  long long deadline;
  std::string error;
};

int connect_until(void* raw) {
  auto* args = static_cast<connect_args*>(raw);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(args->port));
  if (inet_pton(AF_INET, args->address.c_str(), &peer.sin_addr) != 1) {
    args->error = "bad address " + args->address;
    return -1;
  }
  while (true) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
      args->error = std::string("socket: ") + strerror(errno);
      return -1;
    }
    if (!args->source.empty()) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      if (inet_pton(AF_INET, args->source.c_str(), &local.sin_addr) != 1 ||
          bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        args->error = "bind to " + args->source + ": " + strerror(errno);
        close(fd);
        return -1;
      }
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) return fd;
    int error = errno;
    close(fd);
    args->error = "connect to " + args->address + ":" + std::to_string(args->port) + ": " + strerror(error);
    if (error != ECONNREFUSED || now_ms() >= args->deadline) return -1;
    sleep_ms(50);
  }
}

}  // namespace

std::unique_ptr<tcp_client> tcp_client::connect(const std::string& ns, const std::string& source,
                                                const std::string& address, int port, int timeout_ms,
                                                std::string* error) {
  connect_args args{source, address, port, now_ms() + timeout_ms, ""};
  int fd = run_in_netns(ns, connect_until, &args);
  if (fd == -1) {
    if (error) *error = args.error.empty() ? "cannot enter " + ns + ": " + strerror(errno) : args.error;
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return std::unique_ptr<tcp_client>(new tcp_client(fd));
}

tcp_client::~tcp_client() {
  if (fd_ != -1) close(fd_);
}

bool tcp_client::send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd_, POLLOUT, 0};
      poll(&p, 1, 100);
      continue;
    }
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void tcp_client::pump(int timeout_ms) {
  if (closed_) {
    if (timeout_ms > 0) sleep_ms(timeout_ms);
    return;
  }
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return;
  char buffer[4096];
  while (true) {
    ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      received_.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno != EAGAIN) closed_ = true;  // end of stream or reset
    return;
  }
}

bool tcp_client::wait_lines(int count, int timeout_ms) {
  long long deadline = now_ms() + timeout_ms;
  while (true) {
    pump(0);
    if (count_of(received_, "\r\n") >= static_cast<size_t>(count)) return true;
    long long left = deadline - now_ms();
    if (closed_ || left <= 0) return false;
    pump(static_cast<int>(left < 50 ? left : 50));
  }
}

bool tcp_client::wait_for(std::string_view text, int timeout_ms) {
  long long deadline = now_ms() + timeout_ms;
  while (true) {
    pump(0);
    if (received_.find(text) != std::string::npos) return true;
    long long left = deadline - now_ms();
    if (closed_ || left <= 0) return false;
    pump(static_cast<int>(left < 50 ? left : 50));
  }
}

bool tcp_client::wait_closed(int timeout_ms) {
  long long deadline = now_ms() + timeout_ms;
  while (!closed_) {
    long long left = deadline - now_ms();
    if (left <= 0) return false;
    pump(static_cast<int>(left < 50 ? left : 50));
  }
  return true;
}

std::string tcp_client::take(int settle_ms) {
  long long deadline = now_ms() + settle_ms;
  pump(0);
  for (long long left = settle_ms; left > 0 && !closed_; left = deadline - now_ms()) pump(static_cast<int>(left));
  std::string out;
  out.swap(received_);
  return out;
}

std::string tcp_client::request(std::string_view bytes, int lines, int timeout_ms) {
  if (!send(bytes)) return "(send failed)";
  wait_lines(lines, timeout_ms);
  return take();
}

// ---------------------------------------------------------------------------
// ControlTest
// ---------------------------------------------------------------------------

void ControlTest::SetUp() {
  ASSERT_EQ(geteuid(), 0u) << "these tests create network namespaces and need root";
  netns_link::remove_stale();
  // The test's own thread gets an empty network and a private queue 116,
  // which the daemon and the simulator inherit.
  ASSERT_EQ(enter_private_namespaces(), "");
  net_ = std::make_unique<netns_link>();
  ASSERT_EQ(net_->error(), "");
  std::string dir = "/tmp/" + std::string(kFamily) + std::to_string(getpid()) + "-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  workdir_ = dir;
}

void ControlTest::TearDown() {
  for (auto* p : {&daemon_, &sim_}) {
    if (!*p) continue;
    // A sanitizer report in a program that was running fails the test.
    std::string err = (*p)->err();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error:"), std::string::npos) << err;
    p->reset();  // killed and reaped
  }
  net_.reset();
  if (!workdir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(workdir_, ec);
  }
}

void ControlTest::start_sim(std::vector<std::string> args) {
  std::vector<std::string> argv = {"ip", "netns", "exec", net_->device_ns(), sim_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  sim_ = process::start(argv);
  ASSERT_TRUE(sim_);
  ASSERT_TRUE(sim_->wait_for("[sim] queue key 116", kStartMs)) << sim_->out() << sim_->err();
}

void ControlTest::start_daemon(std::vector<std::string> args, bool description) {
  if (description) {
    namespace fs = std::filesystem;
    const fs::path source = fs::path(VBD_SOURCE_DIR) / "packaging";
    std::error_code ec;
    fs::copy(source / "description.xml", fs::path(workdir_) / "description.xml", ec);
    ASSERT_FALSE(ec) << ec.message();
    fs::copy(source / "description", fs::path(workdir_) / "description", fs::copy_options::recursive, ec);
  }
  std::vector<std::string> argv = {"ip", "netns", "exec", net_->device_ns(), server_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  spawn_options options;
  options.cwd = workdir_;
  daemon_ = process::start(argv, options);
  ASSERT_TRUE(daemon_);
  ASSERT_TRUE(daemon_->wait_for("RER-UzovoviRED: register callback for ControlAPP\n", kStartMs))
      << daemon_->out() << daemon_->err();
  // The receive thread drains the queue when it starts and then greets the
  // player: only after the hello does a message from the player count.
  if (sim_) {
    ASSERT_TRUE(sim_->wait_for("[sim] hello from server pid " + std::to_string(daemon_->pid()) + "\n", kStartMs))
        << sim_->out() << daemon_->out();
  }
}

std::unique_ptr<tcp_client> ControlTest::connect(const std::string& source, int port) {
  std::string error;
  auto client = tcp_client::connect(net_->client_ns(), source, net_->device_address(), port, kStartMs, &error);
  EXPECT_TRUE(client) << error << "\n" << (daemon_ ? daemon_->out() + daemon_->err() : "");
  return client;
}

void ControlTest::sim_script(const std::string& command, const std::string& daemon_line) {
  ASSERT_TRUE(sim_);
  size_t seen = daemon_line.empty() ? 0 : count_of(daemon_->out(), daemon_line);
  // A message of a kind the daemon ignores follows the command. The daemon
  // prints what it is doing with a message before it does it, so only once
  // it has begun on this marker is the command's effect (a stored standby
  // state, an event sent to the clients) complete.
  static int serial = 0;
  const std::string marker = std::to_string(++serial);
  ASSERT_TRUE(sim_->send(command + "\nraw 9 " + marker + "\n"));
  ASSERT_TRUE(daemon_->wait_for("[controlapp_cmd_proc]now process msg [cmd_type:9,cmd:" + marker + "]\n", kWaitMs))
      << "after \"" << command << "\":\n"
      << daemon_->out() << sim_->out();
  if (!daemon_line.empty()) {
    EXPECT_GE(count_of(daemon_->out(), daemon_line), seen + 1) << "after \"" << command << "\":\n" << daemon_->out();
  }
}

}  // namespace vbd_test
