// Address texts and interface records (no kernel involved).
#include <cstdlib>

#include <gtest/gtest.h>

#include "net/net.h"

namespace {

TEST(AddressTextTest, Ipv6Test) {
  EXPECT_EQ(cg_net_is_ipv6_address("fe80::1%3"), 1);
  EXPECT_EQ(cg_net_is_ipv6_address("fe80::1"), 1);
  EXPECT_EQ(cg_net_is_ipv6_address("FF02::C"), 1);
  EXPECT_EQ(cg_net_is_ipv6_address("192.168.0.5"), 0);
  EXPECT_EQ(cg_net_is_ipv6_address("::1"), 0);  // its first character is the colon
  EXPECT_EQ(cg_net_is_ipv6_address(""), 0);
  EXPECT_EQ(cg_net_is_ipv6_address(nullptr), 0);
}

TEST(AddressTextTest, ScopeNumber) {
  EXPECT_EQ(cg_net_ipv6_scope_id("fe80::1%3"), 3);
  EXPECT_EQ(cg_net_ipv6_scope_id("fe80::1"), 0);
  EXPECT_EQ(cg_net_ipv6_scope_id("fe80::1%12x"), 12);        // leading digits count
  EXPECT_EQ(cg_net_ipv6_scope_id("fe80::1%eth0"), 0);
  EXPECT_EQ(cg_net_ipv6_scope_id("fe80::1%123456789"), 12345678);  // 8 characters at most
  EXPECT_EQ(cg_net_ipv6_scope_id("fe80::1%"), 0);
  EXPECT_EQ(cg_net_ipv6_scope_id("10.0.0.1%3"), 0);          // not IPv6
  EXPECT_EQ(cg_net_ipv6_scope_id("::1%3"), 0);
  EXPECT_EQ(cg_net_ipv6_scope_id(nullptr), 0);
}

cg_net_interface* make_interface(const char* name, const char* address, const char* netmask) {
  cg_net_interface* netif = cg_net_interface_new();
  cg_net_interface_set_name(netif, name);
  cg_net_interface_set_address(netif, address);
  cg_net_interface_set_netmask(netif, netmask);
  return netif;
}

TEST(InterfaceListTest, RecordsAndList) {
  cg_net_interface* empty = cg_net_interface_new();
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(cg_net_interface_get_name(empty), "");
  EXPECT_STREQ(cg_net_interface_get_address(empty), "");
  EXPECT_STREQ(cg_net_interface_get_netmask(empty), "");
  cg_net_interface_delete(empty);

  cg_net_interface_list* list = cg_net_interface_list_new();
  EXPECT_EQ(cg_net_interface_list_size(list), 0);
  EXPECT_EQ(cg_net_interface_list_first(list), nullptr);
  cg_net_interface* a = make_interface("eth0", "192.168.0.5", "255.255.255.0");
  cg_net_interface* b = make_interface("eth1", "10.77.1.5", "255.255.0.0");
  cg_net_interface_list_add(list, a);
  cg_net_interface_list_add(list, b);
  EXPECT_EQ(cg_net_interface_list_size(list), 2);
  EXPECT_EQ(cg_net_interface_list_get(list, 1), b);
  EXPECT_EQ(cg_net_interface_list_get(list, 2), nullptr);
  EXPECT_EQ(cg_net_interface_list_get(list, -1), nullptr);
  EXPECT_EQ(cg_net_interface_next(a), b);
  EXPECT_EQ(cg_net_interface_next(b), nullptr);
  EXPECT_STREQ(cg_net_interface_get_name(a), "eth0");

  cg_net_interface_delete(a);  // unlinks itself
  EXPECT_EQ(cg_net_interface_list_size(list), 1);
  EXPECT_EQ(cg_net_interface_list_first(list), b);
  cg_net_interface_list_delete(list);
}

TEST(InterfaceListTest, FindsTheInterfaceWhoseSubnetHoldsThePeer) {
  cg_net_interface_list* list = cg_net_interface_list_new();
  cg_net_interface_list_add(list, make_interface("v0", "10.77.0.5", "255.255.255.0"));
  cg_net_interface_list_add(list, make_interface("v1", "10.77.1.5", "255.255.255.0"));
  cg_net_interface_list_add(list, make_interface("v2", "10.78.0.5", ""));  // mask unknown

  cg_net_interface* found = cg_net_interface_list_find_for_peer(list, "10.77.1.200");
  ASSERT_NE(found, nullptr);
  EXPECT_STREQ(cg_net_interface_get_name(found), "v1");
  found = cg_net_interface_list_find_for_peer(list, "10.77.0.1");
  ASSERT_NE(found, nullptr);
  EXPECT_STREQ(cg_net_interface_get_name(found), "v0");
  EXPECT_EQ(cg_net_interface_list_find_for_peer(list, "10.78.0.9"), nullptr);
  EXPECT_EQ(cg_net_interface_list_find_for_peer(list, "192.0.2.1"), nullptr);
  EXPECT_EQ(cg_net_interface_list_find_for_peer(list, "fe80::1"), nullptr);
  EXPECT_EQ(cg_net_interface_list_find_for_peer(list, ""), nullptr);
  EXPECT_EQ(cg_net_interface_list_find_for_peer(list, nullptr), nullptr);
  cg_net_interface_list_delete(list);
}

}  // namespace
