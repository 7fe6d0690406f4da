// Test support: UDP sockets, sends and collection, and M-SEARCH requests.
#include "tests/support/udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/clock.h"
#include "tests/support/tcp.h"

namespace vbd_test {

int udp_socket(const std::string& from, int port) {
  sockaddr_in local{};
  if (!to_sockaddr(from, port, &local)) return -1;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (!from.empty()) {
    in_addr interface_address = local.sin_addr;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface_address, sizeof interface_address);
    unsigned char ttl = 2;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool udp_send(int fd, const std::string& to, int port, std::string_view bytes) {
  sockaddr_in remote{};
  if (to.empty() || !to_sockaddr(to, port, &remote)) return false;
  return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&remote), sizeof remote) ==
         static_cast<ssize_t>(bytes.size());
}

std::vector<std::string> udp_collect(int fd, int timeout_ms) {
  std::vector<std::string> got;
  long long deadline = now_ms() + timeout_ms;
  for (long long left = timeout_ms; left > 0; left = deadline - now_ms()) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[2048];
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) got.emplace_back(buffer, static_cast<size_t>(n));
  }
  return got;
}

int ssdp_group_socket(const std::string& interface_address) {
  int fd = udp_socket("", 1900);
  if (fd == -1) return -1;
  ip_mreq group{};
  inet_pton(AF_INET, "239.255.255.250", &group.imr_multiaddr);
  inet_pton(AF_INET, interface_address.c_str(), &group.imr_interface);
  if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string msearch(std::string_view st, std::string_view mx, std::string_view host, std::string_view man) {
  std::string text = "M-SEARCH * HTTP/1.1\r\nHOST: ";
  text.append(host).append("\r\nMAN: ").append(man).append("\r\n");
  if (mx != "(none)") text.append("MX: ").append(mx).append("\r\n");
  text.append("ST: ").append(st).append("\r\n\r\n");
  return text;
}

}  // namespace vbd_test
