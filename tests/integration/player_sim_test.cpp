// The player simulator on the queue, driven by a test that plays the
// daemon: hello, command answers and status layouts, state rules, events,
// and the scripting controls.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/integration/harness.h"

using vbd_test::now_ms;
using vbd_test::process;
using vbd_test::queue_peer;

namespace {

constexpr int WAIT_MS = 3000;

class PlayerSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vbd_test::enter_private_namespaces(), "");
    daemon_ = std::make_unique<queue_peer>();
  }

  void start(std::vector<std::string> args = {}) {
    args.insert(args.begin(), vbd_test::sim_path());
    sim_ = process::start(args);
    ASSERT_TRUE(sim_);
    ASSERT_TRUE(sim_->wait_for("[sim] queue key 116", WAIT_MS)) << sim_->err();
  }

  // Sends one command as the daemon does and returns the player's reply.
  controlapp_msg command(int index, int param = 0, int timeout_ms = WAIT_MS) {
    controlapp_msg msg{};
    msg.cmd_type = CONTROLAPP_MSG_NORMAL;
    msg.cmd = index;
    msg.param = param;
    EXPECT_TRUE(daemon_->send(MSGTYPE_TO_MAIN, msg));
    controlapp_msg reply{};
    while (true) {
      if (!daemon_->receive(MSGTYPE_FROM_MAIN, &reply, timeout_ms)) {
        ADD_FAILURE() << "no reply to " << index;
        return {};
      }
      // Events and standby reports may come before the reply.
      if (reply.cmd_type == CONTROLAPP_MSG_AUTO_FEEDBACK) events_.emplace_back(reply.feedback_text);
      else if (reply.cmd_type != CONTROLAPP_MSG_STANDBY) break;
    }
    EXPECT_EQ(reply.cmd_type, CONTROLAPP_MSG_NORMAL);
    EXPECT_EQ(reply.cmd, index);
    return reply;
  }

  // Takes the next unsolicited message of the given kind (events kept aside).
  bool next_of_kind(int kind, controlapp_msg* out, int timeout_ms = WAIT_MS) {
    long long deadline = now_ms() + timeout_ms;
    while (now_ms() < deadline) {
      if (!daemon_->receive(MSGTYPE_FROM_MAIN, out, static_cast<int>(deadline - now_ms()))) return false;
      if (out->cmd_type == kind) return true;
      if (out->cmd_type == CONTROLAPP_MSG_AUTO_FEEDBACK) events_.emplace_back(out->feedback_text);
    }
    return false;
  }

  int32_t i32(const controlapp_msg& m, int record_offset) {
    int32_t v;
    memcpy(&v, reinterpret_cast<const char*>(&m.ret) + record_offset, sizeof v);
    return v;
  }
  unsigned u16(const controlapp_msg& m, int record_offset) {
    uint16_t v;
    memcpy(&v, reinterpret_cast<const char*>(&m.ret) + record_offset, sizeof v);
    return v;
  }
  unsigned u8(const controlapp_msg& m, int record_offset) {
    return reinterpret_cast<const uint8_t*>(&m.ret)[record_offset];
  }

  std::unique_ptr<process> sim_;
  // Made after the test entered its private IPC namespace: a queue opened
  // before would be the host's.
  std::unique_ptr<queue_peer> daemon_;
  std::vector<std::string> events_;
};

TEST_F(PlayerSimTest, HelpDocumentsTheOptions) {
  auto sim = process::start({vbd_test::sim_path(), "--help"});
  ASSERT_TRUE(sim);
  ASSERT_TRUE(sim->exited_with(0, WAIT_MS));
  std::string out = sim->out();
  for (const char* option : {"--key", "--delay", "--no-reply", "--drop", "--override", "--no-events", "--exec",
                             "--on-hello", "--keep-queue", "event TEXT", "standby N", "shutdown", "next FIELDS",
                             "help "}) {
    EXPECT_NE(out.find(option), std::string::npos) << option;
  }
  auto bad = process::start({vbd_test::sim_path(), "--bogus"});
  ASSERT_TRUE(bad);
  EXPECT_TRUE(bad->exited_with(2, WAIT_MS));
}

TEST_F(PlayerSimTest, LogsTheHelloAndReportsStandby) {
  start({"--on-hello", "event ready"});
  controlapp_msg hello{};
  hello.cmd_type = CONTROLAPP_MSG_HELLO;
  hello.pid = 4242;
  ASSERT_TRUE(daemon_->send(MSGTYPE_TO_MAIN, hello));
  EXPECT_TRUE(sim_->wait_for("[sim] hello from server pid 4242\n", WAIT_MS));
  controlapp_msg msg{};
  ASSERT_TRUE(daemon_->receive(MSGTYPE_FROM_MAIN, &msg, WAIT_MS));
  EXPECT_EQ(msg.cmd_type, CONTROLAPP_MSG_STANDBY);
  EXPECT_EQ(msg.standby_mode, 0);  // powered on
  ASSERT_TRUE(daemon_->receive(MSGTYPE_FROM_MAIN, &msg, WAIT_MS));
  EXPECT_EQ(msg.cmd_type, CONTROLAPP_MSG_AUTO_FEEDBACK);
  EXPECT_STREQ(msg.feedback_text, "ready");
}

TEST_F(PlayerSimTest, PlaysAndAnswersStatusQueriesInTheirLayouts) {
  start();
  controlapp_msg r = command(6);  // PL
  EXPECT_EQ(r.ret.ret_id, 1);
  EXPECT_EQ(r.ret.cmd_id, 6);
  EXPECT_EQ(r.result, 0);

  r = command(21);  // ?P
  EXPECT_EQ(r.ret.ret_id, 10);
  EXPECT_EQ(r.ret.cmd_id, 21);
  EXPECT_EQ(i32(r, 8), 4);  // playing

  // The counters advance while playing.
  usleep(1300 * 1000);
  r = command(12);  // ?A on a BD: long form
  EXPECT_EQ(r.ret.ret_id, 10);
  EXPECT_EQ(r.ret.cmd_id, 12);
  EXPECT_EQ(i32(r, 8), 0);
  EXPECT_EQ(u16(r, 12), 1u);  // title
  EXPECT_EQ(u16(r, 14), 1u);  // chapter
  EXPECT_EQ(u8(r, 16), 0u);   // hours
  EXPECT_EQ(u8(r, 17), 0u);   // minutes
  EXPECT_GE(u8(r, 18), 1u);   // seconds
  EXPECT_LE(u8(r, 18), 5u);

  r = command(25);  // NF
  EXPECT_EQ(r.ret.ret_id, 1);
  r = command(13);  // ?R
  EXPECT_EQ(r.ret.cmd_id, 13);
  EXPECT_EQ(u16(r, 12), 2u);
  r = command(14);  // ?C
  EXPECT_EQ(u16(r, 8), 12u);
  r = command(16);  // ?I
  EXPECT_EQ(u8(r, 8), 1u);
  EXPECT_EQ(u8(r, 9), 3u);
  r = command(15);  // ?T: 5 minutes into the title
  EXPECT_EQ(u16(r, 12), 5u);
  r = command(20);  // ?D: disc in, BD, playing
  EXPECT_EQ(i32(r, 8), 1);
  EXPECT_EQ(i32(r, 12), 0);
  EXPECT_EQ(i32(r, 16), 1);
  r = command(22);  // ?L
  EXPECT_EQ(r.ret.ret_id, 10);
  EXPECT_STREQ(reinterpret_cast<const char*>(r.ret.data), "VBD SIM BD DISC");
  r = command(17);  // ?K: six status bytes, digits or out of range
  EXPECT_EQ(u8(r, 16), 1u);
  EXPECT_EQ(u8(r, 21), 0xFFu);

  // The state change was pushed as an event.
  ASSERT_FALSE(events_.empty());
  EXPECT_EQ(events_.front(), "P04");
}

TEST_F(PlayerSimTest, RejectsCommandsThatMakeNoSenseNow) {
  start({"--no-events"});
  EXPECT_EQ(command(8).ret.ret_id, 3);       // SF while stopped: E04
  EXPECT_EQ(command(11, 7).ret.ret_id, 4);   // 7KL: E06
  EXPECT_EQ(command(24, 9).ret.ret_id, 4);   // 9SW: E06
  EXPECT_EQ(command(3).ret.ret_id, 1);       // OP
  EXPECT_EQ(command(6).ret.ret_id, 3);       // PL with the tray open: E04
  EXPECT_EQ(command(12).ret.ret_id, 3);      // ?A with the tray open: E04
  EXPECT_EQ(i32(command(21), 8), 1);         // ?P: P01
  EXPECT_EQ(command(2).ret.ret_id, 1);       // PF
  EXPECT_EQ(command(6).ret.ret_id, 3);       // PL in standby: E04
  EXPECT_EQ(i32(command(21), 8), 0);         // ?P: P00
  controlapp_msg r = command(40);            // not in the table
  EXPECT_EQ(r.ret.ret_id, 9);
  EXPECT_EQ(r.ret.cmd_id, 40);
}

TEST_F(PlayerSimTest, PowerChangesAreReportedAsStandbyAndEvents) {
  start();
  EXPECT_EQ(command(2).ret.ret_id, 1);  // PF
  controlapp_msg msg{};
  ASSERT_TRUE(next_of_kind(CONTROLAPP_MSG_STANDBY, &msg));
  EXPECT_EQ(msg.standby_mode, 1);
  ASSERT_TRUE(next_of_kind(CONTROLAPP_MSG_AUTO_FEEDBACK, &msg));
  EXPECT_STREQ(msg.feedback_text, "P00");
  ASSERT_TRUE(sim_->send("power on\n"));
  ASSERT_TRUE(next_of_kind(CONTROLAPP_MSG_STANDBY, &msg));
  EXPECT_EQ(msg.standby_mode, 0);
  ASSERT_TRUE(next_of_kind(CONTROLAPP_MSG_AUTO_FEEDBACK, &msg));
  EXPECT_STREQ(msg.feedback_text, "P03");
}

TEST_F(PlayerSimTest, ScriptControlsTheReplies) {
  start({"--no-events"});
  // A delayed reply.
  ASSERT_TRUE(sim_->send("delay 300\n"));
  ASSERT_TRUE(sim_->wait_for("[sim] delay 300 ms\n", WAIT_MS));
  long long t0 = now_ms();
  EXPECT_EQ(command(1).ret.ret_id, 1);
  EXPECT_GE(now_ms() - t0, 290);
  ASSERT_TRUE(sim_->send("delay 0\nnext ret_id=6,cmd_id=7,result=5,cmd=40\n"));
  ASSERT_TRUE(sim_->wait_for("[sim] next", WAIT_MS));
  // The next reply only carries the forced fields.
  controlapp_msg msg{};
  msg.cmd = 6;
  ASSERT_TRUE(daemon_->send(MSGTYPE_TO_MAIN, msg));
  ASSERT_TRUE(daemon_->receive(MSGTYPE_FROM_MAIN, &msg, WAIT_MS));
  EXPECT_EQ(msg.cmd, 40);
  EXPECT_EQ(msg.ret.ret_id, 6);
  EXPECT_EQ(msg.ret.cmd_id, 7);
  EXPECT_EQ(msg.result, 5);
  EXPECT_EQ(command(7).ret.ret_id, 1);
  // Silence.
  ASSERT_TRUE(sim_->send("noreply on\n"));
  ASSERT_TRUE(sim_->wait_for("[sim] noreply on\n", WAIT_MS));
  msg = {};
  msg.cmd = 6;
  ASSERT_TRUE(daemon_->send(MSGTYPE_TO_MAIN, msg));
  EXPECT_FALSE(daemon_->receive(MSGTYPE_FROM_MAIN, &msg, 400));
  EXPECT_TRUE(sim_->wait_for("[sim] no reply to cmd 6\n", WAIT_MS));
}

TEST_F(PlayerSimTest, ScriptSendsEventsStandbyShutdownAndRawKinds) {
  start({"--no-events"});
  ASSERT_TRUE(sim_->send("event P04 extra\nevent-fill 136 Q\nstandby 0\nraw 2 5 9\nshutdown\n"));
  controlapp_msg msg{};
  ASSERT_TRUE(daemon_->receive(MSGTYPE_FROM_MAIN, &msg, WAIT_MS));
  EXPECT_EQ(msg.cmd_type, CONTROLAPP_MSG_AUTO_FEEDBACK);
  EXPECT_STREQ(msg.feedback_text, "P04 extra");
  ASSERT_TRUE(daemon_->receive(MSGTYPE_FROM_MAIN, &msg, WAIT_MS));
  EXPECT_EQ(msg.cmd_type, CONTROLAPP_MSG_AUTO_FEEDBACK);
  const char* text = reinterpret_cast<const char*>(&msg) + CONTROLAPP_FEEDBACK_OFFSET;
  EXPECT_EQ(std::string(text, CONTROLAPP_FEEDBACK_MAX), std::string(CONTROLAPP_FEEDBACK_MAX, 'Q'));
  ASSERT_TRUE(daemon_->receive(MSGTYPE_FROM_MAIN, &msg, WAIT_MS));
  EXPECT_EQ(msg.cmd_type, CONTROLAPP_MSG_STANDBY);
  EXPECT_EQ(msg.standby_mode, 0);
  ASSERT_TRUE(daemon_->receive(MSGTYPE_FROM_MAIN, &msg, WAIT_MS));
  EXPECT_EQ(msg.cmd_type, CONTROLAPP_MSG_HELLO);
  EXPECT_EQ(msg.cmd, 5);
  EXPECT_EQ(msg.param, 9);
  ASSERT_TRUE(daemon_->receive(MSGTYPE_FROM_MAIN, &msg, WAIT_MS));
  EXPECT_EQ(msg.cmd_type, CONTROLAPP_MSG_SHUTDOWN);
  ASSERT_TRUE(sim_->send("quit\n"));
  EXPECT_TRUE(sim_->exited_with(0, WAIT_MS));
  EXPECT_EQ(sim_->err(), "");
}

}  // namespace

// Commands left in the queue by a daemon that gave up on them must not be
// answered: the daemon would take such a reply for its next command's.
TEST_F(PlayerSimTest, DropsCommandsLeftFromBeforeButHandlesTheHello) {
  controlapp_msg msg{};
  msg.cmd_type = CONTROLAPP_MSG_NORMAL;
  msg.cmd = VBD_CMD_STOP;
  ASSERT_TRUE(daemon_->send(MSGTYPE_TO_MAIN, msg));
  ASSERT_TRUE(daemon_->send(MSGTYPE_TO_MAIN, msg));
  controlapp_msg hello{};
  hello.cmd_type = CONTROLAPP_MSG_HELLO;
  hello.pid = 77;
  ASSERT_TRUE(daemon_->send(MSGTYPE_TO_MAIN, hello));
  start({"--no-events"});
  EXPECT_TRUE(sim_->wait_for("[sim] dropped 2 commands left in the queue from before\n", WAIT_MS));
  EXPECT_TRUE(sim_->wait_for("[sim] hello from server pid 77\n", WAIT_MS));
  ASSERT_TRUE(next_of_kind(CONTROLAPP_MSG_STANDBY, &msg));
  // The first reply on the channel is the one to the first new command.
  EXPECT_EQ(command(VBD_CMD_QUERY_STATUS).cmd, VBD_CMD_QUERY_STATUS);
  EXPECT_FALSE(daemon_->receive(MSGTYPE_FROM_MAIN, &msg, 300));
}

TEST_F(PlayerSimTest, KeepQueueAnswersCommandsLeftFromBefore) {
  controlapp_msg msg{};
  msg.cmd_type = CONTROLAPP_MSG_NORMAL;
  msg.cmd = VBD_CMD_STOP;
  ASSERT_TRUE(daemon_->send(MSGTYPE_TO_MAIN, msg));
  start({"--no-events", "--keep-queue"});
  ASSERT_TRUE(daemon_->receive(MSGTYPE_FROM_MAIN, &msg, WAIT_MS));
  EXPECT_EQ(msg.cmd, VBD_CMD_STOP);
  EXPECT_EQ(sim_->out().find("dropped"), std::string::npos);
}

TEST_F(PlayerSimTest, HelpScriptCommandListsTheScriptCommands) {
  start();
  ASSERT_TRUE(sim_->send("help\n"));
  ASSERT_TRUE(sim_->wait_for("  quit ", WAIT_MS));
  for (const char* command : {"event TEXT", "override FIELDS|off", "tray open|close", "help "}) {
    EXPECT_NE(sim_->out().find(command), std::string::npos) << command;
  }
  EXPECT_EQ(sim_->err(), "");
}
