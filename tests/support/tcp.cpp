// Test support: TCP descriptor helpers and the buffered client.
#include "tests/support/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tests/support/clock.h"
#include "tests/support/netns.h"
#include "tests/support/text.h"

namespace vbd_test {

bool to_sockaddr(const std::string& address, int port, sockaddr_in* out) {
  *out = {};
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<uint16_t>(port));
  return address.empty() || inet_pton(AF_INET, address.c_str(), &out->sin_addr) == 1;
}

namespace {

// One socket, bound when from is given, connected; -1 with errno set.
int connect_once(const std::string& from, const std::string& to, int port, int timeout_ms, int rcvbuf) {
  sockaddr_in local{};
  sockaddr_in remote{};
  if (!to_sockaddr(from, 0, &local) || !to_sockaddr(to, port, &remote)) {
    errno = EINVAL;
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (timeout_ms > 0) {
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  if ((!from.empty() && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) ||
      connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Polls fd for input for at most the time left before deadline; one
// non-blocking receive. >0 bytes, 0 end of stream, -1 reset or error, -2
// nothing (yet).
ssize_t receive_some(int fd, char* buffer, size_t size, long long deadline) {
  long long left = deadline - now_ms();
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(left > 0 ? left : 0)) <= 0) return -2;
  ssize_t n = recv(fd, buffer, size, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return -2;
  return n;
}

}  // namespace

int tcp_connect(const std::string& from, const std::string& to, int port, int timeout_ms, int rcvbuf) {
  return connect_once(from, to, port, timeout_ms, rcvbuf);
}

bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 100);
      continue;
    }
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string read_until(int fd, std::string_view end, int timeout_ms) {
  std::string got;
  long long deadline = now_ms() + timeout_ms;
  while (got.find(end) == std::string::npos && now_ms() < deadline) {
    char buffer[4096];
    ssize_t n = receive_some(fd, buffer, sizeof buffer, deadline);
    if (n == -2) continue;
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

bool wait_closed(int fd, int timeout_ms, std::string* got) {
  long long deadline = now_ms() + timeout_ms;
  while (now_ms() < deadline) {
    char buffer[4096];
    ssize_t n = receive_some(fd, buffer, sizeof buffer, deadline);
    if (n == -2) continue;
    if (n <= 0) return true;
    if (got) got->append(buffer, static_cast<size_t>(n));
  }
  return false;
}

void close_with_reset(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

int free_loopback_port(int socktype) {
  int fd = socket(AF_INET, socktype | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sin{};
  to_sockaddr("127.0.0.1", 0, &sin);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0) port = local_port_of(fd);
  close(fd);
  return port;
}

int local_port_of(int fd) {
  sockaddr_in sin{};
  socklen_t len = sizeof(sin);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) return -1;
  return ntohs(sin.sin_port);
}

// ---------------------------------------------------------------------------
// tcp_client
// ---------------------------------------------------------------------------

tcp_client::~tcp_client() { close_now(); }

bool tcp_client::open(const std::string& ns, const std::string& source, const std::string& address, int port,
                      int timeout_ms, std::string* error, int rcvbuf) {
  close_now();
  closed_ = false;
  received_.clear();
  std::string why;
  auto attempt = [&] {
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
      int fd = connect_once(source, address, port, 0, rcvbuf);
      if (fd != -1) return fd;
      int e = errno;
      why = "connect from " + (source.empty() ? std::string("any") : source) + " to " + address + ":" +
            std::to_string(port) + ": " + std::strerror(e);
      if (e != ECONNREFUSED || now_ms() >= deadline) return -1;
      sleep_ms(50);
    }
  };
  int fd = ns.empty() ? attempt() : run_in_netns(ns, attempt);
  if (fd == -1) {
    if (error) *error = why.empty() ? "cannot enter " + ns + ": " + std::strerror(errno) : why;
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  fd_ = fd;
  return true;
}

std::unique_ptr<tcp_client> tcp_client::connect(const std::string& ns, const std::string& source,
                                                const std::string& address, int port, int timeout_ms,
                                                std::string* error) {
  auto client = std::make_unique<tcp_client>();
  if (!client->open(ns, source, address, port, timeout_ms, error)) return nullptr;
  return client;
}

bool tcp_client::connect_to(int port, const char* source, int rcvbuf) {
  return open("", source ? source : "", "127.0.0.1", port, 0, nullptr, rcvbuf);
}

bool tcp_client::send(std::string_view bytes) { return fd_ != -1 && send_all(fd_, bytes); }

bool tcp_client::pump(int timeout_ms, size_t most) {
  if (closed_ || fd_ == -1) return false;
  char buffer[65536];
  ssize_t n = receive_some(fd_, buffer, most < sizeof buffer ? most : sizeof buffer, now_ms() + timeout_ms);
  if (n == -2) return false;
  if (n <= 0) {
    closed_ = true;  // end of stream or reset
    return false;
  }
  received_.append(buffer, static_cast<size_t>(n));
  return true;
}

bool tcp_client::wait(const std::function<bool()>& done, int timeout_ms) {
  long long deadline = now_ms() + timeout_ms;
  for (;;) {
    while (pump(0)) {
    }
    if (done()) return true;
    long long left = deadline - now_ms();
    if (closed_ || left <= 0) return false;
    pump(static_cast<int>(left < 50 ? left : 50));
  }
}

bool tcp_client::wait_lines(int count, int timeout_ms) {
  return wait([&] { return count_of(received_, "\r\n") >= static_cast<size_t>(count); }, timeout_ms);
}

bool tcp_client::wait_for(std::string_view text, int timeout_ms) {
  return wait([&] { return received_.find(text) != std::string::npos; }, timeout_ms);
}

bool tcp_client::wait_closed(int timeout_ms) {
  wait([] { return false; }, timeout_ms);
  return closed_;
}

std::string tcp_client::take(int settle_ms) {
  long long deadline = now_ms() + settle_ms;
  while (pump(0)) {
  }
  for (long long left = settle_ms; left > 0 && !closed_; left = deadline - now_ms()) pump(static_cast<int>(left));
  std::string out;
  out.swap(received_);
  return out;
}

std::string tcp_client::read_bytes(size_t want, int idle_ms) {
  while (received_.size() < want && pump(idle_ms, want - received_.size())) {
  }
  std::string out = received_.substr(0, want);
  received_.erase(0, out.size());
  return out;
}

std::string tcp_client::request(std::string_view bytes, int lines, int timeout_ms) {
  if (!send(bytes)) return "(send failed)";
  wait_lines(lines, timeout_ms);
  return take();
}

void tcp_client::reset_now() {
  if (fd_ != -1) close_with_reset(fd_);
  fd_ = -1;
}

void tcp_client::close_now() {
  if (fd_ != -1) close(fd_);
  fd_ = -1;
}

}  // namespace vbd_test
