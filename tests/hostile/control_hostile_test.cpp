// Hostile input on the control port: random bytes, 0xFF and NUL bytes,
// endless lines, thousands of connect/disconnect cycles, a client that never
// reads its replies and one that vanishes while its reply is on the way.
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <string>

#include "tests/hostile/hostile_env.h"

namespace vbd_hostile {
namespace {

using namespace std::string_literals;
using ControlHostileTest = hostile_test;

TEST_F(ControlHostileTest, RandomFfAndNulBytes) {
  ASSERT_TRUE(start_player());
  std::mt19937 rng(20240611);
  const std::string inputs[] = {
      random_bytes(rng, 64 * 1024),
      std::string(16 * 1024, '\xFF'),
      std::string(16 * 1024, '\0'),
      std::string(4096, '\r'),
      // Binary frames with every length and broken checksums.
      "\x02\x82\xFF\xFF"s + random_bytes(rng, 600),
      "\x02\x00\x00\x00\x02\x80\x00\x05?Phello\r"s,
      // NUL inside text requests, and CR LF mixed in.
      "?E\0garbage\r\n\n\r?P\0\r"s,
  };
  int index = 0;
  for (const std::string& input : inputs) {
    SCOPED_TRACE("input " + std::to_string(index++));
    int fd = tcp_connect(env_.client_address(), env_.device_address(), kControlPort);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(send_all(fd, input));
    // Whatever it answers, the connection stays usable for a real request
    // once a request left unfinished has timed out.
    read_until(fd, "\x01\x02", 2100);
    EXPECT_NE(control_ask(fd, "?E", 10000), "");
    close(fd);
  }
  finish();
}

TEST_F(ControlHostileTest, EndlessLineIsCutEvery256Bytes) {
  int fd = tcp_connect(env_.client_address(), env_.device_address(), kControlPort);
  ASSERT_GE(fd, 0);
  const std::string block(64 * 1024, 'A');
  for (int i = 0; i < 32; i++) ASSERT_TRUE(send_all(fd, block));  // 2 MiB, no line end
  // The line was dropped in 256-byte pieces, each logged once; the next line
  // is a request of its own.
  std::string reply = control_ask(fd, "\r?E", 10000);
  EXPECT_NE(reply, "");
  EXPECT_GE(vbd_test::count_of(env_.err(), "Rx Buff overflow"), 8000u);
  close(fd);
  finish();
}

TEST_F(ControlHostileTest, ThousandsOfConnectAndDisconnectCycles) {
  // The legitimate client stays connected while another address cycles:
  // every one of those connections is closed at once (single peer), and
  // the legitimate client is answered all along.
  int legit = tcp_connect(env_.client_address(), env_.device_address(), kControlPort);
  ASSERT_GE(legit, 0);
  long long start = now_ms();
  int connected = 0;
  for (int i = 0; i < 3000; i++) {
    int fd = tcp_connect(env_.other_address(), env_.device_address(), kControlPort, 1000);
    if (fd < 0) continue;  // a full backlog may refuse a few
    connected++;
    if (i % 3 == 0) send_all(fd, "?E\r");
    if (i % 2 == 0) {
      close_with_reset(fd);
    } else {
      close(fd);
    }
    if (i % 300 == 0) {
      long long asked = now_ms();
      EXPECT_NE(control_ask(legit, "?E"), "") << "cycle " << i;
      EXPECT_LT(now_ms() - asked, 1000) << "cycle " << i;
    }
  }
  EXPECT_NE(control_ask(legit, "?E"), "");
  EXPECT_GT(connected, 2500);
  RecordProperty("refused_cycles_ms", std::to_string(now_ms() - start));
  close(legit);

  // Then the legitimate address itself cycles: each newcomer replaces the
  // connection before it, which takes one wait for the old connection's
  // thread (100 ms), so the accept backlog fills and drains at that pace.
  start = now_ms();
  for (int i = 0; i < 200; i++) {
    int fd = tcp_connect(env_.client_address(), env_.device_address(), kControlPort, 300);
    if (fd < 0) continue;
    if (i % 2 == 0) {
      send_all(fd, "?E\r");
      close_with_reset(fd);
    } else {
      close(fd);
    }
  }
  RecordProperty("replacing_cycles_ms", std::to_string(now_ms() - start));
  // Answered again once the backlog has drained: at most 128 queued
  // connections at about a tenth of a second each.
  start = now_ms();
  bool answered = false;
  while (!answered && now_ms() - start < 20000) {
    int fd = tcp_connect(env_.client_address(), env_.device_address(), kControlPort, 2000);
    if (fd >= 0) {
      answered = control_ask(fd, "?E", 2000) != "";
      close(fd);
    }
  }
  EXPECT_TRUE(answered);
  RecordProperty("recovery_ms", std::to_string(now_ms() - start));
  finish();
}

TEST_F(ControlHostileTest, ClientThatNeverReadsItsReplies) {
  int fd = tcp_connect(env_.client_address(), env_.device_address(), kControlPort, 200);
  ASSERT_GE(fd, 0);
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  // Requests until the daemon stops taking them (its replies fill our
  // receive buffer and its send buffer); we never read.
  std::string burst;
  for (int i = 0; i < 4096; i++) burst += "?E\r";
  long long deadline = now_ms() + 4000;
  while (now_ms() < deadline) {
    if (send(fd, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT) <= 0) sleep_ms(50);
  }
  // A new connection of the same client replaces the stuck one promptly.
  long long start = now_ms();
  EXPECT_EQ(env_.check_alive(), "");
  EXPECT_LT(now_ms() - start, 3000);
  close(fd);
  finish();
}

TEST_F(ControlHostileTest, ClientThatVanishesMidReply) {
  // The player answers late, so every reply goes to a connection that has
  // just been reset.
  ASSERT_TRUE(start_player({"--delay", "30"}));
  for (int i = 0; i < 40; i++) {
    int fd = tcp_connect(env_.client_address(), env_.device_address(), kControlPort);
    ASSERT_GE(fd, 0);
    send_all(fd, i % 2 ? "?P\r" : "?E\r?E\r?E\r");
    if (i % 4 == 0) sleep_ms(40);
    close_with_reset(fd);
  }
  // A vanished client's replies fail; the others still go out.
  EXPECT_TRUE(env_.wait_out("[command_handler] Tmp_recv_cmd recv  msg.(count:", 10000));
  finish();
}

}  // namespace
}  // namespace vbd_hostile
