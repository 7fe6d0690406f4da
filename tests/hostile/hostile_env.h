// Environment for the hostile-input and fault tests: the real vBdServer in a
// network namespace of its own, joined to the test's private namespace by a
// veth pair, with its output in files, and the clients the tests attack it
// with (control connections, HTTP requests, SSDP datagrams, the queue).
//
// Addresses (x is chosen per test process):
//   10.77.x.1    the daemon's only interface (control port, HTTP 38400, SSDP)
//   10.77.x.2    the legitimate client, on the test side
//   10.77.x.3    a second test-side address in the same subnet (floods)
//   10.77.x+1.2  a test-side address outside the daemon's subnet; the daemon
//                has a route to it, so anything it sent there would arrive
//
// Every test first calls enter() in its own thread, which gives the test a
// fresh IPC namespace (its own queue 116) and network namespace; the named
// namespace of the daemon is removed when the environment is destroyed.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tests/integration/harness.h"
#include "tests/support/http_get.h"
#include "tests/support/tcp.h"
#include "tests/support/udp.h"

namespace vbd_hostile {

inline constexpr int kControlPort = 8102;
inline constexpr int kHttpPort = 38400;
inline constexpr int kSsdpPort = 1900;

// Resource use of a running process, read from /proc.
struct usage {
  long rss_kb = 0;
  int threads = 0;
  int fds = 0;
};
usage usage_of(pid_t pid);
// UDP datagrams received in the network namespace of the process (the
// kernel's InDatagrams counter), or -1.
long long udp_datagrams_received(pid_t pid);
// Whether a UDP socket of the process's network namespace has this local port.
bool udp_port_bound(pid_t pid, int port);

// Bounds every test states for the daemon after a hostile input has ended.
// Memory: resident size may grow by at most this much over the baseline
// taken before the input (allocator caches and thread arenas included).
inline constexpr long kRssGrowthBoundKb = 16 * 1024;
// Threads and descriptors return to the baseline plus this slack (a
// connection thread that is just ending) within kSettleMs.
inline constexpr int kThreadSlack = 2;
inline constexpr int kFdSlack = 2;
inline constexpr int kSettleMs = 5000;

// True in a build with a sanitizer: resident size then includes shadow
// memory and the quarantine of freed blocks, so memory bounds are not
// checked (leaks still are, by the sanitizer at the daemon's exit).
bool sanitized_build();

class daemon_env {
 public:
  daemon_env() = default;
  ~daemon_env();
  daemon_env(const daemon_env&) = delete;
  daemon_env& operator=(const daemon_env&) = delete;

  // Private namespaces, veth link, named namespace. "" or what failed.
  std::string enter();
  // Starts the daemon (port kControlPort) in its namespace with the
  // description in its working directory; waits until the control port
  // accepts. wrapper: a command the daemon runs under (valgrind, ...).
  bool start_daemon(const std::vector<std::string>& wrapper = {}, int ready_ms = 20000);
  // The two halves of start_daemon: the launch, and the wait until the
  // control port accepts and discovery is up. False when the launch failed,
  // or the daemon ended or was not ready in time.
  bool launch_daemon(const std::vector<std::string>& wrapper = {});
  bool wait_ready(int ready_ms);
  pid_t pid() const { return daemon_ ? daemon_->pid() : -1; }
  vbd_test::process* daemon() { return daemon_.get(); }

  // Addresses (see the top of this file); "" before enter().
  std::string device_address() const {
    if (!moved_to_.empty()) return moved_to_;
    return link_ ? link_->device_address() : "";
  }
  // The daemon's interface now has this address instead (the test moved it).
  void moved_to(const std::string& address) { moved_to_ = address; }
  std::string client_address() const { return link_ ? link_->client_address() : ""; }
  std::string other_address() const { return link_ ? link_->second_client_address() : ""; }
  std::string foreign_address() const { return link_ ? link_->foreign_address() : ""; }
  std::string netns() const { return link_ ? link_->device_ns() : ""; }
  // The daemon's working directory (description, output files).
  const std::string& dir() const { return dir_; }

  // The daemon's standard output / error so far (from its files).
  std::string out() const;
  std::string err() const;
  bool wait_out(std::string_view text, int timeout_ms, int count = 1) const;

  // The health check every test ends with: a fresh control connection from
  // the legitimate address is answered for "?E", and the description is
  // served over HTTP. "" when healthy, else what failed.
  std::string check_alive();
  // Waits until threads and descriptors are back near the baseline and the
  // resident size is within the bound. "" or what is over.
  std::string check_bounds(const usage& baseline);
  // Sends SIGINT and expects exit status 0 within timeout_ms. "" or what failed.
  std::string stop(int timeout_ms);

 private:
  std::unique_ptr<vbd_test::veth_link> link_;
  std::string dir_;
  std::unique_ptr<vbd_test::process> daemon_;
  std::string moved_to_;
};

// ---------------------------------------------------------------------------
// Clients (all sockets in the calling thread's namespace)
// ---------------------------------------------------------------------------

using vbd_test::close_with_reset;
using vbd_test::msearch;
using vbd_test::now_ms;
using vbd_test::read_until;
using vbd_test::send_all;
using vbd_test::sleep_ms;
using vbd_test::tcp_connect;
using vbd_test::udp_collect;
using vbd_test::udp_send;
using vbd_test::udp_socket;
using vbd_test::wait_closed;

// n bytes of any value, drawn from rng.
inline std::string random_bytes(std::mt19937& rng, size_t n) {
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
  return bytes;
}

// One control request on a connection: sends text plus CR, returns the
// reply line (with its CR LF) or "" on time-out.
std::string control_ask(int fd, std::string_view request, int timeout_ms = 3000);

// One HTTP GET of /description.xml on a new connection; the whole response.
inline std::string fetch_description(const std::string& from, const std::string& to, int timeout_ms = 5000) {
  return vbd_test::http_get(from, to, kHttpPort, "/description.xml", timeout_ms);
}

}  // namespace vbd_hostile

// ---------------------------------------------------------------------------
// Test fixture
// ---------------------------------------------------------------------------

namespace vbd_hostile {

// Longest a stop may take, from SIGINT (or the shutdown message) to the
// exit, whatever the clients and the player are doing. Every thread is
// woken and joined; the byebye pass begins with a random wait of up to
// 0.5 s. A stop takes well under a second; the bound is generous for
// sanitizer and valgrind runs on a loaded machine.
inline constexpr int kStopBoundMs = 8000;

// Starts the daemon in its namespace before each test and takes the
// baseline; finish() runs the checks every hostile test ends with.
class hostile_test : public ::testing::Test {
 protected:
  void SetUp() override;
  // Health, resource bounds, and a stop within kStopBoundMs.
  void finish();
  // Optional player simulator in the test's IPC namespace, output in files.
  bool start_player(const std::vector<std::string>& args = {});

  daemon_env env_;
  usage baseline_;
  std::unique_ptr<vbd_test::process> player_;
};

}  // namespace vbd_hostile
