// The control port as a remote app sees it: the daemon and the player
// simulator in a device namespace, a real TCP client in a client namespace.
// Replies, the error status, events, handshakes and binary frames. The
// framing limits (256 bytes, 2000 ms) are the control server's own rules and
// are tested in tests/velProtocol/control_server.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/integration/control_netns.h"

using vbd_test::ControlTest;

namespace {

// A binary request frame: 0x02, header 0x82 (trailer and checksum follow),
// the payload length (2 bytes, MSB first), the payload, the trailer byte 1
// and the XOR of every byte before it.
std::string frame(const std::string& payload) {
  std::string f;
  f += '\x02';
  f += '\x82';
  f += static_cast<char>(payload.size() >> 8);
  f += static_cast<char>(payload.size() & 0xff);
  f += payload;
  f += '\x01';
  unsigned char sum = 0;
  for (char c : f) sum = static_cast<unsigned char>(sum ^ static_cast<unsigned char>(c));
  f += static_cast<char>(sum);
  return f;
}

// The lines of a reply text, without their CR LF.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  if (start < text.size()) lines.push_back(text.substr(start) + "(unterminated)");
  return lines;
}

TEST_F(ControlTest, CommandsGetExactlyOneReplyLineEach) {
  start_sim({"--no-events"});
  start_daemon();
  auto client = connect();
  ASSERT_TRUE(client);

  EXPECT_EQ(client->request("PL\r"), "R\r\n");
  EXPECT_EQ(client->request("ST\r"), "R\r\n");
  EXPECT_EQ(client->request("?P\r"), "P03\r\n");
  // A client that ends its lines with CR LF: the LF opens the next request
  // and is skipped there, so both commands run and each is answered once.
  EXPECT_EQ(client->request("PL\r\n?P\r\n", 2), "R\r\nP04\r\n");
  // An empty request sends nothing.
  EXPECT_EQ(client->request("\r?P\r"), "P04\r\n");
  EXPECT_EQ(client->take(300), "");
}

TEST_F(ControlTest, ErrorStatusFollowsTheStandbyStateAndTheLastError) {
  start_sim({"--no-events", "--no-standby"});
  start_daemon();
  auto client = connect();
  ASSERT_TRUE(client);

  // Standby until the player says otherwise.
  EXPECT_EQ(client->request("?E\r"), "E04\r\n");
  sim_script("standby 0", "[BDP_StandbyMode_Set]BDP_StandbyMode=0\n");
  EXPECT_EQ(client->request("?E\r"), "00\r\n");
  sim_script("standby 1", "[BDP_StandbyMode_Set]BDP_StandbyMode=1\n");
  EXPECT_EQ(client->request("?E\r"), "E04\r\n");
  sim_script("standby 0", "[BDP_StandbyMode_Set]BDP_StandbyMode=0\n");
  EXPECT_EQ(client->request("?E\r"), "00\r\n");
  // Only the state 1 is standby.
  sim_script("standby 2", "[BDP_StandbyMode_Set]BDP_StandbyMode=2\n");
  EXPECT_EQ(client->request("?E\r"), "00\r\n");

  // After an error "?E" repeats it, also after later successes.
  EXPECT_EQ(client->request("5KL\r"), "E06\r\n");  // key lock is 0 or 1
  EXPECT_EQ(client->request("?E\r"), "E06\r\n");
  EXPECT_EQ(client->request("PL\r"), "R\r\n");
  EXPECT_EQ(client->request("?E\r"), "E06\r\n");
  // A later error replaces it: one the player reports...
  ASSERT_TRUE(sim_->send("next ret_id=6\n"));
  ASSERT_TRUE(sim_->wait_for("[sim] next ret_id=6", kWaitMs)) << sim_->out();
  EXPECT_EQ(client->request("NF\r"), "E12\r\n");
  EXPECT_EQ(client->request("?E\r"), "E12\r\n");
  // ...and the server's own E04 for a line it cannot read, which "?E" now
  // repeats although the player is not in standby.
  EXPECT_EQ(client->request("XYZ\r"), "E04\r\n");
  EXPECT_EQ(client->request("?E\r"), "E04\r\n");
  EXPECT_EQ(client->take(300), "");
}

TEST_F(ControlTest, PlayerEventsReachTheClientAsOneLine) {
  start_sim();
  start_daemon();
  // An event while nobody is connected is dropped.
  sim_script("event P01", "[controlapp_cmd_proc]recv auto feedback msg\n");
  auto client = connect();
  ASSERT_TRUE(client);
  // Answered: the server has taken the connection, so events reach it.
  EXPECT_EQ(client->request("?P\r"), "P03\r\n");

  sim_script("event P04", "[controlapp_cmd_proc]recv auto feedback msg\n");
  ASSERT_TRUE(client->wait_lines(1, kWaitMs));
  EXPECT_EQ(client->take(), "P04\r\n");

  // A command that changes the player's state: its reply and the player's
  // status event both arrive, each as a line of its own (in either order).
  ASSERT_TRUE(client->send("PL\r"));
  ASSERT_TRUE(client->wait_lines(2, kWaitMs));
  std::vector<std::string> lines = lines_of(client->take(300));
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"P04", "R"}));
}

TEST_F(ControlTest, EventsAndRepliesInterleaveAsWholeLines) {
  start_sim({"--no-events"});
  start_daemon();
  auto client = connect();
  ASSERT_TRUE(client);

  // The player pushes a stream of numbered events (in small bursts, so the
  // queue never fills) while the client's requests are being answered: the
  // receive thread and the client thread write to the same socket.
  constexpr int kEvents = 160;
  constexpr int kRequests = 40;
  std::string script;
  for (int i = 0; i < kEvents; ++i) {
    script += "event EVT" + std::to_string(1000 + i) + "\n";
    if (i % 10 == 9) script += "wait 20\n";
  }
  // Answered: the server has taken the connection, so events reach it.
  ASSERT_EQ(client->request("?P\r"), "P03\r\n");
  std::string requests;
  for (int i = 0; i < kRequests; ++i) requests += "?P\r";
  ASSERT_TRUE(sim_->send(script));
  ASSERT_TRUE(client->send(requests));

  ASSERT_TRUE(client->wait_lines(kEvents + kRequests, 30000)) << client->take();
  int events = 0;
  int replies = 0;
  for (const std::string& line : lines_of(client->take(300))) {
    if (line == "P03") {
      ++replies;
    } else if (line == "EVT" + std::to_string(1000 + events)) {
      ++events;  // every event once, in the player's order
    } else {
      ADD_FAILURE() << "unexpected line \"" << line << "\" after " << events << " events and " << replies
                    << " replies";
      break;
    }
  }
  EXPECT_EQ(events, kEvents);
  EXPECT_EQ(replies, kRequests);
}

TEST_F(ControlTest, HandshakesAndBinaryFrames) {
  start_sim({"--no-events"});
  start_daemon();
  auto client = connect();
  ASSERT_TRUE(client);

  // "CON" is answered by the server and goes no further.
  EXPECT_EQ(client->request("CON 00:11:22:33:44:55 phone\rPL\r", 2), "CON\r\nR\r\n");
  // "BIN" is answered "BINFIN" and is then parsed like any line: no
  // mnemonic begins with B.
  EXPECT_EQ(client->request("BIN\r", 2), "BINFIN\r\nE04\r\n");
  EXPECT_EQ(client->request("BINFIN\r"), "E04\r\n");

  // A checked binary frame carries a request; the reply is a text line.
  std::string status = client->request("?P\r");
  ASSERT_EQ(status, "P04\r\n");
  EXPECT_EQ(client->request(frame("?P")), status);
  EXPECT_EQ(client->request(frame("st")), "R\r\n");
  // Frames and text lines mixed in one burst.
  EXPECT_EQ(client->request("PL\r" + frame("?P") + "ST\r", 3), "R\r\nP04\r\nR\r\n");
  EXPECT_EQ(client->take(300), "");
}

}  // namespace
