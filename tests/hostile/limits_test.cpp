// The limits the hostile suite relies on, at their exact boundaries: what
// one HTTP request may make the server hold, how long a send to a full
// queue may wait, and the exchange cut short by a stop.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <functional>
#include <thread>

#include "app/lifecycle.h"
#include "app/player_link.h"
#include "http/http.h"
#include "tests/hostile/hostile_env.h"
#include "tests/integration/harness.h"

namespace vbd_hostile {
namespace {

// Reads one request from bytes written by another thread (the writer may
// block on more than a socket buffer holds); the peer then closes.
struct read_result {
  int rc = -1;
  size_t content = 0;
  int headers = 0;
};

read_result read_request(const std::string& bytes) {
  int fds[2];
  read_result result;
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return result;
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_STREAM);
  cg_socket_set_fd(sock, fds[0]);
  cg_socket_set_timeout(sock, 5);
  std::thread writer([&] {
    send_all(fds[1], bytes);
    shutdown(fds[1], SHUT_WR);
  });
  cg_http_request* request = cg_http_request_new();
  cg_http_request_set_socket(request, sock);
  result.rc = cg_http_request_read(request, sock);
  result.content = static_cast<size_t>(cg_string_length(request->packet.content));
  for (cg_http_header* h = cg_http_header_list_first(request->packet.headers); h; h = cg_http_header_next(h)) {
    result.headers++;
  }
  // Unblocks a writer that the reader left behind.
  shutdown(fds[0], SHUT_RDWR);
  writer.join();
  cg_http_request_delete(request);
  cg_socket_delete(sock);
  close(fds[1]);
  return result;
}

std::string with_headers(int count) {
  std::string text = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < count; i++) text += "X-" + std::to_string(i) + ": v\r\n";
  return text + "\r\n";
}

std::string chunked(size_t total, size_t chunk) {
  std::string text = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  char size[32];
  for (size_t sent = 0; sent < total; sent += chunk) {
    size_t n = total - sent < chunk ? total - sent : chunk;
    snprintf(size, sizeof size, "%zx\r\n", n);
    text += size + std::string(n, 'c') + "\r\n";
  }
  return text + "0\r\n\r\n";
}

TEST(HttpLimits, HeaderLines) {
  read_result at = read_request(with_headers(CG_HTTP_MAX_HEADERS));
  EXPECT_EQ(at.rc, 1);
  EXPECT_EQ(at.headers, CG_HTTP_MAX_HEADERS);
  EXPECT_EQ(read_request(with_headers(CG_HTTP_MAX_HEADERS + 1)).rc, 0);
}

TEST(HttpLimits, SizedBodies) {
  const size_t max = CG_HTTP_MAX_CONTENT;
  auto sized = [](size_t declared, size_t sent) {
    return "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(declared) + "\r\n\r\n" + std::string(sent, 's');
  };
  read_result at = read_request(sized(max, max));
  EXPECT_EQ(at.rc, 1);
  EXPECT_EQ(at.content, max);
  EXPECT_EQ(read_request(sized(max + 1, max + 1)).rc, 0);
  // A huge declared length with a short body keeps what arrived.
  read_result short_body = read_request(sized(2000000000, 10));
  EXPECT_EQ(short_body.rc, 1);
  EXPECT_EQ(short_body.content, 10u);
}

TEST(HttpLimits, ChunkedBodies) {
  const size_t max = CG_HTTP_MAX_CONTENT;
  read_result at = read_request(chunked(max, 100000));
  EXPECT_EQ(at.rc, 1);
  EXPECT_EQ(at.content, max);
  EXPECT_EQ(read_request(chunked(max + 1, 100000)).rc, 0);
  EXPECT_EQ(read_request(chunked(max + 1, max + 1)).rc, 0);
}

TEST(HttpLimits, BodiesReadUntilClose) {
  const size_t max = CG_HTTP_MAX_CONTENT;
  const std::string head = "POST / HTTP/1.1\r\nTransfer-Encoding: identity\r\n\r\n";
  read_result at = read_request(head + std::string(max, 'u'));
  EXPECT_EQ(at.rc, 1);
  EXPECT_EQ(at.content, max);
  EXPECT_EQ(read_request(head + std::string(max + 1, 'u')).rc, 0);
}

// Player link bounds, each in a child with its own IPC namespace.
void in_private_ipc(const std::function<void()>& body) {
  vbd_test::run_in_child([&] {
    ASSERT_EQ(vbd_test::enter_private_namespaces(false), "");
    body();
  });
}

TEST(LinkLimits, SendToAFullQueueGivesUpAfterTheBound) {
  in_private_ipc([] {
    vbd_test::output_capture out;
    msg_qid = cli_create_msgQ(CONTROLAPP_MSGQ_KEY);
    ASSERT_NE(msg_qid, -1);
    vbd_test::queue_peer peer;
    int filled = 0;
    while (peer.send(MSGTYPE_TO_MAIN, vbd_test::make_message(CONTROLAPP_MSG_NORMAL))) filled++;
    ASSERT_GT(filled, 0);
    controlapp_msg msg{};
    long long start = now_ms();
    EXPECT_EQ(cli_send_cmd(&msg), -1);
    long long took = now_ms() - start;
    EXPECT_GE(took, CONTROLAPP_SEND_WAIT_MS - 20);
    EXPECT_LT(took, CONTROLAPP_SEND_WAIT_MS + 500);
    EXPECT_TRUE(out.wait_for("[CONTROLAPP_CLI]cli_send_msgQ,62  msgsnd(...)failed\n", 0));
    EXPECT_TRUE(out.wait_for(" bytes: the queue stayed full for 1000 ms (is the player's main program reading it?)\n"
                             "[cli_send_cmd] failed\n",
                             0));
    // Room made while the send waits is taken.
    std::thread reader([&] {
      sleep_ms(300);
      controlapp_msg taken{};
      peer.receive(MSGTYPE_TO_MAIN, &taken, 1000);
    });
    start = now_ms();
    EXPECT_EQ(cli_send_cmd(&msg), 0);
    EXPECT_LT(now_ms() - start, CONTROLAPP_SEND_WAIT_MS);
    reader.join();
    // A command whose send fails answers 3 and waits for no reply.
    v232cmd_req req{6, 0};
    v232cmd_ret ret{};
    start = now_ms();
    EXPECT_EQ(command_handler(&req, &ret, 0), 3);
    EXPECT_LT(now_ms() - start, CONTROLAPP_SEND_WAIT_MS + 500);
    EXPECT_TRUE(out.wait_for("[command_handler] send cmd error.\n", 0));
    // A removed queue fails at once.
    ASSERT_EQ(msgctl(msg_qid, IPC_RMID, nullptr), 0);
    start = now_ms();
    EXPECT_EQ(cli_send_cmd(&msg), -1);
    EXPECT_LT(now_ms() - start, 100);
  });
}

TEST(LinkLimits, StopCutsAnExchangeShort) {
  in_private_ipc([] {
    vbd_test::output_capture out;
    msg_qid = cli_create_msgQ(CONTROLAPP_MSGQ_KEY);
    ASSERT_NE(msg_qid, -1);
    std::thread stopper([] {
      sleep_ms(200);
      vel_exit_handler(2);
    });
    v232cmd_req req{6, 0};
    v232cmd_ret ret{};
    ret.ret_id = 3;
    long long start = now_ms();
    EXPECT_EQ(command_handler(&req, &ret, 0), 3);
    long long took = now_ms() - start;
    stopper.join();
    EXPECT_GE(took, 150);
    EXPECT_LT(took, 400);
    EXPECT_EQ(ret.ret_id, 3);
    EXPECT_TRUE(out.wait_for("[command_handler] program stopping, no reply awaited.\n", 0));
  });
}

}  // namespace
}  // namespace vbd_hostile
