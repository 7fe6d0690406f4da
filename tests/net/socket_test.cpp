// Stream sockets on loopback: bind, listen, accept, whole and non-blocking
// writes (waits, give-up and hard errors, never SIGPIPE), line reads,
// options and the socket count.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/net.h"
#include "tests/net/loopback.h"
#include "tests/support/clock.h"
#include "tests/support/socket_pair.h"

namespace {

using vbd_test::ms_since;
using vbd_test::now_ms;
using vbd_test::socket_pair;

// These tests set the socket's waits themselves.
constexpr int kNoTimeout = 0;

// A blocking connection to 127.0.0.1:port; -1 when it fails.
int connect_loopback(int port) { return vbd_test::tcp_connect("", "127.0.0.1", port, 0); }

TEST(SocketTest, NewSocketIsIdle) {
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_DGRAM);
  ASSERT_NE(sock, nullptr);
  EXPECT_EQ(cg_socket_get_fd(sock), -1);
  EXPECT_EQ(cg_socket_is_open(sock), 0);
  EXPECT_EQ(cg_socket_get_type(sock), CG_NET_SOCKET_DGRAM);
  EXPECT_EQ(cg_socket_get_direction(sock), CG_SOCKET_DIRECTION_IDLE);
  EXPECT_STREQ(cg_socket_get_address(sock), "");
  EXPECT_EQ(cg_socket_get_port(sock), -1);
  EXPECT_EQ(cg_socket_close(sock), 1);  // closing an idle socket is harmless
  cg_socket_delete(sock);
  cg_socket_delete(nullptr);
}

TEST(SocketTest, BindRejectsPortZeroAndNegativeWithoutDescriptor) {
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_STREAM);
  EXPECT_EQ(cg_socket_bind(sock, 0, "127.0.0.1", 1, 1), 0);
  EXPECT_EQ(cg_socket_bind(sock, -5, "127.0.0.1", 1, 1), 0);
  EXPECT_EQ(cg_socket_get_fd(sock), -1);
  EXPECT_EQ(cg_socket_get_direction(sock), CG_SOCKET_DIRECTION_IDLE);
  cg_socket_delete(sock);
}

TEST(SocketTest, BindRejectsNamesAndUnresolvableTexts) {
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_STREAM);
  int port = free_loopback_port(SOCK_STREAM);
  // Host names are never looked up: only numeric texts resolve.
  EXPECT_EQ(cg_socket_bind(sock, port, "localhost", 1, 1), 0);
  EXPECT_EQ(cg_socket_bind(sock, port, "300.1.1.1", 1, 1), 0);
  EXPECT_EQ(cg_socket_get_fd(sock), -1);
  cg_socket_delete(sock);
}

TEST(SocketTest, BindExactKeepsAddressAndWildcardTakesFamily) {
  int port = free_loopback_port(SOCK_STREAM);
  cg_socket* exact = cg_socket_new(CG_NET_SOCKET_STREAM);
  ASSERT_EQ(cg_socket_bind(exact, port, "127.0.0.1", 1, 1), 1);
  EXPECT_EQ(cg_socket_get_direction(exact), CG_SOCKET_DIRECTION_SERVER);
  EXPECT_STREQ(cg_socket_get_address(exact), "127.0.0.1");
  EXPECT_EQ(cg_socket_get_port(exact), port);
  char local[CG_NET_ADDRESS_TEXT_SIZE];
  ASSERT_EQ(cg_socket_get_local_address(exact, local, sizeof(local)), 1);
  EXPECT_STREQ(local, "127.0.0.1");
  EXPECT_EQ(cg_socket_get_local_port(exact), port);
  cg_socket_delete(exact);

  // Not listening, so nothing is reachable through the wildcard bind.
  int port2 = free_loopback_port(SOCK_STREAM);
  cg_socket* wildcard = cg_socket_new(CG_NET_SOCKET_STREAM);
  ASSERT_EQ(cg_socket_bind(wildcard, port2, "127.0.0.1", 0, 1), 1);
  ASSERT_EQ(cg_socket_get_local_address(wildcard, local, sizeof(local)), 1);
  EXPECT_STREQ(local, "0.0.0.0");
  EXPECT_EQ(cg_socket_get_local_port(wildcard), port2);
  EXPECT_STREQ(cg_socket_get_address(wildcard), "127.0.0.1");  // the given text is recorded
  cg_socket_delete(wildcard);
}

TEST(SocketTest, RefusedBindKeepsDescriptorUntilClosed) {
  int port = free_loopback_port(SOCK_STREAM);
  cg_socket* first = cg_socket_new(CG_NET_SOCKET_STREAM);
  ASSERT_EQ(cg_socket_bind(first, port, "127.0.0.1", 1, 0), 1);
  ASSERT_EQ(cg_socket_listen(first), 1);
  cg_socket* second = cg_socket_new(CG_NET_SOCKET_STREAM);
  EXPECT_EQ(cg_socket_bind(second, port, "127.0.0.1", 1, 0), 0);
  EXPECT_EQ(cg_socket_is_open(second), 1);
  EXPECT_EQ(cg_socket_get_direction(second), CG_SOCKET_DIRECTION_IDLE);
  cg_socket_close(second);
  EXPECT_EQ(cg_socket_is_open(second), 0);
  cg_socket_delete(second);
  cg_socket_delete(first);
}

TEST(SocketTest, AcceptRecordsPeerAddressAndPort) {
  int port = free_loopback_port(SOCK_STREAM);
  cg_socket* server = cg_socket_new(CG_NET_SOCKET_STREAM);
  ASSERT_EQ(cg_socket_bind(server, port, "127.0.0.1", 1, 1), 1);
  ASSERT_EQ(cg_socket_listen(server), 1);

  int client = connect_loopback(port);
  ASSERT_GE(client, 0);
  cg_socket* conn = cg_socket_new(CG_NET_SOCKET_STREAM);
  ASSERT_EQ(cg_socket_accept(server, conn), 1);
  EXPECT_STREQ(cg_socket_get_address(conn), "127.0.0.1");
  EXPECT_EQ(cg_socket_get_port(conn), local_port_of(client));
  EXPECT_NE(cg_socket_get_port(conn), port);
  EXPECT_EQ(cg_socket_get_direction(conn), CG_SOCKET_DIRECTION_IDLE);
  char local[CG_NET_ADDRESS_TEXT_SIZE];
  ASSERT_EQ(cg_socket_get_local_address(conn, local, sizeof(local)), 1);
  EXPECT_STREQ(local, "127.0.0.1");
  EXPECT_EQ(cg_socket_get_local_port(conn), port);

  // Data flows both ways through the accepted socket.
  EXPECT_EQ(cg_socket_write(conn, "PL\r", 3), 3);
  char buf[8] = {};
  EXPECT_EQ(read(client, buf, sizeof(buf)), 3);
  EXPECT_STREQ(buf, "PL\r");

  // Closing resets the peer fields but keeps the direction.
  cg_socket_close(conn);
  EXPECT_STREQ(cg_socket_get_address(conn), "");
  EXPECT_EQ(cg_socket_get_port(conn), -1);
  cg_socket_delete(conn);
  close(client);
  cg_socket_close(server);
  EXPECT_EQ(cg_socket_get_direction(server), CG_SOCKET_DIRECTION_SERVER);
  cg_socket_delete(server);
}

TEST(SocketTest, AcceptFailsOnClosedListener) {
  cg_socket* server = cg_socket_new(CG_NET_SOCKET_STREAM);
  cg_socket* conn = cg_socket_new(CG_NET_SOCKET_STREAM);
  EXPECT_EQ(cg_socket_accept(server, conn), 0);
  EXPECT_EQ(cg_socket_is_open(conn), 0);
  EXPECT_EQ(cg_socket_listen(server), 0);
  cg_socket_delete(conn);
  cg_socket_delete(server);
}

TEST(SocketTest, WriteOfNothingSendsNothing) {
  socket_pair pair(kNoTimeout);
  EXPECT_EQ(cg_socket_write(pair.sock, "abc", 0), 0);
  EXPECT_EQ(cg_socket_write(pair.sock, "abc", -1), 0);
  cg_socket_set_nonblocking(pair.sock, 1);
  fcntl(pair.peer, F_SETFL, O_NONBLOCK);
  char c;
  EXPECT_EQ(read(pair.peer, &c, 1), -1);
}

// Sets SIGPIPE's disposition for a scope and puts the old one back.
class sigpipe_disposition {
 public:
  explicit sigpipe_disposition(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, &saved_);
  }
  ~sigpipe_disposition() { sigaction(SIGPIPE, &saved_, nullptr); }
  sigpipe_disposition(const sigpipe_disposition&) = delete;
  sigpipe_disposition& operator=(const sigpipe_disposition&) = delete;

 private:
  struct sigaction saved_ {};
};


TEST(SocketTest, WriteGivesUpOnAPeerThatNeverReads) {
  socket_pair pair(kNoTimeout);
  cg_socket_set_nonblocking(pair.sock, 1);
  std::string data(4 << 20, 'z');
  long long start = now_ms();
  EXPECT_EQ(cg_socket_write(pair.sock, data.data(), static_cast<int>(data.size())), -1);
  long long took = ms_since(start);
  // The whole budget is spent waiting for room, then no more.
  EXPECT_GE(took, CG_SOCKET_SEND_RETRIES * CG_SOCKET_SEND_RETRY_WAIT_MS - 10);
  EXPECT_LT(took, 2000);
}

// Reads from fd into out until size bytes have come or the peer closed.
void read_into(int fd, size_t size, std::string* out) {
  char buf[8192];
  while (out->size() < size) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) break;
    out->append(buf, static_cast<size_t>(n));
  }
}

TEST(SocketTest, WriteToANonBlockingSocketWaitsForRoomNotForAFixedPause) {
  socket_pair pair(kNoTimeout);
  int small = 4096;
  setsockopt(cg_socket_get_fd(pair.sock), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  cg_socket_set_nonblocking(pair.sock, 1);
  std::string data(1 << 20, 'y');
  std::string received;
  std::thread reader(read_into, pair.peer, data.size(), &received);
  long long start = now_ms();
  EXPECT_EQ(cg_socket_write(pair.sock, data.data(), static_cast<int>(data.size())),
            static_cast<int>(data.size()));
  long long took = ms_since(start);
  reader.join();
  EXPECT_EQ(received, data);
  // Hundreds of full buffers: a fixed pause after each would take seconds.
  EXPECT_LT(took, 1000);
}

TEST(SocketTest, TryWriteTakesWhatFitsAndNeverWaits) {
  socket_pair pair(kNoTimeout);  // blocking: MSG_DONTWAIT alone keeps the send from waiting
  int small = 4096;
  setsockopt(cg_socket_get_fd(pair.sock), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  EXPECT_EQ(cg_socket_try_write(pair.sock, "abc", 0), 0);
  EXPECT_EQ(cg_socket_try_write(nullptr, "abc", 3), -1);
  EXPECT_EQ(cg_socket_try_write(pair.sock, "abc", 3), 3);
  std::string data(1 << 20, 'x');
  long long start = now_ms();
  int first = cg_socket_try_write(pair.sock, data.data(), static_cast<int>(data.size()));
  EXPECT_GT(first, 0);
  EXPECT_LT(first, static_cast<int>(data.size()));
  EXPECT_EQ(cg_socket_try_write(pair.sock, data.data(), static_cast<int>(data.size())), 0);
  EXPECT_LT(ms_since(start), 100);
  char buf[8];
  ASSERT_EQ(read(pair.peer, buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");

  sigpipe_disposition fatal(SIG_DFL);
  close(pair.peer);
  pair.peer = -1;
  EXPECT_EQ(cg_socket_try_write(pair.sock, "x", 1), -1);
}

TEST(SocketTest, WriteSendsEverythingThroughAFullBuffer) {
  socket_pair pair(kNoTimeout);
  int small = 4096;
  setsockopt(cg_socket_get_fd(pair.sock), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  std::string data(256 * 1024, 'z');
  std::string received;
  std::thread reader(read_into, pair.peer, data.size(), &received);
  EXPECT_EQ(cg_socket_write(pair.sock, data.data(), static_cast<int>(data.size())),
            static_cast<int>(data.size()));
  reader.join();
  EXPECT_EQ(received, data);
}

TEST(SocketTest, ReadLineKeepsLineFeed) {
  socket_pair pair(kNoTimeout);
  ASSERT_TRUE(pair.send_peer("AB\n"));
  char buf[16];
  std::memset(buf, 'x', sizeof(buf));
  EXPECT_EQ(cg_socket_read_line(pair.sock, buf, sizeof(buf)), 3);
  EXPECT_EQ(std::memcmp(buf, "AB\n\0", 4), 0);
}

TEST(SocketTest, ReadLineCutsLongLineAndConsumesItsRest) {
  socket_pair pair(kNoTimeout);
  ASSERT_TRUE(pair.send_peer(std::string(39, 'L') + "\n" + "next\n"));
  char buf[16];
  EXPECT_EQ(cg_socket_read_line(pair.sock, buf, sizeof(buf)), 15);
  EXPECT_EQ(std::string(buf), std::string(15, 'L'));
  EXPECT_EQ(cg_socket_read_line(pair.sock, buf, sizeof(buf)), 5);
  EXPECT_STREQ(buf, "next\n");
}

TEST(SocketTest, ReadLineFailsAtEndOfStream) {
  socket_pair pair(kNoTimeout);
  ASSERT_TRUE(pair.send_peer("partial"));
  shutdown(pair.peer, SHUT_WR);
  char buf[16];
  EXPECT_EQ(cg_socket_read_line(pair.sock, buf, sizeof(buf)), -1);
  EXPECT_STREQ(buf, "partial");  // what was read stays readable
  EXPECT_EQ(cg_socket_read_line(pair.sock, buf, sizeof(buf)), -1);
}

TEST(SocketTest, ReadLineWithTinyBufferReadsNothing) {
  socket_pair pair(kNoTimeout);
  ASSERT_TRUE(pair.send_peer("Z\n"));
  char buf[1] = {'x'};
  EXPECT_EQ(cg_socket_read_line(pair.sock, buf, 1), -1);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(cg_socket_read_line(pair.sock, buf, 0), -1);
  char rest[4];
  EXPECT_EQ(cg_socket_read_line(pair.sock, rest, sizeof(rest)), 2);  // still unread
}

TEST(SocketTest, NonBlockingReadReturnsAtOnce) {
  socket_pair pair(kNoTimeout);
  ASSERT_EQ(cg_socket_set_nonblocking(pair.sock, 1), 1);
  char c;
  EXPECT_EQ(cg_socket_read(pair.sock, &c, 1), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  ASSERT_TRUE(pair.send_peer("Q"));
  EXPECT_EQ(cg_socket_read(pair.sock, &c, 1), 1);
  EXPECT_EQ(c, 'Q');
  ASSERT_EQ(cg_socket_set_nonblocking(pair.sock, 0), 1);
  EXPECT_EQ(fcntl(cg_socket_get_fd(pair.sock), F_GETFL) & O_NONBLOCK, 0);
}

TEST(SocketTest, ReceiveTimeoutEndsABlockedRead) {
  socket_pair pair(kNoTimeout);
  ASSERT_EQ(cg_socket_set_timeout_usec(pair.sock, 0, 500), 1);
  timeval tv{};
  socklen_t len = sizeof(tv);
  getsockopt(cg_socket_get_fd(pair.sock), SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
  EXPECT_EQ(tv.tv_sec, 0);
  EXPECT_GT(tv.tv_usec, 0);
  char c;
  EXPECT_EQ(cg_socket_read(pair.sock, &c, 1), -1);

  ASSERT_EQ(cg_socket_set_timeout(pair.sock, 120), 1);
  getsockopt(cg_socket_get_fd(pair.sock), SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
  EXPECT_EQ(tv.tv_sec, 120);
}

TEST(SocketTest, OptionsOnIdleSocketFail) {
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_DGRAM);
  EXPECT_EQ(cg_socket_set_reuse_address(sock, 1), 0);
  EXPECT_EQ(cg_socket_set_multicast_ttl(sock, 4), 0);
  EXPECT_EQ(cg_socket_set_timeout(sock, 1), 0);
  EXPECT_EQ(cg_socket_set_nonblocking(sock, 1), 0);
  EXPECT_EQ(cg_socket_join_group(sock, "239.255.255.250", "127.0.0.1"), 0);
  char local[8] = "x";
  EXPECT_EQ(cg_socket_get_local_address(sock, local, sizeof(local)), 0);
  EXPECT_STREQ(local, "");
  EXPECT_EQ(cg_socket_get_local_port(sock), -1);
  cg_socket_delete(sock);
}

TEST(SocketTest, ResolveGivesWildcardOfSameFamilyUnlessExact) {
  addrinfo* res = nullptr;
  ASSERT_EQ(cg_socket_resolve(CG_NET_SOCKET_DGRAM, "::1", 1900, &res, 0), 1);
  ASSERT_EQ(res->ai_family, AF_INET6);
  EXPECT_EQ(res->ai_socktype, SOCK_DGRAM);
  auto* sin6 = reinterpret_cast<sockaddr_in6*>(res->ai_addr);
  EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&sin6->sin6_addr));
  EXPECT_EQ(ntohs(sin6->sin6_port), 1900);
  freeaddrinfo(res);

  ASSERT_EQ(cg_socket_resolve(CG_NET_SOCKET_STREAM, "10.77.0.5", 80, &res, 1), 1);
  ASSERT_EQ(res->ai_family, AF_INET);
  EXPECT_EQ(res->ai_socktype, SOCK_STREAM);
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, text, sizeof(text));
  EXPECT_STREQ(text, "10.77.0.5");
  freeaddrinfo(res);

  EXPECT_EQ(cg_socket_resolve(CG_NET_SOCKET_STREAM, "no.such.host", 80, &res, 1), 0);
  EXPECT_EQ(res, nullptr);
}

void (*sigpipe_handler())(int) {
  struct sigaction sa {};
  sigaction(SIGPIPE, nullptr, &sa);
  return sa.sa_handler;
}

TEST(SocketTest, SocketsAreCountedAndLeaveSigpipeAlone) {
  for (auto handler : {SIG_DFL, SIG_IGN}) {
    sigpipe_disposition chosen(handler);
    int before = cg_socket_get_user_count();
    cg_socket* sock = cg_socket_new(CG_NET_SOCKET_STREAM);
    EXPECT_EQ(cg_socket_get_user_count(), before + 1);
    EXPECT_EQ(sigpipe_handler(), handler);
    cg_socket_delete(sock);
    EXPECT_EQ(cg_socket_get_user_count(), before);
    EXPECT_EQ(sigpipe_handler(), handler);

    addrinfo* res = nullptr;
    ASSERT_EQ(cg_socket_resolve(CG_NET_SOCKET_STREAM, "127.0.0.1", 1, &res, 1), 1);
    freeaddrinfo(res);
    EXPECT_EQ(cg_socket_get_user_count(), before + 1);  // a resolution is never given back
    EXPECT_EQ(sigpipe_handler(), handler);
  }
}

TEST(SocketTest, SocketCountIsExactAcrossThreads) {
  int before = cg_socket_get_user_count();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; i++) cg_socket_delete(cg_socket_new(CG_NET_SOCKET_STREAM));
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(cg_socket_get_user_count(), before);
}

}  // namespace
