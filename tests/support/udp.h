// Test support: UDP. A socket bound to a chosen address (multicast leaving
// through it), sends, collection of what arrives, a socket in the SSDP
// group, and the M-SEARCH request a control point sends.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vbd_test {

// A UDP socket bound to from:port (from "" for any address, port 0 for
// any port) with SO_REUSEADDR; with an address, multicast leaves through
// that interface with TTL 2. -1 on failure.
int udp_socket(const std::string& from, int port = 0);
bool udp_send(int fd, const std::string& to, int port, std::string_view bytes);
// Datagrams received within timeout_ms.
std::vector<std::string> udp_collect(int fd, int timeout_ms);
// A socket on port 1900 in the SSDP group 239.255.255.250 on the interface
// with the given local address; -1 on failure.
int ssdp_group_socket(const std::string& interface_address);

// An M-SEARCH request. mx "(none)" leaves the MX line out.
std::string msearch(std::string_view st, std::string_view mx = "1",
                    std::string_view host = "239.255.255.250:1900", std::string_view man = "\"ssdp:discover\"");

}  // namespace vbd_test
