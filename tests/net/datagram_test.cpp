// Datagram sockets on loopback and the datagram packet record.
#include <sys/socket.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "net/net.h"
#include "tests/net/loopback.h"

namespace {

// A datagram socket bound to 127.0.0.1 on a free port, with a receive
// time-out so a lost datagram fails the test instead of hanging it.
cg_socket* bound_receiver(int* port) {
  *port = free_loopback_port(SOCK_DGRAM);
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_DGRAM);
  if (cg_socket_bind(sock, *port, "127.0.0.1", 1, 1) != 1) return sock;
  cg_socket_set_timeout(sock, 5);
  return sock;
}

TEST(DatagramTest, LongDatagramIsCutTo512Bytes) {
  int port = 0;
  cg_socket* receiver = bound_receiver(&port);
  ASSERT_EQ(cg_socket_is_open(receiver), 1);

  std::string payload;
  for (int i = 0; i < 600; i++) payload.push_back(static_cast<char>('a' + i % 26));
  cg_socket* sender = cg_socket_new(CG_NET_SOCKET_DGRAM);
  EXPECT_EQ(cg_socket_send_to(sender, "127.0.0.1", port, payload.data(), 600), 600);

  cg_datagram_packet* packet = cg_datagram_packet_new();
  ASSERT_EQ(cg_socket_recv_datagram(receiver, packet), 512);
  EXPECT_EQ(cg_datagram_packet_get_length(packet), 512);
  EXPECT_EQ(std::string(cg_datagram_packet_get_data(packet)), payload.substr(0, 512));
  EXPECT_EQ(cg_datagram_packet_get_local_port(packet), port);
  EXPECT_STREQ(cg_datagram_packet_get_remote_address(packet), "127.0.0.1");
  EXPECT_GT(cg_datagram_packet_get_remote_port(packet), 0);
  // The local address depends on the host's interfaces; it is always a text.
  EXPECT_GT(std::strlen(cg_datagram_packet_get_local_address(packet)), 0u);

  cg_datagram_packet_delete(packet);
  cg_socket_delete(sender);
  cg_socket_delete(receiver);
}

TEST(DatagramTest, SendOnIdleSocketLeavesItIdle) {
  int port = 0;
  cg_socket* receiver = bound_receiver(&port);
  cg_socket* sender = cg_socket_new(CG_NET_SOCKET_DGRAM);
  EXPECT_EQ(cg_socket_send_to(sender, "127.0.0.1", port, "M-SEARCH", -1), 8);
  EXPECT_EQ(cg_socket_get_fd(sender), -1);
  EXPECT_STREQ(cg_socket_get_address(sender), "");
  EXPECT_EQ(cg_socket_get_port(sender), -1);

  cg_datagram_packet* packet = cg_datagram_packet_new();
  ASSERT_EQ(cg_socket_recv_datagram(receiver, packet), 8);
  EXPECT_STREQ(cg_datagram_packet_get_data(packet), "M-SEARCH");
  cg_datagram_packet_delete(packet);
  cg_socket_delete(sender);
  cg_socket_delete(receiver);
}

TEST(DatagramTest, SendOnOpenSocketUsesItsDescriptor) {
  int port = 0;
  cg_socket* receiver = bound_receiver(&port);
  int sender_port = 0;
  cg_socket* sender = bound_receiver(&sender_port);
  int fd = cg_socket_get_fd(sender);
  EXPECT_EQ(cg_socket_send_to(sender, "127.0.0.1", port, "hi", 2), 2);
  EXPECT_EQ(cg_socket_get_fd(sender), fd);

  cg_datagram_packet* packet = cg_datagram_packet_new();
  ASSERT_EQ(cg_socket_recv_datagram(receiver, packet), 2);
  EXPECT_EQ(cg_datagram_packet_get_remote_port(packet), sender_port);
  cg_datagram_packet_delete(packet);
  cg_socket_delete(sender);
  cg_socket_delete(receiver);
}

TEST(DatagramTest, NothingToSendAndUnresolvableDestination) {
  cg_socket* sender = cg_socket_new(CG_NET_SOCKET_DGRAM);
  EXPECT_EQ(cg_socket_send_to(sender, "127.0.0.1", 9, nullptr, 5), 0);
  EXPECT_EQ(cg_socket_send_to(sender, "127.0.0.1", 9, "", -1), 0);
  EXPECT_EQ(cg_socket_send_to(sender, "127.0.0.1", 9, "abc", 0), 0);
  EXPECT_EQ(cg_socket_send_to(sender, "not-an-address", 9, "abc", 3), -1);
  EXPECT_EQ(cg_socket_get_fd(sender), -1);
  cg_socket_delete(sender);
}

TEST(DatagramTest, FailedReceiveLeavesPacketUnchanged) {
  cg_socket* idle = cg_socket_new(CG_NET_SOCKET_DGRAM);
  cg_datagram_packet* packet = cg_datagram_packet_new();
  cg_datagram_packet_set_data(packet, "old", 3);
  cg_datagram_packet_set_remote_address(packet, "10.77.0.9");
  cg_datagram_packet_set_remote_port(packet, 1900);
  EXPECT_EQ(cg_socket_recv_datagram(idle, packet), 0);
  EXPECT_STREQ(cg_datagram_packet_get_data(packet), "old");
  EXPECT_STREQ(cg_datagram_packet_get_remote_address(packet), "10.77.0.9");
  EXPECT_EQ(cg_datagram_packet_get_remote_port(packet), 1900);
  cg_datagram_packet_delete(packet);
  cg_socket_delete(idle);
}

TEST(DatagramPacketTest, AccessorsCopyAndClear) {
  cg_datagram_packet* packet = cg_datagram_packet_new();
  ASSERT_NE(packet, nullptr);
  EXPECT_STREQ(cg_datagram_packet_get_data(packet), "");
  EXPECT_STREQ(cg_datagram_packet_get_local_address(packet), "");
  cg_datagram_packet_set_data(packet, "a\0b", 3);  // bytes, not only text
  cg_datagram_packet_set_local_address(packet, "10.77.0.5");
  cg_datagram_packet_set_local_port(packet, 1900);
  cg_datagram_packet_set_remote_address(packet, "10.77.0.9");
  cg_datagram_packet_set_remote_port(packet, 5000);

  cg_datagram_packet* copy = cg_datagram_packet_new();
  cg_datagram_packet_copy(copy, packet);
  EXPECT_EQ(cg_datagram_packet_get_length(copy), 3);
  EXPECT_EQ(std::memcmp(cg_datagram_packet_get_data(copy), "a\0b", 4), 0);
  EXPECT_STREQ(cg_datagram_packet_get_local_address(copy), "10.77.0.5");
  EXPECT_EQ(cg_datagram_packet_get_local_port(copy), 1900);
  EXPECT_STREQ(cg_datagram_packet_get_remote_address(copy), "10.77.0.9");
  EXPECT_EQ(cg_datagram_packet_get_remote_port(copy), 5000);

  cg_datagram_packet_clear(packet);
  EXPECT_EQ(cg_datagram_packet_get_length(packet), 0);
  EXPECT_STREQ(cg_datagram_packet_get_remote_address(packet), "");
  EXPECT_EQ(cg_datagram_packet_get_remote_port(packet), 0);
  cg_datagram_packet_delete(packet);
  cg_datagram_packet_delete(copy);
  cg_datagram_packet_delete(nullptr);
}

}  // namespace
