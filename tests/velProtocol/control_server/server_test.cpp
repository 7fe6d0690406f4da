// The control server on loopback: open/start rules and their log lines,
// handshakes and framing over a real connection, the single-peer address
// rule, keepalive on accepted connections, stop and delete with clients
// connected.
#include <netinet/in.h>
#include <netinet/tcp.h>

#include "tests/velProtocol/control_server/server_fixture.h"

namespace ctl_test {
namespace {

TEST_F(server_test, OpenAndStartRules) {
  start_server();
  size_t before = log_text().size();
  EXPECT_EQ(vel_protocol_server_open(server_, port_ + 1, "127.0.0.1"), 0);
  EXPECT_EQ(vel_protocol_server_start(server_), 0);
  std::string log = log_text().substr(before);
  EXPECT_EQ(count_of(log, log_tail(164, "vel_protocol_server_open", "Already server opend.\n")), 1u)
      << log;
  // Starting a running server says nothing.
  EXPECT_EQ(count_of(log, "\n"), 1u) << log;

  vel_protocol_server* other = vel_protocol_server_new();
  EXPECT_EQ(vel_protocol_server_open(other, 0, "127.0.0.1"), 0);
  EXPECT_EQ(other->listen_socket, nullptr);
  EXPECT_EQ(vel_protocol_server_open(other, 1234, "not-an-address"), 0);
  vel_protocol_server_delete(other);
  EXPECT_EQ(count_of(log_text().substr(before), log_tail(172, "vel_protocol_server_open", "Can't bind socket.\n")),
            2u);
}

TEST_F(server_test, HandshakesAreAnsweredAndStillReachTheCallback) {
  start_server();
  client c;
  connect(c);
  c.send("CON 00:11:22:33:44:55 phone\r");
  EXPECT_EQ(c.read_bytes(5), "CON\r\n");
  c.send("BIN\r");
  EXPECT_EQ(c.read_bytes(8), "BINFIN\r\n");
  c.send("BINX\r");
  EXPECT_EQ(c.read_bytes(8), "BINFIN\r\n");
  c.send("BINFIN\r");
  c.send("PN\r\nPF\r");
  ASSERT_TRUE(wait_until([&] { return rec_.request_count() == 6; }));
  EXPECT_EQ(rec_.request_list(), (std::vector<std::string>{"CON 00:11:22:33:44:55 phone", "BIN",
                                                           "BINX", "BINFIN", "PN", "\nPF"}));
  EXPECT_EQ(c.take(100), "");  // "BINFIN" got no answer
}

TEST_F(server_test, RefusedRegistrationEndsTheConnection) {
  start_server([](vel_protocol_server* s) { s->check_registration = 1; });
  client c;
  connect(c);
  c.send("CON 00:11:22:33:44:55 tv\r");
  EXPECT_EQ(c.read_bytes(5), "ERR\r\n");
  EXPECT_TRUE(c.wait_closed());
  EXPECT_EQ(rec_.request_count(), 0u);

  vel_protocolo_server_client* entry =
      vel_protocolo_server_clientlist_first(server_->registered_clients);
  ASSERT_NE(entry, nullptr);
  entry->allowed = entry;
  client again;
  connect(again);
  again.send("CON 00:11:22:33:44:55 tv\r");
  EXPECT_EQ(again.read_bytes(5), "CON\r\n");
}

TEST_F(server_test, BinaryFramesOverTheWire) {
  start_server();
  client c;
  connect(c);
  std::string good("\x02\x82\x00\x02?P\x01", 7);
  unsigned char sum = 0;
  for (char ch : good) sum ^= static_cast<unsigned char>(ch);
  c.send(good + static_cast<char>(sum));
  ASSERT_TRUE(wait_until([&] { return rec_.request_count() == 1; }));
  EXPECT_EQ(rec_.request_list()[0], "?P");

  c.send(good + static_cast<char>(sum ^ 0xFF));
  EXPECT_EQ(c.read_bytes(5), "ERR\r\n");
  c.send("PN\r");
  ASSERT_TRUE(wait_until([&] { return rec_.request_count() == 2; }));
  EXPECT_EQ(rec_.request_list()[1], "PN");
}

TEST_F(server_test, OverflowAndSlowRequestsAreDropped) {
  start_server();
  client c;
  connect(c);
  c.send(std::string(256, 'A'));
  c.send("B\r");
  ASSERT_TRUE(wait_until([&] { return rec_.request_count() == 1; }));
  EXPECT_EQ(rec_.request_list()[0], "B");
  EXPECT_EQ(count_of(log_text(), log_tail(348, "vel_protocol_server_clientthread",
                                          "Rx Buff overflow : 127.0.0.1\n")),
            1u);
  EXPECT_EQ(c.take(50), "");  // no reply to an overflow

  c.send("PX");
  std::this_thread::sleep_for(std::chrono::milliseconds(2400));
  c.send("N\r");
  ASSERT_TRUE(wait_until([&] { return rec_.request_count() == 2; }));
  EXPECT_EQ(rec_.request_list()[1], "N");
  EXPECT_EQ(c.take(50), "");  // nor to a request dropped for its time
}

TEST_F(server_test, SecondConnectionFromSameAddressReplacesTheFirst) {
  start_server();
  client first, second;
  connect(first);
  int first_port = first.local_port();
  ASSERT_TRUE(second.connect_to(port_));
  EXPECT_TRUE(first.wait_closed());
  int second_port = second.local_port();
  ASSERT_TRUE(wait_until([&] { return has_client_port(second_port); }));
  std::vector<connection_note> notes = rec_.connection_list();
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0].connected, 1);
  EXPECT_EQ(notes[0].client_count, 1);
  EXPECT_EQ(notes[0].port, first_port);
  EXPECT_EQ(notes[1].connected, 0);  // the first ends before the second is announced
  EXPECT_EQ(notes[1].client_count, 0);
  EXPECT_EQ(notes[1].port, first_port);
  EXPECT_EQ(notes[2].connected, 1);
  EXPECT_EQ(notes[2].client_count, 1);
  EXPECT_EQ(notes[2].port, second_port);
  EXPECT_EQ(vel_protocol_server_client_count(server_), 1);
  second.send("PL\r");
  ASSERT_TRUE(wait_until([&] { return rec_.request_count() == 1; }));
}

TEST_F(server_test, ConnectionFromAnotherAddressIsClosedAtOnce) {
  start_server();
  client first;
  connect(first);
  client stranger;
  ASSERT_TRUE(stranger.connect_to(port_, "127.0.0.2"));
  EXPECT_TRUE(stranger.wait_closed());
  EXPECT_EQ(stranger.take(10), "");
  EXPECT_EQ(rec_.connection_count(), 1u);
  first.send("PN\r");
  ASSERT_TRUE(wait_until([&] { return rec_.request_count() == 1; }));

  // Once the last client has gone, any address is accepted.
  first.close_now();
  ASSERT_TRUE(wait_until([&] { return vel_protocol_server_client_count(server_) == 0; }));
  client later;
  connect(later, "127.0.0.2");
  later.send("CON\r");
  EXPECT_EQ(later.read_bytes(5), "CON\r\n");
}

// Every accepted connection probes its peer: a vanished peer (no FIN, no
// RST) is given up after about 45 s, and so is one that leaves sent bytes
// unacknowledged that long. (The vanishing itself is a hostile test: it
// needs a link that can be cut.)
TEST_F(server_test, AcceptedConnectionsProbeTheirPeer) {
  start_server();
  client c;
  connect(c);
  int port = c.local_port();
  EXPECT_EQ(server_socket_option(port, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(server_socket_option(port, IPPROTO_TCP, TCP_KEEPIDLE), 30);
  EXPECT_EQ(server_socket_option(port, IPPROTO_TCP, TCP_KEEPINTVL), 5);
  EXPECT_EQ(server_socket_option(port, IPPROTO_TCP, TCP_KEEPCNT), 3);
  EXPECT_EQ(server_socket_option(port, IPPROTO_TCP, TCP_USER_TIMEOUT), 45000);
}

// A live client answers the probes: with them every second, an idle client
// stays connected through several rounds and is served after them. No idle
// time-out.
TEST_F(server_test, LiveIdleClientAnswersTheProbesAndStays) {
  start_server([](vel_protocol_server* s) {
    s->keepalive_idle_s = 1;
    s->keepalive_interval_s = 1;
    s->keepalive_probes = 1;
  });
  client c;
  connect(c);
  EXPECT_EQ(server_socket_option(c.local_port(), IPPROTO_TCP, TCP_USER_TIMEOUT), 2000);
  EXPECT_FALSE(c.wait_closed(4500));
  c.send("PL\r");
  ASSERT_TRUE(wait_until([&] { return rec_.request_count() == 1; }));
  EXPECT_EQ(vel_protocol_server_client_count(server_), 1);
}

TEST_F(server_test, StopEndsConnectionsAndClearsCallbacks) {
  start_server();
  client c;
  connect(c);
  EXPECT_EQ(vel_protocol_server_stop(server_), 1);
  EXPECT_TRUE(c.wait_closed(1000));
  EXPECT_EQ(server_->request_callback.load(), nullptr);
  EXPECT_EQ(server_->connection_callback.load(), nullptr);
  EXPECT_EQ(rec_.connection_count(), 1u);  // the end went unreported
  EXPECT_EQ(vel_protocol_server_client_count(server_), 0);

  // The socket still listens; the server starts again.
  vel_protocol_server_set_request_callback(server_, record_request);
  ASSERT_EQ(vel_protocol_server_start(server_), 1);
  client again;
  connect(again);
  again.send("PN\r");
  ASSERT_TRUE(wait_until([&] { return rec_.request_count() == 1; }));
}

TEST_F(server_test, DeleteWithClientsClosesEverything) {
  start_server([](vel_protocol_server* s) { s->accept_all_addresses = 1; });
  client a, b;
  connect(a);
  connect(b, "127.0.0.2");
  EXPECT_EQ(vel_protocol_server_client_count(server_), 2);
  vel_protocol_server_delete(server_);
  server_ = nullptr;
  EXPECT_TRUE(a.wait_closed(1000));
  EXPECT_TRUE(b.wait_closed(1000));
  client late;
  EXPECT_FALSE(late.connect_to(port_));
}

}  // namespace
}  // namespace ctl_test
