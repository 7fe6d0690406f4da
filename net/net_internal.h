// Helpers shared by the network layer's own files; not part of its interface.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string_view>

#include "net/net.h"

namespace vbd_net {

// Numeric host text and port of a socket address; false when they cannot be
// converted. The host buffer fits any IPv6 text with a scope suffix.
inline bool numeric_name(const sockaddr* sa, socklen_t len, char (&host)[CG_NET_ADDRESS_TEXT_SIZE],
                         int* port) {
  char serv[32];
  if (getnameinfo(sa, len, host, sizeof(host), serv, sizeof(serv),
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    host[0] = '\0';
    return false;
  }
  *port = std::atoi(serv);
  return true;
}

// Sets IP_MULTICAST_TTL on a descriptor; true on success.
bool set_multicast_ttl(int fd, int ttl);

}  // namespace vbd_net

namespace vbd_net {

// The interface name of one line of the kernel's interface table: the text
// before the line's last ":" without its leading spaces. Empty when the line
// has no ":".
constexpr std::string_view net_dev_interface_name(std::string_view line) {
  std::string_view::size_type colon = line.rfind(':');
  if (colon == std::string_view::npos) return {};
  std::string_view name = line.substr(0, colon);
  std::string_view::size_type start = name.find_first_not_of(' ');
  return start == std::string_view::npos ? std::string_view{} : name.substr(start);
}

static_assert(net_dev_interface_name("  eth0: 1 2 3") == "eth0");
static_assert(net_dev_interface_name("lo:0") == "lo");
static_assert(net_dev_interface_name("no colon here").empty());

}  // namespace vbd_net
