// Test support: private namespaces, children in named namespaces, and the
// veth link with its allocator and stale clean-up.
#include "tests/support/netns.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>
#include <utility>

#include "tests/support/clock.h"

namespace vbd_test {

namespace {

// Names of namespaces and directories made by test processes: the family,
// then the owner's pid, then a counter.
constexpr std::string_view kFamily = "vbdt-";

std::atomic<int> g_serial{0};

bool bring_loopback_up() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return false;
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
  if (ok) {
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    ok = ioctl(fd, SIOCSIFFLAGS, &req) == 0;
  }
  close(fd);
  return ok;
}

// Entries of the directory in the family whose owning process has ended.
std::vector<std::string> stale_entries(const char* path) {
  std::vector<std::string> stale;
  DIR* dir = opendir(path);
  if (!dir) return stale;
  while (dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (!name.starts_with(kFamily)) continue;
    pid_t owner = static_cast<pid_t>(std::atoi(entry->d_name + kFamily.size()));
    if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) stale.emplace_back(name);
  }
  closedir(dir);
  return stale;
}

bool write_all(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool read_all(int fd, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

std::string enter_private_namespaces(bool net) {
  int flags = CLONE_NEWIPC | (net ? CLONE_NEWNET : 0);
  if (unshare(flags) != 0) return std::string("unshare: ") + std::strerror(errno);
  if (net && !bring_loopback_up()) return std::string("loopback up: ") + std::strerror(errno);
  return "";
}

int run_quiet(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

int run_in_fresh_netns(const char* setup, const std::function<int()>& body) {
  int rc = run_child([&] {
    if (unshare(CLONE_NEWNET) != 0) return kChildSkipped;
    if (setup && setup[0] && std::system(setup) != 0) return kChildSetupFailed;
    return body() == 0 ? 0 : 1;
  });
  return rc == -1 ? kChildSkipped : rc;
}

int run_in_netns(const std::string& ns, const std::function<int()>& fn) {
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
    result = fn();
    error = errno;
  });
  worker.join();
  errno = error;
  return result;
}

// ---------------------------------------------------------------------------
// ns_child and records
// ---------------------------------------------------------------------------

int ns_child::finish() {
  if (to_child >= 0) close(to_child);
  to_child = -1;
  int rc = pid > 0 ? wait_child(pid) : -1;
  pid = -1;
  if (from_child >= 0) close(from_child);
  from_child = -1;
  return rc;
}

ns_child::ns_child(ns_child&& other) noexcept
    : pid(std::exchange(other.pid, -1)),
      to_child(std::exchange(other.to_child, -1)),
      from_child(std::exchange(other.from_child, -1)) {}

ns_child::~ns_child() {
  if (pid > 0) kill(pid, SIGKILL);
  finish();
}

ns_child spawn_in_netns(const std::string& ns, const std::function<int(int in, int out)>& body) {
  ns_child child;
  int down[2];
  int up[2];
  if (pipe(down) != 0) return child;
  if (pipe(up) != 0) {
    close(down[0]);
    close(down[1]);
    return child;
  }
  pid_t pid = fork_child([&] {
    close(down[1]);
    close(up[0]);
    int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) return kChildSkipped;
    close(fd);
    return body(down[0], up[1]);
  });
  close(down[0]);
  close(up[1]);
  if (pid < 0) {
    close(down[1]);
    close(up[0]);
    return child;
  }
  child.pid = pid;
  child.to_child = down[1];
  child.from_child = up[0];
  return child;
}

bool send_record(int fd, const std::string& record) {
  uint32_t n = static_cast<uint32_t>(record.size());
  return write_all(fd, &n, sizeof(n)) && write_all(fd, record.data(), record.size());
}

bool receive_record(int fd, std::string* record) {
  uint32_t n = 0;
  if (!read_all(fd, &n, sizeof(n)) || n > (1u << 24)) return false;
  record->assign(n, '\0');
  return n == 0 || read_all(fd, record->data(), n);
}

std::vector<std::string> receive_all(int fd) {
  std::vector<std::string> out;
  std::string record;
  while (receive_record(fd, &record)) out.push_back(record);
  return out;
}

bool readable_within(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

// ---------------------------------------------------------------------------
// veth_link
// ---------------------------------------------------------------------------

std::string make_work_dir() {
  std::string dir = "/tmp/" + std::string(kFamily) + std::to_string(getpid()) + "-XXXXXX";
  return mkdtemp(dir.data()) ? dir : "";
}

void veth_link::remove_stale() {
  for (const std::string& name : stale_entries("/run/netns")) run_quiet("ip netns del " + name);
  for (const std::string& name : stale_entries("/tmp")) {
    std::error_code ec;
    std::filesystem::remove_all("/tmp/" + name, ec);
  }
}

std::string veth_link::ip(const std::string& ns) { return ns.empty() ? "ip " : "ip -n " + ns + " "; }

int veth_link::exec(const std::string& ns, const std::string& command, std::string* output) {
  std::string full = (ns.empty() ? "" : "ip netns exec " + ns + " ") + command + " 2>&1";
  FILE* pipe = popen(full.c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  size_t n;
  std::string text;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
  int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

veth_link::veth_link(const link_options& options) {
  remove_stale();
  int pid = static_cast<int>(getpid());
  int serial = g_serial++;
  tag_ = std::string(kFamily) + std::to_string(pid) + "-" + std::to_string(serial);
  octet_ = 20 + (pid + serial * 37) % 200;  // 10.77.20 .. 10.77.219, and one above for other_subnet()
  device_ns_ = tag_ + "-dev";
  if (!options.client_in_caller) client_ns_ = tag_ + "-cli";
  const std::string dev = ip(device_ns_);
  const std::string cli = ip(client_ns_);
  std::vector<std::string> commands = {"ip netns add " + device_ns_, dev + "link set lo up"};
  if (!client_ns_.empty()) {
    commands.push_back("ip netns add " + client_ns_);
    commands.push_back(cli + "link set lo up");
  }
  commands.push_back(cli + "link add vc0 type veth peer name vd0 netns " + device_ns_);
  commands.push_back(dev + "addr add " + device_address() + "/24 dev vd0");
  commands.push_back(cli + "addr add " + client_address() + "/24 dev vc0");
  if (options.second_client) commands.push_back(cli + "addr add " + second_client_address() + "/24 dev vc0");
  if (options.foreign) commands.push_back(cli + "addr add " + foreign_address() + "/24 dev vc0");
  commands.push_back(dev + "link set vd0 up");
  commands.push_back(cli + "link set vc0 up");
  commands.push_back(dev + "route add 224.0.0.0/4 dev vd0");
  commands.push_back(cli + "route add 224.0.0.0/4 dev vc0");
  if (options.foreign) commands.push_back(dev + "route add " + other_subnet() + ".0/24 via " + client_address());
  for (const std::string& command : commands) {
    if (run_quiet(command) != 0) {
      error_ = "failed: " + command;
      return;
    }
  }
  // IPv4 addresses are usable at once (duplicate detection is IPv6 only),
  // but both ends must have come up.
  bool up = wait_until(
      [&] {
        return run_quiet(dev + "link show vd0 | grep -q 'state UP'") == 0 &&
               run_quiet(cli + "link show vc0 | grep -q 'state UP'") == 0;
      },
      5000, 20);
  if (!up) error_ = "veth link did not come up";
}

veth_link::~veth_link() {
  run_quiet("ip netns del " + device_ns_);
  if (!client_ns_.empty()) run_quiet("ip netns del " + client_ns_);
}

}  // namespace vbd_test
