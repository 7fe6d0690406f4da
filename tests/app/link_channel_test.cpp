// The player message channel: queue creation, the channel separation by
// message type, short and long messages, drains, and the failure lines.
#include <fstream>

#include "tests/app/link_test_support.h"

namespace {

using link_test::capture;
using link_test::queue_post;
using link_test::run_isolated;
using link_test::queue_take;

TEST(LinkChannel, WithoutAQueueEveryOperationFailsWithItsLine) {
  run_isolated([](capture& out) {
    ASSERT_EQ(msg_qid, -1);
    controlapp_msg msg{};
    EXPECT_EQ(cli_send_cmd(&msg), -1);
    EXPECT_EQ(out.text(), "[CONTROLAPP_CLI]cli_send_msgQ,54  handle is wrong.\n[cli_send_cmd] failed\n");
    out.mark();
    EXPECT_EQ(Tmp_send_cmd(&msg), -1);
    EXPECT_EQ(out.text(), "[CONTROLAPP_CLI]cli_send_msgQ,54  handle is wrong.\n[Tmp_send_cmd] failed\n");
    out.mark();
    EXPECT_EQ(cli_recv_cmd(&msg), -1);
    EXPECT_EQ(Tmp_recv_cmd(&msg), -1);
    EXPECT_EQ(out.text(),
              "[CONTROLAPP_CLI]cli_recv_msgQ,75  handle is wrong.\n"
              "[CONTROLAPP_CLI]cli_recv_msgQ,75  handle is wrong.\n");
  });
}

TEST(LinkChannel, CreatesQueue116AndKeepsTheChannelsApart) {
  run_isolated([](capture& out) {
    int qid = link_test::open_link_queue();
    ASSERT_NE(qid, -1);
    char line[100];
    snprintf(line, sizeof line, "[CONTROLAPP_CLI]cli_create_msgQ,39  qid handle 0x%x\n", static_cast<unsigned>(qid));
    EXPECT_EQ(out.text(), line);
    EXPECT_EQ(msgget(116, 0), qid);
    msqid_ds info{};
    ASSERT_EQ(msgctl(qid, IPC_STAT, &info), 0);
    EXPECT_EQ(info.msg_perm.mode & 0777, 0666u);

    ASSERT_TRUE(queue_post(qid, MSGTYPE_TO_MAIN, vbd_test::make_message(0, 1)));
    ASSERT_TRUE(queue_post(qid, MSGTYPE_FROM_MAIN, vbd_test::make_message(0, 2)));
    ASSERT_TRUE(queue_post(qid, MSGTYPE_TMP, vbd_test::make_message(0, 3)));
    ASSERT_TRUE(queue_post(qid, MSGTYPE_FROM_MAIN, vbd_test::make_message(0, 4)));
    EXPECT_EQ(cli_msgQ_count(qid), 4);

    controlapp_msg msg{};
    EXPECT_EQ(Tmp_recv_cmd(&msg), CONTROLAPP_MSG_SIZE);
    EXPECT_EQ(msg.cmd, 3);
    EXPECT_EQ(Tmp_recv_cmd(&msg), -1);
    EXPECT_EQ(cli_recv_cmd(&msg), CONTROLAPP_MSG_SIZE);
    EXPECT_EQ(msg.cmd, 2);  // oldest first
    EXPECT_EQ(cli_recv_cmd(&msg), CONTROLAPP_MSG_SIZE);
    EXPECT_EQ(msg.cmd, 4);
    EXPECT_EQ(cli_recv_cmd(&msg), -1);
    EXPECT_EQ(cli_msgQ_count(qid), 1);  // the command for the player stays

    controlapp_msg sent = vbd_test::make_message(0, 28);
    sent.param = 0x0000ABCD;
    ASSERT_EQ(cli_send_cmd(&sent), 0);
    ASSERT_EQ(Tmp_send_cmd(&sent), 0);
    ASSERT_TRUE(queue_take(qid, MSGTYPE_TO_MAIN, &msg));
    EXPECT_EQ(msg.cmd, 1);
    ASSERT_TRUE(queue_take(qid, MSGTYPE_TO_MAIN, &msg));
    EXPECT_EQ(memcmp(&msg, &sent, sizeof msg), 0);
    ASSERT_TRUE(queue_take(qid, MSGTYPE_TMP, &msg));
    EXPECT_EQ(memcmp(&msg, &sent, sizeof msg), 0);
    EXPECT_EQ(cli_msgQ_count(-1), -1);
  });
}

TEST(LinkChannel, ShortMessagesArePaddedAndLongOnesCut) {
  run_isolated([](capture&) {
    int qid = link_test::open_link_queue();
    ASSERT_NE(qid, -1);
    unsigned char bytes[CONTROLAPP_MSG_STAGING_SIZE];
    memset(bytes, 0x5A, sizeof bytes);
    ASSERT_TRUE(queue_post(qid, MSGTYPE_FROM_MAIN, bytes, 120));
    ASSERT_TRUE(queue_post(qid, MSGTYPE_FROM_MAIN, bytes, CONTROLAPP_MSG_STAGING_SIZE));

    unsigned char body[CONTROLAPP_MSG_SIZE + 8];
    memset(body, 0xEE, sizeof body);
    EXPECT_EQ(cli_recv_cmd(reinterpret_cast<controlapp_msg*>(body)), 120);
    for (int i = 0; i < 120; ++i) ASSERT_EQ(body[i], 0x5A) << i;
    for (int i = 120; i < CONTROLAPP_MSG_SIZE; ++i) ASSERT_EQ(body[i], 0) << i;
    EXPECT_EQ(body[CONTROLAPP_MSG_SIZE], 0xEE);  // nothing written past the body

    memset(body, 0xEE, sizeof body);
    EXPECT_EQ(cli_recv_cmd(reinterpret_cast<controlapp_msg*>(body)), CONTROLAPP_MSG_SIZE);
    EXPECT_EQ(body[CONTROLAPP_MSG_SIZE - 1], 0x5A);
    EXPECT_EQ(body[CONTROLAPP_MSG_SIZE], 0xEE);

    // An empty message counts as nothing received; a null body just takes it.
    ASSERT_TRUE(queue_post(qid, MSGTYPE_TMP, bytes, 0));
    EXPECT_EQ(cli_recv_msgQ(qid, MSGTYPE_TMP, body, CONTROLAPP_MSG_SIZE), -1);
    ASSERT_TRUE(queue_post(qid, MSGTYPE_TMP, bytes, 10));
    EXPECT_EQ(cli_recv_msgQ(qid, MSGTYPE_TMP, nullptr, CONTROLAPP_MSG_SIZE), 10);
    EXPECT_EQ(cli_msgQ_count(qid), 0);

    // Bodies longer than the staging buffer are refused, not overrun.
    EXPECT_EQ(cli_send_msgQ(qid, MSGTYPE_TMP, bytes, CONTROLAPP_MSG_STAGING_SIZE + 1), -1);
    EXPECT_EQ(cli_recv_msgQ(qid, MSGTYPE_TMP, body, CONTROLAPP_MSG_STAGING_SIZE + 1), -1);
    EXPECT_EQ(cli_send_msgQ(qid, MSGTYPE_TMP, bytes, CONTROLAPP_MSG_STAGING_SIZE), 0);
    EXPECT_EQ(cli_msgQ_count(qid), 1);
  });
}

TEST(LinkChannel, DrainsRemoveOnlyTheirOwnChannel) {
  run_isolated([](capture& out) {
    int qid = link_test::open_link_queue();
    ASSERT_NE(qid, -1);
    out.mark();
    // Empty queue: nothing printed.
    EXPECT_EQ(clear_cli_msgQ(), 0);
    EXPECT_EQ(clear_Tmp_msgQ(), 0);
    EXPECT_EQ(out.text(), "");

    // Other channels only: nothing drained, nothing printed.
    ASSERT_TRUE(queue_post(qid, MSGTYPE_TO_MAIN, vbd_test::make_message(0, 9)));
    ASSERT_TRUE(queue_post(qid, MSGTYPE_FROM_MAIN, vbd_test::make_message(1, 8)));
    EXPECT_EQ(clear_Tmp_msgQ(), 0);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(cli_msgQ_count(qid), 2);

    ASSERT_TRUE(queue_post(qid, MSGTYPE_TMP, vbd_test::make_message(0, 12)));
    ASSERT_TRUE(queue_post(qid, MSGTYPE_TMP, vbd_test::make_message(4, 13)));
    EXPECT_EQ(clear_Tmp_msgQ(), 0);
    EXPECT_EQ(out.text(),
              "[clear_Tmp_msgQ]cmd_smd(cmd_type:0 cmd:12) [The Tmp msgs of the useless]\n"
              "[clear_Tmp_msgQ]cmd_smd(cmd_type:4 cmd:13) [The Tmp msgs of the useless]\n");
    out.mark();
    EXPECT_EQ(clear_cli_msgQ(), 0);
    EXPECT_EQ(out.text(), "[clear_cli_msgQ]cmd_smd(cmd_type:1 cmd:8) [The cmd msgs of the useless]\n");
    EXPECT_EQ(cli_msgQ_count(qid), 1);  // the player's command stays
  });
}

TEST(LinkChannel, SendFailuresAfterTheQueueIsRemoved) {
  run_isolated([](capture& out) {
    int qid = link_test::open_link_queue();
    ASSERT_NE(qid, -1);
    ASSERT_EQ(msgctl(qid, IPC_RMID, nullptr), 0);
    out.mark();
    controlapp_msg msg{};
    EXPECT_EQ(cli_send_cmd(&msg), -1);
    std::string text = out.text();
    EXPECT_NE(text.find("msgsnd: "), std::string::npos) << text;
    // The failure line, then which queue and message and the system's
    // reason, then the wrapper's line.
    char reason[160];
    snprintf(reason, sizeof reason, "[CONTROLAPP_CLI]cli_send_msgQ,62  queue 0x%x, type %ld, %d bytes: %s\n",
             static_cast<unsigned>(qid), MSGTYPE_TO_MAIN, CONTROLAPP_MSG_SIZE, strerror(EINVAL));
    EXPECT_NE(text.find(std::string("[CONTROLAPP_CLI]cli_send_msgQ,62  msgsnd(...)failed\n") + reason +
                        "[cli_send_cmd] failed\n"),
              std::string::npos)
        << text;
    // A failed count is taken for a non-empty queue; the drain then ends on
    // the first failed receive.
    EXPECT_EQ(clear_cli_msgQ(), 0);
  });
}

TEST(LinkChannel, QueueCreationFailure) {
  run_isolated([](capture& out) {
    // No queue may be created in this namespace.
    {
      std::ofstream limit("/proc/sys/kernel/msgmni");
      limit << 0;
      limit.close();
      if (!limit) GTEST_SKIP() << "cannot limit the queue count here";
    }
    EXPECT_EQ(init_recv_thread(), -1);
    std::string text = out.text();
    EXPECT_NE(text.find("msgget: "), std::string::npos) << text;
    EXPECT_NE(text.find("[CONTROLAPP_CLI]cli_create_msgQ,35  msgget(...)failed\n"
                        "[CONTROLAPP_CLI]cli_create_msgQ,35  queue key 116 (mode 0666): No space left on device\n"),
              std::string::npos)
        << text;
    EXPECT_TRUE(std::string_view(text).ends_with("[init_recv_thread]cli_create_msgQ(116) failed, ")) << text;
    EXPECT_EQ(msg_qid, -1);
    EXPECT_EQ(recv_running, 0);  // no receive thread
  });
}

}  // namespace
