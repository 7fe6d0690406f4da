// Clocks, sockets, statistics and options for the benchmark client.
#include "bench/bench_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace bench {

int64_t now_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void sleep_us(int64_t us) {
  if (us <= 0) return;
  timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int tcp_connect(const std::string& address, int port, int timeout_ms, const std::string& local) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  if (!local.empty() && inet_pton(AF_INET, local.c_str(), &from.sin_addr) != 1) {
    errno = EINVAL;
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (!local.empty() && bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  // connect() honours the send time-out; it is cleared again afterwards.
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  if (timeout_ms > 0) setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  if (timeout_ms > 0) {
    timeval none{0, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool send_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool read_line(int fd, std::string* line, int timeout_ms) {
  std::string got;
  int64_t deadline = now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  char buffer[256];
  while (got.find("\r\n") == std::string::npos) {
    if (timeout_ms > 0) {
      int64_t left_ms = (deadline - now_us() + 999) / 1000;
      if (left_ms <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      int ready = poll(&p, 1, static_cast<int>(left_ms));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
    }
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got.append(buffer, static_cast<size_t>(n));
  }
  if (line) *line = got.substr(0, got.find("\r\n"));
  return true;
}

bool http_get_keepalive(int fd, const std::string& host, const std::string& path,
                        std::string* body) {
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

int ssdp_watch_open(const std::string& local) {
  in_addr interface_address{};
  if (inet_pton(AF_INET, local.c_str(), &interface_address) != 1) return -1;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(1900);
  inet_pton(AF_INET, "239.255.255.250", &sa.sin_addr);
  ip_mreq join{};
  join.imr_multiaddr = sa.sin_addr;
  join.imr_interface = interface_address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int ssdp_watch_count(int fd, const std::string& from, const std::string& needle, int quiet_ms) {
  std::string wanted = needle;
  for (char& c : wanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  int count = 0;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, quiet_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return count;
    char buffer[2048];
    sockaddr_in peer{};
    socklen_t peer_length = sizeof peer;
    ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &peer_length);
    if (n <= 0) continue;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    if (!from.empty() && from != text) continue;
    std::string datagram(buffer, static_cast<size_t>(n));
    for (char& c : datagram) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (datagram.find(wanted) != std::string::npos) count++;
  }
}

double percentile(std::vector<double>& samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()));
  size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return samples[std::min(index, samples.size() - 1)];
}

double mean(const std::vector<double>& samples) {
  if (samples.empty()) return 0;
  double sum = 0;
  for (double s : samples) sum += s;
  return sum / static_cast<double>(samples.size());
}

long long status_value(const std::string& path, const std::string& name) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::atoll(line.c_str() + name.size() + 1);
  }
  return -1;
}

std::vector<std::string> split_list(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

std::string options::get(const std::string& name, const std::string& fallback) const {
  for (size_t i = 0; i + 1 < args.size(); i++) {
    if (args[i] == "--" + name) return args[i + 1];
  }
  return fallback;
}

int options::get_int(const std::string& name, int fallback) const {
  std::string v = get(name, "");
  return v.empty() ? fallback : std::atoi(v.c_str());
}

double options::get_double(const std::string& name, double fallback) const {
  std::string v = get(name, "");
  return v.empty() ? fallback : std::atof(v.c_str());
}

// Waits at most timeout_ms for the child's exit; its wait status, or -1.
int wait_exit(pid_t pid, int timeout_ms) {
  int status = 0;
#ifdef SYS_pidfd_open
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    int ready = 0;
    do {
      ready = poll(&p, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    close(pidfd);
    if (ready <= 0) return -1;
    return waitpid(pid, &status, 0) == pid ? status : -1;
  }
#endif
  int64_t deadline = now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  while (now_us() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    sleep_us(500);
  }
  return -1;
}

// Connects until the port accepts or timeout_ms passed; -1 then.
int connect_when_up(const std::string& address, int port, int timeout_ms) {
  int64_t deadline = now_us() + static_cast<int64_t>(timeout_ms) * 1000;
  for (;;) {
    int fd = tcp_connect(address, port, 1000);
    if (fd >= 0 || now_us() >= deadline) return fd;
    sleep_us(500);
  }
}

}  // namespace bench
