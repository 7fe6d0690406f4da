// Test support: one HTTP GET over a fresh connection.
#include "tests/support/http_get.h"

#include <unistd.h>

#include "tests/support/tcp.h"

namespace vbd_test {

std::string http_get(const std::string& from, const std::string& to, int port, const std::string& path,
                     int timeout_ms) {
  int fd = tcp_connect(from, to, port, timeout_ms);
  if (fd < 0) return "";
  std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: " + to + ":" + std::to_string(port) + "\r\nConnection: close\r\n\r\n";
  std::string response;
  if (send_all(fd, request)) wait_closed(fd, timeout_ms, &response);
  close(fd);
  return response;
}

}  // namespace vbd_test
