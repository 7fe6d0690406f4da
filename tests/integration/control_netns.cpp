// Fixture of the control-port tests: link, daemon and simulator per test.
#include "tests/integration/control_netns.h"

#include <unistd.h>

#include <filesystem>

namespace vbd_test {

void ControlTest::SetUp() {
  ASSERT_EQ(geteuid(), 0u) << "these tests create network namespaces and need root";
  // The test's own thread gets an empty network and a private queue 116,
  // which the daemon and the simulator inherit.
  ASSERT_EQ(enter_private_namespaces(), "");
  link_options options;
  options.second_client = true;
  net_ = std::make_unique<veth_link>(options);
  ASSERT_EQ(net_->error(), "");
  workdir_ = make_work_dir();
  ASSERT_NE(workdir_, "");
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
  launch_options options;
  options.netns = net_->device_ns();
  sim_ = launch(sim_path(), args, options);
  ASSERT_TRUE(sim_);
  ASSERT_TRUE(sim_->wait_for("[sim] queue key 116", kStartMs)) << sim_->out() << sim_->err();
}

void ControlTest::start_daemon(std::vector<std::string> args, bool description) {
  if (description) {
    ASSERT_EQ(copy_description(workdir_), "");
  }
  launch_options options;
  options.netns = net_->device_ns();
  options.cwd = workdir_;
  daemon_ = launch(server_path(), args, options);
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
