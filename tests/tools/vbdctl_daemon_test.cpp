// vbdctl against the real daemon and player simulator, each test in its own
// IPC and network namespaces: decoded replies, binary frames and the
// handshake, events while following, interactive input, and exit codes.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/integration/harness.h"
#include "tests/support/tcp.h"

using vbd_test::in_order;
using vbd_test::process;
using vbd_test::sleep_ms;

namespace {

constexpr int WAIT_MS = 8000;

std::string vbdctl_path() { return VBDCTL_BIN; }

// A TCP connection to 127.0.0.1:port from the given local address; -1 when
// it fails.
int connect_from(const char* local, int port) { return vbd_test::tcp_connect(local, "127.0.0.1", port, 0); }

class VbdctlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(vbd_test::enter_private_namespaces(), ""); }

  // The simulator, then the daemon; returns once the daemon accepts.
  void start(const std::vector<std::string>& sim_args = {}) {
    ASSERT_EQ(vbd_test::start_player_and_daemon(&sim_, &daemon_, sim_args), "");
  }

  std::unique_ptr<process> vbdctl(std::vector<std::string> args) {
    args.insert(args.begin(), vbdctl_path());
    auto p = process::start(args);
    EXPECT_TRUE(p);
    return p;
  }

  // Runs vbdctl to its end; its exit status, or -1 when it did not end.
  int run(std::vector<std::string> args, std::string* out, std::string* err = nullptr) {
    auto p = vbdctl(std::move(args));
    if (!p) return -1;
    p->close_stdin();
    int status = 0;
    bool ended = p->wait_exit(WAIT_MS * 2, &status);
    *out = p->out();
    if (err) *err = p->err();
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::unique_ptr<process> sim_;
  std::unique_ptr<process> daemon_;
};

TEST_F(VbdctlTest, CommandsPrintEachReplyWithItsMeaning) {
  start();
  std::string out;
  ASSERT_EQ(run({"?P", "PL", "?P", "12KL", "?I?D", "PN PL"}, &out), 0) << out;
  EXPECT_TRUE(in_order(out, {"?P -> P03  (player status 03: stop)\n", "PL -> R  (done)\n",
                             "?P -> P04  (player status 04: play)\n",
                             "12KL -> E06  (error: parameter out of range)\n", "?I -> 0103  (title 1 of 3)\n",
                             "?D -> 101  (disc loaded yes, type BD, state play)\n",
                             "PN PL -> E04  (no command at \" PL\": the rest of the line was ignored; PN ran "
                             "before it, without a reply of its own)\n"}))
      << out;
  // The event the play command caused is printed as an event, not as a reply.
  EXPECT_NE(out.find("event: P04  (player status 04: play)\n"), std::string::npos) << out;
  EXPECT_TRUE(sim_->wait_for("[sim] recv cmd 11 (#KL) param 0x0000000c", WAIT_MS)) << sim_->out();
}

TEST_F(VbdctlTest, EachReplyOfALineIsPrintedWithTheSliceItAnswers) {
  start();
  std::string out;
  // "PL" runs (the player plays) but its reply slot is taken by the "E04"
  // for "AY"; a status reply goes out at once, before the action's.
  ASSERT_EQ(run({"PLAY", "?P", "?TST?Axy"}, &out), 0) << out;
  EXPECT_TRUE(in_order(out, {"PLAY -> E04  (no command at \"AY\": the rest of the line was ignored; PL ran before it, "
                             "without a reply of its own)\n",
                             "?P -> P04  (player status 04: play)\n", "?T -> ",
                             "ST?A -> ", "; ST ran before it, without a reply of its own)\n",
                             "xy -> E04  (no command at \"xy\": the rest of the line was ignored)\n"}))
      << out;
  EXPECT_TRUE(sim_->wait_for("[sim] recv cmd 6 (PL)", WAIT_MS)) << sim_->out();

  // Binary frames carry the same line rules.
  ASSERT_EQ(run({"--binary", "PNPF?P"}, &out), 0) << out;
  EXPECT_NE(out.find("PNPF?P -> P"), std::string::npos) << out;
  EXPECT_NE(out.find("; PN, PF ran before it, without replies of their own)\n"), std::string::npos) << out;
}

TEST_F(VbdctlTest, BinaryFramesAfterTheConnectionHandshake) {
  start();
  std::string out;
  ASSERT_EQ(run({"--binary", "--con", "00:11:22:33:44:55 phone", "?Z", "OP"}, &out), 0) << out;
  EXPECT_TRUE(in_order(out, {"CON 00:11:22:33:44:55 phone -> CON  (connection accepted)\n",
                             "?Z -> VBD-PLAYER-SIM 1.0  (model \"VBD-PLAYER-SIM 1.0\")\n", "OP -> R  (done)\n"}))
      << out;
  EXPECT_TRUE(sim_->wait_for("[sim] recv cmd 3 (OP)", WAIT_MS)) << sim_->out();

  ASSERT_EQ(run({"-r", "CO", "BIN"}, &out), 0) << out;
  EXPECT_TRUE(in_order(out, {"R\n", "BINFIN\n", "E04\n"})) << out;
}

TEST_F(VbdctlTest, FollowPrintsEventsUntilInterrupted) {
  start();
  auto follower = vbdctl({"--follow", "?P"});
  ASSERT_TRUE(follower);
  ASSERT_TRUE(follower->wait_for("?P -> P03", WAIT_MS)) << follower->err();
  ASSERT_TRUE(sim_->send("event disc inserted\n"));
  ASSERT_TRUE(follower->wait_for("event: disc inserted\n", WAIT_MS)) << follower->out();
  ASSERT_TRUE(sim_->send("tray open\n"));
  ASSERT_TRUE(follower->wait_for("event: P01  (player status 01: tray open)\n", WAIT_MS)) << follower->out();
  follower->signal(SIGINT);
  EXPECT_TRUE(follower->exited_with(0, WAIT_MS)) << follower->out() << follower->err();
}

TEST_F(VbdctlTest, ReadsRequestLinesFromStandardInput) {
  start();
  auto p = vbdctl({});
  ASSERT_TRUE(p);
  ASSERT_TRUE(p->send("PL\n"));
  ASSERT_TRUE(p->wait_for("PL -> R  (done)\n", WAIT_MS)) << p->out() << p->err();
  ASSERT_TRUE(p->send("\n?P\r\n?t"));  // an empty line is skipped; the last line ends at EOF
  p->close_stdin();
  EXPECT_TRUE(p->exited_with(0, WAIT_MS)) << p->out() << p->err();
  EXPECT_TRUE(in_order(p->out(), {"?P -> P04", "?t -> 00"})) << p->out();
  EXPECT_EQ(p->out().find("vbd> "), std::string::npos);  // no prompt when not on a terminal
}

TEST_F(VbdctlTest, ExitStatusTellsWhatWentWrong) {
  std::string out;
  std::string err;
  // Nothing listens yet.
  EXPECT_EQ(run({"?P"}, &out, &err), 1);
  EXPECT_NE(err.find("vbdctl: cannot connect to 127.0.0.1:8102: Connection refused"), std::string::npos) << err;
  EXPECT_TRUE(in_order(err, {"the daemon is not running", "not on 127.0.0.1", "another network namespace"})) << err;
  EXPECT_EQ(run({"--port", "0", "?P"}, &out, &err), 2);

  start({"--drop", "1"});
  EXPECT_EQ(run({"-t", "500", "PL", "ST"}, &out, &err), 3);
  EXPECT_NE(err.find("vbdctl: no reply to PL within 500 ms"), std::string::npos) << err;
  // Nothing more is sent once a reply is missing: the daemon's late "E04"
  // would be taken for the next command's reply.
  EXPECT_EQ(out.find("ST"), std::string::npos) << out;
  ASSERT_TRUE(daemon_->wait_for("poll return msg from main failed", WAIT_MS)) << daemon_->out();
  EXPECT_EQ(sim_->out().find("recv cmd 7 (ST)"), std::string::npos) << sim_->out();

  EXPECT_EQ(run({"OP", "PL"}, &out), 0) << out;
  EXPECT_EQ(run({"--fail-on-error", "PL"}, &out), 4) << out;
  EXPECT_NE(out.find("PL -> E04  (error: not possible now, or no answer from the player)\n"), std::string::npos)
      << out;
}

TEST_F(VbdctlTest, ClosedByTheServerSaysWhetherAtOnceOrLater) {
  start();
  // While a client of 127.0.0.2 is connected, one from 127.0.0.1 is closed
  // at once by the single-address rule.
  int holder = connect_from("127.0.0.2", 8102);
  ASSERT_NE(holder, -1);
  sleep_ms(100);
  auto refused = vbdctl({"-f"});
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->exited_with(1, WAIT_MS)) << refused->out() << refused->err();
  EXPECT_TRUE(in_order(refused->err(), {"vbdctl: connection closed by the server right after connecting",
                                        "another address is connected"}))
      << refused->err();
  close(holder);
  sleep_ms(100);

  // A second connection from the same address ends the first session.
  auto first = vbdctl({"-f", "?P"});
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->wait_for("?P -> P03", WAIT_MS)) << first->err();
  auto second = vbdctl({"-f", "?P"});
  ASSERT_TRUE(second);
  EXPECT_TRUE(first->exited_with(1, WAIT_MS)) << first->out() << first->err();
  EXPECT_NE(first->err().find("vbdctl: connection closed by the server: it ended the session"), std::string::npos)
      << first->err();
  ASSERT_TRUE(second->wait_for("?P -> P03", WAIT_MS)) << second->err();

  // A follower loses its connection when the daemon stops.
  daemon_->signal(SIGINT);
  EXPECT_TRUE(second->exited_with(1, WAIT_MS)) << second->out() << second->err();
  EXPECT_NE(second->err().find("vbdctl: connection closed by the server: it ended the session"), std::string::npos)
      << second->err();
}

TEST_F(VbdctlTest, ConnectTimeOutIsToldFromRefusal) {
  // A link whose peer end is down: nobody answers on its subnet, so the
  // connect gets no answer (until the address lookup gives up, seconds later).
  ASSERT_EQ(vbd_test::run_quiet("ip link add vbda0 type veth peer name vbdb0 && "
                                "ip addr add 10.77.250.1/24 dev vbda0 && ip link set vbda0 up"),
            0);
  std::string out;
  std::string err;
  EXPECT_EQ(run({"-H", "10.77.250.9", "--connect-timeout", "300", "?P"}, &out, &err), 1);
  EXPECT_TRUE(in_order(err, {"vbdctl: cannot connect to 10.77.250.9:8102: timed out after 300 ms",
                             "no answer from that address", "another network namespace"}))
      << err;
  EXPECT_EQ(err.find("Connection refused"), std::string::npos) << err;
}

}  // namespace
