// The TCP connection of vbdctl: connect, send requests, read reply units.
#include "tools/vbdctl/ctl_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/runtime.h"

namespace vbdctl {

namespace {

// One connect attempt that gives up after timeout_ms. 0 or an errno value.
int connect_within(int fd, const sockaddr* address, socklen_t length, int timeout_ms) {
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int result = connect(fd, address, length) == 0 ? 0 : errno;
  if (result == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int ready = 0;
    do {
      ready = poll(&p, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      result = ETIMEDOUT;
    } else {
      socklen_t size = sizeof result;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &size) != 0) result = errno;
    }
  }
  fcntl(fd, F_SETFL, flags);
  return result;
}

}  // namespace

connection::~connection() {
  if (fd_ != -1) close(fd_);
}

std::string connection::open(const std::string& host, int port, int timeout_ms) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int gai = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (gai != 0) {
    open_error_ = 0;
    return "cannot resolve " + host + ": " + gai_strerror(gai);
  }
  int error = ENOENT;
  for (addrinfo* a = found; a != nullptr && fd_ == -1; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd == -1) {
      error = errno;
      continue;
    }
    error = connect_within(fd, a->ai_addr, a->ai_addrlen, timeout_ms);
    if (error == 0) fd_ = fd;
    else close(fd);
  }
  freeaddrinfo(found);
  if (fd_ == -1) {
    open_error_ = error;
    if (error == ETIMEDOUT) {
      return "cannot connect to " + host + ":" + service + ": timed out after " + std::to_string(timeout_ms) + " ms";
    }
    return "cannot connect to " + host + ":" + service + ": " + strerror(error);
  }
  connected_at_ms_ = cg_monotonic_ms();
  return "";
}

long long connection::age_ms() const { return cg_monotonic_ms() - connected_at_ms_; }

bool connection::send_request(std::string_view text, bool binary) {
  std::string bytes;
  if (binary) {
    if (text.size() > static_cast<size_t>(MAX_FRAME_PAYLOAD)) return false;
    bytes = encode_frame(text);
  } else {
    if (text.size() > static_cast<size_t>(MAX_TEXT_LINE)) return false;
    bytes = std::string(text) + "\r";
  }
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool connection::take_buffered(std::string* text, unit_result* kind) {
  unit_result result = take_unit(&buffer_, text);
  if (result == unit_result::incomplete) return false;
  *kind = result;
  return true;
}

read_status connection::fill() {
  char chunk[1024];
  ssize_t n = 0;
  do {
    n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return read_status::closed;
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return read_status::timeout;
    return errno == ECONNRESET ? read_status::closed : read_status::error;
  }
  buffer_.append(chunk, static_cast<size_t>(n));
  received_any_ = true;
  return read_status::unit;
}

read_status connection::next(std::string* text, unit_result* kind, int timeout_ms) {
  long long deadline = timeout_ms < 0 ? -1 : cg_monotonic_ms() + timeout_ms;
  while (true) {
    if (take_buffered(text, kind)) return read_status::unit;
    int wait = -1;
    if (deadline >= 0) {
      long long left = deadline - cg_monotonic_ms();
      if (left <= 0) return read_status::timeout;
      wait = static_cast<int>(left);
    }
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, wait);
    if (ready < 0 && errno != EINTR) return read_status::error;
    if (ready < 0) return read_status::timeout;  // a signal: let the caller look at it
    if (ready == 0) continue;
    read_status status = fill();
    if (status == read_status::closed || status == read_status::error) {
      if (take_buffered(text, kind)) return read_status::unit;
      return status;
    }
  }
}

}  // namespace vbdctl
