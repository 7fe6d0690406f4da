// Fuzz harness: the texts the network layer reads itself, i.e. lines of the
// kernel's interface table and IPv6 address texts with scope numbers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "net/net.h"
#include "net/net_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  std::string_view name = vbd_net::net_dev_interface_name(line);
  if (name.size() > line.size()) std::abort();
  if (!name.empty() && (name.front() == ' ' || name.data() < line.data() ||
                        name.data() + name.size() > line.data() + line.size())) {
    std::abort();
  }

  char* text = static_cast<char*>(std::malloc(size + 1));
  if (!text) return 0;
  std::memcpy(text, data, size);
  text[size] = '\0';
  int ipv6 = cg_net_is_ipv6_address(text);
  int scope = cg_net_ipv6_scope_id(text);
  if (!ipv6 && scope != 0) std::abort();
  if (scope < 0 && std::strchr(text, '-') == nullptr) std::abort();

  cg_net_interface_list* list = cg_net_interface_list_new();
  cg_net_interface* netif = cg_net_interface_new();
  cg_net_interface_set_address(netif, "10.77.0.5");
  cg_net_interface_set_netmask(netif, text);
  cg_net_interface_list_add(list, netif);
  cg_net_interface_list_find_for_peer(list, text);
  cg_net_interface_list_delete(list);
  std::free(text);
  return 0;
}
