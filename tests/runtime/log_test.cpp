// Tests of the levelled log: default targets, masks, the line format, file targets.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "runtime/runtime.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { cg_log_reset(); }
  void TearDown() override { cg_log_reset(); }
  std::string temp_path(const char* name) {
    return ::testing::TempDir() + "vbd_log_" + std::to_string(getpid()) + "_" + name;
  }
};

TEST_F(LogTest, DefaultTargetsSplitLevels) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  cg_log_print(CG_LOG_ERROR, "./src", 48, "fn", "err %d\n", 1);
  cg_log_print(CG_LOG_INFO, "./src", 49, "fn", "info\n");
  cg_log_print(CG_LOG_DEBUG_L4, "./src", 50, "fn", "l4\n");
  cg_log_print(0, "./src", 51, "fn", "zero\n");
  fflush(stdout);
  fflush(stderr);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();

  EXPECT_NE(err.find(" : Error : ./src : 48 : fn :  err 1\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("info"), std::string::npos);
  EXPECT_NE(out.find(" : Info : ./src : 49 : fn :  info\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("err 1"), std::string::npos);
  EXPECT_EQ((out + err).find("l4"), std::string::npos);
  // Level 0 is covered by every mask and has no name.
  EXPECT_NE(out.find("Unknown : ./src : 51 : fn :  zero"), std::string::npos);
  EXPECT_NE(err.find("Unknown : ./src : 51 : fn :  zero"), std::string::npos);
}

TEST_F(LogTest, TimeIsInPosixCFormat) {
  std::string path = temp_path("time");
  ASSERT_EQ(cg_log_add_target(path.c_str(), 0xff), 1);
  cg_log_print(CG_LOG_ERROR, "s", 1, "f", "m\n");
  cg_log_reset();
  std::string line = read_file(path);
  // "Mon Dec  7 23:45:29 2026" is 24 characters, then the separator.
  ASSERT_GE(line.size(), 27u);
  EXPECT_EQ(line.substr(24, 3), " : ") << line;
  EXPECT_EQ(line[3], ' ');
  EXPECT_EQ(line[13], ':');
  std::remove(path.c_str());
}

TEST_F(LogTest, ExplicitTargetDisablesDefaultsAndSharesFiles) {
  std::string path = temp_path("shared");
  ASSERT_EQ(cg_log_add_target(path.c_str(), CG_LOG_ERROR | CG_LOG_WARNING), 1);
  ASSERT_EQ(cg_log_add_target(path.c_str(), CG_LOG_ERROR), 1);
  testing::internal::CaptureStderr();
  cg_log_print(CG_LOG_ERROR, "s", 1, "f", "twice\n");
  cg_log_print(CG_LOG_WARNING, "s", 2, "f", "once\n");
  cg_log_print(3, "s", 3, "f", "both bits\n");
  fflush(stderr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  cg_log_reset();
  std::string text = read_file(path);
  auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
  };
  EXPECT_EQ(count("twice"), 2u);
  EXPECT_EQ(count("once"), 1u);
  EXPECT_EQ(count("Unknown : s : 3 : f :  both bits"), 1u);
  std::remove(path.c_str());
  EXPECT_EQ(cg_log_add_target("/nonexistent-dir/x/y", 1), -1);
}

TEST_F(LogTest, LongMessagesAreCutAtTheLineBuffer) {
  std::string path = temp_path("long");
  ASSERT_EQ(cg_log_add_target(path.c_str(), 0xff), 1);
  cg_log_set_separator("|");
  std::string big(5000, 'x');
  cg_log_print(CG_LOG_ERROR, "s", 1, "f", "%s\n", big.c_str());
  // A prefix that fills the buffer alone leaves no room for the message.
  std::string long_source(3000, 's');
  cg_log_print(CG_LOG_ERROR, long_source.c_str(), 2, "f", "MESSAGE\n");
  cg_log_reset();
  std::string text = read_file(path);
  ASSERT_EQ(text.size(), 2u * (CG_LOG_LINE_SIZE - 1));
  EXPECT_EQ(text.find("|Error|s|1|f| x"), 24u);
  EXPECT_EQ(text.find("MESSAGE"), std::string::npos);
  std::remove(path.c_str());
}

}  // namespace
