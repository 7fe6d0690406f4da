// How the player link waits: the late answer of a timed-out command is not
// taken for the next command's reply, a stop cuts an exchange's wait short,
// and the receive thread is stopped and joined, with or without room in the
// queue for its wake message.
#include <sys/syscall.h>

#include <thread>

#include "app/lifecycle.h"
#include "tests/app/link_test_support.h"

namespace {

using link_test::capture;
using link_test::queue_post;
using link_test::prepared;
using link_test::queue_take;
using link_test::run_isolated;

// Replies the "player" posts on the reply channel the moment a command is
// sent, in order: this test program has no receive thread in the way.
struct scripted_replies {
  int count = 0;
  controlapp_msg replies[2]{};
};
scripted_replies g_script;

}  // namespace

extern "C" int msgsnd(int qid, const void* msg, size_t size, int flags) {
  int result = static_cast<int>(syscall(SYS_msgsnd, qid, msg, size, flags));
  long type = 0;
  memcpy(&type, msg, sizeof type);
  if (result == 0 && type == MSGTYPE_TO_MAIN && g_script.count > 0) {
    for (int i = 0; i < g_script.count; i++) queue_post(qid, MSGTYPE_TMP, g_script.replies[i]);
    g_script.count = 0;
  }
  return result;
}

namespace {

// A status reply as the player builds it: cmd and cmd_id name the command.
controlapp_msg answer(int cmd, int ret_id) { return vbd_test::make_reply(cmd, ret_id, cmd); }

TEST(LinkWait, LateReplyOfATimedOutCommandIsNotTakenForTheNext) {
  run_isolated([](capture& out) {
    ASSERT_NE(link_test::open_link_queue(), -1);
    // "5KL" (command 7) times out against a silent player.
    v232cmd_req late_req{7, 5};
    v232cmd_ret ret = prepared(7);
    long long t0 = link_test::now_ms();
    ASSERT_EQ(command_handler(&late_req, &ret, 0), 3);
    EXPECT_GE(link_test::now_ms() - t0, 4460);
    EXPECT_NE(out.text().find("msg.TIMEOUT(count:61)\n"), std::string::npos);

    // The next command "?P" (12) is sent; the late answer to 7 arrives
    // after the drain, then the real one. The late one is dropped with a
    // line and the real one answers "?P".
    g_script.replies[0] = answer(7, 1);
    g_script.replies[1] = answer(12, 10);
    g_script.replies[1].ret.data[0] = 3;
    g_script.count = 2;
    out.mark();
    v232cmd_req req{12, 0};
    ret = prepared(12);
    EXPECT_EQ(command_handler(&req, &ret, 0), 0);
    EXPECT_EQ(ret.cmd_id, 12);
    EXPECT_EQ(ret.ret_id, 10);
    EXPECT_EQ(ret.data[0], 3);
    std::string text = out.text();
    EXPECT_NE(text.find("[command_handler] late reply dropped(cmd:7 cmd_id:7), still waiting for cmd 12.\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[command_handler]recv from MAIN,cmd_type =0    cmd=12 param=0x0\n"), std::string::npos)
        << text;

    // Only one late answer is expected: after it a reply naming 7 is taken
    // like any other (the player answering in time sees no change).
    g_script.replies[0] = answer(7, 1);
    g_script.count = 1;
    ret = prepared(6);
    v232cmd_req play{6, 0};
    EXPECT_EQ(command_handler(&play, &ret, 0), 0);
    EXPECT_EQ(ret.cmd_id, 7);
  }, 40000);
}

TEST(LinkWait, ReplyForTheSameCommandAfterATimeOutIsTaken) {
  run_isolated([](capture& out) {
    ASSERT_NE(link_test::open_link_queue(), -1);
    v232cmd_req req{6, 0};
    v232cmd_ret ret = prepared(6);
    ASSERT_EQ(command_handler(&req, &ret, 0), 3);
    // The same command again: its reply cannot be told from the late one,
    // and is taken as before.
    g_script.replies[0] = answer(6, 1);
    g_script.count = 1;
    out.mark();
    ret = prepared(6);
    EXPECT_EQ(command_handler(&req, &ret, 0), 0);
    EXPECT_EQ(ret.ret_id, 1);
    EXPECT_EQ(out.text().find("late reply"), std::string::npos);
  }, 40000);
}

TEST(LinkWait, StopCutsTheWaitOfAnExchangeShort) {
  run_isolated([](capture& out) {
    ASSERT_NE(link_test::open_link_queue(), -1);
    std::thread stopper([] {
      link_test::sleep_ms(150);
      vel_exit_handler(SIGINT);
    });
    v232cmd_req req{6, 0};
    v232cmd_ret ret = prepared(6);
    long long t0 = link_test::now_ms();
    EXPECT_EQ(command_handler(&req, &ret, 0), 3);
    long long elapsed = link_test::now_ms() - t0;
    stopper.join();
    EXPECT_GE(elapsed, 100);
    EXPECT_LT(elapsed, 1500);  // not the 4.46 s limit
    EXPECT_EQ(ret.ret_id, 3);  // the prepared reply is left as it was
    EXPECT_TRUE(out.wait_for("[command_handler] program stopping, no reply awaited.\n", 0));
    // The stop descriptor stays set: the main loop's wait returns at once.
    EXPECT_GE(vel_stop_fd(), 0);
  });
}

TEST(LinkWait, ReceiveThreadIsStoppedAndJoinedLeavingNothingInTheQueue) {
  run_isolated([](capture& out) {
    ASSERT_EQ(init_recv_thread(), 0);
    int qid = msg_qid;
    ASSERT_TRUE(out.wait_for("[recv_thread]start thread.\n", 5000));
    controlapp_msg hello{};
    long long deadline = link_test::now_ms() + 2000;
    while (!queue_take(qid, MSGTYPE_TO_MAIN, &hello) && link_test::now_ms() < deadline) {
      link_test::sleep_ms(5);
    }
    // An event sent just before the stop is still dispatched.
    controlapp_msg standby = vbd_test::make_message(CONTROLAPP_MSG_STANDBY);
    standby.standby_mode = 0;
    ASSERT_TRUE(queue_post(qid, MSGTYPE_FROM_MAIN, standby));
    long long t0 = link_test::now_ms();
    EXPECT_EQ(stop_recv_thread(), 0);
    EXPECT_LT(link_test::now_ms() - t0, 1000);
    EXPECT_EQ(standby_mode.load(), 0);
    EXPECT_EQ(link_test::queue_count(qid), 0);  // the wake message was taken
    EXPECT_EQ(stop_recv_thread(), 0);           // a second stop does nothing
  });
}

TEST(LinkWait, ReceiveThreadStopsWhenTheQueueIsFull) {
  run_isolated([](capture& out) {
    ASSERT_EQ(init_recv_thread(), 0);
    int qid = msg_qid;
    ASSERT_TRUE(out.wait_for("[recv_thread]start thread.\n", 5000));
    // A main program that stopped reading: its channel fills the queue, so
    // no wake message fits.
    controlapp_msg filler{};
    int posted = 0;
    while (queue_post(qid, MSGTYPE_TO_MAIN, filler) && posted < 100000) posted++;
    ASSERT_GT(posted, 0);
    long long t0 = link_test::now_ms();
    EXPECT_EQ(stop_recv_thread(), 0);
    EXPECT_LT(link_test::now_ms() - t0, 2000);
  });
}

}  // namespace
