// Hostile input on the HTTP port: malformed request lines, 10 000-byte
// header lines, absurd lengths and chunk sizes, bodies and header blocks
// without end, idle connections, a connection flood and a slow client.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "http/http.h"
#include "tests/hostile/hostile_env.h"

namespace vbd_hostile {
namespace {

using namespace std::string_literals;
using HttpHostileTest = hostile_test;

// The daemon's resident size while a hostile request is being read may
// exceed the baseline by at most this much.
constexpr long kActiveRssBoundKb = 24 * 1024;

std::string get_request(const std::string& host, const std::string& extra_headers = "") {
  return "GET /description.xml HTTP/1.1\r\nHost: " + host + "\r\n" + extra_headers + "\r\n";
}

// Sends the bytes, half-closes, and expects the daemon to end the
// connection within timeout_ms; returns what it answered.
std::string send_and_finish(daemon_env& env, std::string_view bytes, bool* closed, int timeout_ms = 5000) {
  int fd = tcp_connect(env.client_address(), env.device_address(), kHttpPort);
  if (fd < 0) {
    *closed = false;
    return "";
  }
  send_all(fd, bytes);
  shutdown(fd, SHUT_WR);
  std::string got;
  *closed = wait_closed(fd, timeout_ms, &got);
  close(fd);
  return got;
}

TEST_F(HttpHostileTest, MalformedRequestLines) {
  const std::string inputs[] = {
      "GARBAGE\r\n\r\n",
      "GET\r\n\r\n",
      "GET /\r\n\r\n",
      "GET / HTTP/1.1 extra words\r\nHost: a\r\n\r\n",
      "\r\n\r\n\r\n\r\n",
      "\0\0\0\0 \0\0 \0\r\n\r\n"s,
      std::string(3000, '\xFF') + "\r\n\r\n",
      "GET " + std::string(10000, 'a') + " HTTP/1.1\r\nHost: a\r\n\r\n",
      "GET http://[::1/ HTTP/1.1\r\nHost: a\r\n\r\n",
      "GET http://a:99999999999999999999/x HTTP/1.1\r\nHost: a\r\n\r\n",
      "GET %zz%00%%/../../etc/passwd HTTP/1.1\r\nHost: a\r\n\r\n",
      "GET /description.xml HTTP/9.9\r\n\r\n",
      "GET /description.xml\tHTTP/1.1\r\nHost: a\r\n\r\n",
      "M-SEARCH * HTTP/1.1\r\nHost: a\r\n\r\n",
      "GET /description.xml HTTP/1.1\r\n: \r\n:::\r\n \r\n\tHost: x\r\n\r\n",
  };
  int index = 0;
  for (const std::string& input : inputs) {
    SCOPED_TRACE("input " + std::to_string(index++));
    bool closed = false;
    send_and_finish(env_, input, &closed);
    EXPECT_TRUE(closed);
  }
  finish();
}

TEST_F(HttpHostileTest, TenThousandByteHeaderLines) {
  std::string host = env_.device_address() + ":38400";
  // Lines are kept to their first 511 bytes and the rest is discarded, so
  // a request with such lines is still understood.
  for (const std::string& extra : {"X-Long: " + std::string(10000, 'b') + "\r\n",
                                   std::string(10000, 'c') + "\r\n",
                                   "X-Long: " + std::string(10000, ':') + "\r\nX-Two: " +
                                       std::string(10000, ' ') + "x\r\n"}) {
    bool closed = false;
    std::string answer =
        send_and_finish(env_, get_request(host, extra + "Connection: close\r\n"), &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.substr(0, 200);
  }
  finish();
}

TEST_F(HttpHostileTest, HugeContentLengthWithAShortBody) {
  int fd = tcp_connect(env_.client_address(), env_.device_address(), kHttpPort);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_all(fd, "POST /description.xml HTTP/1.1\r\nHost: a\r\nContent-Length: 2000000000\r\n\r\n"
                           "short body"));
  sleep_ms(500);
  // The connection waits for the rest of its body (until its time-out);
  // nothing was allocated for the declared length, and others are served.
  usage during = usage_of(env_.pid());
  if (!sanitized_build()) {
    EXPECT_LT(during.rss_kb, baseline_.rss_kb + 4096);
  }
  std::string response = fetch_description(env_.other_address(), env_.device_address());
  EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  close(fd);
  // Negative and overflowing lengths read no body.
  for (const char* length : {"-1", "-2000000000", "99999999999999999999999", "0x10", "1e9"}) {
    bool closed = false;
    send_and_finish(env_, "POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: "s + length + "\r\n\r\nabc", &closed);
    EXPECT_TRUE(closed) << length;
  }
  finish();
}

TEST_F(HttpHostileTest, AbsurdChunkSizes) {
  for (const char* size : {"FFFFFFFFFFFFFFFFFFFFFFFFFFFF", "7FFFFFFF", "80000000", "-5", "0x10", "zz",
                           "FFFFFFFFFFFFFFFF;ext=1", "1" /* then far more than one byte */}) {
    bool closed = false;
    std::string request = "POST /x HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"s + size +
                          "\r\n" + std::string(100000, 'd') + "\r\n0\r\n\r\n";
    send_and_finish(env_, request, &closed);
    EXPECT_TRUE(closed) << size;
  }
  finish();
}

// Streams body or header bytes for as long as the daemon takes them (at
// most total bytes), sampling the daemon's resident size; returns the peak.
long stream_and_watch(daemon_env& env, const std::string& head, const std::string& unit, size_t total) {
  int fd = tcp_connect(env.client_address(), env.device_address(), kHttpPort, 1000);
  if (fd < 0) return -1;
  send_all(fd, head);
  std::string block;
  while (block.size() < 256 * 1024) block += unit;
  long peak = 0;
  size_t sent = 0;
  long long deadline = now_ms() + 20000;
  while (sent < total && now_ms() < deadline) {
    ssize_t n = send(fd, block.data(), block.size(), MSG_NOSIGNAL);
    if (n <= 0) break;  // the daemon stopped reading or closed
    sent += static_cast<size_t>(n);
    if ((sent / block.size()) % 16 == 0) {
      long rss = usage_of(env.pid()).rss_kb;
      if (rss > peak) peak = rss;
    }
  }
  long rss = usage_of(env.pid()).rss_kb;
  if (rss > peak) peak = rss;
  close(fd);
  return peak;
}

TEST_F(HttpHostileTest, BodiesAndHeaderBlocksWithoutEnd) {
  constexpr size_t kTotal = 256u * 1024 * 1024;
  struct attack {
    const char* name;
    std::string head;
    std::string unit;
  } attacks[] = {
      {"until close", "POST /x HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: identity\r\n\r\n", "e"},
      {"chunked", "POST /x HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n7FFFFFFF\r\n", "f"},
      {"sized", "POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: 2000000000\r\n\r\n", "g"},
      {"headers", "GET /description.xml HTTP/1.1\r\nHost: a\r\n", "X-Header: " + std::string(400, 'h') + "\r\n"},
  };
  for (const attack& a : attacks) {
    long peak = stream_and_watch(env_, a.head, a.unit, kTotal);
    RecordProperty(std::string("peak_growth_kb_") + a.name[0], std::to_string(peak - baseline_.rss_kb));
    if (!sanitized_build()) {
      EXPECT_LT(peak, baseline_.rss_kb + kActiveRssBoundKb) << a.name;
    }
    EXPECT_EQ(env_.check_alive(), "") << a.name;
  }
  finish();
}

TEST_F(HttpHostileTest, TwoHundredIdleConnections) {
  std::vector<int> idle;
  for (int i = 0; i < 200; i++) {
    int fd = tcp_connect(i % 2 ? env_.client_address() : env_.other_address(), env_.device_address(), kHttpPort);
    if (fd >= 0) idle.push_back(fd);
  }
  EXPECT_EQ(idle.size(), 200u);
  sleep_ms(500);
  usage during = usage_of(env_.pid());
  // One thread per connection, nothing more.
  EXPECT_LE(during.threads, baseline_.threads + 200 + kThreadSlack);
  RecordProperty("threads_with_200_idle", std::to_string(during.threads));
  RecordProperty("rss_with_200_idle_kb", std::to_string(during.rss_kb - baseline_.rss_kb));
  // Others are still served, and so is the control client.
  std::string response = fetch_description(env_.client_address(), env_.device_address());
  EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(env_.check_alive(), "");
  for (int fd : idle) close(fd);
  finish();
}

TEST_F(HttpHostileTest, ConnectionFloodIsCapped) {
  // Far more connections than the daemon serves at once; held open.
  std::vector<int> held;
  for (int i = 0; i < 1500; i++) {
    int fd = tcp_connect(i % 2 ? env_.client_address() : env_.other_address(), env_.device_address(), kHttpPort,
                         500);
    if (fd >= 0) held.push_back(fd);
  }
  sleep_ms(1000);
  usage during = usage_of(env_.pid());
  RecordProperty("threads_in_flood", std::to_string(during.threads));
  RecordProperty("fds_in_flood", std::to_string(during.fds));
  RecordProperty("rss_in_flood_kb", std::to_string(during.rss_kb - baseline_.rss_kb));
  EXPECT_LE(during.threads, baseline_.threads + CG_HTTP_SERVER_MAX_CONNECTIONS + kThreadSlack);
  EXPECT_LE(during.fds, baseline_.fds + CG_HTTP_SERVER_MAX_CONNECTIONS + kFdSlack);
  // The control client is still answered meanwhile.
  int fd = tcp_connect(env_.client_address(), env_.device_address(), kControlPort);
  ASSERT_GE(fd, 0);
  EXPECT_NE(control_ask(fd, "?E"), "");
  close(fd);
  for (int h : held) close(h);
  finish();
}

TEST_F(HttpHostileTest, SlowClientOneByteASecond) {
  std::string request = get_request(env_.device_address(), "Connection: close\r\n");
  int slow = tcp_connect(env_.other_address(), env_.device_address(), kHttpPort);
  ASSERT_GE(slow, 0);
  // The first bytes at one a second, while others are served promptly.
  for (size_t i = 0; i < 5; i++) {
    ASSERT_TRUE(send_all(slow, request.substr(i, 1)));
    long long start = now_ms();
    std::string response = fetch_description(env_.client_address(), env_.device_address());
    EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_LT(now_ms() - start, 1000);
    long long left = 1000 - (now_ms() - start);
    if (left > 0) sleep_ms(static_cast<int>(left));
  }
  // Then the rest: the slow request is answered in full.
  ASSERT_TRUE(send_all(slow, request.substr(5)));
  std::string response;
  EXPECT_TRUE(wait_closed(slow, 5000, &response));
  EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  close(slow);
  finish();
}

}  // namespace
}  // namespace vbd_hostile
