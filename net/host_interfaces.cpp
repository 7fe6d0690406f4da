// Enumeration of the host's usable IPv4 interfaces from the kernel's
// interface table, and the choice of a local address from them.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "net/net.h"
#include "net/net_internal.h"

namespace {

constexpr const char* kInterfaceTable = "/proc/net/dev";
constexpr int kHeaderLines = 2;
constexpr int kLineSize = 256;
constexpr int kAddressTextSize = 20;

// Closes a descriptor or a file on every way out of a scope.
struct fd_guard {
  int fd;
  ~fd_guard() {
    if (fd >= 0) close(fd);
  }
};

struct file_guard {
  FILE* file;
  ~file_guard() {
    if (file) std::fclose(file);
  }
};

// Reads one line of at most kLineSize - 1 bytes; a longer line is cut and its
// rest discarded, so that it is never taken for a line of its own.
bool read_line(FILE* file, char (&line)[kLineSize]) {
  if (!std::fgets(line, sizeof(line), file)) return false;
  if (!std::strchr(line, '\n')) {
    int c;
    while ((c = std::fgetc(file)) != EOF && c != '\n') {
    }
  }
  return true;
}

// Fills ifr_name; false for a name the kernel cannot have (too long, empty),
// which a truncated copy would confuse with another interface.
bool set_request_name(ifreq& ifr, std::string_view name) {
  if (name.empty() || name.size() >= sizeof(ifr.ifr_name)) return false;
  std::memset(&ifr, 0, sizeof(ifr));
  std::memcpy(ifr.ifr_name, name.data(), name.size());
  return true;
}

bool ipv4_text(const sockaddr& sa, char (&text)[kAddressTextSize]) {
  if (sa.sa_family != AF_INET) return false;
  sockaddr_in sin;
  std::memcpy(&sin, &sa, sizeof(sin));
  return inet_ntop(AF_INET, &sin.sin_addr, text, sizeof(text)) != nullptr;
}

// Queries one interface by name and appends it when it is usable: up, not
// loopback, with an IPv4 address.
void add_if_usable(int query_fd, std::string_view name, cg_net_interface_list* list) {
  ifreq ifr;
  if (!set_request_name(ifr, name)) return;
  if (ioctl(query_fd, SIOCGIFFLAGS, &ifr) != 0) return;
  if (!(ifr.ifr_flags & IFF_UP) || (ifr.ifr_flags & IFF_LOOPBACK)) return;

  set_request_name(ifr, name);
  char address[kAddressTextSize];
  if (ioctl(query_fd, SIOCGIFADDR, &ifr) != 0 || !ipv4_text(ifr.ifr_addr, address)) return;

  set_request_name(ifr, name);
  char netmask[kAddressTextSize] = "";
  if (ioctl(query_fd, SIOCGIFNETMASK, &ifr) != 0 || !ipv4_text(ifr.ifr_netmask, netmask)) {
    netmask[0] = '\0';
  }

  cg_net_interface* netif = cg_net_interface_new();
  if (!netif) return;
  char name_text[IFNAMSIZ];
  std::memcpy(name_text, name.data(), name.size());
  name_text[name.size()] = '\0';
  cg_net_interface_set_name(netif, name_text);
  cg_net_interface_set_address(netif, address);
  cg_net_interface_set_netmask(netif, netmask);
  cg_net_interface_list_add(list, netif);
}

// Address texts handed out by cg_net_first_interface_address. Each distinct
// address is kept once, for the rest of the program, so a returned text stays
// valid while repeated calls do not grow memory.
struct kept_address {
  kept_address* next;
  char text[kAddressTextSize];
};

pthread_mutex_t kept_mutex = PTHREAD_MUTEX_INITIALIZER;
kept_address* kept_addresses = nullptr;

const char* keep_address(const char* address) {
  pthread_mutex_lock(&kept_mutex);
  kept_address* kept = kept_addresses;
  while (kept && std::strcmp(kept->text, address) != 0) kept = kept->next;
  if (!kept) {
    kept = static_cast<kept_address*>(std::malloc(sizeof(kept_address)));
    if (kept) {
      std::snprintf(kept->text, sizeof(kept->text), "%s", address);
      kept->next = kept_addresses;
      kept_addresses = kept;
    }
  }
  pthread_mutex_unlock(&kept_mutex);
  return kept ? kept->text : nullptr;
}

// Address of the first member with a non-empty address, or none.
const char* first_address(cg_net_interface_list* list) {
  for (cg_net_interface* netif = cg_net_interface_list_first(list); netif;
       netif = cg_net_interface_next(netif)) {
    const char* address = cg_net_interface_get_address(netif);
    if (address[0] != '\0') return address;
  }
  return nullptr;
}

}  // namespace

int cg_net_get_host_interfaces(cg_net_interface_list* list) {
  if (!list) return 0;
  cg_net_interface_list_clear(list);

  fd_guard query{socket(AF_INET, SOCK_DGRAM, 0)};
  if (query.fd < 0) return 0;
  file_guard table{std::fopen(kInterfaceTable, "r")};
  if (!table.file) return 0;

  char line[kLineSize];
  for (int i = 0; i < kHeaderLines; i++) {
    if (!read_line(table.file, line)) return 0;
  }
  while (read_line(table.file, line)) {
    std::string_view name = vbd_net::net_dev_interface_name(line);
    if (!name.empty()) add_if_usable(query.fd, name, list);
  }
  return cg_net_interface_list_size(list);
}

const char* cg_net_first_interface_address() {
  cg_net_interface_list* list = cg_net_interface_list_new();
  if (!list) return nullptr;
  cg_net_get_host_interfaces(list);
  const char* address = first_address(list);
  const char* kept = address ? keep_address(address) : nullptr;
  cg_net_interface_list_delete(list);
  return kept;
}

char* cg_net_select_local_address(const sockaddr* /*peer*/) {
  cg_net_interface_list* list = cg_net_interface_list_new();
  if (!list || cg_net_get_host_interfaces(list) <= 0) {
    cg_net_interface_list_delete(list);
    return cg_str_dup(CG_NET_LOCAL_ADDRESS_FALLBACK);
  }
  char* address = cg_str_dup(cg_net_interface_get_address(cg_net_interface_list_first(list)));
  cg_net_interface_list_delete(list);
  return address;
}

char* cg_net_local_address_for_peer(const char* peer_address) {
  cg_net_interface_list* list = cg_net_interface_list_new();
  if (!list || cg_net_get_host_interfaces(list) <= 0) {
    cg_net_interface_list_delete(list);
    return cg_str_dup(CG_NET_LOCAL_ADDRESS_FALLBACK);
  }
  cg_net_interface* netif = cg_net_interface_list_find_for_peer(list, peer_address);
  if (!netif) netif = cg_net_interface_list_first(list);
  char* address = cg_str_dup(cg_net_interface_get_address(netif));
  cg_net_interface_list_delete(list);
  return address;
}
