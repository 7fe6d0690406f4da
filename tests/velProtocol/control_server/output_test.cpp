// How the server waits and writes: a client that never reads is cut off by
// its bounded output queue (at once out of the lists, its stream ending with
// a whole line) while other clients get every line whole, a dead peer never
// holds up a push to another, stop and same-address replacement end
// connections by waking them instead of polling, and a slow reader gets its
// queued lines once it reads.
#include <sys/socket.h>

#include <cstdio>
#include <thread>

#include "tests/velProtocol/control_server/server_fixture.h"

namespace ctl_test {
namespace {

using vbd_test::ms_since;
using vbd_test::now_ms;

// Event line number `seq`: "EV<6 digits>" padded with dots to 200 bytes
// before the line end the server adds.
std::string event_text(int seq) {
  char head[16];
  std::snprintf(head, sizeof(head), "EV%06d", seq);
  std::string text(head);
  text.resize(200, '.');
  return text;
}

// Checks that a byte stream is event lines first..first+k-1, each whole, in
// order, optionally followed by the start of line first+k only (a line cut
// by the end of the stream, never by another line). Returns k, or -1.
int whole_lines(const std::string& stream, int first, std::string* why) {
  size_t at = 0;
  int seq = first;
  while (at < stream.size()) {
    std::string want = event_text(seq) + "\r\n";
    std::string got = stream.substr(at, want.size());
    if (got != want.substr(0, got.size())) {
      *why = "line " + std::to_string(seq) + " differs at byte " + std::to_string(at) + ": \"" +
             got.substr(0, 40) + "\"";
      return -1;
    }
    if (got.size() < want.size()) break;  // cut by the end of the stream
    at += want.size();
    seq++;
  }
  return seq - first;
}

// Everything a client gets until the server closes the connection.
std::string read_to_end(client& c) {
  std::string all;
  for (std::string part = c.take(300); !part.empty(); part = c.take(300)) all += part;
  return all;
}

TEST_F(server_test, ClientThatNeverReadsIsCutOffWhileOthersGetEveryLine) {
  start_server([](vel_protocol_server* s) { s->accept_all_addresses = 1; });
  client reader, sleeper;
  connect(reader);
  connect(sleeper, nullptr, 4096);
  int sleeper_port = sleeper.local_port();
  ASSERT_TRUE(shrink_server_send_buffer(sleeper_port));

  std::atomic<bool> done{false};
  std::atomic<size_t> read_total{0};
  std::string got;
  std::thread drain([&] {
    for (;;) {
      std::string part = reader.take(50);
      got += part;
      read_total = got.size();
      if (part.empty() && done) break;
    }
  });
  const size_t line_size = event_text(0).size() + 2;
  // Pushes until the server gives up on the sleeper, keeping the reader at
  // most a hundred lines behind so that only the sleeper can overflow.
  int pushed = 0;
  bool cut_off = false;
  auto start = now_ms();
  while (pushed < 50000 && ms_since(start) < 8000) {
    vel_protocol_server_socketlist_event_response(server_, event_text(pushed).c_str());
    pushed++;
    if (pushed % 50 == 0) {
      size_t behind_ok = (pushed > 100 ? pushed - 100 : 0) * line_size;
      wait_until([&] { return read_total.load() >= behind_ok; }, 5000);
      if (vel_protocol_server_client_count(server_) == 1) {
        cut_off = true;
        break;
      }
    }
  }
  EXPECT_TRUE(cut_off) << "the sleeper is still connected after " << pushed << " lines";
  bool all_read = wait_until([&] { return read_total.load() >= pushed * line_size; }, 10000);
  done = true;
  drain.join();
  ASSERT_TRUE(all_read) << read_total.load() << " of " << pushed * line_size;

  std::string why;
  EXPECT_EQ(whole_lines(got, 0, &why), pushed) << why;
  EXPECT_EQ(got.size(), pushed * line_size);

  // The sleeper reads at last: whole lines up to where it was cut off (the
  // rest of the line it was in is still offered), then the end.
  std::string slept = read_to_end(sleeper);
  int lines = whole_lines(slept, 0, &why);
  EXPECT_GT(lines, 0) << why;
  EXPECT_LT(lines, pushed);
  EXPECT_EQ(slept.size(), lines * line_size) << "the stream ends in a cut line";
  EXPECT_EQ(count_of(log_text(), "Output queue overflow : 127.0.0.1:" +
                                     std::to_string(sleeper_port) + "\n"),
            1u)
      << log_text();
}

// Pushes lines to the only client until the server cuts it off (the first
// line it refuses) and the connection has left. The number of lines pushed,
// or -1 when it was never cut off.
int push_until_cut_off(vel_protocol_server* server) {
  for (int i = 0; i < 5000; i++) {
    if (vel_protocol_server_push(server, event_text(i).c_str()) == 1) continue;
    return wait_until([&] { return vel_protocol_server_client_count(server) == 0; }) ? i + 1 : -1;
  }
  return -1;
}

TEST_F(server_test, CutOffClientLeavesTheListsAtOnce) {
  start_server();
  client sleeper;
  connect(sleeper, nullptr, 4096);
  ASSERT_TRUE(shrink_server_send_buffer(sleeper.local_port()));
  int pushed = push_until_cut_off(server_);
  ASSERT_GT(pushed, 0);
  // The single-peer rule no longer sees it: another address is served while
  // its thread still offers the rest of its last line.
  client other;
  connect(other, "127.0.0.2");
  other.send("CON\r");
  EXPECT_EQ(other.read_bytes(5), "CON\r\n");
  EXPECT_EQ(vel_protocol_server_push(server_, "to the other"), 1);
  EXPECT_EQ(other.read_bytes(14), "to the other\r\n");
  std::string why;
  std::string slept = read_to_end(sleeper);
  int lines = whole_lines(slept, 0, &why);
  EXPECT_GT(lines, 0) << why;
  EXPECT_EQ(slept.size(), lines * (event_text(0).size() + 2)) << "the stream ends in a cut line";
  std::vector<connection_note> notes = rec_.connection_list();
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[1].connected, 0);
  EXPECT_EQ(notes[1].client_count, 0);
  EXPECT_EQ(notes[2].connected, 1);
  EXPECT_EQ(notes[2].client_count, 1);
}

TEST_F(server_test, StopDoesNotWaitForACutOffClient) {
  start_server();
  client sleeper;
  connect(sleeper, nullptr, 4096);
  ASSERT_TRUE(shrink_server_send_buffer(sleeper.local_port()));
  ASSERT_GT(push_until_cut_off(server_), 0);
  auto start = now_ms();
  EXPECT_EQ(vel_protocol_server_stop(server_), 1);
  EXPECT_LT(ms_since(start), VEL_PROTOCOL_SERVER_CUT_LINE_WAIT_MS / 2);
}

TEST_F(server_test, SlowReaderGetsItsQueuedLinesWhenItReads) {
  start_server();
  client slow;
  connect(slow, nullptr, 4096);
  ASSERT_TRUE(shrink_server_send_buffer(slow.local_port()));
  // More than the socket buffers hold, less than the output queue.
  const int count = 200;
  for (int i = 0; i < count; i++) {
    EXPECT_EQ(vel_protocol_server_push(server_, event_text(i).c_str()), 1) << i;
  }
  cg_mutex_lock(server_->client_lock);
  auto* conn = reinterpret_cast<vel_protocol_server_connection*>(cg_list_next(&server_->connections));
  int waiting = conn ? conn->output_length : -1;
  cg_mutex_unlock(server_->client_lock);
  EXPECT_GT(waiting, 0) << "every line went out at once: the queue was not used";
  std::string got = slow.read_bytes(count * (event_text(0).size() + 2), 5000);
  std::string why;
  EXPECT_EQ(whole_lines(got, 0, &why), count) << why;
  EXPECT_EQ(count_of(log_text(), "Output queue overflow"), 0u);
}

TEST_F(server_test, DeadPeerNeverDelaysAPushToAnother) {
  start_server([](vel_protocol_server* s) { s->accept_all_addresses = 1; });
  client good, gone;
  connect(good);
  connect(gone);
  // Holding the server mutex keeps the dead connection listed while the
  // events go out: its thread cannot remove it meanwhile.
  cg_mutex_lock(server_->mutex);
  gone.reset_now();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  long long slowest = 0;
  for (int i = 0; i < 5; i++) {
    auto start = now_ms();
    vel_protocol_server_socketlist_event_response(server_, event_text(i).c_str());
    slowest = std::max(slowest, ms_since(start));
  }
  cg_mutex_unlock(server_->mutex);
  EXPECT_LT(slowest, 50);
  std::string why;
  EXPECT_EQ(whole_lines(good.read_bytes(5 * (event_text(0).size() + 2)), 0, &why), 5) << why;
  ASSERT_TRUE(wait_until([&] { return vel_protocol_server_client_count(server_) == 1; }));
}

TEST_F(server_test, StopWithAnIdleClientIsFast) {
  start_server();
  client idle;
  connect(idle);
  auto start = now_ms();
  EXPECT_EQ(vel_protocol_server_stop(server_), 1);
  EXPECT_LT(ms_since(start), 1000);
  EXPECT_TRUE(idle.wait_closed(1000));
  start = now_ms();
  vel_protocol_server_delete(server_);
  server_ = nullptr;
  EXPECT_LT(ms_since(start), 1000);
}

TEST_F(server_test, ReconnectsFromOneAddressReplaceWithoutPolling) {
  start_server();
  const int rounds = 50;
  std::vector<std::unique_ptr<client>> clients;
  auto start = now_ms();
  for (int i = 0; i < rounds; i++) {
    clients.push_back(std::make_unique<client>());
    connect(*clients.back());
  }
  long long took = ms_since(start);
  EXPECT_LT(took, 2500) << rounds << " replacements";
  for (int i = 0; i + 1 < rounds; i++) EXPECT_TRUE(clients[i]->wait_closed(1000)) << i;
  EXPECT_EQ(vel_protocol_server_client_count(server_), 1);
  clients.back()->send("CON\r");
  EXPECT_EQ(clients.back()->read_bytes(5), "CON\r\n");
}

// A connection busy with a burst of slow request lines (each holds the
// server mutex, as an exchange with the player does) is replaced after the
// line in progress, not after the whole burst: ending it must not wait for
// the mutex that its own thread takes again for every line.
TEST_F(server_test, ReplacingABusyConnectionWaitsForOneLineOnly) {
  rec_.on_request = [](vel_protocol_server_request*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  };
  start_server();
  client busy;
  connect(busy);
  std::string burst;
  for (int i = 0; i < 40; i++) burst += "PL\r";  // 6 s of work if all ran
  busy.send(burst);
  ASSERT_TRUE(wait_until([&] { return rec_.request_count() >= 1; }));
  auto start = now_ms();
  client next;
  connect(next);
  EXPECT_LT(ms_since(start), 1500);
  EXPECT_TRUE(busy.wait_closed(1000));
  EXPECT_LT(rec_.request_count(), 10u);
  rec_.on_request = nullptr;
}

}  // namespace
}  // namespace ctl_test
