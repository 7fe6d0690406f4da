// Address watch: a netlink route socket that becomes readable whenever an
// interface or one of its IPv4 addresses comes, goes or changes. It only
// says that something changed; the caller reads the interface table again.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "net/net.h"

namespace {

// The kernel's messages on these groups are small; one read takes many.
constexpr size_t kReadSize = 8192;

bool is_address_or_link_message(uint16_t type) {
  switch (type) {
    case RTM_NEWADDR:
    case RTM_DELADDR:
    case RTM_NEWLINK:
    case RTM_DELLINK:
      return true;
    default:
      return false;
  }
}

}  // namespace

int cg_net_address_watch_open() {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

int cg_net_address_watch_read(int fd) {
  if (fd < 0) return -1;
  alignas(nlmsghdr) char buffer[kReadSize];
  int changed = 0;
  for (;;) {
    sockaddr_nl from{};
    iovec vector{buffer, sizeof buffer};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    ssize_t n = recvmsg(fd, &message, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return changed;
      // The kernel dropped messages for us: anything may have changed.
      if (errno == ENOBUFS) {
        changed = 1;
        continue;
      }
      return -1;
    }
    if (n == 0) return changed;
    // Only the kernel (port 0) speaks on these groups; a datagram cut short
    // still tells that something happened.
    if (from.nl_pid != 0) continue;
    if (message.msg_flags & MSG_TRUNC) {
      changed = 1;
      continue;
    }
    size_t left = static_cast<size_t>(n);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (is_address_or_link_message(header->nlmsg_type)) changed = 1;
    }
  }
}

void cg_net_address_watch_close(int fd) {
  if (fd >= 0) close(fd);
}
