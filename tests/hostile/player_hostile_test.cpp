// Faults on the player side of the link, with the test playing the player
// on the queue: a silent player, late replies, replies with values out of
// range, auto-feedback texts that fill the body, the queue removed while
// running, and a player that stopped reading its queue (which fills). With
// the simulator: the queue removed and the player restarted. Also: the stop
// completes in bounded time whatever is in progress.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "app/player_link.h"
#include "tests/hostile/hostile_env.h"

namespace vbd_hostile {
namespace {

using vbd_test::make_message;
using vbd_test::make_reply;
using vbd_test::queue_peer;

constexpr int kPlIndex = 6;       // "PL": an action, "R" when it succeeds
constexpr int kStatusIndex = 21;  // "?P": a status query

// The player side of the link: the test's own end of queue 116.
class PlayerHostileTest : public hostile_test {
 protected:
  void SetUp() override {
    hostile_test::SetUp();
    if (HasFatalFailure()) return;
    // Opened only now, inside the test's private IPC namespace.
    queue_ = std::make_unique<queue_peer>();
    ASSERT_TRUE(queue_->ok());
    controlapp_msg hello{};
    ASSERT_TRUE(queue_->receive(MSGTYPE_TO_MAIN, &hello, 5000));
    ASSERT_EQ(hello.cmd_type, CONTROLAPP_MSG_HELLO);
    client_ = tcp_connect(env_.client_address(), env_.device_address(), kControlPort, 8000);
    ASSERT_GE(client_, 0);
    // Served once its client thread runs, and by then the connection is in
    // the client list: an event the player sends from now on reaches it
    // (one sent while the connection is still being accepted goes to no
    // one, and the receive thread dispatches at once).
    ASSERT_EQ(control_ask(client_, "?E"), "E04\r\n");
  }
  void TearDown() override {
    if (client_ >= 0) close(client_);
  }

  // Sends a request line; returns the command the daemon passed on (or a
  // zero body with cmd -1 when none came).
  controlapp_msg request(const std::string& line) {
    send_all(client_, line + "\r");
    controlapp_msg command{};
    command.cmd = -1;
    queue_->receive(MSGTYPE_TO_MAIN, &command, 3000);
    return command;
  }
  std::string reply(int timeout_ms = 3000) { return read_until(client_, "\r\n", timeout_ms); }

  std::unique_ptr<queue_peer> queue_;
  int client_ = -1;
};

// CPU time (user + system, in clock ticks) the process has used.
long long cpu_ticks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close_paren + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; i++) {
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) stime = std::atoll(field.c_str());
  }
  return utime + stime;
}

// Fills the queue with messages for the player until it takes no more.
int fill_queue(queue_peer& q) {
  int sent = 0;
  while (q.send(MSGTYPE_TO_MAIN, make_message(CONTROLAPP_MSG_NORMAL, 99))) sent++;
  return sent;
}

TEST_F(PlayerHostileTest, SilentPlayerGetsE04AfterTheExchangeTimeOut) {
  long long start = now_ms();
  controlapp_msg command = request("PL");
  EXPECT_EQ(command.cmd, kPlIndex);
  EXPECT_EQ(reply(8000), "E04\r\n");
  long long took = now_ms() - start;
  EXPECT_GE(took, 4400);
  EXPECT_LT(took, 6500);
  RecordProperty("silent_exchange_ms", std::to_string(took));
  finish();
}

TEST_F(PlayerHostileTest, LateReplyIsDrainedByTheNextExchange) {
  controlapp_msg command = request("PL");
  ASSERT_EQ(command.cmd, kPlIndex);
  EXPECT_EQ(reply(8000), "E04\r\n");
  // The answer comes after the exchange gave up; it waits on the internal
  // channel until the next exchange discards it.
  ASSERT_TRUE(queue_->send(MSGTYPE_FROM_MAIN, make_reply(kPlIndex, V232CMD_RET_OK, kPlIndex)));
  ASSERT_TRUE(env_.wait_out("[controlapp_cmd_proc]recv normal msg\n", 3000));
  command = request("?P");
  ASSERT_EQ(command.cmd, kStatusIndex);
  controlapp_msg status = make_reply(kStatusIndex, V232CMD_RET_STATUS, kStatusIndex);
  const int32_t playing = 4;  // "P04"
  std::memcpy(status.ret.data, &playing, sizeof playing);
  ASSERT_TRUE(queue_->send(MSGTYPE_FROM_MAIN, status));
  EXPECT_EQ(reply(), "P04\r\n");
  EXPECT_TRUE(env_.wait_out("cmd:6) [The Tmp msgs of the useless]\n", 1000));
  finish();
}

// A player 4.7 s late: its answer to the command that timed out arrives
// while the next command is awaited. It must not be taken for that
// command's reply (the client would read "R" as the answer to "?P").
TEST_F(PlayerHostileTest, LateAnswerOfATimedOutCommandIsNotTakenForTheNext) {
  controlapp_msg command = request("PL");
  ASSERT_EQ(command.cmd, kPlIndex);
  EXPECT_EQ(reply(8000), "E04\r\n");
  command = request("?P");
  ASSERT_EQ(command.cmd, kStatusIndex);
  ASSERT_TRUE(queue_->send(MSGTYPE_FROM_MAIN, make_reply(kPlIndex, V232CMD_RET_OK, kPlIndex)));
  ASSERT_TRUE(env_.wait_out("[command_handler] late reply dropped(cmd:6 cmd_id:6), still waiting for cmd 21.\n",
                            3000))
      << env_.out();
  controlapp_msg status = make_reply(kStatusIndex, V232CMD_RET_STATUS, kStatusIndex);
  const int32_t playing = 4;  // "P04"
  std::memcpy(status.ret.data, &playing, sizeof playing);
  ASSERT_TRUE(queue_->send(MSGTYPE_FROM_MAIN, status));
  EXPECT_EQ(reply(), "P04\r\n");
  // The error the client was last told is still the time-out's.
  EXPECT_EQ(control_ask(client_, "?E"), "E04\r\n");
  finish();
}

// A client that never reads while the player sends events faster than the
// socket takes them: the player link keeps its pace (its queue does not
// fill, its shutdown is accepted), and the client's stream holds whole lines
// only, up to the point where the daemon gives the connection up.
TEST_F(PlayerHostileTest, ClientThatNeverReadsDoesNotSlowThePlayerLink) {
  int small = 4096;
  setsockopt(client_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  controlapp_msg event = make_message(CONTROLAPP_MSG_AUTO_FEEDBACK);
  std::memset(reinterpret_cast<char*>(&event) + CONTROLAPP_FEEDBACK_OFFSET, 'A', CONTROLAPP_FEEDBACK_MAX);
  constexpr int kEvents = 2000;  // 276 KB of lines: far past any buffer
  long long start = now_ms();
  int sent = 0;
  while (sent < kEvents && now_ms() - start < 20000) {
    if (queue_->send(MSGTYPE_FROM_MAIN, event)) {
      sent++;
    } else {
      sleep_ms(1);  // the queue is full for a moment
    }
  }
  ASSERT_EQ(sent, kEvents);
  ASSERT_TRUE(env_.wait_out("[controlapp_cmd_proc]recv auto feedback msg\n", 10000, kEvents));
  long long took = now_ms() - start;
  RecordProperty("events_ms", std::to_string(took));
  EXPECT_LT(took, 10000);  // about 5 events a second before: 400 s
  // Whatever reached the client is whole lines.
  std::string got;
  wait_closed(client_, 3000, &got);
  const std::string line = std::string(CONTROLAPP_FEEDBACK_MAX, 'A') + "\r\n";
  ASSERT_EQ(got.size() % line.size(), 0u) << got.size();
  for (size_t at = 0; at < got.size(); at += line.size()) ASSERT_EQ(got.compare(at, line.size(), line), 0) << at;
  finish();
}

TEST_F(PlayerHostileTest, RepliesWithValuesOutOfRange) {
  struct odd_reply {
    const char* what;
    controlapp_msg body;
  };
  auto reply_with = [](int ret_id, int cmd_id, int cmd = kStatusIndex, int result = 0) {
    return make_reply(cmd, ret_id, cmd_id, result);
  };
  std::vector<odd_reply> cases = {
      {"ret_id -1", reply_with(-1, kStatusIndex)},
      {"ret_id 11", reply_with(11, kStatusIndex)},
      {"ret_id INT_MAX", reply_with(INT_MAX, kStatusIndex)},
      {"ret_id INT_MIN", reply_with(INT_MIN, kStatusIndex)},
      {"cmd_id -5", reply_with(V232CMD_RET_STATUS, -5)},
      {"cmd_id 1000", reply_with(V232CMD_RET_STATUS, 1000)},
      {"cmd_id INT_MIN", reply_with(V232CMD_RET_STATUS, INT_MIN)},
      {"cmd 30", reply_with(V232CMD_RET_STATUS, kStatusIndex, 30)},
      {"cmd -1", reply_with(V232CMD_RET_STATUS, kStatusIndex, -1)},
      {"result 12345", reply_with(V232CMD_RET_OK, kStatusIndex, kStatusIndex, 12345)},
      {"result -1", reply_with(V232CMD_RET_STATUS, kStatusIndex, kStatusIndex, -1)},
  };
  // Status data without any NUL, for every status command id.
  for (int cmd_id : {kStatusIndex, 0, 14, 15, 16, 17, 18, 19, 20, 22, 23, 24, 25, 26, 27, 28}) {
    controlapp_msg body = reply_with(V232CMD_RET_STATUS, cmd_id);
    std::memset(body.ret.data, 'Z', sizeof body.ret.data);
    cases.push_back({"no NUL", body});
  }
  // Texts everywhere, no NUL anywhere in the body.
  controlapp_msg all_text{};
  std::memset(&all_text, 'Y', sizeof all_text);
  all_text.cmd_type = CONTROLAPP_MSG_NORMAL;
  all_text.cmd = kStatusIndex;
  cases.push_back({"all text", all_text});

  for (const odd_reply& c : cases) {
    SCOPED_TRACE(c.what);
    controlapp_msg command = request("?P");
    ASSERT_EQ(command.cmd, kStatusIndex);
    ASSERT_TRUE(queue_->send(MSGTYPE_FROM_MAIN, c.body));
    std::string line = reply();
    // One bounded line, whatever the player said.
    ASSERT_GE(line.size(), 3u);
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    EXPECT_LE(line.size(), 64u);
    EXPECT_EQ(line.find('\0'), std::string::npos);
  }
  // A reply of a kind the daemon does not know is ignored; the exchange
  // times out and the client is told the command failed.
  request("?P");
  ASSERT_TRUE(queue_->send(MSGTYPE_FROM_MAIN, make_message(7, kStatusIndex)));
  EXPECT_EQ(reply(8000), "E04\r\n");
  finish();
}

TEST_F(PlayerHostileTest, AutoFeedbackFillingTheWholeBody) {
  controlapp_msg full = make_message(CONTROLAPP_MSG_AUTO_FEEDBACK);
  // From offset 64 to the end of the body, no NUL.
  std::memset(reinterpret_cast<char*>(&full) + CONTROLAPP_FEEDBACK_OFFSET, 'Z', CONTROLAPP_FEEDBACK_MAX);
  ASSERT_TRUE(queue_->send(MSGTYPE_FROM_MAIN, full));
  EXPECT_EQ(reply(), std::string(CONTROLAPP_FEEDBACK_MAX, 'Z') + "\r\n");
  // Control bytes and 0xFF pass through unchanged; an empty text is an
  // empty line.
  controlapp_msg odd = make_message(CONTROLAPP_MSG_AUTO_FEEDBACK);
  std::memcpy(odd.feedback_text, "A\rB\xFF", 5);
  ASSERT_TRUE(queue_->send(MSGTYPE_FROM_MAIN, odd));
  EXPECT_EQ(reply(), "A\rB\xFF\r\n");
  ASSERT_TRUE(queue_->send(MSGTYPE_FROM_MAIN, make_message(CONTROLAPP_MSG_AUTO_FEEDBACK)));
  EXPECT_EQ(reply(), "\r\n");
  // A stream of full events; the client reads them all as they come (one
  // that stops reading is cut off when its output queue overflows: see
  // ClientThatNeverReadsDoesNotSlowThePlayerLink).
  int pushed = 0;
  size_t expected = 0;
  std::string got;
  long long deadline = now_ms() + 20000;
  while (pushed < 2000 && now_ms() < deadline) {
    if (queue_->send(MSGTYPE_FROM_MAIN, full)) {
      pushed++;
      expected += CONTROLAPP_FEEDBACK_MAX + 2;
      if (pushed % 16 == 0) got += read_until(client_, "\x01", 1);
    } else {
      got += read_until(client_, "\x01", 5);
    }
  }
  while (got.size() < expected && now_ms() < deadline + 5000) got += read_until(client_, "\x01", 50);
  EXPECT_EQ(pushed, 2000);
  EXPECT_EQ(got.size(), expected);
  finish();
}

// The line the daemon prints when it has reopened a removed queue, for
// either way of noticing the removal (EIDRM while its receive waited,
// EINVAL between two receives).
bool reopened_line_seen(const daemon_env& env, int old_qid, int new_qid) {
  for (int error : {EIDRM, EINVAL}) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "[recv_thread]queue 0x%x removed (%s): reopened key 116, qid handle 0x%x, hello again.\n",
                  static_cast<unsigned>(old_qid), std::strerror(error), static_cast<unsigned>(new_qid));
    if (env.wait_out(line, 0)) return true;
  }
  return false;
}

// The queue removed while running. The daemon opens it again with the same
// key at once, says so, greets the player on it and serves commands
// through it. Before, it kept the removed queue's identifier and every
// command failed with "E04" until a restart.
TEST_F(PlayerHostileTest, QueueRemovedWhileRunning) {
  int old_qid = queue_->qid();
  ASSERT_EQ(msgctl(old_qid, IPC_RMID, nullptr), 0);
  ASSERT_TRUE(env_.wait_out("hello again.\n", 3000)) << env_.out();
  queue_ = std::make_unique<queue_peer>();  // the same key: the daemon's new queue
  ASSERT_TRUE(queue_->ok());
  EXPECT_NE(queue_->qid(), old_qid);
  EXPECT_TRUE(reopened_line_seen(env_, old_qid, queue_->qid())) << env_.out();
  controlapp_msg hello{};
  ASSERT_TRUE(queue_->receive(MSGTYPE_TO_MAIN, &hello, 2000));
  EXPECT_EQ(hello.cmd_type, CONTROLAPP_MSG_HELLO);
  EXPECT_EQ(hello.pid, env_.pid());
  // Commands reach the player on the new queue, and its answers come back.
  for (int i = 0; i < 3; i++) {
    controlapp_msg command = request("PL");
    EXPECT_EQ(command.cmd, kPlIndex);
    ASSERT_TRUE(queue_->send(MSGTYPE_FROM_MAIN, make_reply(kPlIndex, V232CMD_RET_OK, kPlIndex)));
    EXPECT_EQ(reply(), "R\r\n");
  }
  // Nothing spins: over two idle seconds the daemon uses little CPU.
  long long ticks = cpu_ticks(env_.pid());
  sleep_ms(2000);
  long long used = cpu_ticks(env_.pid()) - ticks;
  RecordProperty("cpu_ticks_in_2s", std::to_string(used));
  EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 5);  // under 10 % of one core
  finish();
}

TEST_F(PlayerHostileTest, PlayerStoppedReadingItsQueue) {
  int filled = fill_queue(*queue_);
  RecordProperty("messages_to_fill", std::to_string(filled));
  EXPECT_GT(filled, 0);
  // Each command gives up its send after a bounded time, answers "E04",
  // and leaves the server to the next request.
  for (int i = 0; i < 4; i++) {
    long long start = now_ms();
    send_all(client_, "PL\r");
    EXPECT_EQ(reply(5000), "E04\r\n");
    long long took = now_ms() - start;
    EXPECT_GE(took, CONTROLAPP_SEND_WAIT_MS - 50);
    EXPECT_LT(took, CONTROLAPP_SEND_WAIT_MS + 1500);
    EXPECT_NE(control_ask(client_, "?E"), "");
  }
  EXPECT_TRUE(env_.wait_out("[CONTROLAPP_CLI]cli_send_msgQ,62  msgsnd(...)failed\n", 1000));
  EXPECT_TRUE(env_.wait_out("[command_handler] send cmd error.\n", 1000));
  // A client that keeps sending while the queue is full does not keep the
  // program from stopping.
  std::string burst;
  for (int i = 0; i < 50; i++) burst += "PL\r";
  send_all(client_, burst);
  sleep_ms(300);
  finish();
}

// The stop while an exchange waits for a silent player: the exchange is cut
// short instead of running to its time-out.
TEST_F(PlayerHostileTest, StopWhileAnExchangeWaits) {
  request("PL");
  std::string burst;
  for (int i = 0; i < 20; i++) burst += "PL\r";
  send_all(client_, burst);
  sleep_ms(300);
  long long start = now_ms();
  EXPECT_EQ(env_.stop(kStopBoundMs), "");
  RecordProperty("stop_ms", std::to_string(now_ms() - start));
  EXPECT_TRUE(env_.wait_out("[command_handler] program stopping, no reply awaited.\n", 0));
  // The command in progress, and any that got in before the server ended
  // the connection, were answered "E04"; then the connection was closed.
  std::string rest;
  EXPECT_TRUE(wait_closed(client_, 1000, &rest));
  EXPECT_FALSE(rest.empty());
  for (size_t at = 0; at < rest.size(); at += 5) EXPECT_EQ(rest.substr(at, 5), "E04\r\n");
}

// The stop with an idle connection and a command waiting on a silent
// player: every thread is woken, none is waited out.
TEST_F(PlayerHostileTest, StopIsPromptWithAnIdleClientAndACommandWaiting) {
  int idle = tcp_connect(env_.client_address(), env_.device_address(), kControlPort, 3000);
  ASSERT_GE(idle, 0);  // replaces client_'s connection (same address)
  ASSERT_EQ(control_ask(idle, "?E"), "E04\r\n");
  send_all(idle, "PL\r");
  controlapp_msg command{};
  ASSERT_TRUE(queue_->receive(MSGTYPE_TO_MAIN, &command, 3000));
  sleep_ms(200);
  long long start = now_ms();
  EXPECT_EQ(env_.stop(kStopBoundMs), "");
  long long took = now_ms() - start;
  RecordProperty("stop_ms", std::to_string(took));
  EXPECT_LT(took, 3000);  // the byebye's random spread (up to 0.5 s) included
  EXPECT_TRUE(env_.wait_out("stop success.\n", 0));
  close(idle);
}

TEST_F(PlayerHostileTest, ShutdownMessageWhileAnExchangeWaits) {
  request("PL");
  sleep_ms(300);
  long long start = now_ms();
  ASSERT_TRUE(queue_->send(MSGTYPE_FROM_MAIN, make_message(CONTROLAPP_MSG_SHUTDOWN)));
  EXPECT_TRUE(env_.daemon()->exited_with(0, kStopBoundMs)) << env_.err();
  RecordProperty("stop_ms", std::to_string(now_ms() - start));
  EXPECT_TRUE(env_.wait_out("stop success.\n", 0));
}

// The player's main program starts over: its queue is removed, and the
// restarted program opens it again. Commands are answered again within 2 s
// of the new queue, and the new program is greeted. Before, the daemon
// answered "E04" to everything until it was restarted itself.
using PlayerRestartTest = hostile_test;

TEST_F(PlayerRestartTest, QueueRemovedAndPlayerRestarted) {
  const std::string player_out = env_.dir() + "/player.out";
  auto lines_of = [&](std::string_view text) { return vbd_test::count_of(vbd_test::read_file(player_out), text); };
  const std::string hello = "[sim] hello from server pid " + std::to_string(env_.pid()) + "\n";
  const std::string queue_open = "[sim] queue key 116 qid ";
  ASSERT_TRUE(start_player());
  ASSERT_TRUE(vbd_test::wait_until([&] { return lines_of(hello) == 1; }, 5000, 20)) << vbd_test::read_file(player_out);
  int client = tcp_connect(env_.client_address(), env_.device_address(), kControlPort);
  ASSERT_GE(client, 0);
  std::string status = control_ask(client, "?P");
  ASSERT_TRUE(status.starts_with("P0") && status.ends_with("\r\n")) << status;

  int old_qid = msgget(CONTROLAPP_MSGQ_KEY, 0);
  ASSERT_NE(old_qid, -1);
  ASSERT_EQ(msgctl(old_qid, IPC_RMID, nullptr), 0);
  player_.reset();  // killed and reaped
  ASSERT_TRUE(start_player());
  ASSERT_TRUE(vbd_test::wait_until([&] { return lines_of(queue_open) == 2; }, 5000, 5))
      << vbd_test::read_file(player_out);
  long long opened = now_ms();
  // Answered by the restarted player, not "E04".
  status = control_ask(client, "?P", 2000);
  long long took = now_ms() - opened;
  EXPECT_TRUE(status.starts_with("P0") && status.ends_with("\r\n")) << status;
  EXPECT_LE(took, 2000);
  RecordProperty("answered_after_reopen_ms", std::to_string(took));
  EXPECT_TRUE(vbd_test::wait_until([&] { return lines_of(hello) == 2; }, 2000, 20))
      << vbd_test::read_file(player_out);
  EXPECT_TRUE(env_.wait_out("hello again.\n", 0)) << env_.out();
  close(client);
  finish();
}

// A full queue when the daemon starts: its hello gives up instead of
// blocking the receive thread, which goes on dispatching the player's
// messages.
TEST(PlayerQueueAtStart, FullQueueDoesNotBlockTheHello) {
  daemon_env env;
  ASSERT_EQ(env.enter(), "");
  queue_peer player;
  ASSERT_TRUE(player.ok());
  ASSERT_GT(fill_queue(player), 0);
  ASSERT_TRUE(env.start_daemon()) << env.err();
  ASSERT_TRUE(env.wait_out("[CONTROLAPP_CLI]cli_send_msgQ,62  msgsnd(...)failed\n", 5000)) << env.out();
  EXPECT_TRUE(env.wait_out("[cli_send_cmd] failed\n", 1000));
  // Room for one message from the player.
  controlapp_msg taken{};
  ASSERT_TRUE(player.receive(MSGTYPE_TO_MAIN, &taken, 1000));
  controlapp_msg standby = make_message(CONTROLAPP_MSG_STANDBY);
  standby.standby_mode = 0;
  ASSERT_TRUE(player.send(MSGTYPE_FROM_MAIN, standby));
  EXPECT_TRUE(env.wait_out("[BDP_StandbyMode_Set]BDP_StandbyMode=0\n", 3000)) << env.out();
  EXPECT_EQ(env.check_alive(), "");
  ASSERT_TRUE(player.receive(MSGTYPE_TO_MAIN, &taken, 1000));
  long long start = now_ms();
  ASSERT_TRUE(player.send(MSGTYPE_FROM_MAIN, make_message(CONTROLAPP_MSG_SHUTDOWN)));
  EXPECT_TRUE(env.daemon()->exited_with(0, kStopBoundMs)) << env.err();
  EXPECT_LT(now_ms() - start, kStopBoundMs);
}

}  // namespace
}  // namespace vbd_hostile
