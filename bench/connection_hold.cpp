// "hold": opens control connections and keep-alive HTTP connections (each
// served one GET of the description, so its thread has done real work) and
// keeps them open until a signal ends the process.
// "get": one GET, the response body to standard output.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/bench_util.h"

namespace bench {

namespace {

// Sends a keep-alive GET and reads the whole response; its body, or false.
bool get_once(int fd, const std::string& host, const std::string& path, std::string* body) {
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
  if (!send_all(fd, request.data(), request.size())) return false;
  std::string got;
  size_t header_end = std::string::npos;
  long length = -1;
  char buffer[4096];
  for (;;) {
    if (header_end == std::string::npos) {
      header_end = got.find("\r\n\r\n");
      if (header_end != std::string::npos) {
        std::string head = got.substr(0, header_end);
        for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t at = head.find("content-length:");
        if (at == std::string::npos || head.rfind("http/1.1 200", 0) != 0) return false;
        length = std::atol(head.c_str() + at + 15);
      }
    }
    if (header_end != std::string::npos && got.size() >= header_end + 4 + static_cast<size_t>(length)) {
      if (body) *body = got.substr(header_end + 4, static_cast<size_t>(length));
      return true;
    }
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    got.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

int connection_hold(const options& opt) {
  std::string address = opt.get("address", "");
  int control_port = opt.get_int("control-port", 8102);
  int http_port = opt.get_int("http-port", 38400);
  int control = opt.get_int("control", 0);
  int http = opt.get_int("http", 0);
  std::string path = opt.get("path", "/description.xml");

  std::vector<int> fds;
  for (int i = 0; i < control; i++) {
    int fd = tcp_connect(address, control_port);
    if (fd < 0) {
      std::fprintf(stderr, "vbd-bench hold: control connection %d failed\n", i);
      return 1;
    }
    fds.push_back(fd);
  }
  std::string host = address + ":" + std::to_string(http_port);
  for (int i = 0; i < http; i++) {
    int fd = tcp_connect(address, http_port);
    if (fd < 0) {
      std::fprintf(stderr, "vbd-bench hold: HTTP connection %d: connect: %s\n", i,
                   std::strerror(errno));
      return 1;
    }
    if (!get_once(fd, host, path, nullptr)) {
      std::fprintf(stderr, "vbd-bench hold: HTTP connection %d: no 200 answer to GET %s\n", i,
                   path.c_str());
      return 1;
    }
    fds.push_back(fd);
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) pause();
}

int http_get(const options& opt) {
  std::string address = opt.get("address", "");
  int port = opt.get_int("port", 38400);
  std::string path = opt.get("path", "/description.xml");
  int fd = tcp_connect(address, port);
  std::string body;
  if (fd < 0 || !get_once(fd, address + ":" + std::to_string(port), path, &body)) {
    std::fprintf(stderr, "vbd-bench get: no 200 answer from %s:%d%s\n", address.c_str(), port,
                 path.c_str());
    return 1;
  }
  close(fd);
  std::fwrite(body.data(), 1, body.size(), stdout);
  return 0;
}

}  // namespace bench
