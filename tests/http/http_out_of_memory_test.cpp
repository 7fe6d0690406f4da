// A connection whose record (its read-ahead buffer) cannot be allocated is
// closed unanswered, and the server goes on serving the next one. This
// binary links with calloc wrapped (see CMakeLists.txt) so that the test
// can refuse that one allocation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "http/http_internal.h"
#include "tests/http/http_test_util.h"

namespace {

std::atomic<bool> refuse_connection_record{false};

}  // namespace

extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void* __wrap_calloc(size_t count, size_t size) {
  if (size == sizeof(cg_http_connection) && refuse_connection_record.load()) return nullptr;
  return __real_calloc(count, size);
}

namespace {

void answer_ok(cg_http_request* request) {
  cg_http_request_post_status(request, CG_HTTP_STATUS_OK);
}

TEST(HttpOutOfMemoryTest, ConnectionWithoutItsRecordIsClosedAndTheServerGoesOn) {
  cg_http_server* server = cg_http_server_new();
  ASSERT_NE(server, nullptr);
  int port = open_on_loopback(server);
  ASSERT_GT(port, 0);
  cg_http_server_set_listener(server, answer_ok);
  ASSERT_EQ(cg_http_server_start(server), 1);
  const std::string request = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";

  refuse_connection_record = true;
  int fd = connect_to("127.0.0.1", port);
  ASSERT_GE(fd, 0);
  send_text(fd, request);  // may meet a connection closed already
  std::string got;
  EXPECT_TRUE(vbd_test::wait_closed(fd, 5000, &got));
  EXPECT_EQ(got, "");
  close(fd);
  refuse_connection_record = false;

  fd = connect_to("127.0.0.1", port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_text(fd, request));
  response_reader in{fd, {}};
  EXPECT_EQ(in.next().substr(0, 15), "HTTP/1.1 200 OK");
  close(fd);
  cg_http_server_delete(server);
}

}  // namespace
