// The command exchange: what it sends, the drain of stale replies, the
// first poll, rejected replies, the time-out and the whole path through the
// receive thread.
#include <sys/syscall.h>

#include <thread>

#include "tests/app/link_test_support.h"

namespace {

using link_test::capture;
using link_test::queue_post;
using link_test::prepared;
using link_test::run_isolated;
using link_test::queue_take;

// A player that answers in no time at all: when armed, the reply is on the
// reply channel as soon as the command has been sent, before the exchange
// polls for the first time.
struct instant_reply {
  bool armed = false;
  controlapp_msg reply{};
};
instant_reply g_instant;

}  // namespace

// Every msgsnd of this test program goes through here.
extern "C" int msgsnd(int qid, const void* msg, size_t size, int flags) {
  int result = static_cast<int>(syscall(SYS_msgsnd, qid, msg, size, flags));
  long type = 0;
  memcpy(&type, msg, sizeof type);
  if (result == 0 && g_instant.armed && type == MSGTYPE_TO_MAIN) {
    g_instant.armed = false;
    queue_post(qid, MSGTYPE_TMP, g_instant.reply);
  }
  return result;
}

namespace {

TEST(LinkExchange, MissingArgumentsAndMissingQueueGive3) {
  run_isolated([](capture& out) {
    v232cmd_ret ret = prepared(6);
    v232cmd_req req{6, 0};
    EXPECT_EQ(command_handler(nullptr, &ret, 0), 3);
    EXPECT_EQ(out.text(), "\n\n\n[command_handler]your input param is null.\n");
    EXPECT_EQ(command_handler(&req, nullptr, 0), 3);
    out.mark();

    // No queue: the drain and the send report the wrong handle.
    EXPECT_EQ(command_handler(&req, &ret, 0), 3);
    EXPECT_EQ(out.text(),
              "\n\n\n[command_handler]cmd =6  para=0x0 Start.\n"
              "[command_handler]ret_id =3  cmd_id=6\n"
              "[CONTROLAPP_CLI]cli_recv_msgQ,75  handle is wrong.\n"
              "[CONTROLAPP_CLI]cli_send_msgQ,54  handle is wrong.\n"
              "[cli_send_cmd] failed\n"
              "[command_handler] send cmd error.\n");
    EXPECT_EQ(ret.ret_id, 3);
  });
}

TEST(LinkExchange, ReplyWaitingAtTheFirstPollIsTakenWithCounter0) {
  run_isolated([](capture& out) {
    int qid = link_test::open_link_queue();
    ASSERT_NE(qid, -1);
    // A reply left from an earlier exchange.
    ASSERT_TRUE(queue_post(qid, MSGTYPE_TMP, vbd_test::make_reply(12, 10, 12)));
    g_instant.reply = vbd_test::make_reply(6, 1, 6, 7);
    for (int i = 0; i < 36; ++i) g_instant.reply.ret.data[i] = static_cast<uint8_t>(i + 1);
    g_instant.armed = true;
    out.mark();

    v232cmd_req req{6, 0x1234};
    v232cmd_ret ret = prepared(6);
    long long t0 = link_test::now_ms();
    EXPECT_EQ(command_handler(&req, &ret, 5), 7);
    EXPECT_LT(link_test::now_ms() - t0, 10);
    EXPECT_EQ(memcmp(&ret, &g_instant.reply.ret, sizeof ret), 0);
    EXPECT_EQ(out.text(),
              "\n\n\n[command_handler]cmd =6  para=0x1234 Start.\n"
              "[command_handler]ret_id =3  cmd_id=6\n"
              "[clear_Tmp_msgQ]cmd_smd(cmd_type:0 cmd:12) [The Tmp msgs of the useless]\n"
              "[command_handler] Tmp_recv_cmd recv  msg.(count:0)\n"
              "[command_handler]recv from MAIN,cmd_type =0    cmd=6 param=0x0\n"
              "recv Ret [ ret_id : 1, cmd_id : 6 ] \n"
              "Ret [ ret_id : 1, cmd_id : 6 ] \n");

    // What the player received: a zeroed body with the command fields.
    controlapp_msg sent{};
    ASSERT_TRUE(queue_take(qid, MSGTYPE_TO_MAIN, &sent));
    controlapp_msg expected{};
    expected.cmd = 6;
    expected.param = 0x1234;
    expected.user_value = 5;
    EXPECT_EQ(memcmp(&sent, &expected, sizeof sent), 0);
    EXPECT_EQ(link_test::queue_count(qid), 0);
  });
}

TEST(LinkExchange, RepliesOfAnotherKindOrWithABadIndex) {
  run_isolated([](capture& out) {
    ASSERT_NE(link_test::open_link_queue(), -1);
    v232cmd_req req{12, 0};
    struct {
      controlapp_msg reply;
      int expected;
      const char* line;
    } cases[] = {
        {vbd_test::make_message(CONTROLAPP_MSG_AUTO_FEEDBACK, 12), 0, "autofeed back msg.\n"},
        {vbd_test::make_reply(30, 10, 12, 0), 3, "recv from MAIN, Cmd id is wrong!\n"},
        {vbd_test::make_reply(-1, 10, 12, 0), 3, "recv from MAIN, Cmd id is wrong!\n"},
    };
    for (const auto& c : cases) {
      out.mark();
      g_instant.reply = c.reply;
      g_instant.reply.ret.ret_id = 10;
      g_instant.armed = true;
      v232cmd_ret ret = prepared(12);
      EXPECT_EQ(command_handler(&req, &ret, 0), c.expected);
      EXPECT_EQ(ret.ret_id, 3);  // left as the caller prepared it
      EXPECT_TRUE(std::string_view(out.text()).ends_with(c.line)) << out.text();
    }
    // 29 is still accepted.
    g_instant.reply = vbd_test::make_reply(29, 1, 29, 0);
    g_instant.armed = true;
    v232cmd_ret ret = prepared(12);
    EXPECT_EQ(command_handler(&req, &ret, 0), 0);
    EXPECT_EQ(ret.ret_id, 1);
  });
}

TEST(LinkExchange, SilentPlayerTimesOutAfter62Attempts) {
  run_isolated([](capture& out) {
    int qid = link_test::open_link_queue();
    ASSERT_NE(qid, -1);
    v232cmd_req req{7, 0};
    v232cmd_ret ret = prepared(7);
    long long t0 = link_test::now_ms();
    EXPECT_EQ(command_handler(&req, &ret, 0), 3);
    long long elapsed = link_test::now_ms() - t0;
    EXPECT_GE(elapsed, 4460);
    EXPECT_LT(elapsed, 9000);
    EXPECT_EQ(ret.ret_id, 3);
    EXPECT_TRUE(std::string_view(out.text()).ends_with(
        "[command_handler] Tmp_recv_cmd recv  msg.TIMEOUT(count:61)\n"
        "[command_handler] poll return msg from main failed.Please check the ZODIVO is runing ok or not\n"))
        << out.text();

    // The late reply stays until the next exchange drains it.
    ASSERT_TRUE(queue_post(qid, MSGTYPE_TMP, vbd_test::make_reply(7, 1, 7)));
    g_instant.reply = vbd_test::make_reply(6, 1, 6);
    g_instant.armed = true;
    out.mark();
    req.cmd = 6;
    EXPECT_EQ(command_handler(&req, &ret, 0), 0);
    EXPECT_NE(out.text().find("[clear_Tmp_msgQ]cmd_smd(cmd_type:0 cmd:7) [The Tmp msgs of the useless]\n"),
              std::string::npos);
    EXPECT_EQ(ret.cmd_id, 6);
  }, 40000);
}

TEST(LinkExchange, ExchangeThroughTheReceiveThread) {
  run_isolated([](capture& out) {
    ASSERT_EQ(init_recv_thread(), 0);
    int qid = msg_qid;
    // The player: takes the hello, then answers one command 30 ms late,
    // pushing an event first.
    std::thread player([qid] {
      controlapp_msg hello{};
      ASSERT_TRUE(queue_take(qid, MSGTYPE_TO_MAIN, &hello, 20000));
      EXPECT_EQ(hello.cmd_type, CONTROLAPP_MSG_HELLO);
      EXPECT_EQ(hello.pid, getpid());
      controlapp_msg command{};
      ASSERT_TRUE(queue_take(qid, MSGTYPE_TO_MAIN, &command, 20000));
      controlapp_msg event = vbd_test::make_message(CONTROLAPP_MSG_AUTO_FEEDBACK);
      strcpy(event.feedback_text, "P04");
      EXPECT_TRUE(queue_post(qid, MSGTYPE_FROM_MAIN, event));
      link_test::sleep_ms(30);
      controlapp_msg answer = vbd_test::make_reply(command.cmd, 10, command.cmd, 0);
      answer.ret.data[0] = 4;
      EXPECT_TRUE(queue_post(qid, MSGTYPE_FROM_MAIN, answer));
    });
    ASSERT_TRUE(out.wait_for("[recv_thread]start thread.\n", 5000));
    EXPECT_EQ(client_pid, getpid());

    v232cmd_req req{21, 0};
    v232cmd_ret ret = prepared(21);
    EXPECT_EQ(command_handler(&req, &ret, 0), 0);
    player.join();
    EXPECT_EQ(ret.ret_id, 10);
    EXPECT_EQ(ret.cmd_id, 21);
    EXPECT_EQ(ret.data[0], 4);
    std::string text = out.text();
    EXPECT_NE(text.find("[controlapp_cmd_proc]recv auto feedback msg\n"), std::string::npos);
    EXPECT_NE(text.find("[controlapp_cmd_proc]recv normal msg\n"), std::string::npos);
    EXPECT_EQ(text.find("msg.(count:0)"), std::string::npos) << text;
    EXPECT_EQ(link_test::queue_count(qid), 0);
  });
}

}  // namespace
