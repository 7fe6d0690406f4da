// Fixture of the control-port tests: the daemon and the player simulator in
// the device namespace of a veth link, each test with its own System V IPC
// namespace, and TCP clients in the client namespace (the device is
// 10.77.x.1, the clients 10.77.x.2 and 10.77.x.3).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/integration/harness.h"
#include "tests/support/tcp.h"

namespace vbd_test {

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

  std::unique_ptr<veth_link> net_;
  std::unique_ptr<process> sim_;
  std::unique_ptr<process> daemon_;
  std::string workdir_;
};

}  // namespace vbd_test
