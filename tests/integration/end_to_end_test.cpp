// The daemon and the player link against the real player simulator: the
// hello is answered, commands complete through the receive thread, and the
// simulator can stop the daemon.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/player_link.h"
#include "app/v232cmd.h"
#include "tests/integration/harness.h"

using vbd_test::in_order;
using vbd_test::output_capture;
using vbd_test::process;

namespace {

constexpr int WAIT_MS = 5000;

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(vbd_test::enter_private_namespaces(), ""); }

  void start_sim(std::vector<std::string> args = {}) {
    args.insert(args.begin(), vbd_test::sim_path());
    sim_ = process::start(args);
    ASSERT_TRUE(sim_);
    ASSERT_TRUE(sim_->wait_for("[sim] queue key 116", WAIT_MS)) << sim_->err();
  }

  std::unique_ptr<process> sim_;
};

// One exchange through the link as the request glue runs it: the parser
// prepares ret_id 3 and the command's index.
int exchange(int index, v232cmd_ret* ret, int param = 0) {
  v232cmd_req req{index, param};
  *ret = {};
  ret->ret_id = V232CMD_RET_E04;
  ret->cmd_id = index;
  return command_handler(&req, ret, 0);
}

std::string reply_text(const v232cmd_ret& ret) {
  char text[V232CMD_REPLY_BUFFER_SIZE] = {};
  v232cmd_conv_ret_to_string(&ret, BDP_StandbyMode_Get(), text, sizeof text);
  return text;
}

TEST_F(EndToEndTest, DaemonGreetsTheSimulatorAndStopsOnItsShutdown) {
  start_sim();
  auto daemon = process::start({vbd_test::server_path()});
  ASSERT_TRUE(daemon);
  ASSERT_TRUE(sim_->wait_for("[sim] hello from server pid " + std::to_string(daemon->pid()) + "\n", WAIT_MS))
      << sim_->out() << daemon->out();
  // The simulator answers the hello with its standby state.
  ASSERT_TRUE(daemon->wait_for("[BDP_StandbyMode_Set]BDP_StandbyMode=0\n", WAIT_MS)) << daemon->out();
  ASSERT_TRUE(sim_->send("event P04\n"));
  ASSERT_TRUE(daemon->wait_for("[controlapp_cmd_proc]recv auto feedback msg\n", WAIT_MS)) << daemon->out();
  ASSERT_TRUE(sim_->send("shutdown\n"));
  ASSERT_TRUE(daemon->exited_with(0, WAIT_MS)) << daemon->out();
  EXPECT_TRUE(in_order(daemon->out(), {"[controlapp_cmd_proc]recv shutdown msg\n", "Wait for closing...\n",
                                       "start stop.\n", "stop success.\n"}))
      << daemon->out();
}

TEST_F(EndToEndTest, CommandExchangesCompleteThroughTheReceiveThread) {
  start_sim({"--delay", "120"});
  pid_t link_pid = vbd_test::run_in_child([] {
    output_capture out;
    ASSERT_EQ(init_recv_thread(), 0);
    ASSERT_TRUE(out.wait_for("[recv_thread]start thread.\n", WAIT_MS));

    v232cmd_ret ret{};
    EXPECT_EQ(exchange(6, &ret), 0);  // PL
    EXPECT_EQ(ret.ret_id, V232CMD_RET_OK);
    EXPECT_EQ(reply_text(ret), "R");
    // The reply came late, so the exchange polled more than once.
    EXPECT_TRUE(out.wait_for("[command_handler] Tmp_recv_cmd recv  msg.(count:", 0));
    EXPECT_EQ(out.text().find("msg.(count:0)"), std::string::npos) << out.text();

    EXPECT_EQ(exchange(21, &ret), 0);  // ?P
    EXPECT_EQ(ret.ret_id, V232CMD_RET_STATUS);
    EXPECT_EQ(ret.cmd_id, 21);
    EXPECT_EQ(reply_text(ret), "P04");
    EXPECT_EQ(exchange(15, &ret), 0);  // ?T
    EXPECT_EQ(reply_text(ret).size(), 6u) << reply_text(ret);
    EXPECT_EQ(exchange(3, &ret), 0);  // OP
    EXPECT_EQ(exchange(6, &ret), 0);  // PL with the tray open
    EXPECT_EQ(reply_text(ret), "E04");
    EXPECT_EQ(exchange(22, &ret), 0);  // ?L with the tray open
    EXPECT_EQ(reply_text(ret), "E04");
    // The simulator's status events reached the push.
    EXPECT_TRUE(out.wait_for("[controlapp_cmd_proc]recv auto feedback msg\n", WAIT_MS));
  });
  EXPECT_TRUE(sim_->wait_for("[sim] hello from server pid " + std::to_string(link_pid) + "\n", WAIT_MS))
      << sim_->out();
}

TEST_F(EndToEndTest, RepliesThePlayerGetsWrongAreRejected) {
  start_sim({"--override", "cmd=30"});
  vbd_test::run_in_child([] {
    output_capture out;
    ASSERT_EQ(init_recv_thread(), 0);
    // The thread drains channel 1234 when it starts: exchange only after.
    ASSERT_TRUE(out.wait_for("[recv_thread]start thread.\n", WAIT_MS));
    v232cmd_ret ret{};
    EXPECT_EQ(exchange(6, &ret), 3);
    EXPECT_EQ(ret.ret_id, V232CMD_RET_E04);  // left as prepared
    EXPECT_TRUE(out.wait_for("recv from MAIN, Cmd id is wrong!\n", 0));
  });
}

}  // namespace
