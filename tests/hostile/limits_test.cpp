// The limits the hostile suite relies on, at their exact boundaries: how
// long a send to a full queue may wait. An exchange cut short by a stop is
// tested with the link (tests/app/link_wait_test.cpp), and what one HTTP
// request may make the reader hold with the reader
// (tests/http/http_message_test.cpp).
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <functional>
#include <thread>

#include "app/lifecycle.h"
#include "app/player_link.h"
#include "tests/hostile/hostile_env.h"
#include "tests/integration/harness.h"

namespace vbd_hostile {
namespace {

// Player link bounds, each in a child with its own IPC namespace.
void in_private_ipc(const std::function<void()>& body) {
  vbd_test::run_in_child([&] {
    ASSERT_EQ(vbd_test::enter_private_namespaces(false), "");
    body();
  });
}

TEST(LinkLimits, SendToAFullQueueGivesUpAfterTheBound) {
  in_private_ipc([] {
    vbd_test::output_capture out;
    msg_qid = cli_create_msgQ(CONTROLAPP_MSGQ_KEY);
    ASSERT_NE(msg_qid, -1);
    vbd_test::queue_peer peer;
    int filled = 0;
    while (peer.send(MSGTYPE_TO_MAIN, vbd_test::make_message(CONTROLAPP_MSG_NORMAL))) filled++;
    ASSERT_GT(filled, 0);
    controlapp_msg msg{};
    long long start = now_ms();
    EXPECT_EQ(cli_send_cmd(&msg), -1);
    long long took = now_ms() - start;
    EXPECT_GE(took, CONTROLAPP_SEND_WAIT_MS - 20);
    EXPECT_LT(took, CONTROLAPP_SEND_WAIT_MS + 500);
    EXPECT_TRUE(out.wait_for("[CONTROLAPP_CLI]cli_send_msgQ,62  msgsnd(...)failed\n", 0));
    EXPECT_TRUE(out.wait_for(" bytes: the queue stayed full for 1000 ms (is the player's main program reading it?)\n"
                             "[cli_send_cmd] failed\n",
                             0));
    // Room made while the send waits is taken.
    std::thread reader([&] {
      sleep_ms(300);
      controlapp_msg taken{};
      peer.receive(MSGTYPE_TO_MAIN, &taken, 1000);
    });
    start = now_ms();
    EXPECT_EQ(cli_send_cmd(&msg), 0);
    EXPECT_LT(now_ms() - start, CONTROLAPP_SEND_WAIT_MS);
    reader.join();
    // A command whose send fails answers 3 and waits for no reply.
    v232cmd_req req{6, 0};
    v232cmd_ret ret{};
    start = now_ms();
    EXPECT_EQ(command_handler(&req, &ret, 0), 3);
    EXPECT_LT(now_ms() - start, CONTROLAPP_SEND_WAIT_MS + 500);
    EXPECT_TRUE(out.wait_for("[command_handler] send cmd error.\n", 0));
    // A removed queue fails at once.
    ASSERT_EQ(msgctl(msg_qid, IPC_RMID, nullptr), 0);
    start = now_ms();
    EXPECT_EQ(cli_send_cmd(&msg), -1);
    EXPECT_LT(now_ms() - start, 100);
  });
}

}  // namespace
}  // namespace vbd_hostile
