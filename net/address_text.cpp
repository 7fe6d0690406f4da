// Tests on numeric address texts: IPv6 or not, and the scope number of an
// IPv6 text.
#include <cstdlib>
#include <cstring>

#include "net/net.h"

int cg_net_is_ipv6_address(const char* address) {
  if (!address) return 0;
  const char* colon = std::strchr(address, ':');
  return colon && colon != address ? 1 : 0;
}

int cg_net_ipv6_scope_id(const char* address) {
  if (!cg_net_is_ipv6_address(address)) return 0;
  const char* percent = std::strchr(address, '%');
  if (!percent) return 0;
  char digits[9];
  std::strncpy(digits, percent + 1, 8);
  digits[8] = '\0';
  // Leading digits count; anything after them (or an interface name) is ignored.
  long value = std::strtol(digits, nullptr, 10);
  return static_cast<int>(value);
}
