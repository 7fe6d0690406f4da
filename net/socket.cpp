// cg_socket: creation, closing, resolution, bind, listen and accept, plus the
// process-wide count of sockets and resolutions.
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <atomic>
#include <cstdlib>

#include "net/net.h"
#include "net/net_internal.h"

namespace {

// Sockets and resolutions in use. Touched from every thread that makes or
// drops a socket, hence atomic.
std::atomic<int> socket_user_count{0};

void socket_user_count_increment() { socket_user_count.fetch_add(1, std::memory_order_acq_rel); }

void socket_user_count_decrement() { socket_user_count.fetch_sub(1, std::memory_order_acq_rel); }

int socktype_of(int type) { return type == CG_NET_SOCKET_STREAM ? SOCK_STREAM : SOCK_DGRAM; }

}  // namespace

int cg_socket_get_user_count() { return socket_user_count.load(std::memory_order_acquire); }

cg_socket* cg_socket_new(int type) {
  socket_user_count_increment();
  auto* sock = static_cast<cg_socket*>(std::malloc(sizeof(cg_socket)));
  cg_string* address = cg_string_new();
  if (!sock || !address) {
    std::free(sock);
    cg_string_delete(address);
    socket_user_count_decrement();
    return nullptr;
  }
  cg_string_set(address, "");
  sock->fd = -1;
  sock->type = type;
  sock->direction = CG_SOCKET_DIRECTION_IDLE;
  sock->address = address;
  sock->port = -1;
  return sock;
}

void cg_socket_delete(cg_socket* sock) {
  if (!sock) return;
  cg_socket_close(sock);
  cg_string_delete(sock->address);
  std::free(sock);
  socket_user_count_decrement();
}

int cg_socket_close(cg_socket* sock) {
  if (!cg_socket_is_open(sock)) return 1;
  // Non-blocking first, so that neither shutdown nor close can wait on a
  // peer that does not take its data.
  int flags = fcntl(sock->fd, F_GETFL);
  if (flags != -1) fcntl(sock->fd, F_SETFL, flags | O_NONBLOCK);
  shutdown(sock->fd, SHUT_RDWR);
  close(sock->fd);
  sock->fd = -1;
  cg_string_set(sock->address, "");
  sock->port = -1;
  return 1;
}

int cg_socket_is_open(const cg_socket* sock) { return sock && sock->fd >= 0 ? 1 : 0; }

void cg_socket_set_fd(cg_socket* sock, int fd) {
  if (sock) sock->fd = fd;
}

int cg_socket_get_fd(const cg_socket* sock) { return sock ? sock->fd : -1; }
int cg_socket_get_type(const cg_socket* sock) { return sock ? sock->type : 0; }
int cg_socket_get_direction(const cg_socket* sock) { return sock ? sock->direction : 0; }
int cg_socket_get_port(const cg_socket* sock) { return sock ? sock->port : -1; }

const char* cg_socket_get_address(const cg_socket* sock) {
  const char* value = sock ? cg_string_value(sock->address) : nullptr;
  return value ? value : "";
}

int cg_socket_resolve(int type, const char* address, int port, addrinfo** result, int exact) {
  if (!result) return 0;
  *result = nullptr;
  socket_user_count_increment();

  // Addresses are numeric texts: the resolver is never asked to look up a
  // name, so resolving never blocks and never leaves the host.
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = socktype_of(type);
  char service[16];
  std::snprintf(service, sizeof(service), "%d", port);

  addrinfo* first = nullptr;
  if (getaddrinfo(address, service, &hints, &first) != 0 || !first) return 0;
  if (exact == 1) {
    *result = first;
    return 1;
  }
  // The wildcard address of the same family as the given address.
  hints.ai_family = first->ai_family;
  freeaddrinfo(first);
  addrinfo* wildcard = nullptr;
  if (getaddrinfo(nullptr, service, &hints, &wildcard) != 0 || !wildcard) return 0;
  *result = wildcard;
  return 1;
}

int cg_socket_bind(cg_socket* sock, int port, const char* address, int exact, int reuse) {
  if (!sock || port <= 0) {
    errno = EINVAL;
    return 0;
  }
  addrinfo* res = nullptr;
  if (!cg_socket_resolve(sock->type, address, port, &res, exact)) {
    errno = EADDRNOTAVAIL;  // not a numeric address of this host's families
    return 0;
  }

  // A descriptor from an earlier bind would otherwise be lost.
  cg_socket_close(sock);
  sock->fd = socket(res->ai_family, res->ai_socktype, 0);
  bool prepared = sock->fd >= 0 && (reuse != 1 || cg_socket_set_reuse_address(sock, 1));
  int rc = prepared ? bind(sock->fd, res->ai_addr, res->ai_addrlen) : -1;
  // The caller reports why the bind failed: keep the system's reason.
  int saved_errno = errno;
  freeaddrinfo(res);
  // A refused bind leaves the descriptor in the socket until it is closed.
  if (!prepared) cg_socket_close(sock);
  if (rc != 0) {
    errno = saved_errno;
    return 0;
  }

  sock->direction = CG_SOCKET_DIRECTION_SERVER;
  cg_string_set(sock->address, address ? address : "");
  sock->port = port;
  return 1;
}

int cg_socket_listen(cg_socket* sock) {
  if (!cg_socket_is_open(sock)) return 0;
  return listen(sock->fd, CG_SOCKET_LISTEN_BACKLOG) == 0 ? 1 : 0;
}

int cg_socket_accept(cg_socket* server, cg_socket* new_sock) {
  if (!server || !new_sock) return 0;
  sockaddr_storage peer{};
  socklen_t peer_len = sizeof(peer);
  static_assert(sizeof(sockaddr_storage) >= 128, "peer buffer holds any address family");
  new_sock->fd = accept(server->fd, reinterpret_cast<sockaddr*>(&peer), &peer_len);
  if (new_sock->fd < 0) {
    new_sock->fd = -1;
    return 0;
  }
  cg_string_set(new_sock->address, cg_socket_get_address(server));
  new_sock->port = server->port;

  sockaddr_storage local{};
  socklen_t local_len = sizeof(local);
  char host[CG_NET_ADDRESS_TEXT_SIZE];
  int peer_port = 0;
  if (getsockname(new_sock->fd, reinterpret_cast<sockaddr*>(&local), &local_len) == 0 &&
      vbd_net::numeric_name(reinterpret_cast<sockaddr*>(&peer), peer_len, host, &peer_port)) {
    cg_string_set(new_sock->address, host);
    new_sock->port = peer_port;
  }
  return 1;
}
