// Request-line processing as clients see it: which commands run with which
// parameter, and which replies go out in which order, driven through
// recording command and reply functions.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/v232cmd.h"

namespace {

constexpr int kUserValue = 7;
constexpr int kLeaveAsPrepared = -1;
// The standby state the replies are formatted with (only "?E" reads it).
constexpr int kStandby = 1;

struct answer {
  int rc;      // command function result
  int ret_id;  // response code to set, or kLeaveAsPrepared
};

using command = std::pair<int, int32_t>;  // index, parameter

struct recorder {
  std::map<int, answer> answers;  // by command index; default "R", or status for queries
  std::vector<command> commands;
  std::vector<std::string> replies;  // "text@code"
};

recorder* active = nullptr;

int record_command(const v232cmd_req* req, v232cmd_ret* ret, int user_value) {
  EXPECT_EQ(user_value, kUserValue);
  EXPECT_EQ(ret->ret_id, V232CMD_RET_E04);  // prepared as "E04"
  EXPECT_EQ(ret->cmd_id, req->cmd);
  active->commands.emplace_back(req->cmd, req->param);
  const bool query = req->cmd >= 12 && req->cmd <= 23;
  answer a{0, query ? V232CMD_RET_STATUS : V232CMD_RET_OK};
  if (auto it = active->answers.find(req->cmd); it != active->answers.end()) a = it->second;
  if (a.ret_id != kLeaveAsPrepared) ret->ret_id = a.ret_id;
  return a.rc;
}

int record_reply(int code, const v232cmd_ret* ret, int user_value) {
  EXPECT_EQ(user_value, kUserValue);
  char buf[V232CMD_REPLY_BUFFER_SIZE];
  EXPECT_EQ(v232cmd_conv_ret_to_string(ret, kStandby, buf, sizeof buf), 0);
  active->replies.push_back(std::string(buf) + "@" + std::to_string(code));
  return 0;
}

class V232cmdParser : public testing::Test {
 protected:
  void SetUp() override { active = &rec_; }
  void TearDown() override { active = nullptr; }

  // Runs a line held in a buffer of exactly its length (no terminator), so
  // a read past the line is caught by the address sanitizer.
  int run(const std::string& line) {
    rec_.commands.clear();
    rec_.replies.clear();
    std::vector<char> exact(line.begin(), line.end());
    return v232cmd_process(exact.data(), static_cast<int>(exact.size()), record_command, record_reply,
                           kUserValue);
  }
  const std::vector<command>& commands() const { return rec_.commands; }
  const std::vector<std::string>& replies() const { return rec_.replies; }

  recorder rec_;
};

using cmds = std::vector<command>;
using texts = std::vector<std::string>;

}  // namespace

TEST_F(V232cmdParser, OneActionCommandOneReplyAtEndOfLine) {
  EXPECT_EQ(run("PL"), 0);
  EXPECT_EQ(commands(), (cmds{{6, 0}}));
  EXPECT_EQ(replies(), (texts{"R@65534"}));

  run("pl");
  EXPECT_EQ(commands(), (cmds{{6, 0}}));
  run("99RJ");
  EXPECT_EQ(commands(), (cmds{{5, 0}}));
  run("Nf");
  EXPECT_EQ(commands(), (cmds{{25, 0}}));
}

TEST_F(V232cmdParser, DecimalCapture) {
  run("12KL");
  EXPECT_EQ(commands(), (cmds{{11, 12}}));
  run("#KL");
  EXPECT_EQ(commands(), (cmds{{11, 0}}));
  run("0sw");
  EXPECT_EQ(commands(), (cmds{{24, 0}}));
  // Eleven digits wrap modulo 2^32: 12345678901 - 2 * 2^32 = 3755744309.
  run("12345678901KL");
  EXPECT_EQ(commands(), (cmds{{11, static_cast<int32_t>(3755744309u)}}));
  run("4294967295KL");
  EXPECT_EQ(commands(), (cmds{{11, -1}}));
  run("4294967296KL");
  EXPECT_EQ(commands(), (cmds{{11, 0}}));
  EXPECT_EQ(replies(), (texts{"R@65534"}));
}

TEST_F(V232cmdParser, HexCapture) {
  run("/0000ABCD/RU");
  EXPECT_EQ(commands(), (cmds{{27, 0xABCD}}));
  run("L/0000abcd/RU");
  EXPECT_EQ(commands(), (cmds{{28, 0xABCD}}));
  run("l/FFFFFFFF/ru");
  EXPECT_EQ(commands(), (cmds{{28, -1}}));
  run("/$/RU");  // the pattern typed literally
  EXPECT_EQ(commands(), (cmds{{27, 0}}));
  EXPECT_EQ(replies(), (texts{"R@65534"}));

  for (const char* bad : {"/12/RU", "/0000ABCG/RU", "/0000ABCD1/RU", "/0000ABC/RU", "/0000ABCD"}) {
    run(bad);
    EXPECT_EQ(commands(), cmds{}) << bad;
    EXPECT_EQ(replies(), (texts{"E04@65535"})) << bad;
  }
}

TEST_F(V232cmdParser, AnythingNotAMnemonicSendsE04AndEndsTheLine) {
  run("PN PL");
  EXPECT_EQ(commands(), (cmds{{1, 0}}));
  EXPECT_EQ(replies(), (texts{"E04@65535"}));

  for (const char* bad : {" ", "X", "P", "BIN", "12", "12K", "?", ",PL"}) {
    run(bad);
    EXPECT_EQ(commands(), cmds{}) << bad;
    EXPECT_EQ(replies(), (texts{"E04@65535"})) << bad;
  }
}

TEST_F(V232cmdParser, BackToBackActionsSendOnlyTheLastReply) {
  run("PNPL");
  EXPECT_EQ(commands(), (cmds{{1, 0}, {6, 0}}));
  EXPECT_EQ(replies(), (texts{"R@65534"}));

  rec_.answers[6] = {0, V232CMD_RET_NONE};  // PL answers nothing: PN's reply is lost too
  run("PNPL");
  EXPECT_EQ(commands(), (cmds{{1, 0}, {6, 0}}));
  EXPECT_EQ(replies(), texts{});
}

TEST_F(V232cmdParser, StatusRepliesGoOutAtOnce) {
  run("?APL");
  EXPECT_EQ(commands(), (cmds{{12, 0}, {6, 0}}));
  EXPECT_EQ(replies(), (texts{"000000000000@0", "R@65534"}));

  run("PL?P");  // the status reply replaces PL's pending one
  EXPECT_EQ(commands(), (cmds{{6, 0}, {21, 0}}));
  EXPECT_EQ(replies(), (texts{"P00@0"}));
}

TEST_F(V232cmdParser, FirstErrorEndsTheLine) {
  rec_.answers[6] = {0, V232CMD_RET_E12};
  run("PNPLST");
  EXPECT_EQ(commands(), (cmds{{1, 0}, {6, 0}}));
  EXPECT_EQ(replies(), (texts{"E12@0"}));

  // A failed exchange leaves the prepared "E04".
  rec_.answers[6] = {3, kLeaveAsPrepared};
  run("PLST");
  EXPECT_EQ(commands(), (cmds{{6, 0}}));
  EXPECT_EQ(replies(), (texts{"E04@0"}));

  // A failure that cleared the response sends nothing.
  rec_.answers[6] = {3, V232CMD_RET_NONE};
  run("PLST");
  EXPECT_EQ(commands(), (cmds{{6, 0}}));
  EXPECT_EQ(replies(), texts{});

  // Codes outside 2..10 do not stop the line.
  rec_.answers[6] = {0, 11};
  rec_.answers[7] = {0, V232CMD_RET_OK};
  run("PLST");
  EXPECT_EQ(commands(), (cmds{{6, 0}, {7, 0}}));
  EXPECT_EQ(replies(), (texts{"R@65534"}));
}

TEST_F(V232cmdParser, LineEndsAndAbort) {
  EXPECT_EQ(run(""), 0);
  EXPECT_EQ(replies(), texts{});
  run("\n\n");
  EXPECT_EQ(replies(), texts{});

  run("\nPL");
  EXPECT_EQ(commands(), (cmds{{6, 0}}));
  EXPECT_EQ(replies(), (texts{"R@65534"}));

  // A line end inside the line delivers what is pending and goes on.
  run(std::string("PN\nPL\rST\0SF", 11));
  EXPECT_EQ(commands(), (cmds{{1, 0}, {6, 0}, {7, 0}, {8, 0}}));
  EXPECT_EQ(replies(), (texts{"R@65534", "R@65534", "R@65534", "R@65534"}));

  EXPECT_EQ(run("\xFF"), -1);
  EXPECT_EQ(replies(), texts{});

  EXPECT_EQ(run("PL\xFFPN"), -1);
  EXPECT_EQ(commands(), (cmds{{6, 0}}));
  EXPECT_EQ(replies(), (texts{"R@65533"}));
}

TEST_F(V232cmdParser, LengthBoundsTheLine) {
  const char text[] = "PLPN";
  EXPECT_EQ(v232cmd_process(text, 2, record_command, record_reply, kUserValue), 0);
  EXPECT_EQ(commands(), (cmds{{6, 0}}));
  EXPECT_EQ(v232cmd_process(text, 0, record_command, record_reply, kUserValue), 0);
  EXPECT_EQ(v232cmd_process(text, -5, record_command, record_reply, kUserValue), 0);
  EXPECT_EQ(v232cmd_process(nullptr, 4, record_command, record_reply, kUserValue), 0);
  EXPECT_EQ(commands(), (cmds{{6, 0}}));
  EXPECT_EQ(replies(), (texts{"R@65534"}));
}

TEST_F(V232cmdParser, MissingFunctionsDoNotCrash) {
  // Without a command function a command cannot be answered: "E04", line ends.
  EXPECT_EQ(v232cmd_process("PLST", 4, nullptr, record_reply, kUserValue), 0);
  EXPECT_EQ(replies(), (texts{"E04@0"}));
  EXPECT_EQ(v232cmd_process("PLxx", 4, record_command, nullptr, kUserValue), 0);
  EXPECT_EQ(commands(), (cmds{{6, 0}}));
  v232cmd_ctx ctx{};
  EXPECT_EQ(v232cmd_parse_line("PL", 2, nullptr, &ctx), -1);
  EXPECT_EQ(v232cmd_parse_line("PL", 2, &v232cmd_descriptor, nullptr), -1);
}

TEST(V232cmdMatch, ResultsAndConsumedLengths) {
  int consumed = -9;
  int32_t param = -9;
  EXPECT_EQ(v232cmd_match(v232cmd_names, V232CMD_COUNT, "?A", 2, &consumed, &param), 12);
  EXPECT_EQ(consumed, 2);
  EXPECT_EQ(param, 0);
  EXPECT_EQ(v232cmd_match(v232cmd_names, V232CMD_COUNT, "123SWPL", 7, &consumed, &param), 24);
  EXPECT_EQ(consumed, 5);
  EXPECT_EQ(param, 123);
  EXPECT_EQ(v232cmd_match(v232cmd_names, V232CMD_COUNT, "L/0000abcd/RU", 13, &consumed, nullptr), 28);
  EXPECT_EQ(consumed, 13);
  EXPECT_EQ(v232cmd_match(v232cmd_names, V232CMD_COUNT, "PX", 2, &consumed, &param), V232CMD_NO_MATCH);
  EXPECT_EQ(consumed, 0);
  EXPECT_EQ(v232cmd_match(v232cmd_names, V232CMD_COUNT, "PL", 1, &consumed, &param), V232CMD_NO_MATCH);
  EXPECT_EQ(v232cmd_match(v232cmd_names, V232CMD_COUNT, "PL", 0, &consumed, &param), V232CMD_END);
  EXPECT_EQ(consumed, 1);
  EXPECT_EQ(v232cmd_match(v232cmd_names, V232CMD_COUNT, "\r", 1, &consumed, &param), V232CMD_END);
  EXPECT_EQ(v232cmd_match(v232cmd_names, V232CMD_COUNT, "\xFF", 1, &consumed, &param), V232CMD_ABORT);
  EXPECT_EQ(consumed, 1);
}

TEST(V232cmdMatch, LastPatternFirstAndLastCaptureWins) {
  // Patterns are tried from the last index down: the later one wins a tie.
  const char* const names[] = {"AB", "A", "#X#", ""};
  int consumed = 0;
  int32_t param = 0;
  EXPECT_EQ(v232cmd_match(names, 4, "ABC", 3, &consumed, &param), 1);
  EXPECT_EQ(consumed, 1);
  EXPECT_EQ(v232cmd_match(names, 4, "12x34", 5, &consumed, &param), 2);
  EXPECT_EQ(param, 34);
  EXPECT_EQ(consumed, 5);
  EXPECT_EQ(v232cmd_match(names, 4, "12x#", 4, &consumed, &param), 2);
  EXPECT_EQ(param, 12);  // a literal "#" is no capture: the value stands
}
