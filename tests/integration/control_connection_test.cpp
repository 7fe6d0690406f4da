// Connections to the control port from real clients in a client namespace:
// the single-peer rule, the end of every connection on SIGINT and SIGTERM
// (with the byebye a control point sees), and the port argument against the
// real listener.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/integration/control_netns.h"
#include "tests/support/udp.h"

using vbd_test::ControlTest;
using vbd_test::count_of;
using vbd_test::in_order;
using vbd_test::now_ms;
using vbd_test::run_in_netns;
using vbd_test::tcp_client;

namespace {

TEST_F(ControlTest, SecondConnectionFromTheSameAddressEndsTheFirst) {
  start_sim({"--no-events"});
  start_daemon();
  auto first = connect();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->request("PL\r"), "R\r\n");

  auto second = connect();
  ASSERT_TRUE(second);
  EXPECT_TRUE(first->wait_closed(kWaitMs));
  EXPECT_EQ(first->take(), "");
  // The newcomer is now the only client and gets the replies.
  EXPECT_EQ(second->request("ST\r"), "R\r\n");

  // The same again with a request in progress on the connection replaced.
  ASSERT_TRUE(second->send("?"));
  auto third = connect();
  ASSERT_TRUE(third);
  EXPECT_TRUE(second->wait_closed(kWaitMs));
  EXPECT_EQ(second->take(), "");
  EXPECT_EQ(third->request("?P\r"), "P03\r\n");
  EXPECT_EQ(third->take(300), "");
}

TEST_F(ControlTest, ConnectionsReplacedWhileEventsFlow) {
  start_sim({"--no-events"});
  start_daemon();
  // Numbered events for about four seconds, while the connection is
  // replaced again and again: each event goes to the client connected at the
  // time (none while one replaces another), never cut, twice or out of order.
  constexpr int kEvents = 400;
  std::string script;
  for (int i = 0; i < kEvents; ++i) {
    script += "event EVT" + std::to_string(1000 + i) + "\n";
    if (i % 10 == 9) script += "wait 100\n";
  }
  ASSERT_TRUE(sim_->send(script));

  int last = 999;
  // Checks the lines one connection received; returns its event count.
  auto check = [&last](const std::string& received) {
    int events = 0;
    size_t start = 0;
    for (size_t end = received.find("\r\n"); end != std::string::npos; end = received.find("\r\n", start)) {
      std::string line = received.substr(start, end - start);
      start = end + 2;
      if (line.size() == 7 && line.compare(0, 3, "EVT") == 0 && std::stoi(line.substr(3)) > last) {
        last = std::stoi(line.substr(3));
        ++events;
      } else if (line != "P03") {
        ADD_FAILURE() << "unexpected line \"" << line << "\" after EVT" << last;
      }
    }
    EXPECT_EQ(start, received.size()) << "a line was cut: " << received.substr(start);
    return events;
  };
  std::unique_ptr<tcp_client> client;
  for (int round = 0; round < 6; ++round) {
    auto next = connect();
    ASSERT_TRUE(next);
    if (client) {
      EXPECT_TRUE(client->wait_closed(kWaitMs));
      // Each connection was served for a while (longer than the server's
      // 100 ms wait for the connection it replaced).
      EXPECT_GT(check(client->take()), 0) << "connection " << round - 1 << " got no event";
    }
    client = std::move(next);
    usleep(250 * 1000);
  }
  EXPECT_TRUE(client->wait_for("EVT" + std::to_string(999 + kEvents) + "\r\n", 20000))
      << "last event seen before: EVT" << last;
  // And the last connection is served as usual.
  ASSERT_TRUE(client->send("?P\r"));
  EXPECT_TRUE(client->wait_for("P03\r\n", kWaitMs));
  check(client->take());
  EXPECT_EQ(last, 999 + kEvents);
}

TEST_F(ControlTest, SigintEndsEveryConnectionAndTheProgram) {
  start_sim({"--no-events"});
  // With the description in place discovery runs too, and is stopped.
  start_daemon({}, true);
  auto client = connect();
  ASSERT_TRUE(client);
  EXPECT_EQ(daemon_->out().find("loaddescriptionfile() error"), std::string::npos) << daemon_->out();
  EXPECT_EQ(client->request("PL\r"), "R\r\n");
  // A connection that was refused leaves nothing behind.
  auto refused = connect(net_->second_client_address());
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->wait_closed(kWaitMs));
  // The player stops answering: a command is still waiting for its reply
  // when the signal comes, and must not hold the stop up.
  ASSERT_TRUE(sim_->send("noreply on\n"));
  ASSERT_TRUE(sim_->wait_for("[sim] noreply on", kWaitMs));
  ASSERT_TRUE(client->send("ST\r"));
  ASSERT_TRUE(sim_->wait_for("[sim] no reply to cmd 7", kWaitMs)) << sim_->out();

  long long signalled = now_ms();
  ASSERT_TRUE(daemon_->signal(SIGINT));
  EXPECT_TRUE(client->wait_closed(kStartMs)) << daemon_->out();
  // The command that was cut short may still be answered as failed.
  std::string last = client->take();
  EXPECT_TRUE(last.empty() || last == "E04\r\n") << last;
  ASSERT_TRUE(daemon_->exited_with(0, 30000)) << daemon_->out() << daemon_->err();
  // One idle period, the exchange cut short and the thread stops; not the
  // player's whole reply time on top. Generous for loaded sanitizer runs.
  EXPECT_LT(now_ms() - signalled, 20000);
  std::string out = daemon_->out();
  // Other threads may print between them (the exchange cut short does).
  EXPECT_TRUE(in_order(out, {"RER-UzovoviRED: register callback for ControlAPP\n", "Wait for closing...\n",
                             "start stop.\n", "stop success.\n"}))
      << out;
  EXPECT_EQ(count_of(out, "Wait for closing..."), 1u) << out;
  EXPECT_EQ(count_of(out, "stop success."), 1u) << out;
  // Nothing listens any more.
  std::string error;
  EXPECT_FALSE(tcp_client::connect(net_->client_ns(), "", net_->device_address(), kDefaultPort, 0, &error));
  EXPECT_NE(error.find("refused"), std::string::npos) << error;
}

// A listening socket on address:8102 (in the calling thread's namespace).
int listen_on(const std::string& address) {
  sockaddr_in local{};
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1 || !vbd_test::to_sockaddr(address, 8102, &local) ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(fd, 4) != 0) {
    if (fd != -1) close(fd);
    return -1;
  }
  return fd;
}

// Every datagram that arrives within ms, one after the other.
std::string ssdp_traffic(int fd, int ms) {
  std::string seen;
  for (const std::string& datagram : vbd_test::udp_collect(fd, ms)) seen += datagram;
  return seen;
}

// A start that cannot have its control port fails with status 1 (so a
// supervisor sees it), says why, and multicasts nothing: not even the
// byebye with which a device start begins, which would make control points
// drop the device that does own the port.
TEST_F(ControlTest, StartFailsWhenThePortIsTakenAndAnnouncesNothing) {
  // A control point's view of discovery: in the SSDP group on the client side.
  std::string client = net_->client_address();
  int observer = run_in_netns(net_->client_ns(), [&] { return vbd_test::ssdp_group_socket(client); });
  ASSERT_NE(observer, -1) << strerror(errno);
  std::string address = net_->device_address();
  int taken = run_in_netns(net_->device_ns(), [&] { return listen_on(address); });
  ASSERT_NE(taken, -1) << strerror(errno);

  start_daemon({}, true);
  ASSERT_TRUE(daemon_->exited_with(1, kStartMs)) << daemon_->out() << daemon_->err();
  std::string out = daemon_->out();
  EXPECT_NE(out.find("Failed vel_server_start()\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Wait for closing..."), std::string::npos) << out;
  EXPECT_EQ(out.find("listening on"), std::string::npos) << out;
  EXPECT_EQ(out.find("description.xml"), std::string::npos) << "discovery started:\n" << out;
  std::string err = daemon_->err();
  EXPECT_TRUE(in_order(err, {"Can't bind socket.\n",
                             "bind on " + address + ":8102 failed: Address already in use\n"}))
      << err;
  EXPECT_EQ(ssdp_traffic(observer, 1500), "");
  close(taken);
  close(observer);
}

// SIGTERM (kill's default, and a supervisor's) stops the daemon the way
// SIGINT does: the stop lines, exit status 0, and a byebye for control
// points. The control port listens on the first interface before the first
// announcement, and says so.
TEST_F(ControlTest, SigtermStopsLikeSigintAndSaysByebye) {
  std::string client = net_->client_address();
  int observer = run_in_netns(net_->client_ns(), [&] { return vbd_test::ssdp_group_socket(client); });
  ASSERT_NE(observer, -1) << strerror(errno);
  start_daemon({}, true);
  std::string listening = "listening on " + net_->device_address() + ":8102\n";
  ASSERT_TRUE(daemon_->wait_for(listening, kStartMs)) << daemon_->out();
  auto connection = connect();
  ASSERT_TRUE(connection);
  ASSERT_TRUE(daemon_->wait_for("description.xml  read from", kStartMs)) << daemon_->out();
  EXPECT_TRUE(in_order(daemon_->out(), {listening, "description.xml  read from"})) << daemon_->out();
  std::string seen;
  for (long long end = now_ms() + kStartMs; seen.find("NTS: ssdp:alive") == std::string::npos && now_ms() < end;) {
    seen += ssdp_traffic(observer, 100);
  }
  ASSERT_NE(seen.find("NTS: ssdp:alive"), std::string::npos) << seen;

  ASSERT_TRUE(daemon_->signal(SIGTERM));
  EXPECT_TRUE(connection->wait_closed(kStartMs));
  ASSERT_TRUE(daemon_->exited_with(0, 30000)) << daemon_->out() << daemon_->err();
  EXPECT_TRUE(in_order(daemon_->out(), {"Wait for closing...\n", "start stop.\n", "stop success.\n"}))
      << daemon_->out();
  // The last word a control point hears is a byebye.
  seen += ssdp_traffic(observer, 1000);
  size_t last_alive = seen.rfind("NTS: ssdp:alive");
  size_t last_bye = seen.rfind("NTS: ssdp:byebye");
  EXPECT_TRUE(last_bye != std::string::npos && last_bye > last_alive) << seen;
  close(observer);
}

TEST_F(ControlTest, DigitsFollowedByLettersGiveThePort) {
  start_daemon({"9123xyz"});
  auto client = connect(net_->client_address(), 9123);
  ASSERT_TRUE(client);
  // No player runs here: "?E" is answered without it, in standby.
  EXPECT_EQ(client->request("?E\r"), "E04\r\n");
  std::string error;
  EXPECT_FALSE(tcp_client::connect(net_->client_ns(), "", net_->device_address(), kDefaultPort, 0, &error));
  EXPECT_NE(error.find("refused"), std::string::npos) << error;
}

}  // namespace
