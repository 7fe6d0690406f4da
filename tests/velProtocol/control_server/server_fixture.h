// Test helpers for the control server on loopback: a plain TCP client, a
// recorder for the server's callbacks, log capture and a running server.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "velProtocol/control_server/control_server.h"

namespace ctl_test {

// Polls a condition every 5 ms for at most timeout_ms.
inline bool wait_until(const std::function<bool()>& done, int timeout_ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A blocking TCP client on loopback, optionally from another loopback
// source address.
class client {
 public:
  client() = default;
  client(const client&) = delete;
  client& operator=(const client&) = delete;
  ~client() { close_now(); }

  bool connect_to(int port, const char* source = nullptr, int rcvbuf = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return false;
    if (rcvbuf > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    if (source) {
      sockaddr_in src{};
      src.sin_family = AF_INET;
      inet_pton(AF_INET, source, &src.sin_addr);
      if (bind(fd_, reinterpret_cast<sockaddr*>(&src), sizeof(src)) != 0) return false;
    }
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &dst.sin_addr);
    return connect(fd_, reinterpret_cast<sockaddr*>(&dst), sizeof(dst)) == 0;
  }

  int local_port() const {
    sockaddr_in sin{};
    socklen_t len = sizeof(sin);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len);
    return ntohs(sin.sin_port);
  }

  void send_bytes(std::string_view bytes) const {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  // Reads until `want` bytes arrived, the stream ended or timeout_ms passed
  // without data.
  std::string read_bytes(size_t want, int timeout_ms = 3000) {
    std::string out;
    while (out.size() < want) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) break;
      char buf[65536];
      ssize_t n = recv(fd_, buf, std::min(sizeof(buf), want - out.size()), 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  // Whatever arrives within timeout_ms.
  std::string read_for(int timeout_ms) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buf[4096];
      ssize_t n = recv(fd_, buf, sizeof(buf), 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  // True when the server ends the connection within timeout_ms (bytes that
  // arrive first are discarded).
  bool wait_closed(int timeout_ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!closed_) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      char buf[4096];
      if (recv(fd_, buf, sizeof(buf), 0) <= 0) closed_ = true;
    }
    return true;
  }

  // Ends the connection with a reset instead of an orderly close.
  void reset_now() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close_now();
  }

  void close_now() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool closed_ = false;
};

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

// A port on 127.0.0.1 that was free a moment ago.
inline int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sin);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) == 0) {
    port = ntohs(sin.sin_port);
  }
  ::close(fd);
  return port;
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
    std::ifstream in(log_path_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  static size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
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
