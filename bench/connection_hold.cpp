// "hold": opens control connections and keep-alive HTTP connections (each
// served one GET of the description, so its thread has done real work) and
// keeps them open until a signal ends the process. The HTTP connections can
// come from several local addresses in turn (--http-from a,b,...), since the
// daemon serves only so many connections from one address.
// "get": one GET, the response body to standard output.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/bench_util.h"

namespace bench {

int connection_hold(const options& opt) {
  std::string address = opt.get("address", "");
  int control_port = opt.get_int("control-port", 8102);
  int http_port = opt.get_int("http-port", 38400);
  int control = opt.get_int("control", 0);
  int http = opt.get_int("http", 0);
  std::string path = opt.get("path", "/description.xml");
  std::vector<std::string> http_from = split_list(opt.get("http-from", ""));

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
    std::string from = http_from.empty() ? "" : http_from[i % http_from.size()];
    const char* shown = from.empty() ? "the default address" : from.c_str();
    int fd = tcp_connect(address, http_port, 0, from);
    if (fd < 0) {
      std::fprintf(stderr, "vbd-bench hold: HTTP connection %d from %s: connect: %s\n", i, shown,
                   std::strerror(errno));
      return 1;
    }
    if (!http_get_keepalive(fd, host, path, nullptr)) {
      std::fprintf(stderr, "vbd-bench hold: HTTP connection %d from %s: no 200 answer to GET %s\n",
                   i, shown, path.c_str());
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
  if (fd < 0 || !http_get_keepalive(fd, address + ":" + std::to_string(port), path, &body)) {
    std::fprintf(stderr, "vbd-bench get: no 200 answer from %s:%d%s\n", address.c_str(), port,
                 path.c_str());
    return 1;
  }
  close(fd);
  std::fwrite(body.data(), 1, body.size(), stdout);
  return 0;
}

}  // namespace bench
