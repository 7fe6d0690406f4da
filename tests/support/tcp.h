// Test support: TCP. Plain descriptor helpers (connect from a chosen
// address, whole sends, reads up to a marker or the end, a reset close,
// free loopback ports) and one buffered client on top of them that a test
// can make wait for lines, text or the end of the connection.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vbd_test {

// An IPv4 socket address ("" for any address); false for a bad text.
bool to_sockaddr(const std::string& address, int port, sockaddr_in* out);

// A TCP connection from `from` ("" for any local address) to to:port; -1 on
// failure. The socket is blocking; with timeout_ms > 0 it has send and
// receive time-outs of that length. rcvbuf > 0 sets the receive buffer
// before the connection is made.
int tcp_connect(const std::string& from, const std::string& to, int port, int timeout_ms = 3000, int rcvbuf = 0);
// Writes all bytes (never raising SIGPIPE); false on failure.
bool send_all(int fd, std::string_view bytes);
// Reads until the text contains end (or the peer closes, or timeout_ms
// passes); returns what arrived.
std::string read_until(int fd, std::string_view end, int timeout_ms);
// Reads until the peer closes or timeout_ms passes; true when it closed
// (end of stream or reset). What arrived first is appended to got.
bool wait_closed(int fd, int timeout_ms, std::string* got = nullptr);
// Closes with an immediate reset (SO_LINGER 0).
void close_with_reset(int fd);
// A port on 127.0.0.1 that was free a moment ago (the kernel's ephemeral
// choice), and the local port of a socket; -1 on failure.
int free_loopback_port(int socktype = SOCK_STREAM);
int local_port_of(int fd);

// A TCP connection whose reads are buffered, so a test can wait for lines
// or text and then take everything received.
class tcp_client {
 public:
  tcp_client() = default;
  ~tcp_client();
  tcp_client(const tcp_client&) = delete;
  tcp_client& operator=(const tcp_client&) = delete;

  // Connects from source ("" for any address) to address:port, from inside
  // the named network namespace when ns is not empty, retrying while the
  // connection is refused (the daemon may still be starting) until
  // timeout_ms. rcvbuf > 0 sets the receive buffer first. False on failure
  // with the reason in *error.
  bool open(const std::string& ns, const std::string& source, const std::string& address, int port,
            int timeout_ms = 0, std::string* error = nullptr, int rcvbuf = 0);
  // open() on a new client; nullptr on failure.
  static std::unique_ptr<tcp_client> connect(const std::string& ns, const std::string& source,
                                             const std::string& address, int port, int timeout_ms,
                                             std::string* error = nullptr);
  // A connection to 127.0.0.1:port in the calling thread's namespace.
  bool connect_to(int port, const char* source = nullptr, int rcvbuf = 0);

  int fd() const { return fd_; }
  int local_port() const { return local_port_of(fd_); }
  bool closed() const { return closed_; }

  bool send(std::string_view bytes);
  // Waits until count CR LF line ends have arrived (in everything not yet
  // taken); false on time-out or when the peer closed first.
  bool wait_lines(int count, int timeout_ms);
  // Waits until the received bytes contain text.
  bool wait_for(std::string_view text, int timeout_ms);
  // Waits until the peer ends the connection (end of stream or reset);
  // what arrived before stays to be taken.
  bool wait_closed(int timeout_ms = 5000);
  // Reads whatever arrives within settle_ms and returns everything not yet
  // taken, forgetting it.
  std::string take(int settle_ms = 0);
  // Takes the first `want` bytes once they are there; stops early (taking
  // what there is) when the stream ends or idle_ms pass without data.
  std::string read_bytes(size_t want, int idle_ms = 3000);
  // Sends a request and returns everything received until `lines` lines
  // have arrived (nothing else may be pending from before).
  std::string request(std::string_view bytes, int lines = 1, int timeout_ms = 8000);
  // Ends the connection with a reset instead of an orderly close.
  void reset_now();
  void close_now();

 private:
  // One wait of at most timeout_ms and one read of at most `most` bytes;
  // true when anything arrived.
  bool pump(int timeout_ms, size_t most = 65536);
  bool wait(const std::function<bool()>& done, int timeout_ms);

  int fd_ = -1;
  bool closed_ = false;
  std::string received_;
};

}  // namespace vbd_test
