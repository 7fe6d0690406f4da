// Test helpers for network namespaces: a body run in a child process inside
// a fresh anonymous namespace, and a pair of named namespaces joined by a
// veth link (a device side and a control-point side) whose children talk to
// the test through pipes. Names carry the test process id and addresses lie
// in 10.77.x.0/24 with x derived from it; the namespaces are always removed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace ssdp_test {

// A child ends with _exit, which skips the leak check of a sanitizer build:
// run it here, so memory a body leaks still fails the test.
inline int with_leak_check(int rc) {
#if defined(__SANITIZE_ADDRESS__)
  if (__lsan_do_recoverable_leak_check() != 0 && rc == 0) return 1;
#endif
  return rc;
}

inline constexpr int kNoNamespace = 77;
inline constexpr int kNamespaceSetupFailed = 78;

// Inside a child: report a failed condition and end the body with failure.
#define SSDP_CHECK(cond)                                                      \
  do {                                                                        \
    if (!(cond)) {                                                            \
      std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                               \
    }                                                                         \
  } while (0)

// Forks; the child enters a new network namespace, runs the setup commands
// and then the body. The child's exit code: 0 when the body returned 0.
inline int run_in_fresh_netns(const char* setup, const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return kNoNamespace;
  if (pid == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(kNoNamespace);
    if (setup && setup[0] && std::system(setup) != 0) _exit(kNamespaceSetupFailed);
    int rc = with_leak_check(body());
    std::fflush(nullptr);
    _exit(rc == 0 ? 0 : 1);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return kNoNamespace;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#define EXPECT_FRESH_NETNS_PASSES(setup, body)                                      \
  do {                                                                              \
    int ns_rc = ssdp_test::run_in_fresh_netns((setup), (body));                     \
    if (ns_rc == ssdp_test::kNoNamespace) GTEST_SKIP() << "no network namespace";   \
    EXPECT_NE(ns_rc, ssdp_test::kNamespaceSetupFailed) << "namespace setup failed"; \
    EXPECT_EQ(ns_rc, 0) << "the body failed inside the namespace (see stderr)";     \
  } while (0)

// A child process in a named namespace with a pipe each way.
struct ns_child {
  pid_t pid = -1;
  int to_child = -1;    // the test writes, the child reads (its "in")
  int from_child = -1;  // the child writes, the test reads (its "out")

  // Waits for the child's exit (closing the pipes first) and returns its code.
  int finish() {
    if (to_child >= 0) close(to_child);
    to_child = -1;
    int status = 0;
    int rc = -1;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
      rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid = -1;
    if (from_child >= 0) close(from_child);
    from_child = -1;
    return rc;
  }
  ns_child() = default;
  ns_child(const ns_child&) = delete;
  ns_child& operator=(const ns_child&) = delete;
  ns_child(ns_child&& other) noexcept
      : pid(std::exchange(other.pid, -1)),
        to_child(std::exchange(other.to_child, -1)),
        from_child(std::exchange(other.from_child, -1)) {}
  ~ns_child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      finish();
    }
  }
};

// Length-prefixed records over a pipe.
inline bool write_all(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

inline bool read_all(int fd, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

inline bool send_record(int fd, const std::string& record) {
  uint32_t n = static_cast<uint32_t>(record.size());
  return write_all(fd, &n, sizeof(n)) && write_all(fd, record.data(), record.size());
}

inline bool receive_record(int fd, std::string* record) {
  uint32_t n = 0;
  if (!read_all(fd, &n, sizeof(n)) || n > (1u << 24)) return false;
  record->assign(n, '\0');
  return n == 0 || read_all(fd, record->data(), n);
}

// Records until the writer closes its end.
inline std::vector<std::string> receive_all(int fd) {
  std::vector<std::string> out;
  std::string record;
  while (receive_record(fd, &record)) out.push_back(record);
  return out;
}

// Whether fd becomes readable within the time.
inline bool readable_within(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

inline int run_quiet(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

// Two named namespaces, "device" and "control point", joined by the veth
// pair vd0 (10.77.x.1) and vc0 (10.77.x.2), multicast routed over the link.
class netns_pair {
 public:
  netns_pair() {
    static int serial = 0;
    int pid = static_cast<int>(getpid());
    std::string tag = std::to_string(pid) + "-" + std::to_string(serial);
    octet_ = 150 + (pid + serial * 7) % 100;
    serial++;
    device_ns_ = "vbd-ssdp-" + tag + "-dev";
    cp_ns_ = "vbd-ssdp-" + tag + "-cp";
    std::string x = std::to_string(octet_);
    const std::string dev = "ip -n " + device_ns_ + " ";
    const std::string cp = "ip -n " + cp_ns_ + " ";
    std::vector<std::string> commands = {
        "ip netns add " + device_ns_,
        "ip netns add " + cp_ns_,
        dev + "link set lo up",
        cp + "link set lo up",
        dev + "link add vd0 type veth peer name vc0 netns " + cp_ns_,
        dev + "addr add 10.77." + x + ".1/24 dev vd0",
        cp + "addr add 10.77." + x + ".2/24 dev vc0",
        dev + "link set vd0 up",
        cp + "link set vc0 up",
        dev + "route add 224.0.0.0/4 dev vd0",
        cp + "route add 224.0.0.0/4 dev vc0",
    };
    for (const auto& c : commands) {
      if (run_quiet(c) != 0) {
        failed_command_ = c;
        return;
      }
    }
    ok_ = true;
  }
  ~netns_pair() {
    run_quiet("ip netns del " + device_ns_);
    run_quiet("ip netns del " + cp_ns_);
  }
  netns_pair(const netns_pair&) = delete;
  netns_pair& operator=(const netns_pair&) = delete;

  bool ok() const { return ok_; }
  const std::string& failed_command() const { return failed_command_; }
  const std::string& device_ns() const { return device_ns_; }
  const std::string& cp_ns() const { return cp_ns_; }
  std::string device_address() const { return subnet() + ".1"; }
  std::string cp_address() const { return subnet() + ".2"; }
  std::string subnet() const { return "10.77." + std::to_string(octet_); }
  // A second subnet beside this one, for extra addresses.
  std::string other_subnet() const {
    return "10.77." + std::to_string(octet_ == 249 ? 148 : octet_ + 1);
  }

  // Runs a command in one of the namespaces (ip netns exec); its exit code.
  int exec(const std::string& ns, const std::string& command, std::string* output = nullptr) const {
    std::string full = "ip netns exec " + ns + " " + command + " 2>&1";
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

  // Forks a child that enters the namespace and runs body(in, out); the
  // child's exit code is the body's result.
  ns_child spawn(const std::string& ns, const std::function<int(int in, int out)>& body) const {
    ns_child child;
    int down[2];
    int up[2];
    if (pipe(down) != 0) return child;
    if (pipe(up) != 0) {
      close(down[0]);
      close(down[1]);
      return child;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      close(down[1]);
      close(up[0]);
      int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(kNoNamespace);
      close(fd);
      int rc = with_leak_check(body(down[0], up[1]));
      std::fflush(nullptr);
      _exit(rc);
    }
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

 private:
  int octet_ = 150;
  bool ok_ = false;
  std::string failed_command_;
  std::string device_ns_;
  std::string cp_ns_;
};

}  // namespace ssdp_test
