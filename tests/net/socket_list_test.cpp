// The control server's client socket list.
#include <gtest/gtest.h>

#include "net/net.h"

namespace {

TEST(SocketListTest, KeepsOrderAndDeletesSocketsItRemoves) {
  int before = cg_socket_get_user_count();
  vel_socket_list* list = vel_socket_list_new();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(vel_socket_list_size(list), 0);
  EXPECT_EQ(vel_socket_list_first(list), nullptr);

  vel_socket* entries[3];
  for (int i = 0; i < 3; i++) {
    cg_socket* sock = cg_socket_new(CG_NET_SOCKET_STREAM);
    cg_string_set_int(sock->address, i);
    entries[i] = vel_socket_new(sock);
    vel_socket_list_add(list, entries[i]);
  }
  EXPECT_EQ(vel_socket_list_size(list), 3);
  EXPECT_EQ(cg_socket_get_user_count(), before + 3);

  vel_socket_list_remove(entries[1]);
  EXPECT_EQ(vel_socket_list_size(list), 2);
  EXPECT_EQ(cg_socket_get_user_count(), before + 2);  // its socket went with it
  vel_socket* first = vel_socket_list_first(list);
  ASSERT_EQ(first, entries[0]);
  EXPECT_STREQ(cg_socket_get_address(vel_socket_get_socket(first)), "0");
  ASSERT_EQ(vel_socket_next(first), entries[2]);
  EXPECT_EQ(vel_socket_next(entries[2]), nullptr);

  // Deleting a listed entry unlinks it, so the list stays whole.
  vel_socket_delete(entries[0]);
  EXPECT_EQ(vel_socket_list_size(list), 1);
  EXPECT_EQ(vel_socket_list_first(list), entries[2]);

  vel_socket_list_delete(list);
  EXPECT_EQ(cg_socket_get_user_count(), before);
}

TEST(SocketListTest, EntryWithoutSocket) {
  vel_socket* entry = vel_socket_new(nullptr);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(vel_socket_get_socket(entry), nullptr);
  vel_socket_delete(entry);
  vel_socket_delete(nullptr);
  vel_socket_list_delete(nullptr);
}

}  // namespace
