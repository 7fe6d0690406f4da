// Reply formatting: reply codes, every status layout at and just past its
// bounds, untrusted flag and text values, and bounded writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "app/v232cmd.h"

namespace {

// Builds a status record (ret_id 10) for one command, with fields written at
// their offsets within the 44-byte record.
class record {
 public:
  explicit record(int cmd_id, int ret_id = V232CMD_RET_STATUS) {
    std::memset(&ret_, 0, sizeof ret_);
    ret_.ret_id = ret_id;
    ret_.cmd_id = cmd_id;
  }
  record& i32(size_t offset, int32_t v) { return put(offset, v); }
  record& u16(size_t offset, uint16_t v) { return put(offset, v); }
  record& u8(size_t offset, uint8_t v) { return put(offset, v); }
  record& text(const std::string& s) {
    std::memcpy(ret_.data, s.data(), std::min(s.size(), sizeof ret_.data));
    return *this;
  }
  const v232cmd_ret* get() const { return &ret_; }

 private:
  template <typename T>
  record& put(size_t offset, T v) {
    std::memcpy(reinterpret_cast<char*>(&ret_) + offset, &v, sizeof v);
    return *this;
  }
  v232cmd_ret ret_;
};

struct converted {
  int rc;
  std::string text;
};

// The standby state the daemon starts with (no report yet): in standby.
constexpr int kInStandby = 1;
constexpr int kOn = 0;

converted convert(const record& r, int size = V232CMD_REPLY_BUFFER_SIZE, int standby = kInStandby) {
  char buf[64];
  std::memset(buf, '#', sizeof buf);
  const int rc = v232cmd_conv_ret_to_string(r.get(), standby, buf, size);
  return {rc, std::string(buf, strnlen(buf, static_cast<size_t>(size)))};
}

std::string text_of(const record& r, int standby = kInStandby) {
  return convert(r, V232CMD_REPLY_BUFFER_SIZE, standby).text;
}

record a_long(int kind, uint16_t a, uint16_t b, uint8_t c, uint8_t d, uint8_t e) {
  return record(12).i32(8, kind).u16(12, a).u16(14, b).u8(16, c).u8(17, d).u8(18, e);
}

}  // namespace

TEST(V232cmdReply, ReplyCodesWithoutLogLine) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(text_of(record(6, 0)), "");
  EXPECT_EQ(text_of(record(6, 1)), "R");
  EXPECT_EQ(text_of(record(6, 3)), "E04");
  EXPECT_EQ(text_of(record(6, 6)), "E12");
  const converted e99 = convert(record(6, 9));
  EXPECT_EQ(e99.rc, 0);
  EXPECT_EQ(e99.text, "E99");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(V232cmdReply, UnconvertibleRecordLeavesBufferUnchanged) {
  char buf[V232CMD_REPLY_BUFFER_SIZE];
  for (int ret_id : {11, -1, 1000}) {
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(v232cmd_conv_ret_to_string(record(6, ret_id).get(), kInStandby, buf, sizeof buf), 1) << ret_id;
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(buf[sizeof buf - 1], '#');
  }
  EXPECT_EQ(v232cmd_conv_ret_to_string(nullptr, kInStandby, buf, sizeof buf), 1);
  EXPECT_EQ(v232cmd_conv_ret_to_string(record(6, 1).get(), kInStandby, nullptr, 33), 1);
  EXPECT_EQ(v232cmd_conv_ret_to_string(record(6, 1).get(), kInStandby, buf, 0), 1);
  EXPECT_EQ(buf[0], '#');
}

TEST(V232cmdReply, StatusWithoutStatusFormIsE99WithLogLine) {
  testing::internal::CaptureStdout();
  const converted pl = convert(record(6));
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(pl.rc, 1);
  EXPECT_EQ(pl.text, "E99");
  EXPECT_EQ(log, "v232cmd_conv_ret_to_string: this command is not support request status: cmd.id=6\n");

  for (int cmd_id : {1, 11, 24, 28, 29, -1}) {
    testing::internal::CaptureStdout();
    const converted c = convert(record(cmd_id));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(c.rc, 1) << cmd_id;
    EXPECT_EQ(c.text, "E99") << cmd_id;
  }
}

TEST(V232cmdReply, LastErrorFollowsStandbyState) {
  EXPECT_EQ(text_of(record(0), kInStandby), "E04");
  EXPECT_EQ(text_of(record(0), kOn), "00");
  EXPECT_EQ(text_of(record(0), 2), "00");
  // Only "?E" depends on it: other replies read the same in standby.
  EXPECT_EQ(text_of(record(21).i32(8, 4), kInStandby), "P04");
  EXPECT_EQ(text_of(record(0, V232CMD_RET_E06), kOn), "E06");
  EXPECT_EQ(text_of(record(6, V232CMD_RET_OK), kInStandby), "R");
}

TEST(V232cmdReply, ElapsedLongAndShortForms) {
  EXPECT_EQ(text_of(a_long(2, 12, 345, 1, 2, 3)), "012345010203");
  EXPECT_EQ(text_of(a_long(0, 999, 999, 99, 99, 99)), "999999999999");
  EXPECT_EQ(text_of(a_long(3, 1000, 0, 0, 0, 0)), "E04");
  EXPECT_EQ(text_of(a_long(3, 0, 1000, 0, 0, 0)), "E04");
  EXPECT_EQ(text_of(a_long(3, 0, 0, 100, 0, 0)), "E04");
  EXPECT_EQ(text_of(a_long(3, 0, 0, 0, 100, 0)), "E04");
  EXPECT_EQ(text_of(a_long(3, 0, 0, 0, 0, 100)), "E04");

  EXPECT_EQ(text_of(a_long(4, 5, 6, 1, 10, 7)), "05067007");
  EXPECT_EQ(text_of(a_long(5, 99, 99, 1, 39, 99)), "99999999");
  EXPECT_EQ(text_of(a_long(4, 5, 6, 1, 40, 7)), "E04");  // 100 minutes
  EXPECT_EQ(text_of(a_long(4, 100, 0, 0, 0, 0)), "E04");
  EXPECT_EQ(text_of(a_long(4, 0, 100, 0, 0, 0)), "E04");
  EXPECT_EQ(text_of(a_long(4, 0, 0, 0, 0, 100)), "E04");
  EXPECT_EQ(text_of(a_long(4, 0, 0, 255, 255, 0)), "E04");  // no wrap of hours*60

  EXPECT_EQ(text_of(a_long(6, 0, 0, 0, 0, 0)), "E04");
  EXPECT_EQ(text_of(a_long(-1, 0, 0, 0, 0, 0)), "E04");
}

TEST(V232cmdReply, RepeatAndChapterAndTitle) {
  EXPECT_EQ(text_of(record(13).i32(8, 0).u16(12, 999)), "999");
  EXPECT_EQ(text_of(record(13).i32(8, 0).u16(12, 1000)), "E04");
  EXPECT_EQ(text_of(record(13).i32(8, 5).u16(12, 7)), "07");
  EXPECT_EQ(text_of(record(13).i32(8, 5).u16(12, 100)), "E04");
  EXPECT_EQ(text_of(record(13).i32(8, 6).u16(12, 1)), "E04");

  EXPECT_EQ(text_of(record(14).u16(8, 999)), "999");
  EXPECT_EQ(text_of(record(14).u16(8, 7)), "007");
  EXPECT_EQ(text_of(record(14).u16(8, 1000)), "E04");

  EXPECT_EQ(text_of(record(15).i32(8, 1).u16(12, 1234).u8(14, 5)), "123405");
  EXPECT_EQ(text_of(record(15).i32(8, 1).u16(12, 9999).u8(14, 99)), "999999");
  EXPECT_EQ(text_of(record(15).i32(8, 1).u16(12, 10000).u8(14, 0)), "E04");
  EXPECT_EQ(text_of(record(15).i32(8, 1).u16(12, 0).u8(14, 100)), "E04");
  EXPECT_EQ(text_of(record(15).i32(8, 4).u16(12, 99).u8(14, 99)), "9999");
  EXPECT_EQ(text_of(record(15).i32(8, 4).u16(12, 100).u8(14, 0)), "E04");
  EXPECT_EQ(text_of(record(15).i32(8, 4).u16(12, 0).u8(14, 100)), "E04");
  EXPECT_EQ(text_of(record(15).i32(8, 7).u16(12, 0).u8(14, 0)), "E04");

  EXPECT_EQ(text_of(record(16).u8(8, 99).u8(9, 3)), "9903");
  EXPECT_EQ(text_of(record(16).u8(8, 100).u8(9, 0)), "E04");
  EXPECT_EQ(text_of(record(16).u8(8, 0).u8(9, 100)), "E04");
}

TEST(V232cmdReply, FlagLayouts) {
  record k(17);
  k.i32(8, 1).i32(12, 2).u8(16, 0).u8(17, 1).u8(18, 9).u8(19, 10).u8(20, 255).u8(21, 3);
  EXPECT_EQ(text_of(k), "1x019xx3");
  EXPECT_EQ(text_of(record(17).i32(8, 3)), "E04");
  EXPECT_EQ(text_of(record(17).i32(12, -1)), "E04");

  for (int cmd : {18, 19}) {
    EXPECT_EQ(text_of(record(cmd).i32(8, 0).i32(12, 1).i32(16, 2)), "0xx1x") << cmd;
    EXPECT_EQ(text_of(record(cmd).i32(8, 3)), "E04") << cmd;
    EXPECT_EQ(text_of(record(cmd).i32(12, 3)), "E04") << cmd;
    EXPECT_EQ(text_of(record(cmd).i32(16, -2147483647 - 1)), "E04") << cmd;
  }

  EXPECT_EQ(text_of(record(20).i32(8, 2).i32(12, 3).i32(16, 6)), "xxx");
  EXPECT_EQ(text_of(record(20).i32(8, 1).i32(12, 2).i32(16, 5)), "125");
  EXPECT_EQ(text_of(record(20).i32(8, 3)), "E04");
  EXPECT_EQ(text_of(record(20).i32(12, 4)), "E04");
  EXPECT_EQ(text_of(record(20).i32(16, 7)), "E04");
}

TEST(V232cmdReply, PlayerNumber) {
  EXPECT_EQ(text_of(record(21).i32(8, 0)), "P00");
  EXPECT_EQ(text_of(record(21).i32(8, 7)), "P07");
  EXPECT_EQ(text_of(record(21).i32(8, 9)), "P09");
  EXPECT_EQ(text_of(record(21).i32(8, 10)), "E04");
  EXPECT_EQ(text_of(record(21).i32(8, -1)), "E04");
}

TEST(V232cmdReply, TextRepliesStayInsideRecordAndBuffer) {
  const std::string s31(31, 'a');
  const std::string s35 = "0123456789abcdefghijklmnopqrstuvwxy";
  for (int cmd : {22, 23}) {
    EXPECT_EQ(text_of(record(cmd).text(s31)), s31) << cmd;
    EXPECT_EQ(text_of(record(cmd).text(s35)), s35.substr(0, 32)) << cmd;
    EXPECT_EQ(text_of(record(cmd)), "") << cmd;
  }
  // 36 bytes without a NUL: a larger buffer gets exactly the 36 bytes.
  const std::string s36(36, 'z');
  EXPECT_EQ(convert(record(22).text(s36), 64).text, s36);
}

TEST(V232cmdReply, WritesAreCutToTheBuffer) {
  EXPECT_EQ(convert(record(6, 3), 3).text, "E0");
  EXPECT_EQ(convert(record(6, 3), 1).text, "");
  EXPECT_EQ(convert(a_long(2, 12, 345, 1, 2, 3), 5).text, "0123");
  EXPECT_EQ(convert(record(21).i32(8, 10), 2).text, "E");
  EXPECT_EQ(convert(record(22).text(std::string(36, 'q')), 10).text, std::string(9, 'q'));

  // Nothing is written past the given size, and the text is terminated.
  char buf[16];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(v232cmd_conv_ret_to_string(a_long(2, 12, 345, 1, 2, 3).get(), kInStandby, buf, 8), 0);
  EXPECT_STREQ(buf, "0123450");
  EXPECT_EQ(buf[8], '#');

  testing::internal::CaptureStdout();
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(v232cmd_conv_ret_to_string(record(6).get(), kInStandby, buf, 2), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_STREQ(buf, "E");
  EXPECT_EQ(buf[2], '#');
}
