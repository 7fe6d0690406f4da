// Socket options of a cg_socket: address reuse, multicast TTL and group
// membership, time-outs, non-blocking mode, arrival details of datagrams,
// and the local address.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>

#include "net/net.h"
#include "net/net_internal.h"

namespace {

// Resolves a numeric address text without a service.
addrinfo* resolve_numeric_host(const char* address) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
  addrinfo* res = nullptr;
  if (!address || getaddrinfo(address, nullptr, &hints, &res) != 0) return nullptr;
  return res;
}

bool set_timeval(int fd, int option, int seconds, int microseconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  tv.tv_usec = microseconds;
  return setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv)) == 0;
}

bool join_ipv6(int fd, const addrinfo* group, const char* interface_address) {
  if (group->ai_family != AF_INET6) return false;
  unsigned scope = static_cast<unsigned>(cg_net_ipv6_scope_id(interface_address));
  bool ok = setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &scope, sizeof(scope)) == 0;
  ipv6_mreq mreq{};
  mreq.ipv6mr_multiaddr = reinterpret_cast<const sockaddr_in6*>(group->ai_addr)->sin6_addr;
  mreq.ipv6mr_interface = scope;
  return setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &mreq, sizeof(mreq)) == 0 && ok;
}

bool join_ipv4(int fd, const addrinfo* group, const addrinfo* netif) {
  // An IPv4 group is joined on an IPv4 interface address only.
  if (group->ai_family != AF_INET || netif->ai_family != AF_INET) return false;
  in_addr ifaddr = reinterpret_cast<const sockaddr_in*>(netif->ai_addr)->sin_addr;
  bool ok = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof(ifaddr)) == 0;
  ip_mreq mreq{};
  mreq.imr_multiaddr = reinterpret_cast<const sockaddr_in*>(group->ai_addr)->sin_addr;
  mreq.imr_interface = ifaddr;
  return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) == 0 && ok;
}

}  // namespace

bool vbd_net::set_multicast_ttl(int fd, int ttl) {
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0) return false;
  int read_back = 0;
  socklen_t len = sizeof(read_back);
  getsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &read_back, &len);
  return true;
}

int cg_socket_set_reuse_address(cg_socket* sock, int flag) {
  if (!cg_socket_is_open(sock)) return 0;
  int value = flag == 1 ? 1 : 0;
  return setsockopt(sock->fd, SOL_SOCKET, SO_REUSEADDR, &value, sizeof(value)) == 0 ? 1 : 0;
}

int cg_socket_set_multicast_ttl(cg_socket* sock, int ttl) {
  if (!cg_socket_is_open(sock)) return 0;
  return vbd_net::set_multicast_ttl(sock->fd, ttl) ? 1 : 0;
}

int cg_socket_set_timeout(cg_socket* sock, int seconds) {
  return cg_socket_set_timeout_usec(sock, seconds, 0);
}

int cg_socket_set_timeout_usec(cg_socket* sock, int seconds, int microseconds) {
  if (!cg_socket_is_open(sock)) return 0;
  if (!set_timeval(sock->fd, SO_RCVTIMEO, seconds, microseconds)) return 0;
  return set_timeval(sock->fd, SO_SNDTIMEO, seconds, microseconds) ? 1 : 0;
}

int cg_socket_set_nonblocking(cg_socket* sock, int flag) {
  if (!cg_socket_is_open(sock)) return 0;
  int flags = fcntl(sock->fd, F_GETFL);
  if (flags == -1) return 0;
  flags = flag ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(sock->fd, F_SETFL, flags) == 0 ? 1 : 0;
}

int cg_socket_set_packet_info(cg_socket* sock, int flag) {
  if (!cg_socket_is_open(sock)) return 0;
  int value = flag ? 1 : 0;
  return setsockopt(sock->fd, IPPROTO_IP, IP_PKTINFO, &value, sizeof(value)) == 0 ? 1 : 0;
}

int cg_socket_join_group(cg_socket* sock, const char* group_address,
                         const char* interface_address) {
  if (!cg_socket_is_open(sock)) return 0;
  addrinfo* group = resolve_numeric_host(group_address);
  if (!group) return 0;
  addrinfo* netif = resolve_numeric_host(interface_address);
  if (!netif) {
    freeaddrinfo(group);
    return 0;
  }
  bool ok = cg_net_is_ipv6_address(group_address) ? join_ipv6(sock->fd, group, interface_address)
                                                  : join_ipv4(sock->fd, group, netif);
  freeaddrinfo(group);
  freeaddrinfo(netif);
  return ok ? 1 : 0;
}

int cg_socket_get_local_address(const cg_socket* sock, char* buffer, int size) {
  if (!buffer || size <= 0) return 0;
  buffer[0] = '\0';
  if (!cg_socket_is_open(sock)) return 0;
  sockaddr_storage local{};
  socklen_t len = sizeof(local);
  if (getsockname(sock->fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
  // A dual-stack socket reached over IPv4 reports the plain dotted address.
  auto* local6 = reinterpret_cast<sockaddr_in6*>(&local);
  if (local.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&local6->sin6_addr)) {
    if (size < INET_ADDRSTRLEN) return 0;
    return inet_ntop(AF_INET, &local6->sin6_addr.s6_addr[12], buffer,
                     static_cast<socklen_t>(size))
               ? 1
               : 0;
  }
  char host[CG_NET_ADDRESS_TEXT_SIZE];
  int port = 0;
  if (!vbd_net::numeric_name(reinterpret_cast<sockaddr*>(&local), len, host, &port)) return 0;
  if (std::strlen(host) >= static_cast<size_t>(size)) return 0;
  std::strcpy(buffer, host);
  return 1;
}

int cg_socket_get_local_port(const cg_socket* sock) {
  if (!cg_socket_is_open(sock)) return -1;
  sockaddr_storage local{};
  socklen_t len = sizeof(local);
  if (getsockname(sock->fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return -1;
  char host[CG_NET_ADDRESS_TEXT_SIZE];
  int port = -1;
  if (!vbd_net::numeric_name(reinterpret_cast<sockaddr*>(&local), len, host, &port)) return -1;
  return port;
}
