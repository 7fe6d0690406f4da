// The HTTP server on loopback: the Host rule, keep-alive and close rules,
// pipelined requests, the idle time-out, the time limits of a request, the
// cap per peer address, stop and restart while connections
// come and go and without fixed pauses, a shortage of descriptors, and a
// flood of connections that cannot all get a thread.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "http/http.h"
#include "tests/http/http_test_util.h"
#include "tests/support/child.h"

namespace {

using namespace std::chrono_literals;

// What the listener saw, and how it answers: 200 with the URI as body.
struct recorder {
  std::mutex lock;
  std::vector<std::string> requests;  // "METHOD URI VERSION"
  std::vector<std::string> local_addresses;
  std::atomic<int> busy_ms{0};  // listener work time
  std::atomic<int> finished{0};
};

void answer_with_uri(cg_http_request* request) {
  auto* rec = static_cast<recorder*>(cg_http_request_get_user_data(request));
  {
    std::lock_guard<std::mutex> guard(rec->lock);
    rec->requests.push_back(std::string(cg_http_request_get_method(request)) + " " +
                            cg_http_request_get_uri(request) + " " +
                            cg_http_request_get_version(request));
    rec->local_addresses.emplace_back(cg_http_request_get_local_address(request));
  }
  if (int ms = rec->busy_ms.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  cg_http_response* response = cg_http_response_new();
  cg_http_response_set_status_code(response, 200);
  cg_http_packet* packet = cg_http_response_get_packet(response);
  cg_http_packet_set_content(packet, cg_http_request_get_uri(request), -1);
  cg_http_packet_set_header_llong(packet, "Content-Length",
                                  cg_http_packet_get_content_length(packet));
  cg_http_request_post_response(request, response);
  cg_http_response_delete(response);
  rec->finished++;
}

// A server open on a free loopback port (*port, -1 when none could be had)
// whose listener answers with the URI and records into rec.
cg_http_server* uri_server(recorder* rec, int* port) {
  cg_http_server* server = cg_http_server_new();
  *port = server ? open_on_loopback(server) : -1;
  cg_http_server_set_listener(server, answer_with_uri);
  cg_http_server_set_user_data(server, rec);
  return server;
}

struct ServerTest : ::testing::Test {
  recorder rec;
  int port = -1;
  cg_http_server* server = uri_server(&rec, &port);

  void SetUp() override {
    ASSERT_NE(server, nullptr);
    ASSERT_GT(port, 0);
  }
  void TearDown() override { cg_http_server_delete(server); }

  int connect() { return connect_to("127.0.0.1", port); }
  // Starts the server and connects in to it; called through
  // ASSERT_NO_FATAL_FAILURE.
  void start_and_connect(response_reader& in) {
    ASSERT_EQ(cg_http_server_start(server), 1);
    in.fd = connect();
    ASSERT_GE(in.fd, 0);
  }
  std::vector<std::string> seen() {
    std::lock_guard<std::mutex> guard(rec.lock);
    return rec.requests;
  }
};

std::string status_line(const std::string& response) {
  return response.substr(0, response.find("\r\n"));
}
std::string body_of(const std::string& response) {
  return response.substr(response.find("\r\n\r\n") + 4);
}

// GET uri (HTTP/1.1, with a Host line) on in's connection: the body of the
// response, "" when the request cannot be sent or no response comes.
std::string get(response_reader& in, const std::string& uri) {
  if (!send_text(in.fd, "GET " + uri + " HTTP/1.1\r\nHost: h\r\n\r\n")) return "";
  std::string response = in.next();
  return response.empty() ? "" : body_of(response);
}

TEST_F(ServerTest, OpenStartAndPlatformName) {
  EXPECT_EQ(cg_http_server_is_open(server), 1);
  EXPECT_STREQ(cg_http_server_get_address(server), "127.0.0.1");
  EXPECT_EQ(cg_http_server_get_port(server), port);
  EXPECT_EQ(cg_http_server_open(server, port, "127.0.0.1"), 0);  // already open
  cg_http_server* other = cg_http_server_new();
  EXPECT_EQ(cg_http_server_open(other, port, "127.0.0.1"), 0);  // port taken
  EXPECT_EQ(cg_http_server_open(other, 0, "127.0.0.1"), 0);
  EXPECT_EQ(cg_http_server_is_open(other), 0);
  cg_http_server_delete(other);

  ASSERT_EQ(cg_http_server_start(server), 1);
  EXPECT_EQ(cg_http_server_start(server), 0);  // already running

  char name[CG_HTTP_SERVER_PLATFORM_NAME_SIZE];
  EXPECT_STREQ(cg_http_server_platform_name(name), "Platform 1.0");
}

TEST_F(ServerTest, Http11WithoutHostGets400AndTheConnectionStays) {
  response_reader in{-1, {}};
  ASSERT_NO_FATAL_FAILURE(start_and_connect(in));
  ASSERT_TRUE(send_text(in.fd, "GET /a HTTP/1.1\r\nConnection: close\r\n\r\n"));
  std::string bad = in.next();
  EXPECT_EQ(status_line(bad), "HTTP/1.1 400 Bad Request");
  EXPECT_NE(bad.find("\r\nContent-Length: 0\r\nDate: "), std::string::npos) << bad;
  ASSERT_TRUE(send_text(in.fd, "GET /b HTTP/1.1\r\nhost: h\r\n\r\n"));
  std::string ok = in.next();
  EXPECT_EQ(status_line(ok), "HTTP/1.1 200 OK");
  EXPECT_EQ(body_of(ok), "/b");
  EXPECT_EQ(seen(), std::vector<std::string>{"GET /b HTTP/1.1"});
  close(in.fd);
}

TEST_F(ServerTest, Http10AndConnectionCloseEndTheConnection) {
  ASSERT_EQ(cg_http_server_start(server), 1);
  for (const char* request : {"GET /x HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
                              "GET /x HTTP/1.1\r\nHost: h\r\nConnection: Close\r\n\r\n",
                              "GET /x HTTP/1.0\r\n\r\nGET /never HTTP/1.0\r\n\r\n"}) {
    int fd = connect();
    ASSERT_GE(fd, 0);
    response_reader in{fd, {}};
    ASSERT_TRUE(send_text(fd, request));
    EXPECT_EQ(body_of(in.next()), "/x") << request;
    EXPECT_TRUE(in.pending.empty() && in.closed()) << request;
    close(fd);
  }
  for (const std::string& r : seen()) EXPECT_EQ(r.find("/never"), std::string::npos);
}

TEST_F(ServerTest, PipelinedRequestsAreServedInOrderOnOneConnection) {
  response_reader in{-1, {}};
  ASSERT_NO_FATAL_FAILURE(start_and_connect(in));
  ASSERT_TRUE(send_text(in.fd,
                        "GET /one HTTP/1.1\r\nHost: h\r\n\r\n"
                        "HEAD /two HTTP/1.1\r\nHost: h\r\n\r\n"));
  EXPECT_EQ(body_of(in.next()), "/one");
  EXPECT_EQ(body_of(in.next()), "/two");
  // Still open: a third request on the same connection.
  EXPECT_EQ(get(in, "/three"), "/three");
  EXPECT_EQ(seen(), (std::vector<std::string>{"GET /one HTTP/1.1", "HEAD /two HTTP/1.1",
                                              "GET /three HTTP/1.1"}));
  close(in.fd);
}

TEST_F(ServerTest, OtherVersionsSkipTheHostRuleAndKeepTheConnection) {
  response_reader in{-1, {}};
  ASSERT_NO_FATAL_FAILURE(start_and_connect(in));
  ASSERT_TRUE(send_text(in.fd, "GET /a HTTP/1.2\r\n\r\n"));
  EXPECT_EQ(status_line(in.next()), "HTTP/1.1 200 OK");
  ASSERT_TRUE(send_text(in.fd, "GET /b http/1.0\r\n\r\n"));  // not exactly "HTTP/1.0"
  EXPECT_EQ(body_of(in.next()), "/b");
  EXPECT_EQ(get(in, "/c"), "/c");
  EXPECT_EQ(seen(),
            (std::vector<std::string>{"GET /a HTTP/1.2", "GET /b http/1.0", "GET /c HTTP/1.1"}));
  close(in.fd);
}

TEST_F(ServerTest, MalformedRequestEndsTheConnectionSilently) {
  response_reader in{-1, {}};
  ASSERT_NO_FATAL_FAILURE(start_and_connect(in));
  ASSERT_TRUE(send_text(in.fd, "GET /\r\n\r\n"));
  EXPECT_TRUE(in.closed());
  EXPECT_TRUE(seen().empty());
  close(in.fd);
}

TEST_F(ServerTest, ListenerLearnsUserDataAndLocalAddress) {
  response_reader in{-1, {}};
  ASSERT_NO_FATAL_FAILURE(start_and_connect(in));
  ASSERT_EQ(get(in, "/a"), "/a");  // the listener found the recorder as user data
  std::lock_guard<std::mutex> guard(rec.lock);
  EXPECT_EQ(rec.local_addresses, std::vector<std::string>{"127.0.0.1"});
  close(in.fd);
}

TEST_F(ServerTest, WithoutListenerNothingIsAnswered) {
  cg_http_server_set_listener(server, nullptr);
  response_reader in{-1, {}};
  ASSERT_NO_FATAL_FAILURE(start_and_connect(in));
  ASSERT_TRUE(send_text(in.fd, "GET /a HTTP/1.1\r\nHost: h\r\n\r\n"));
  timeval tv{0, 300000};
  setsockopt(in.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  char byte;
  EXPECT_EQ(recv(in.fd, &byte, 1, 0), -1);  // no answer, and not closed either
  cg_http_server_set_listener(server, answer_with_uri);
  tv.tv_sec = 5;
  setsockopt(in.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  // The connection still serves the next request.
  EXPECT_EQ(get(in, "/b"), "/b");
  close(in.fd);
}

TEST_F(ServerTest, IdleConnectionEndsAfterTheTimeout) {
  server->timeout = 1;
  response_reader in{-1, {}};
  ASSERT_NO_FATAL_FAILURE(start_and_connect(in));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(in.closed());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  EXPECT_EQ(cg_http_server_get_connection_count(server), 0);
  close(in.fd);
}

// Time limits run per request from its first byte, not per receive: a
// connection may idle before a request and between two, but a request whose
// head or body trickles in ends its connection, unanswered, at its limit.
TEST_F(ServerTest, RequestsPastTheirTimeLimitsEndTheConnectionUnanswered) {
  server->head_time_limit_ms = 500;
  server->request_time_limit_ms = 1500;
  response_reader in{-1, {}};
  ASSERT_NO_FATAL_FAILURE(start_and_connect(in));
  std::this_thread::sleep_for(800ms);
  EXPECT_EQ(get(in, "/first"), "/first");
  std::this_thread::sleep_for(800ms);
  EXPECT_EQ(get(in, "/second"), "/second");
  close(in.fd);

  struct slow_request {
    std::string head, rest;
    std::chrono::milliseconds limit;
  } cases[] = {
      {"GET /slow-head HTTP/1.1\r\n", "Host: " + std::string(100, 'h') + "\r\n\r\n", 500ms},
      {"POST /slow-body HTTP/1.1\r\nHost: h\r\nContent-Length: 100\r\n\r\n", std::string(100, 'b'), 1500ms},
  };
  for (const slow_request& c : cases) {
    int slow = connect();
    ASSERT_GE(slow, 0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
      bool sent = send_text(slow, c.head);
      for (size_t i = 0; sent && !done && i < c.rest.size(); i++) {
        std::this_thread::sleep_for(100ms);
        sent = send_text(slow, c.rest.substr(i, 1));
      }
    });
    auto start = std::chrono::steady_clock::now();
    std::string got;
    EXPECT_TRUE(vbd_test::wait_closed(slow, 8000, &got)) << c.head;
    auto took = std::chrono::steady_clock::now() - start;
    done = true;
    writer.join();
    EXPECT_EQ(got, "") << c.head;
    EXPECT_GE(took, c.limit - 100ms) << c.head;
    EXPECT_LT(took, c.limit + 3s) << c.head;
    close(slow);
  }
  EXPECT_EQ(seen(), (std::vector<std::string>{"GET /first HTTP/1.1", "GET /second HTTP/1.1"}));
}

// One peer address gets at most its share of the connections: one more is
// closed at once, while other addresses are served, and a slot that frees
// up can be taken again.
TEST_F(ServerTest, ConnectionsFromOneAddressAreCapped) {
  ASSERT_EQ(cg_http_server_start(server), 1);
  std::vector<int> held;
  for (int i = 0; i < CG_HTTP_SERVER_MAX_CONNECTIONS_PER_ADDRESS; i++) {
    held.push_back(connect());
    ASSERT_GE(held.back(), 0);
  }
  auto wait_count = [&](auto done) {
    for (int i = 0; i < 500 && !done(cg_http_server_get_connection_count(server)); i++) {
      std::this_thread::sleep_for(10ms);
    }
    return cg_http_server_get_connection_count(server);
  };
  EXPECT_EQ(wait_count([](int n) { return n == CG_HTTP_SERVER_MAX_CONNECTIONS_PER_ADDRESS; }),
            CG_HTTP_SERVER_MAX_CONNECTIONS_PER_ADDRESS);

  int over = connect();
  ASSERT_GE(over, 0);
  response_reader refused{over, {}};
  EXPECT_TRUE(refused.closed());
  close(over);

  int other = vbd_test::tcp_connect("127.0.0.2", "127.0.0.1", port, 5000);
  ASSERT_GE(other, 0);
  response_reader from_other{other, {}};
  EXPECT_EQ(get(from_other, "/other"), "/other");
  close(other);

  response_reader first{held[0], {}};
  EXPECT_EQ(get(first, "/held"), "/held");
  close(held[0]);
  EXPECT_EQ(wait_count([](int n) { return n < CG_HTTP_SERVER_MAX_CONNECTIONS_PER_ADDRESS; }),
            CG_HTTP_SERVER_MAX_CONNECTIONS_PER_ADDRESS - 1);
  int again = connect();
  ASSERT_GE(again, 0);
  response_reader later{again, {}};
  EXPECT_EQ(get(later, "/again"), "/again");
  close(again);
  for (size_t i = 1; i < held.size(); i++) close(held[i]);
}

TEST_F(ServerTest, StopEndsConnectionsAndWaitsForRunningListeners) {
  rec.busy_ms = 300;
  ASSERT_EQ(cg_http_server_start(server), 1);
  std::vector<int> idle;
  for (int i = 0; i < 5; i++) idle.push_back(connect());
  int partial = connect();
  ASSERT_TRUE(send_text(partial, "GET /partial HTTP/1.1\r\nHost"));
  int working = connect();
  ASSERT_TRUE(send_text(working, "GET /slow HTTP/1.1\r\nHost: h\r\n\r\n"));
  for (int i = 0; i < 100 && cg_http_server_get_connection_count(server) < 7; i++) {
    std::this_thread::sleep_for(10ms);
  }
  for (int i = 0; i < 100 && seen().empty(); i++) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(seen().size(), 1u);

  auto start = std::chrono::steady_clock::now();
  cg_http_server_stop(server);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  // The listener that was running has returned: the user data can go now.
  EXPECT_EQ(rec.finished.load(), 1);
  EXPECT_EQ(cg_http_server_get_connection_count(server), 0);
  for (int fd : idle) {
    response_reader in{fd, {}};
    EXPECT_TRUE(in.closed());
    close(fd);
  }
  close(partial);
  close(working);

  // Started again on the same listening socket, it serves again.
  rec.busy_ms = 0;
  response_reader in{-1, {}};
  ASSERT_NO_FATAL_FAILURE(start_and_connect(in));
  EXPECT_EQ(get(in, "/again"), "/again");
  close(in.fd);
  cg_http_server_close(server);
  EXPECT_EQ(cg_http_server_is_open(server), 0);
  cg_http_server_close(server);  // again: nothing to do
  cg_http_server_stop(server);
}

TEST_F(ServerTest, StopAndRestartEndTheAcceptWaitAtOnce) {
  // A fixed pause per stop (a second each) would show in every round.
  auto all = std::chrono::steady_clock::now();
  for (int round = 0; round < 10; round++) {
    ASSERT_EQ(cg_http_server_start(server), 1);
    if (round % 2) {
      response_reader in{connect(), {}};
      ASSERT_GE(in.fd, 0);
      EXPECT_EQ(get(in, "/r"), "/r");
      close(in.fd);
    }
    auto start = std::chrono::steady_clock::now();
    cg_http_server_stop(server);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms) << "round " << round;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - all, 3s);
}

// Processor time of the whole process so far.
std::chrono::milliseconds cpu_time() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto ms = [](const timeval& tv) { return tv.tv_sec * 1000 + tv.tv_usec / 1000; };
  return std::chrono::milliseconds(ms(usage.ru_utime) + ms(usage.ru_stime));
}

TEST_F(ServerTest, DescriptorShortagePausesAcceptingWithoutSpinningOrEnding) {
  ASSERT_EQ(cg_http_server_start(server), 1);
  // The client's socket is made while descriptors remain; then every
  // descriptor number below the limit is in use, so accept fails (EMFILE)
  // while the connection waits in the backlog and keeps the socket readable.
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(client, 0);
  timeval tv{5, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &sin.sin_addr);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int lowest_free = open("/dev/null", O_RDONLY);
  ASSERT_GE(lowest_free, 0);
  close(lowest_free);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  bool connected = ::connect(client, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0;
  std::this_thread::sleep_for(50ms);
  auto cpu_before = cpu_time();
  std::this_thread::sleep_for(500ms);
  auto used = cpu_time() - cpu_before;
  int count = cg_http_server_get_connection_count(server);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(connected);
  // The accept thread paused between attempts instead of spinning...
  EXPECT_LT(used, 250ms);
  EXPECT_EQ(count, 0);
  // ...and did not give up: once descriptors are free the client is served.
  response_reader in{client, {}};
  EXPECT_EQ(get(in, "/late"), "/late");
  close(client);
}

TEST_F(ServerTest, StopWhileConnectionsComeAndGo) {
  // Clients connect, send and hang up at random moments while the server is
  // stopped and deleted: no thread may touch a freed server or list.
  for (int round = 0; round < 8; round++) {
    int p = -1;
    cg_http_server* s = uri_server(&rec, &p);
    ASSERT_GT(p, 0);
    ASSERT_EQ(cg_http_server_start(s), 1);
    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; c++) {
      clients.emplace_back([&, c] {
        std::mt19937 random(static_cast<unsigned>(round * 10 + c));
        while (!done) {
          int fd = connect_to("127.0.0.1", p, 50);
          if (fd < 0) continue;
          if (random() % 2) send_text(fd, "GET /r HTTP/1.1\r\nHost: h\r\n\r\nGET /s HTTP/1.1\r\n");
          std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
          close(fd);
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30 + round * 10));
    auto start = std::chrono::steady_clock::now();
    cg_http_server_delete(s);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    done = true;
    for (auto& t : clients) t.join();
  }
}

// A process whose address space leaves room for only a few thread stacks:
// connections beyond that are closed, and the server goes on serving.
TEST_F(ServerTest, ConnectionsWithoutThreadAreClosedAndTheServerGoesOn) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#endif
#endif
  // The child, with the limit, runs a server of its own.
  int rc = vbd_test::run_child([] {
    recorder child_rec;
    int p = -1;
    cg_http_server* s = uri_server(&child_rec, &p);
    if (p < 0 || !cg_http_server_start(s)) return 2;
    // The C library keeps the stacks of ended threads mapped (up to 40 MiB)
    // and gives them to new threads without new address space: after the
    // earlier tests every connection would get one. Parked threads take
    // them all first.
    for (int i = 0; i < 170; i++) {
      cg_thread* parked = cg_thread_new();
      if (!parked) return 4;
      cg_thread_set_action(parked, [](cg_thread* self) { cg_thread_wait(self, CG_WAIT_FOREVER); });
      if (!cg_thread_start(parked)) return 4;
    }
    // Room for the threads already there and a few more stacks (a thread
    // stack is a few hundred KiB).
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max =
        static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (4u << 20);
    if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) return 3;

    std::vector<int> held;
    int refused = 0;
    for (int i = 0; i < 40; i++) {
      int fd = connect_to("127.0.0.1", p);
      if (fd < 0) continue;
      held.push_back(fd);
    }
    // Connections without a thread are closed by the server.
    std::this_thread::sleep_for(300ms);
    for (int fd : held) {
      timeval tv{0, 100000};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
      char byte;
      if (recv(fd, &byte, 1, 0) == 0) refused++;
    }
    for (int fd : held) close(fd);
    // Once the held connections are gone, a new one is served.
    std::string body;
    for (int attempt = 0; attempt < 50 && body != "/after"; attempt++) {
      std::this_thread::sleep_for(50ms);
      int fd = connect_to("127.0.0.1", p);
      if (fd < 0) continue;
      response_reader in{fd, {}};
      send_text(fd, "GET /after HTTP/1.1\r\nHost: h\r\n\r\n");
      std::string response = in.next();
      if (!response.empty()) body = body_of(response);
      close(fd);
    }
    std::fprintf(stderr, "held %zu, closed by the server %d, served after: %s\n", held.size(),
                 refused, body.c_str());
    return refused > 0 && body == "/after" ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
}

}  // namespace
