// Registered clients and MAC address parsing.
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "velProtocol/control_server/control_server.h"

namespace {

TEST(mac_address, ParsesSixHexFieldsInEitherCase) {
  unsigned char out[6] = {};
  ASSERT_EQ(vel_mac_address_parse("00:1a:2B:ff:FE:09", out), 1);
  const unsigned char want[6] = {0x00, 0x1A, 0x2B, 0xFF, 0xFE, 0x09};
  EXPECT_EQ(std::memcmp(out, want, 6), 0);
}

TEST(mac_address, RejectsAnythingElseAndLeavesOutputAlone) {
  const char* bad[] = {
      "00:11:22:33:44:5",    // 16 characters
      "00:11:22:33:44:555",  // 18 characters
      "00-11-22-33-44-55",   // wrong separator
      "00:11:22:33:44:5g",   // not hexadecimal
      " 0:11:22:33:44:55",   // space inside a field
      "+0:11:22:33:44:55",   // sign inside a field
      "zzzzzzzzzzzzzzzzz",   // 17 characters of nothing
      "",
  };
  for (const char* text : bad) {
    unsigned char out[6] = {7, 7, 7, 7, 7, 7};
    EXPECT_EQ(vel_mac_address_parse(text, out), 0) << text;
    for (unsigned char b : out) EXPECT_EQ(b, 7) << text;
  }
  unsigned char out[6];
  EXPECT_EQ(vel_mac_address_parse(nullptr, out), 0);
}

class client_list_test : public ::testing::Test {
 protected:
  void SetUp() override { list_ = vel_protocolo_server_clientlist_new(); }
  void TearDown() override { vel_protocolo_server_clientlist_delete(list_); }
  vel_protocolo_server_client_list* list_ = nullptr;
};

TEST_F(client_list_test, FirstRequestIsRecordedNotAdmitted) {
  EXPECT_EQ(vel_protocolo_server_clientlist_check(list_, nullptr, "x"), 0);
  EXPECT_EQ(vel_protocolo_server_clientlist_size(list_), 0);

  EXPECT_EQ(vel_protocolo_server_clientlist_check(list_, "aa:bb:cc:dd:ee:ff", "phone"), 0);
  ASSERT_EQ(vel_protocolo_server_clientlist_size(list_), 1);
  auto* entry = vel_protocolo_server_clientlist_first(list_);
  EXPECT_STREQ(cg_string_value(entry->mac), "aa:bb:cc:dd:ee:ff");
  EXPECT_STREQ(cg_string_value(entry->name), "phone");
  EXPECT_EQ(entry->allowed, nullptr);

  // Matching compares the bytes, not the text.
  EXPECT_EQ(vel_protocolo_server_clientlist_check(list_, "AA:BB:CC:DD:EE:FF", "other"), 0);
  EXPECT_EQ(vel_protocolo_server_clientlist_size(list_), 1);
  entry->allowed = entry;
  EXPECT_EQ(vel_protocolo_server_clientlist_check(list_, "AA:BB:CC:DD:EE:FF", nullptr), 1);
}

TEST_F(client_list_test, FirstMatchInOrderDecides) {
  auto* denied = vel_protocolo_server_clientlist_add(list_, "01:02:03:04:05:06", "first");
  auto* allowed = vel_protocolo_server_clientlist_add(list_, "01:02:03:04:05:06", "second");
  ASSERT_NE(denied, nullptr);
  allowed->allowed = allowed;
  EXPECT_EQ(vel_protocolo_server_clientlist_check(list_, "01:02:03:04:05:06", ""), 0);
}

TEST_F(client_list_test, GrowthIsBounded) {
  // Texts that are no MAC address can never match: they are not learned.
  EXPECT_EQ(vel_protocolo_server_clientlist_check(list_, "not-a-mac", "x"), 0);
  EXPECT_EQ(vel_protocolo_server_clientlist_size(list_), 0);
  char mac[32];
  for (int i = 0; i < VEL_PROTOCOL_SERVER_MAX_LEARNED_CLIENTS + 10; i++) {
    std::snprintf(mac, sizeof(mac), "00:00:00:00:%02x:%02x", i >> 8, i & 0xFF);
    vel_protocolo_server_clientlist_check(list_, mac, "n");
  }
  EXPECT_EQ(vel_protocolo_server_clientlist_size(list_), VEL_PROTOCOL_SERVER_MAX_LEARNED_CLIENTS);
}

TEST(client_entry, CopiesBothTextsAndUnlinksOnDelete) {
  char mac[] = "10:20:30:40:50:60";
  vel_protocolo_server_client_list* list = vel_protocolo_server_clientlist_new();
  auto* entry = vel_protocolo_server_clientlist_add(list, mac, "tv");
  mac[0] = '9';
  EXPECT_STREQ(cg_string_value(entry->mac), "10:20:30:40:50:60");
  vel_protocolo_server_client_delete(entry);
  EXPECT_EQ(vel_protocolo_server_clientlist_size(list), 0);
  vel_protocolo_server_clientlist_delete(list);
}

}  // namespace
