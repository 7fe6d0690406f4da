// Fixture of the control server tests on loopback: a recorder for the
// server's callbacks, log capture and a running server, with the support
// library's TCP client and waits.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/clock.h"
#include "tests/support/tcp.h"
#include "tests/support/text.h"
#include "velProtocol/control_server/control_server.h"

namespace ctl_test {

using client = vbd_test::tcp_client;
using vbd_test::count_of;
using vbd_test::wait_until;

// A port on 127.0.0.1 that was free a moment ago.
inline int free_port() { return vbd_test::free_loopback_port(); }

struct connection_note {
  int connected;
  int client_count;
  int port;  // the client's port as the server saw it
};

// Records what the server hands to its callbacks. One at a time (the
// callbacks run under the server mutex), but read by the test thread.
struct recorder {
  std::mutex lock;
  std::vector<std::string> requests;
  std::vector<connection_note> connections;
  // Optional reaction to a request, run inside the request callback.
  std::function<void(vel_protocol_server_request*)> on_request;

  std::vector<std::string> request_list() {
    std::lock_guard<std::mutex> g(lock);
    return requests;
  }
  std::vector<connection_note> connection_list() {
    std::lock_guard<std::mutex> g(lock);
    return connections;
  }
  size_t request_count() { return request_list().size(); }
  size_t connection_count() { return connection_list().size(); }
};

inline recorder* g_recorder = nullptr;

inline int record_request(vel_protocol_server_request* request) {
  {
    std::lock_guard<std::mutex> g(g_recorder->lock);
    g_recorder->requests.emplace_back(request->receive->text);
  }
  if (g_recorder->on_request) g_recorder->on_request(request);
  return 0;
}

inline void record_connection(vel_protocol_server_connection_event* event) {
  std::lock_guard<std::mutex> g(g_recorder->lock);
  g_recorder->connections.push_back(
      {event->connected, event->client_count, cg_socket_get_port(event->socket)});
}

// Each test: a private log file and a fresh recorder.
class server_test : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    log_path_ = "/tmp/vbd_ctl_test_" + std::to_string(getpid()) + "_" +
                std::to_string(counter++) + ".log";
    cg_log_reset();
    ASSERT_EQ(cg_log_add_target(log_path_.c_str(), 0xFFu), 1);
    g_recorder = &rec_;
  }

  void TearDown() override {
    vel_protocol_server_delete(server_);
    server_ = nullptr;
    g_recorder = nullptr;
    cg_log_reset();
    std::remove(log_path_.c_str());
  }

  std::string log_text() {
    std::fflush(nullptr);
    return vbd_test::read_file(log_path_);
  }

  // A server on 127.0.0.1 and a free port, with the recording callbacks.
  // `prepare` may change flags before start.
  void start_server(const std::function<void(vel_protocol_server*)>& prepare = {}) {
    server_ = vel_protocol_server_new();
    ASSERT_NE(server_, nullptr);
    for (int attempt = 0; attempt < 20 && port_ <= 0; attempt++) {
      int port = free_port();
      if (vel_protocol_server_open(server_, port, "127.0.0.1")) port_ = port;
    }
    ASSERT_GT(port_, 0);
    if (prepare) prepare(server_);
    vel_protocol_server_set_request_callback(server_, record_request);
    vel_protocol_server_set_connection_callback(server_, record_connection);
    ASSERT_EQ(vel_protocol_server_start(server_), 1);
  }

  // Connects and waits until the server has published the connection.
  void connect(client& c, const char* source = nullptr, int rcvbuf = 0) {
    ASSERT_TRUE(c.connect_to(port_, source, rcvbuf));
    int port = c.local_port();
    ASSERT_TRUE(wait_until([&] { return has_client_port(port); }));
  }

  bool has_client_port(int port) {
    bool found = false;
    cg_mutex_lock(server_->client_lock);
    for (vel_socket* e = vel_socket_list_first(server_->client_sockets); e; e = vel_socket_next(e)) {
      found = found || cg_socket_get_port(vel_socket_get_socket(e)) == port;
    }
    cg_mutex_unlock(server_->client_lock);
    return found;
  }

  // Shrinks the send buffer of the server's end of the connection from the
  // given client port, so that the output queue comes into play after a few
  // kilobytes instead of megabytes. True when the connection was found.
  bool shrink_server_send_buffer(int client_port) {
    bool found = false;
    cg_mutex_lock(server_->client_lock);
    for (vel_socket* e = vel_socket_list_first(server_->client_sockets); e; e = vel_socket_next(e)) {
      cg_socket* sock = vel_socket_get_socket(e);
      if (cg_socket_get_port(sock) != client_port) continue;
      int size = 4096;
      found = setsockopt(cg_socket_get_fd(sock), SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) == 0;
    }
    cg_mutex_unlock(server_->client_lock);
    return found;
  }

  // An integer socket option of the server's end of the connection from the
  // given client port; -1 when the connection or the option is not there.
  int server_socket_option(int client_port, int level, int option) {
    int value = -1;
    cg_mutex_lock(server_->client_lock);
    for (vel_socket* e = vel_socket_list_first(server_->client_sockets); e; e = vel_socket_next(e)) {
      cg_socket* sock = vel_socket_get_socket(e);
      if (cg_socket_get_port(sock) != client_port) continue;
      socklen_t length = sizeof(value);
      if (getsockopt(cg_socket_get_fd(sock), level, option, &value, &length) != 0) value = -1;
    }
    cg_mutex_unlock(server_->client_lock);
    return value;
  }

  vel_protocol_server* server_ = nullptr;
  int port_ = 0;
  recorder rec_;
  std::string log_path_;
};

// The log line the server writes for a message at a given line and function.
inline std::string log_tail(int line, const char* function, const std::string& message) {
  return std::string(" : Error : ./velProtocol/control_server/velProtocolServer : ") +
         std::to_string(line) + " : " + function + " :  " + message;
}

}  // namespace ctl_test
