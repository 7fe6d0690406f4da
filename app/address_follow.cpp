// Address following: reads the watch, lets a burst of changes settle, then
// compares the interfaces with what the services were opened on and moves
// the control server and discovery to the addresses of now.
#include "app/address_follow.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "app/lifecycle.h"
#include "net/net.h"
#include "runtime/runtime.h"
#include "velProtocol/ssdp_server/ssdp_server.h"

namespace {

// A renumbering is an address removed and another added, often by separate
// commands of a DHCP client's script: wait this long after the first change
// so that both are seen together.
constexpr int64_t kSettleMs = 250;
// After a control server could not be opened on the new address.
constexpr int64_t kRetryMs = 1000;

// Every usable interface with its address and netmask, in the kernel's
// order: equal texts mean nothing the services use has changed.
std::string interfaces_now() {
  std::string text;
  cg_net_interface_list* list = cg_net_interface_list_new();
  if (!list) return text;
  cg_net_get_host_interfaces(list);
  for (cg_net_interface* netif = cg_net_interface_list_first(list); netif; netif = cg_net_interface_next(netif)) {
    text += cg_net_interface_get_name(netif);
    text += '=';
    text += cg_net_interface_get_address(netif);
    text += '/';
    text += cg_net_interface_get_netmask(netif);
    text += ' ';
  }
  cg_net_interface_list_delete(list);
  return text;
}

}  // namespace

address_follow::~address_follow() { cg_net_address_watch_close(fd_); }

void address_follow::open() {
  fd_ = cg_net_address_watch_open();
  if (fd_ < 0) {
    printf("address watch: %s: address changes are not followed\n", std::strerror(errno));
  } else if (!cg_net_first_interface_address()) {
    printf("no interface address yet: waiting for one\n");
  }
  interfaces_ = interfaces_now();
}

int address_follow::timeout_ms() const {
  if (due_ms_ < 0) return -1;
  int64_t left = due_ms_ - cg_monotonic_ms();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

void address_follow::on_readable() {
  int changed = cg_net_address_watch_read(fd_);
  if (changed < 0) {
    printf("address watch: %s: address changes are no longer followed\n", std::strerror(errno));
    cg_net_address_watch_close(fd_);
    fd_ = -1;
    return;
  }
  if (changed > 0 && due_ms_ < 0) due_ms_ = cg_monotonic_ms() + kSettleMs;
}

void address_follow::on_time() {
  if (due_ms_ < 0 || cg_monotonic_ms() < due_ms_) return;
  due_ms_ = -1;
  follow();
}

void address_follow::follow() {
  // The control server: onto the first interface's address when that is a
  // new one. While there is none, the server stays where it is, so a link
  // that comes back with its old address keeps its client.
  const char* first = cg_net_first_interface_address();
  const char* current = vel_server_address();
  if (first && std::strcmp(first, current) != 0) {
    printf("address change: first interface %s -> %s\n", *current ? current : "none", first);
    if (!vel_server_reopen(first)) {
      printf("the control server could not be opened on %s: trying again in %lld ms\n", first,
             static_cast<long long>(kRetryMs));
      due_ms_ = cg_monotonic_ms() + kRetryMs;
    }
  }
  // Discovery: on the addresses of now whenever any of them changed.
  std::string now = interfaces_now();
  if (now != interfaces_) {
    interfaces_ = now;
    controlapp_discovery_follow();
  }
  fflush(stdout);
}
