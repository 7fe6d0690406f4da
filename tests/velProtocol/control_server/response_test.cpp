// Replies and events on loopback: the CR LF rule on the wire, the routing
// push, failed sends, and the lock design (a push never waits for a request
// callback, a text too long for an output queue is refused whole, pushes
// race with clients coming and going).
#include "tests/velProtocol/control_server/server_fixture.h"

namespace ctl_test {
namespace {

TEST_F(server_test, SingleAndEventResponsesFollowTheLineEndRule) {
  start_server();
  rec_.on_request = [](vel_protocol_server_request* r) {
    std::string text = r->receive->text;
    const char* reply = text == "1" ? "R" : text == "2" ? "X\n" : "Y\n\r";
    vel_protocol_server_single_response(r->socket, reply, r->server);
  };
  client c;
  connect(c);
  c.send("1\r");
  EXPECT_EQ(c.read_bytes(3), "R\r\n");
  c.send("2\r");
  EXPECT_EQ(c.read_bytes(4), "X\n\r\n");
  c.send("3\r");
  EXPECT_EQ(c.read_bytes(3), "Y\n\r");

  EXPECT_EQ(vel_protocol_server_socketlist_event_response(server_, "E\r\n"), 1);
  EXPECT_EQ(c.read_bytes(3), "E\r\n");
  EXPECT_EQ(vel_protocol_server_socketlist_event_response(server_, ""), 1);
  EXPECT_EQ(c.read_bytes(2), "\r\n");
  EXPECT_EQ(c.take(50), "");
}

TEST_F(server_test, EventWithoutClientsOrListener) {
  EXPECT_EQ(vel_protocol_server_socketlist_event_response(nullptr, "x"), 0);
  EXPECT_EQ(vel_protocol_server_push(nullptr, "x"), 0);
  start_server();
  EXPECT_EQ(vel_protocol_server_socketlist_event_response(server_, "x"), 1);
  EXPECT_EQ(vel_protocol_server_push(server_, "x"), 1);
  vel_protocol_server_close(server_);
  EXPECT_EQ(vel_protocol_server_socketlist_event_response(server_, "x"), 0);
}

TEST_F(server_test, PushGoesToEveryClientBelowTwoElseToTheSecond) {
  start_server([](vel_protocol_server* s) { s->accept_all_addresses = 1; });
  // A request's reply is pushed from inside the callback, as the glue does.
  rec_.on_request = [](vel_protocol_server_request* r) { vel_protocol_server_push(r->server, "R"); };
  client a, b, c;
  connect(a);
  EXPECT_EQ(vel_protocol_server_push(server_, "one"), 1);
  EXPECT_EQ(a.read_bytes(5), "one\r\n");

  connect(b);
  connect(c, "127.0.0.2");
  EXPECT_EQ(vel_protocol_server_push(server_, "ev"), 1);
  EXPECT_EQ(b.read_bytes(4), "ev\r\n");
  c.send("PL\r");
  EXPECT_EQ(b.read_bytes(3), "R\r\n");
  EXPECT_EQ(a.take(100), "");
  EXPECT_EQ(c.take(10), "");

  // When the second leaves, the third becomes the second.
  b.close_now();
  ASSERT_TRUE(wait_until([&] { return vel_protocol_server_client_count(server_) == 2; }));
  EXPECT_EQ(vel_protocol_server_push(server_, "next"), 1);
  EXPECT_EQ(c.read_bytes(6), "next\r\n");
  EXPECT_EQ(a.take(50), "");
}

TEST_F(server_test, FailedSendToOneClientStillReachesTheOthers) {
  start_server([](vel_protocol_server* s) { s->accept_all_addresses = 1; });
  client good, gone;
  connect(good);
  connect(gone);
  int gone_port = gone.local_port();
  // Holding the server mutex keeps the ended client in the list while the
  // event is sent; the event itself does not need that mutex.
  cg_mutex_lock(server_->mutex);
  gone.reset_now();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  int result = vel_protocol_server_socketlist_event_response(server_, "status");
  cg_mutex_unlock(server_->mutex);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(good.read_bytes(8), "status\r\n");
  std::string failed = log_tail(692, "vel_protocol_server_socketlist_event_response",
                                "Failed event response : 127.0.0.1:" +
                                    std::to_string(gone_port) + "\n");
  EXPECT_EQ(count_of(log_text(), failed), 1u) << log_text();
  ASSERT_TRUE(wait_until([&] { return vel_protocol_server_client_count(server_) == 1; }));
}

TEST_F(server_test, PushDoesNotWaitForARequestInProgress) {
  start_server();
  std::atomic<bool> inside{false};
  rec_.on_request = [&](vel_protocol_server_request*) {
    inside = true;
    // A command exchange with the player may take seconds under the mutex.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    inside = false;
  };
  client c;
  connect(c);
  c.send("PL\r");
  ASSERT_TRUE(wait_until([&] { return inside.load(); }));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(vel_protocol_server_push(server_, "feedback"), 1);
  auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_TRUE(inside.load());
  EXPECT_LT(waited, std::chrono::milliseconds(1000));
  EXPECT_EQ(c.read_bytes(10), "feedback\r\n");
  ASSERT_TRUE(wait_until([&] { return !inside.load(); }));
}

TEST_F(server_test, TextLongerThanAnOutputQueueIsRefusedWithoutCuttingAStream) {
  start_server([](vel_protocol_server* s) { s->accept_all_addresses = 1; });
  client a, b;
  connect(a);
  connect(b, nullptr, 4096);
  const std::string big(VEL_PROTOCOL_SERVER_OUTPUT_QUEUE_SIZE - 1, 'z');  // plus CR LF: one too many
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(vel_protocol_server_socketlist_event_response(server_, big.c_str()), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
  EXPECT_EQ(count_of(log_text(), "Failed event response"), 2u) << log_text();
  // Nothing of it went out, and both connections carry on.
  EXPECT_EQ(vel_protocol_server_socketlist_event_response(server_, "after"), 1);
  EXPECT_EQ(a.read_bytes(7), "after\r\n");
  EXPECT_EQ(b.read_bytes(7), "after\r\n");
  EXPECT_EQ(vel_protocol_server_client_count(server_), 2);
  EXPECT_EQ(count_of(log_text(), "Output queue overflow"), 0u);
}

TEST_F(server_test, PushesRaceWithClientsComingAndGoing) {
  start_server([](vel_protocol_server* s) { s->accept_all_addresses = 1; });
  std::atomic<int> replies{0};
  rec_.on_request = [&](vel_protocol_server_request* r) {
    vel_protocol_server_push(r->server, "R");
    replies++;
  };
  std::atomic<bool> stop{false};
  std::atomic<int> pushes{0};
  std::thread pusher([&] {
    while (!stop) {
      vel_protocol_server_push(server_, "auto feedback");
      pushes++;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  bool connected = true;
  for (int round = 0; round < 8 && connected; round++) {
    client a, b;
    connected = a.connect_to(port_) && b.connect_to(port_, "127.0.0.2");
    a.send("PL\r");
    b.send("?P\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    if (round % 2) b.reset_now();
  }
  bool drained = wait_until([&] { return vel_protocol_server_client_count(server_) == 0; }, 30000);
  stop = true;
  pusher.join();
  EXPECT_TRUE(connected);
  EXPECT_TRUE(drained);
  EXPECT_GT(pushes.load(), 0);
  EXPECT_GT(replies.load(), 0);
}

}  // namespace
}  // namespace ctl_test
