// The receive side of the player link: start-up drains and hello, dispatch
// by kind, the standby state, a removed queue opened again, the bound on
// auto-feedback texts, and the entry's argument rules and exit handler.
#include <atomic>
#include <fstream>

#include "app/lifecycle.h"
#include "tests/app/link_test_support.h"
#include "tests/support/text.h"

namespace {

using link_test::capture;
using link_test::queue_post;
using link_test::run_isolated;
using link_test::queue_take;

TEST(LinkReceive, StartDrainsStaleMessagesThenSendsOneHello) {
  run_isolated([](capture& out) {
    int qid = msgget(CONTROLAPP_MSGQ_KEY, IPC_CREAT | 0666);
    ASSERT_NE(qid, -1);
    ASSERT_TRUE(queue_post(qid, MSGTYPE_FROM_MAIN, vbd_test::make_message(0, 5)));
    ASSERT_TRUE(queue_post(qid, MSGTYPE_TMP, vbd_test::make_message(0, 7)));
    ASSERT_TRUE(queue_post(qid, MSGTYPE_FROM_MAIN, vbd_test::make_message(3, 0)));  // a stale shutdown is not obeyed

    ASSERT_EQ(init_recv_thread(), 0);
    EXPECT_EQ(msg_qid, qid);
    EXPECT_EQ(client_pid, getpid());
    ASSERT_TRUE(out.wait_for("[recv_thread]start thread.\n", 5000));
    char created[100];
    snprintf(created, sizeof created, "[CONTROLAPP_CLI]cli_create_msgQ,39  qid handle 0x%x\n",
             static_cast<unsigned>(qid));
    EXPECT_EQ(out.text(), std::string(created) +
                              "[clear_cli_msgQ]cmd_smd(cmd_type:0 cmd:5) [The cmd msgs of the useless]\n"
                              "[clear_cli_msgQ]cmd_smd(cmd_type:3 cmd:0) [The cmd msgs of the useless]\n"
                              "[clear_Tmp_msgQ]cmd_smd(cmd_type:0 cmd:7) [The Tmp msgs of the useless]\n"
                              "[recv_thread]start thread.\n");
    controlapp_msg hello{};
    long long deadline = link_test::now_ms() + 2000;
    while (!queue_take(qid, MSGTYPE_TO_MAIN, &hello) && link_test::now_ms() < deadline) link_test::sleep_ms(5);
    controlapp_msg expected{};
    expected.cmd_type = CONTROLAPP_MSG_HELLO;
    expected.pid = getpid();
    EXPECT_EQ(memcmp(&hello, &expected, sizeof hello), 0);
    link_test::sleep_ms(200);
    EXPECT_EQ(link_test::queue_count(qid), 0);
    EXPECT_EQ(run_flag.load(), 1);
  });
}

TEST(LinkReceive, DispatchByKind) {
  run_isolated([](capture& out) {
    int qid = link_test::open_link_queue();
    ASSERT_NE(qid, -1);
    EXPECT_EQ(standby_mode, 1);
    out.mark();

    // A reply is re-posted unchanged on the reply channel.
    controlapp_msg normal = vbd_test::make_reply(13, 10, 13, 2);
    for (int i = 0; i < 36; ++i) normal.ret.data[i] = static_cast<uint8_t>(0xA0 + i);
    normal.param = 77;
    EXPECT_EQ(controlapp_cmd_proc(&normal), 0);
    EXPECT_EQ(out.text(), "[controlapp_cmd_proc]now process msg [cmd_type:0,cmd:13]\n"
                          "[controlapp_cmd_proc]recv normal msg\n");
    controlapp_msg reposted{};
    ASSERT_TRUE(queue_take(qid, MSGTYPE_TMP, &reposted));
    EXPECT_EQ(memcmp(&reposted, &normal, sizeof normal), 0);

    // Events, hello-like and unknown kinds are never re-posted.
    out.mark();
    controlapp_msg event = vbd_test::make_message(CONTROLAPP_MSG_AUTO_FEEDBACK, 1);
    strcpy(event.feedback_text, "P04");
    EXPECT_EQ(controlapp_cmd_proc(&event), 0);
    controlapp_msg hello = vbd_test::make_message(CONTROLAPP_MSG_HELLO, 2);
    EXPECT_EQ(controlapp_cmd_proc(&hello), 0);
    controlapp_msg odd = vbd_test::make_message(-5, 3);
    EXPECT_EQ(controlapp_cmd_proc(&odd), 0);
    EXPECT_EQ(out.text(), "[controlapp_cmd_proc]now process msg [cmd_type:1,cmd:1]\n"
                          "[controlapp_cmd_proc]recv auto feedback msg\n"
                          "[controlapp_cmd_proc]now process msg [cmd_type:2,cmd:2]\n"
                          "[controlapp_cmd_proc]recv ignore msg\n"
                          "[controlapp_cmd_proc]now process msg [cmd_type:-5,cmd:3]\n"
                          "[controlapp_cmd_proc]recv ignore msg\n");
    EXPECT_EQ(link_test::queue_count(qid), 0);

    // Standby.
    out.mark();
    controlapp_msg standby = vbd_test::make_message(CONTROLAPP_MSG_STANDBY);
    standby.standby_mode = 0;
    EXPECT_EQ(controlapp_cmd_proc(&standby), 0);
    EXPECT_EQ(standby_mode, 0);
    EXPECT_EQ(out.text(), "[controlapp_cmd_proc]now process msg [cmd_type:4,cmd:0]\n"
                          "[controlapp_cmd_proc]recv standby mode 0 .\n"
                          "[BDP_StandbyMode_Set]BDP_StandbyMode=0\n");
    EXPECT_EQ(BDP_StandbyMode_Set(1), 1);
    EXPECT_EQ(standby_mode, 1);

    // Shutdown clears the run flag.
    out.mark();
    EXPECT_EQ(run_flag, 1);
    controlapp_msg shutdown = vbd_test::make_message(CONTROLAPP_MSG_SHUTDOWN);
    EXPECT_EQ(controlapp_cmd_proc(&shutdown), 0);
    EXPECT_EQ(run_flag, 0);
    EXPECT_EQ(out.text(), "[controlapp_cmd_proc]now process msg [cmd_type:3,cmd:0]\n"
                          "[controlapp_cmd_proc]recv shutdown msg\n");
  });
}

TEST(LinkReceive, StandbyReportedThroughTheReceiveThread) {
  run_isolated([](capture& out) {
    ASSERT_EQ(init_recv_thread(), 0);
    ASSERT_TRUE(out.wait_for("[recv_thread]start thread.\n", 5000));
    controlapp_msg standby = vbd_test::make_message(CONTROLAPP_MSG_STANDBY);
    standby.standby_mode = 0;
    ASSERT_TRUE(queue_post(msg_qid, MSGTYPE_FROM_MAIN, standby));
    ASSERT_TRUE(out.wait_for("[BDP_StandbyMode_Set]BDP_StandbyMode=0\n", 2000));
    EXPECT_EQ(standby_mode.load(), 0);
  });
}

// The line the receive thread prints when it has reopened a removed queue;
// the reason is EIDRM when the queue went while the thread waited on it,
// EINVAL when it went between two receives.
std::string reopened_line(int old_qid, int error, int new_qid) {
  char line[200];
  snprintf(line, sizeof line, "[recv_thread]queue 0x%x removed (%s): reopened key 116, qid handle 0x%x, hello again.\n",
           static_cast<unsigned>(old_qid), strerror(error), static_cast<unsigned>(new_qid));
  return line;
}

// Takes the hello from the queue; false when none came within 2 s.
bool take_hello(int qid) {
  controlapp_msg hello{};
  if (!queue_take(qid, MSGTYPE_TO_MAIN, &hello, 2000)) return false;
  EXPECT_EQ(hello.cmd_type, CONTROLAPP_MSG_HELLO);
  EXPECT_EQ(hello.pid, getpid());
  return hello.cmd_type == CONTROLAPP_MSG_HELLO;
}

// The main program removed the queue: the receive thread opens it again with
// the same key and flags, says so in one line, greets the main program on it
// and serves it; again for every removal.
TEST(LinkReceive, RemovedQueueIsReopenedAndTheMainProgramGreetedAgain) {
  run_isolated([](capture& out) {
    ASSERT_EQ(init_recv_thread(), 0);
    int qid = link_qid();
    ASSERT_TRUE(out.wait_for("[recv_thread]start thread.\n", 5000));
    ASSERT_TRUE(take_hello(qid));
    for (int round = 0; round < 2; round++) {
      SCOPED_TRACE("removal " + std::to_string(round + 1));
      out.mark();
      ASSERT_EQ(msgctl(qid, IPC_RMID, nullptr), 0);
      ASSERT_TRUE(out.wait_for("hello again.\n", 3000)) << out.text();
      int reopened = msgget(CONTROLAPP_MSGQ_KEY, 0);
      ASSERT_NE(reopened, -1);
      EXPECT_NE(reopened, qid);
      EXPECT_EQ(link_qid(), reopened);
      std::string text = out.text();
      EXPECT_TRUE(text == reopened_line(qid, EIDRM, reopened) || text == reopened_line(qid, EINVAL, reopened))
          << text;
      msqid_ds info{};
      ASSERT_EQ(msgctl(reopened, IPC_STAT, &info), 0);
      EXPECT_EQ(info.msg_perm.mode & 0777, 0666u);
      qid = reopened;
      ASSERT_TRUE(take_hello(qid));
      // The thread waits on the new queue.
      controlapp_msg standby = vbd_test::make_message(CONTROLAPP_MSG_STANDBY);
      standby.standby_mode = round;
      ASSERT_TRUE(queue_post(qid, MSGTYPE_FROM_MAIN, standby));
      ASSERT_TRUE(out.wait_for("[BDP_StandbyMode_Set]BDP_StandbyMode=" + std::to_string(round) + "\n", 2000));
    }
    long long t0 = link_test::now_ms();
    EXPECT_EQ(stop_recv_thread(), 0);
    EXPECT_LT(link_test::now_ms() - t0, 1000);
    EXPECT_EQ(link_test::queue_count(qid), 0);
  });
}

// A removed queue that cannot be opened again (no queue may be created):
// the failure is told once, the thread tries again every second without a
// line, and reopens the queue as soon as it can. A stop meanwhile is prompt.
TEST(LinkReceive, QueueThatCannotBeReopenedIsTriedAgainQuietly) {
  run_isolated([](capture& out) {
    auto set_msgmni = [](const std::string& value) {
      std::ofstream limit("/proc/sys/kernel/msgmni");
      limit << value;
      limit.close();
      return static_cast<bool>(limit);
    };
    std::string saved;
    std::ifstream("/proc/sys/kernel/msgmni") >> saved;
    if (saved.empty() || !set_msgmni(saved)) GTEST_SKIP() << "cannot limit the queue count here";
    ASSERT_EQ(init_recv_thread(), 0);
    int qid = link_qid();
    ASSERT_TRUE(out.wait_for("[recv_thread]start thread.\n", 5000));
    ASSERT_TRUE(take_hello(qid));
    ASSERT_TRUE(set_msgmni("0"));
    out.mark();
    ASSERT_EQ(msgctl(qid, IPC_RMID, nullptr), 0);
    ASSERT_TRUE(out.wait_for("trying again every 1000 ms.\n", 3000)) << out.text();
    link_test::sleep_ms(2500);  // two more attempts
    std::string text = out.text();
    EXPECT_EQ(vbd_test::count_of(text, "[CONTROLAPP_CLI]cli_create_msgQ,35  msgget(...)failed\n"), 1u) << text;
    EXPECT_EQ(vbd_test::count_of(text, "[CONTROLAPP_CLI]cli_create_msgQ,35  queue key 116 (mode 0666): "
                                       "No space left on device\n"),
              1u)
        << text;
    char told[160];
    snprintf(told, sizeof told, "removed (%s): cannot reopen key 116, trying again every 1000 ms.\n",
             strerror(EIDRM));
    char told_later[160];
    snprintf(told_later, sizeof told_later, "removed (%s): cannot reopen key 116, trying again every 1000 ms.\n",
             strerror(EINVAL));
    EXPECT_EQ(vbd_test::count_of(text, told) + vbd_test::count_of(text, told_later), 1u) << text;
    EXPECT_EQ(link_qid(), qid);  // still the removed one: commands fail at once

    ASSERT_TRUE(set_msgmni(saved));
    ASSERT_TRUE(out.wait_for("hello again.\n", 3000)) << out.text();
    int reopened = msgget(CONTROLAPP_MSGQ_KEY, 0);
    ASSERT_NE(reopened, -1);
    EXPECT_EQ(link_qid(), reopened);
    EXPECT_TRUE(out.text().ends_with(reopened_line(qid, EINVAL, reopened))) << out.text();
    ASSERT_TRUE(take_hello(reopened));

    // Removed again while nothing can be created: the stop does not wait for
    // the pause. It is made as the pause begins, so a stop that waited the
    // pause out would take close to its 1000 ms; one that ends it takes about
    // one interrupt interval (10 ms). The bound lies between the two, with
    // room on either side for a loaded machine (a bound at the pause itself
    // would pass such a stop whenever it came in a little under it).
    ASSERT_TRUE(set_msgmni("0"));
    ASSERT_EQ(msgctl(reopened, IPC_RMID, nullptr), 0);
    ASSERT_TRUE(out.wait_for("trying again every 1000 ms.\n", 3000, 2)) << out.text();
    long long t0 = link_test::now_ms();
    EXPECT_EQ(stop_recv_thread(), 0);
    EXPECT_LT(link_test::now_ms() - t0, 500);
    set_msgmni(saved);
  });
}

TEST(LinkReceive, FeedbackTextEndsAtTheBodyEnd) {
  controlapp_msg msg = vbd_test::make_message(CONTROLAPP_MSG_AUTO_FEEDBACK);
  char text[CONTROLAPP_FEEDBACK_MAX + 1];
  // No NUL anywhere in the text area: cut at the body's end.
  memset(reinterpret_cast<char*>(&msg) + CONTROLAPP_FEEDBACK_OFFSET, 'A', CONTROLAPP_FEEDBACK_MAX);
  EXPECT_EQ(controlapp_feedback_text(&msg, text, sizeof text), CONTROLAPP_FEEDBACK_MAX);
  EXPECT_EQ(std::string(text), std::string(CONTROLAPP_FEEDBACK_MAX, 'A'));
  // The text may run on past the 128-byte field into the last 8 bytes.
  msg.result = 0;
  EXPECT_EQ(controlapp_feedback_text(&msg, text, sizeof text), 132);
  // The usual short text; a smaller buffer cuts it.
  strcpy(msg.feedback_text, "P04");
  EXPECT_EQ(controlapp_feedback_text(&msg, text, sizeof text), 3);
  EXPECT_STREQ(text, "P04");
  EXPECT_EQ(controlapp_feedback_text(&msg, text, 3), 2);
  EXPECT_STREQ(text, "P0");
  EXPECT_EQ(controlapp_feedback_text(nullptr, text, sizeof text), 0);
  EXPECT_STREQ(text, "");
  // Dispatching such a body stays within it.
  memset(reinterpret_cast<char*>(&msg) + CONTROLAPP_FEEDBACK_OFFSET, 'B', CONTROLAPP_FEEDBACK_MAX);
  run_isolated([&msg](capture&) { EXPECT_EQ(controlapp_cmd_proc(&msg), 0); });
}

TEST(LinkLifecycle, PortArgumentRules) {
  int port = -1;
  auto parse = [&port](std::initializer_list<const char*> args) {
    std::vector<char*> argv;
    for (const char* a : args) argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    return vbd_parse_args(static_cast<int>(args.size()), argv.data(), &port);
  };
  EXPECT_EQ(parse({"vBdServer"}), VBD_ARGS_RUN);
  EXPECT_EQ(port, 8102);
  EXPECT_EQ(parse({"vBdServer", "-h"}), VBD_ARGS_HELP);
  EXPECT_EQ(parse({"vBdServer", "--help", "9000"}), VBD_ARGS_HELP);
  EXPECT_EQ(parse({"vBdServer", "--version", "9000"}), VBD_ARGS_VERSION);
  EXPECT_EQ(parse({"vBdServer", "9000", "--help"}), VBD_ARGS_RUN);
  EXPECT_EQ(port, 9000);
  EXPECT_EQ(parse({"vBdServer", "8080abc"}), VBD_ARGS_RUN);
  EXPECT_EQ(port, 8080);
  EXPECT_EQ(parse({"vBdServer", " +1"}), VBD_ARGS_RUN);
  EXPECT_EQ(port, 1);
  EXPECT_EQ(parse({"vBdServer", "65535"}), VBD_ARGS_RUN);
  EXPECT_EQ(port, 65535);
  // Outside 1..65535, also what used to be cut to 16 bits (99999 is not
  // 34463) or to int, and what has no digits or looks like an option.
  for (const char* bad : {"0", "abc", "-hx", "--h", "--versions", " -12", "65536", "99999", "4294975398",
                          "99999999999999999999999"}) {
    port = -1;
    EXPECT_EQ(parse({"vBdServer", bad}), VBD_ARGS_BAD_PORT) << bad;
    EXPECT_EQ(port, 0) << bad;
  }
}

TEST(LinkLifecycle, ExitHandlerAndCommandCallback) {
  run_isolated([](capture&) {
    EXPECT_EQ(run_flag, 1);
    vel_exit_handler(SIGINT);
    EXPECT_EQ(run_flag, 0);
    vel_exit_handler(SIGINT);
    EXPECT_EQ(run_flag, 0);
    EXPECT_EQ(controlapp_command_callback, nullptr);
    controlapp_set_command_callback(command_handler);
    EXPECT_EQ(controlapp_command_callback, &command_handler);
  });
}

}  // namespace
