// Datagram send and receive on a cg_socket, with the arrival interface of a
// received datagram when the socket reads it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "net/net.h"
#include "net/net_internal.h"

int cg_socket_send_to(cg_socket* sock, const char* address, int port, const char* data,
                      int length) {
  if (!sock || !data) return 0;
  if (length < 0) length = static_cast<int>(std::strlen(data));
  if (length <= 0) return 0;

  addrinfo* res = nullptr;
  if (!cg_socket_resolve(sock->type, address, port, &res, 1)) return -1;

  // An idle socket sends on a descriptor of its own for this datagram only,
  // so the socket object stays exactly as it was.
  const bool was_open = cg_socket_is_open(sock);
  int fd = was_open ? sock->fd : socket(res->ai_family, res->ai_socktype, 0);
  ssize_t sent = -1;
  if (fd >= 0) {
    vbd_net::set_multicast_ttl(fd, CG_SOCKET_MULTICAST_TTL);
    sent = sendto(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL, res->ai_addr,
                  res->ai_addrlen);
  }
  freeaddrinfo(res);
  if (!was_open && fd >= 0) close(fd);
  return static_cast<int>(sent);
}

int cg_socket_recv_datagram(cg_socket* sock, cg_datagram_packet* packet) {
  if (!sock || !packet) return 0;
  char buffer[CG_SOCKET_DATAGRAM_SIZE + 1];
  sockaddr_storage peer{};
  // Room for the arrival details, which come only when the socket asked.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  iovec iov{buffer, CG_SOCKET_DATAGRAM_SIZE};
  msghdr message{};
  message.msg_name = &peer;
  message.msg_namelen = sizeof(peer);
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  ssize_t n = recvmsg(sock->fd, &message, 0);
  if (n <= 0) return 0;
  buffer[n] = '\0';
  socklen_t peer_len = message.msg_namelen;

  cg_datagram_packet_set_data(packet, buffer, static_cast<int>(n));
  packet->local_port = sock->port;
  char host[CG_NET_ADDRESS_TEXT_SIZE];
  int peer_port = 0;
  if (vbd_net::numeric_name(reinterpret_cast<sockaddr*>(&peer), peer_len, host, &peer_port)) {
    cg_datagram_packet_set_remote_address(packet, host);
    packet->remote_port = peer_port;
  } else {
    cg_datagram_packet_set_remote_address(packet, "");
    packet->remote_port = 0;
  }
  packet->interface_index = 0;
  packet->multicast = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO ||
        c->cmsg_len < CMSG_LEN(sizeof(in_pktinfo))) {
      continue;
    }
    in_pktinfo info;
    std::memcpy(&info, CMSG_DATA(c), sizeof(info));
    packet->interface_index = info.ipi_ifindex;
    // ipi_addr is the destination the datagram's header names.
    packet->multicast = IN_MULTICAST(ntohl(info.ipi_addr.s_addr)) ? 1 : 0;
  }
  // Answers to this datagram must name the interface the sender can reach.
  char* local = cg_net_local_address_for_peer(host);
  cg_datagram_packet_set_local_address(packet, local ? local : CG_NET_LOCAL_ADDRESS_FALLBACK);
  std::free(local);
  return static_cast<int>(n);
}
