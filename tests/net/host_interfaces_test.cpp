// Interface enumeration, local address choice, multicast membership and the
// address watch, each run inside a fresh network namespace with veth
// interfaces of its own.
#include <net/if.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "net/net.h"
#include "tests/net/netns.h"

namespace {

constexpr const char* kOneInterfaceUp =
    "set -e\n"
    "ip link set lo up\n"
    "ip link add v0 type veth peer name v1\n"
    "ip addr add 10.77.0.5/24 dev v0\n"
    "ip link set v0 up\n"
    "ip link set v1 up\n";

TEST(HostInterfacesTest, OnlyLoopbackGivesNothingAndFallbacks) {
  EXPECT_NETNS_BODY_PASSES("ip link set lo up", [] {
    cg_net_interface_list* list = cg_net_interface_list_new();
    NS_CHECK(cg_net_get_host_interfaces(list) == 0);
    NS_CHECK(cg_net_interface_list_size(list) == 0);
    cg_net_interface_list_delete(list);
    NS_CHECK(cg_net_first_interface_address() == nullptr);
    char* local = cg_net_select_local_address(nullptr);
    NS_CHECK_STREQ(local, "127.0.0.1");
    std::free(local);
    local = cg_net_local_address_for_peer("10.77.0.9");
    NS_CHECK_STREQ(local, "127.0.0.1");
    std::free(local);
    return 0;
  });
}

TEST(HostInterfacesTest, ListsUpInterfaceWithIpv4AddressOnly) {
  // v0: up with an address; v1: up without an IPv4 address; lo: loopback.
  EXPECT_NETNS_BODY_PASSES(kOneInterfaceUp, [] {
    cg_net_interface_list* list = cg_net_interface_list_new();
    // Members already in the list are replaced.
    cg_net_interface* stale = cg_net_interface_new();
    cg_net_interface_set_name(stale, "stale");
    cg_net_interface_list_add(list, stale);
    NS_CHECK(cg_net_get_host_interfaces(list) == 1);
    cg_net_interface* netif = cg_net_interface_list_first(list);
    NS_CHECK_STREQ(cg_net_interface_get_name(netif), "v0");
    NS_CHECK_STREQ(cg_net_interface_get_address(netif), "10.77.0.5");
    NS_CHECK_STREQ(cg_net_interface_get_netmask(netif), "255.255.255.0");
    cg_net_interface_list_delete(list);

    NS_CHECK_STREQ(cg_net_first_interface_address(), "10.77.0.5");
    char* local = cg_net_select_local_address(nullptr);
    NS_CHECK_STREQ(local, "10.77.0.5");
    std::free(local);
    return 0;
  });
}

TEST(HostInterfacesTest, InterfaceThatIsDownIsNotListed) {
  EXPECT_NETNS_BODY_PASSES(
      "set -e\n"
      "ip link add v0 type veth peer name v1\n"
      "ip addr add 10.77.0.5/24 dev v0\n",
      [] {
        cg_net_interface_list* list = cg_net_interface_list_new();
        NS_CHECK(cg_net_get_host_interfaces(list) == 0);
        cg_net_interface_list_delete(list);
        NS_CHECK(cg_net_first_interface_address() == nullptr);
        return 0;
      });
}

TEST(HostInterfacesTest, FirstInterfaceAddressIsKeptOncePerAddress) {
  EXPECT_NETNS_BODY_PASSES(kOneInterfaceUp, [] {
    const char* first = cg_net_first_interface_address();
    NS_CHECK_STREQ(first, "10.77.0.5");
    for (int i = 0; i < 100; i++) NS_CHECK(cg_net_first_interface_address() == first);

    // A new address gives a new text; the old one stays valid.
    NS_CHECK(std::system("ip addr flush dev v0 && ip addr add 10.77.0.6/24 dev v0") == 0);
    const char* second = cg_net_first_interface_address();
    NS_CHECK_STREQ(second, "10.77.0.6");
    NS_CHECK_STREQ(first, "10.77.0.5");
    NS_CHECK(std::system("ip addr flush dev v0 && ip addr add 10.77.0.5/24 dev v0") == 0);
    NS_CHECK(cg_net_first_interface_address() == first);
    return 0;
  });
}

constexpr const char* kTwoSubnets =
    "set -e\n"
    "ip link set lo up\n"
    "ip link add v0 type veth peer name v1\n"
    "ip link add v2 type veth peer name v3\n"
    "ip addr add 10.77.0.5/24 dev v0\n"
    "ip addr add 10.77.1.5/24 dev v2\n"
    "ip addr add 10.77.1.9/32 dev lo\n"
    "ip link set v0 up\n"
    "ip link set v1 up\n"
    "ip link set v2 up\n"
    "ip link set v3 up\n";

TEST(HostInterfacesTest, LocalAddressIsTheInterfaceServingThePeer) {
  EXPECT_NETNS_BODY_PASSES(kTwoSubnets, [] {
    char* local = cg_net_local_address_for_peer("10.77.1.77");
    NS_CHECK_STREQ(local, "10.77.1.5");
    std::free(local);
    local = cg_net_local_address_for_peer("192.0.2.1");  // no subnet: the first interface
    NS_CHECK_STREQ(local, "10.77.0.5");
    std::free(local);
    local = cg_net_select_local_address(nullptr);  // always the first interface
    NS_CHECK_STREQ(local, "10.77.0.5");
    std::free(local);

    // A datagram from 10.77.1.9 records the second interface as local address.
    cg_socket* receiver = cg_socket_new(CG_NET_SOCKET_DGRAM);
    NS_CHECK(cg_socket_bind(receiver, 41900, "10.77.1.5", 1, 1) == 1);
    cg_socket_set_timeout(receiver, 5);
    cg_socket* sender = cg_socket_new(CG_NET_SOCKET_DGRAM);
    NS_CHECK(cg_socket_bind(sender, 41901, "10.77.1.9", 1, 1) == 1);
    NS_CHECK(cg_socket_send_to(sender, "10.77.1.5", 41900, "M-SEARCH * HTTP/1.1\r\n", -1) > 0);
    cg_datagram_packet* packet = cg_datagram_packet_new();
    NS_CHECK(cg_socket_recv_datagram(receiver, packet) > 0);
    NS_CHECK_STREQ(cg_datagram_packet_get_remote_address(packet), "10.77.1.9");
    NS_CHECK(cg_datagram_packet_get_remote_port(packet) == 41901);
    NS_CHECK_STREQ(cg_datagram_packet_get_local_address(packet), "10.77.1.5");
    NS_CHECK(cg_datagram_packet_get_local_port(packet) == 41900);
    cg_datagram_packet_delete(packet);
    cg_socket_delete(sender);
    cg_socket_delete(receiver);
    return 0;
  });
}

TEST(HostInterfacesTest, JoinsIpv4GroupAndReceivesItsDatagrams) {
  std::string setup = std::string(kOneInterfaceUp) + "ip route add 224.0.0.0/4 dev v0\n";
  EXPECT_NETNS_BODY_PASSES(setup.c_str(), [] {
    // Two listeners on the same port both bind thanks to address reuse.
    cg_socket* listener = cg_socket_new(CG_NET_SOCKET_DGRAM);
    NS_CHECK(cg_socket_bind(listener, 41900, "10.77.0.5", 0, 1) == 1);
    cg_socket* other = cg_socket_new(CG_NET_SOCKET_DGRAM);
    NS_CHECK(cg_socket_bind(other, 41900, "10.77.0.5", 0, 1) == 1);
    cg_socket_delete(other);

    NS_CHECK(cg_socket_join_group(listener, "239.255.255.250", "10.77.0.5") == 1);
    NS_CHECK(cg_socket_join_group(listener, "239.255.255.250", "10.77.0.99") == 0);  // not ours
    NS_CHECK(cg_socket_join_group(listener, "239.255.255.250", "fe80::1") == 0);
    NS_CHECK(cg_socket_join_group(listener, "not-a-group", "10.77.0.5") == 0);
    cg_socket_set_timeout(listener, 5);

    cg_socket* sender = cg_socket_new(CG_NET_SOCKET_DGRAM);
    NS_CHECK(cg_socket_send_to(sender, "239.255.255.250", 41900, "NOTIFY * HTTP/1.1\r\n", -1) > 0);
    NS_CHECK(cg_socket_is_open(sender) == 0);
    cg_datagram_packet* packet = cg_datagram_packet_new();
    NS_CHECK(cg_socket_recv_datagram(listener, packet) > 0);
    NS_CHECK_STREQ(cg_datagram_packet_get_data(packet), "NOTIFY * HTTP/1.1\r\n");
    NS_CHECK_STREQ(cg_datagram_packet_get_remote_address(packet), "10.77.0.5");
    NS_CHECK_STREQ(cg_datagram_packet_get_local_address(packet), "10.77.0.5");
    cg_datagram_packet_delete(packet);
    cg_socket_delete(sender);
    cg_socket_delete(listener);
    return 0;
  });
}

TEST(HostInterfacesTest, JoinsIpv6GroupOnScopedInterface) {
  EXPECT_NETNS_BODY_PASSES(kOneInterfaceUp, [] {
    cg_socket* listener = cg_socket_new(CG_NET_SOCKET_DGRAM);
    NS_CHECK(cg_socket_bind(listener, 41900, "fe80::1", 0, 1) == 1);  // wildcard "::"
    char local[CG_NET_ADDRESS_TEXT_SIZE];
    NS_CHECK(cg_socket_get_local_address(listener, local, sizeof(local)) == 1);
    NS_CHECK_STREQ(local, "::");
    std::string scoped = "fe80::1%" + std::to_string(if_nametoindex("v0"));
    NS_CHECK(cg_socket_join_group(listener, "FF02::C", scoped.c_str()) == 1);
    NS_CHECK(cg_socket_join_group(listener, "FF02::C", "fe80::1%99999") == 0);  // no such index
    cg_socket_delete(listener);
    return 0;
  });
}

}  // namespace

TEST(AddressWatchTest, SaysWhenAnAddressComesOrGoesAndIsQuietOtherwise) {
  EXPECT_NETNS_BODY_PASSES(kOneInterfaceUp, [] {
    NS_CHECK(cg_net_address_watch_read(-1) == -1);
    int watch = cg_net_address_watch_open();
    NS_CHECK(watch >= 0);
    NS_CHECK(cg_net_address_watch_read(watch) == 0);  // nothing yet, and no block
    // A route is no address: nothing to act on.
    NS_CHECK(std::system("ip route add 10.78.0.0/24 dev v0") == 0);
    NS_CHECK(cg_net_address_watch_read(watch) == 0);
    // A link going down (v0 loses its carrier with its peer) counts too.
    for (const char* change : {"ip addr add 10.77.0.6/24 dev v0", "ip addr del 10.77.0.5/24 dev v0",
                               "ip link set v1 down"}) {
      NS_CHECK(std::system(change) == 0);
      NS_CHECK(cg_net_address_watch_read(watch) == 1);
      NS_CHECK(cg_net_address_watch_read(watch) == 0);  // each change is told once
    }
    cg_net_address_watch_close(watch);
    return 0;
  });
}
