// The vBdServer program against a test-owned fake player on the queue:
// command line, start-up drains and hello, messages from the player, and
// the two ways the program stops.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/integration/harness.h"

using vbd_test::count_of;
using vbd_test::in_order;
using vbd_test::process;
using vbd_test::queue_peer;

namespace {

constexpr int START_MS = 5000;
constexpr char STOP_LINES[] = "Wait for closing...\nstart stop.\nstop success.\n";

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(vbd_test::enter_private_namespaces(), ""); }

  // Starts the daemon and takes its hello from the queue.
  std::unique_ptr<process> start_daemon(queue_peer& player, std::vector<std::string> args = {}) {
    args.insert(args.begin(), vbd_test::server_path());
    auto daemon = process::start(args);
    EXPECT_TRUE(daemon != nullptr);
    if (!daemon) return nullptr;
    controlapp_msg hello{};
    EXPECT_TRUE(player.receive(MSGTYPE_TO_MAIN, &hello, START_MS)) << daemon->out();
    EXPECT_EQ(hello.cmd_type, CONTROLAPP_MSG_HELLO);
    EXPECT_EQ(hello.pid, daemon->pid());
    return daemon;
  }
};

TEST_F(DaemonTest, HelpVersionAndInvalidPortsStartNothing) {
  auto expect_nothing_started = [] {
    EXPECT_EQ(msgget(CONTROLAPP_MSGQ_KEY, 0), -1);
    EXPECT_EQ(errno, ENOENT);
  };
  for (const char* flag : {"-h", "--help"}) {
    auto daemon = process::start({vbd_test::server_path(), flag, "ignored"});
    ASSERT_TRUE(daemon);
    EXPECT_TRUE(daemon->exited_with(0, START_MS)) << flag;
    std::string out = daemon->out();
    EXPECT_TRUE(out.starts_with("usage: vBdServer ([port])\n")) << out;
    // The help names what a firmware team needs to run it.
    for (const char* topic : {"65535", "8102", "description.xml", "SIGTERM", "116", "first network"}) {
      EXPECT_NE(out.find(topic), std::string::npos) << topic << "\n" << out;
    }
    expect_nothing_started();
  }

  auto version = process::start({vbd_test::server_path(), "--version"});
  ASSERT_TRUE(version);
  EXPECT_TRUE(version->exited_with(0, START_MS));
  EXPECT_EQ(version->out(), std::string("vBdServer ") + VBD_VERSION + "\n");
  expect_nothing_started();

  // A port outside 1..65535 (no digits read as 0, too large, negative, an
  // option we do not have) is refused before anything starts: one line on
  // standard error and exit status 2.
  for (const char* port : {"99999", "0", "abc", "-hx", "-7"}) {
    auto daemon = process::start({vbd_test::server_path(), port});
    ASSERT_TRUE(daemon);
    EXPECT_TRUE(daemon->exited_with(2, START_MS)) << port;
    EXPECT_EQ(daemon->out(), "") << port;
    EXPECT_EQ(daemon->err(), std::string("vBdServer: invalid port \"") + port +
                                 "\": the port is a number from 1 to 65535\n");
    expect_nothing_started();
  }
}

TEST_F(DaemonTest, StartDrainsStaleRepliesThenGreetsWithItsPid) {
  queue_peer player;
  ASSERT_TRUE(player.ok());
  // Left over from an earlier run: two player messages, one re-posted reply,
  // and a command for the player that the daemon must leave alone.
  ASSERT_TRUE(player.send(MSGTYPE_FROM_MAIN, vbd_test::make_reply(6, 1, 6)));
  ASSERT_TRUE(player.send(MSGTYPE_FROM_MAIN, vbd_test::make_message(CONTROLAPP_MSG_AUTO_FEEDBACK, 3)));
  ASSERT_TRUE(player.send(MSGTYPE_TMP, vbd_test::make_reply(12, 10, 12)));
  controlapp_msg stale_command = vbd_test::make_message(CONTROLAPP_MSG_NORMAL, 21);
  ASSERT_TRUE(player.send(MSGTYPE_TO_MAIN, stale_command));

  auto daemon = process::start({vbd_test::server_path()});
  ASSERT_TRUE(daemon);
  ASSERT_TRUE(daemon->wait_for("[recv_thread]start thread.\n", START_MS)) << daemon->out();
  std::string out = daemon->out();
  EXPECT_TRUE(in_order(out, {"[CONTROLAPP_CLI]cli_create_msgQ,39  qid handle 0x",
                             "[clear_cli_msgQ]cmd_smd(cmd_type:0 cmd:6) [The cmd msgs of the useless]\n",
                             "[clear_cli_msgQ]cmd_smd(cmd_type:1 cmd:3) [The cmd msgs of the useless]\n",
                             "[clear_Tmp_msgQ]cmd_smd(cmd_type:0 cmd:12) [The Tmp msgs of the useless]\n",
                             "[recv_thread]start thread.\n"}))
      << out;
  EXPECT_TRUE(daemon->wait_for("RER-UzovoviRED: register callback for ControlAPP\n", START_MS));

  // The stale command is still first in line for the player, then the hello.
  controlapp_msg msg{};
  ASSERT_TRUE(player.receive(MSGTYPE_TO_MAIN, &msg, START_MS));
  EXPECT_EQ(msg.cmd, 21);
  ASSERT_TRUE(player.receive(MSGTYPE_TO_MAIN, &msg, START_MS));
  EXPECT_EQ(msg.cmd_type, CONTROLAPP_MSG_HELLO);
  EXPECT_EQ(msg.pid, daemon->pid());
  EXPECT_EQ(msg.cmd, 0);
  EXPECT_EQ(msg.result, 0);
  // Exactly one hello.
  EXPECT_FALSE(player.receive(MSGTYPE_TO_MAIN, &msg, 300));
}

TEST_F(DaemonTest, PlayerMessagesAreDispatchedByKind) {
  queue_peer player;
  ASSERT_TRUE(player.ok());
  auto daemon = start_daemon(player);
  ASSERT_TRUE(daemon);

  controlapp_msg standby = vbd_test::make_message(CONTROLAPP_MSG_STANDBY);
  standby.standby_mode = 0;
  controlapp_msg event = vbd_test::make_message(CONTROLAPP_MSG_AUTO_FEEDBACK);
  memset(event.feedback_text, 'Z', sizeof event.feedback_text);  // runs on to the end of the body
  memset(&event.reserved, 'Z', 8);
  ASSERT_TRUE(player.send(MSGTYPE_FROM_MAIN, vbd_test::make_message(CONTROLAPP_MSG_HELLO, 4)));
  ASSERT_TRUE(player.send(MSGTYPE_FROM_MAIN, vbd_test::make_message(9, 5)));
  ASSERT_TRUE(player.send(MSGTYPE_FROM_MAIN, standby));
  ASSERT_TRUE(player.send(MSGTYPE_FROM_MAIN, event));
  ASSERT_TRUE(player.send(MSGTYPE_FROM_MAIN, vbd_test::make_reply(6, 1, 6)));

  ASSERT_TRUE(daemon->wait_for("[controlapp_cmd_proc]recv normal msg\n", START_MS)) << daemon->out();
  EXPECT_TRUE(in_order(daemon->out(), {"[controlapp_cmd_proc]now process msg [cmd_type:2,cmd:4]\n",
                                       "[controlapp_cmd_proc]recv ignore msg\n",
                                       "[controlapp_cmd_proc]now process msg [cmd_type:9,cmd:5]\n",
                                       "[controlapp_cmd_proc]recv ignore msg\n",
                                       "[controlapp_cmd_proc]now process msg [cmd_type:4,cmd:0]\n",
                                       "[controlapp_cmd_proc]recv standby mode 0 .\n",
                                       "[BDP_StandbyMode_Set]BDP_StandbyMode=0\n",
                                       "[controlapp_cmd_proc]now process msg [cmd_type:1,cmd:0]\n",
                                       "[controlapp_cmd_proc]recv auto feedback msg\n",
                                       "[controlapp_cmd_proc]now process msg [cmd_type:0,cmd:6]\n",
                                       "[controlapp_cmd_proc]recv normal msg\n"}))
      << daemon->out();
  // The reply was re-posted for an exchange; the event and the others were not.
  controlapp_msg reposted{};
  ASSERT_TRUE(player.receive(MSGTYPE_TMP, &reposted, START_MS));
  EXPECT_EQ(reposted.cmd, 6);
  EXPECT_EQ(reposted.ret.ret_id, 1);
  EXPECT_FALSE(player.receive(MSGTYPE_TMP, &reposted, 200));
  // Nothing went wrong on the link (discovery may report a missing description).
  EXPECT_EQ(daemon->err().find("[CONTROLAPP_CLI]"), std::string::npos) << daemon->err();
  daemon->signal(SIGINT);
  EXPECT_TRUE(daemon->exited_with(0, START_MS));
}

TEST_F(DaemonTest, ShutdownMessageStopsTheProgram) {
  queue_peer player;
  ASSERT_TRUE(player.ok());
  auto daemon = start_daemon(player);
  ASSERT_TRUE(daemon);
  ASSERT_TRUE(player.send(MSGTYPE_FROM_MAIN, vbd_test::make_message(CONTROLAPP_MSG_SHUTDOWN)));
  ASSERT_TRUE(daemon->exited_with(0, START_MS)) << daemon->out();
  std::string out = daemon->out();
  EXPECT_TRUE(in_order(out, {"[controlapp_cmd_proc]recv shutdown msg\n", STOP_LINES})) << out;
  EXPECT_EQ(count_of(out, "stop success."), 1u);
}

TEST_F(DaemonTest, SigintStopsTheProgramWithinAboutASecond) {
  queue_peer player;
  ASSERT_TRUE(player.ok());
  auto daemon = start_daemon(player);
  ASSERT_TRUE(daemon);
  // The services start after the SIGINT handler is installed; discovery's
  // line (no description in the test's directory) says they have begun.
  ASSERT_TRUE(daemon->wait_for("loaddescriptionfile() error\n", START_MS)) << daemon->out();
  // The loader says which file and why.
  EXPECT_TRUE(daemon->wait_for_err("Can't load ./description.xml!!\n", START_MS)) << daemon->err();
  EXPECT_TRUE(daemon->wait_for_err("./description.xml: No such file or directory\n", START_MS)) << daemon->err();
  ASSERT_TRUE(daemon->signal(SIGINT));
  // One idle period plus generous slack.
  ASSERT_TRUE(daemon->exited_with(0, 3000)) << daemon->out();
  std::string out = daemon->out();
  EXPECT_TRUE(in_order(out, {"RER-UzovoviRED: register callback for ControlAPP\n", STOP_LINES})) << out;
  // The queue stays for the player.
  EXPECT_NE(msgget(CONTROLAPP_MSGQ_KEY, 0), -1);
}

}  // namespace
