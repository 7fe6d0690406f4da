// Support for the control-port tests: a device namespace and a client
// namespace joined by a veth pair, a TCP client whose socket lives in the
// client namespace, and a fixture that runs the daemon and the player
// simulator in the device namespace with their own System V IPC namespace.
//
// Addresses: the device is 10.77.x.1, the client side has 10.77.x.2 and
// 10.77.x.3, with x derived from the test process id so tests running in
// parallel use distinct subnets. Namespace names carry the pid too; ones
// left by a test process that died are removed by the next test.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/integration/harness.h"

namespace vbd_test {

// Two named network namespaces joined by a veth pair, multicast routed over
// the link on both sides. Removed on destruction.
class netns_link {
 public:
  netns_link();
  ~netns_link();
  netns_link(const netns_link&) = delete;
  netns_link& operator=(const netns_link&) = delete;

  // "" when the namespaces are ready, else the command that failed.
  const std::string& error() const { return error_; }
  const std::string& device_ns() const { return device_ns_; }
  const std::string& client_ns() const { return client_ns_; }
  std::string device_address() const { return subnet_ + ".1"; }
  std::string client_address() const { return subnet_ + ".2"; }
  std::string second_client_address() const { return subnet_ + ".3"; }

  // Removes namespaces and working directories of this test family whose
  // test process has ended.
  static void remove_stale();

 private:
  std::string device_ns_;
  std::string client_ns_;
  std::string subnet_;
  std::string error_;
};

// Runs fn on a thread that has entered the named network namespace, so any
// socket fn creates belongs to that namespace. Returns fn's result, or -1
// (with errno set) when the namespace cannot be entered.
int run_in_netns(const std::string& ns, int (*fn)(void*), void* arg);

// A TCP connection made from the client namespace. Reads are buffered so a
// test can wait for lines and compare everything received.
class tcp_client {
 public:
  // Connects from source (any address of the namespace when empty) to
  // address:port, retrying while the connection is refused (the daemon may
  // still be starting) until the time-out. nullptr on failure.
  static std::unique_ptr<tcp_client> connect(const std::string& ns, const std::string& source,
                                             const std::string& address, int port, int timeout_ms,
                                             std::string* error = nullptr);
  ~tcp_client();
  tcp_client(const tcp_client&) = delete;
  tcp_client& operator=(const tcp_client&) = delete;

  bool send(std::string_view bytes);
  // Waits until count CR LF line ends have arrived (in everything not yet
  // taken); false on time-out or when the peer closed first.
  bool wait_lines(int count, int timeout_ms);
  // Waits until the received bytes contain text.
  bool wait_for(std::string_view text, int timeout_ms);
  // Waits until the peer ends the connection (end of stream or reset).
  bool wait_closed(int timeout_ms);
  // Reads whatever arrives within ms and returns everything not yet taken,
  // forgetting it.
  std::string take(int settle_ms = 0);
  // Sends a request and returns everything received until `lines` lines
  // have arrived (nothing else may be pending from before).
  std::string request(std::string_view bytes, int lines = 1, int timeout_ms = 8000);
  bool closed() const { return closed_; }

 private:
  explicit tcp_client(int fd) : fd_(fd) {}
  // Reads what arrives within timeout_ms (at most one wait).
  void pump(int timeout_ms);

  int fd_ = -1;
  bool closed_ = false;
  std::string received_;
};

// The daemon and the simulator in the device namespace, clients in the
// client namespace. Every test gets fresh namespaces and a fresh queue.
class ControlTest : public ::testing::Test {
 protected:
  static constexpr int kDefaultPort = 8102;
  static constexpr int kStartMs = 15000;  // sanitizer builds on a loaded machine
  static constexpr int kWaitMs = 8000;

  void SetUp() override;
  void TearDown() override;

  // Starts the simulator (its options in args) and waits until it serves
  // the queue.
  void start_sim(std::vector<std::string> args = {});
  // Starts the daemon with args in a fresh working directory; with
  // description true the packaged description and icons are put there.
  void start_daemon(std::vector<std::string> args = {}, bool description = false);
  // A client connected to the daemon from the given client address.
  std::unique_ptr<tcp_client> connect(const std::string& source, int port = kDefaultPort);
  std::unique_ptr<tcp_client> connect() { return connect(net_->client_address()); }
  // Runs one simulator script command and waits until the daemon has
  // handled what it sent, expecting the daemon to have printed
  // `daemon_line` (when not empty) once more.
  void sim_script(const std::string& command, const std::string& daemon_line = "");

  std::unique_ptr<netns_link> net_;
  std::unique_ptr<process> sim_;
  std::unique_ptr<process> daemon_;
  std::string workdir_;
};

}  // namespace vbd_test
