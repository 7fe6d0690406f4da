// Replies made by the request callback: vel_protocol_server_request_reply
// follows the push routing, and every way of replying from inside the
// callback works with a reply encoder and sent callback set, which run under
// the server mutex the callback already holds.
#include "tests/velProtocol/control_server/server_fixture.h"

namespace ctl_test {
namespace {

struct sent_note {
  std::string text;
  int encoded;
};

std::mutex g_sent_lock;
std::vector<sent_note> g_sent;

void record_sent(cg_socket*, const char* text, int encoded) {
  std::lock_guard<std::mutex> g(g_sent_lock);
  g_sent.push_back({text, encoded});
}

std::vector<sent_note> sent_list() {
  std::lock_guard<std::mutex> g(g_sent_lock);
  return g_sent;
}

std::string frame_of(const std::string& text) {
  int length = 0;
  char* bytes = vel_protocol_server_binary_encode(&length, text.data(), static_cast<int>(text.size()));
  std::string frame(bytes, static_cast<size_t>(length));
  std::free(bytes);
  return frame;
}

TEST_F(server_test, RequestReplyFollowsThePushRouting) {
  start_server([](vel_protocol_server* s) { s->accept_all_addresses = 1; });
  std::mutex results_lock;
  std::vector<int> results;
  rec_.on_request = [&](vel_protocol_server_request* r) {
    int result = vel_protocol_server_request_reply(r, ("re:" + std::string(r->receive->text)).c_str());
    std::lock_guard<std::mutex> g(results_lock);
    results.push_back(result);
  };
  client a, b, c;
  connect(a);
  a.send("1\r");
  EXPECT_EQ(a.read_bytes(6), "re:1\r\n");

  // Two or more: only the second in connection order, whoever asked.
  connect(b);
  connect(c, "127.0.0.2");
  c.send("2\r");
  EXPECT_EQ(b.read_bytes(6), "re:2\r\n");
  a.send("3\r");
  EXPECT_EQ(b.read_bytes(6), "re:3\r\n");
  EXPECT_EQ(a.take(50), "");
  EXPECT_EQ(c.take(10), "");

  // Back to one: the asker itself.
  b.close_now();
  c.close_now();
  ASSERT_TRUE(wait_until([&] { return vel_protocol_server_client_count(server_) == 1; }));
  a.send("4\r");
  EXPECT_EQ(a.read_bytes(6), "re:4\r\n");
  // The callback notes its result after the reply has gone.
  ASSERT_TRUE(wait_until([&] {
    std::lock_guard<std::mutex> g(results_lock);
    return results.size() == 4;
  }));
  std::lock_guard<std::mutex> g(results_lock);
  EXPECT_EQ(results, (std::vector<int>{1, 1, 1, 1}));
}

TEST_F(server_test, EveryReplyFromTheCallbackUsesTheEncoderWithoutDeadlock) {
  {
    std::lock_guard<std::mutex> g(g_sent_lock);
    g_sent.clear();
  }
  start_server([](vel_protocol_server* s) {
    vel_protocol_server_set_reply_encoder(s, vel_protocol_server_binary_encode);
    vel_protocol_server_set_sent_callback(s, record_sent);
  });
  std::atomic<int> ok{0};
  rec_.on_request = [&](vel_protocol_server_request* r) {
    ok += vel_protocol_server_request_reply(r, "R1");
    ok += vel_protocol_server_push(r->server, "P1");
    ok += vel_protocol_server_single_response(r->socket, "S1", r->server);
    ok += vel_protocol_server_socketlist_event_response(r->server, "E1");
  };
  client a;
  connect(a);
  a.send("PL\r");
  std::string want = frame_of("R1") + frame_of("P1") + frame_of("S1") + frame_of("E1");
  EXPECT_EQ(a.read_bytes(want.size()), want);
  // The callback runs under the mutex: once it is taken here the callback
  // is over, and it is gone for the requests that follow.
  cg_mutex_lock(server_->mutex);
  rec_.on_request = nullptr;
  cg_mutex_unlock(server_->mutex);
  EXPECT_EQ(ok.load(), 4);

  // From another thread too, and the handshake reply.
  EXPECT_EQ(vel_protocol_server_push(server_, "ev"), 1);
  EXPECT_EQ(a.read_bytes(8), frame_of("ev"));
  a.send("CON\r");
  EXPECT_EQ(a.read_bytes(9), frame_of("CON"));
  ASSERT_TRUE(wait_until([&] { return sent_list().size() == 6; }));
  std::vector<std::string> texts;
  for (const sent_note& note : sent_list()) {
    texts.push_back(note.text);
    EXPECT_EQ(note.encoded, 1) << note.text;
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"R1", "P1", "S1", "E1", "ev", "CON"}));
}

}  // namespace
}  // namespace ctl_test
