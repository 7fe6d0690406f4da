// vbdctl's protocol module: reply prediction checked against the server's
// own line processor, reply forms and meanings, and frame handling.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "app/v232cmd.h"
#include "tools/vbdctl/ctl_protocol.h"

using vbdctl::expected_reply;
using vbdctl::reply_kind;
using vbdctl::unit_result;

namespace {

// What the server's processor delivers for a line when every command
// succeeds: (ret_id, cmd_id) per reply, ret_id 3 marking a no-match.
std::vector<std::pair<int, int>>* g_delivered = nullptr;

int succeed(const v232cmd_req* req, v232cmd_ret* ret, int) {
  bool status = req->cmd == 0 || (req->cmd >= 12 && req->cmd <= 23);
  ret->ret_id = status ? V232CMD_RET_STATUS : V232CMD_RET_OK;
  return 0;
}

int record(int, const v232cmd_ret* ret, int) {
  g_delivered->emplace_back(ret->ret_id, ret->cmd_id);
  return 0;
}

std::vector<std::pair<int, int>> server_replies(const std::string& line) {
  std::vector<std::pair<int, int>> out;
  g_delivered = &out;
  std::string text = line.substr(0, line.find('\0'));
  v232cmd_process(text.data(), static_cast<int>(text.size()), succeed, record, 0);
  g_delivered = nullptr;
  return out;
}

std::vector<std::pair<int, int>> predicted(const std::string& line) {
  std::vector<std::pair<int, int>> out;
  for (const expected_reply& e : vbdctl::expected_replies(line)) {
    switch (e.kind) {
      case reply_kind::no_match: out.emplace_back(V232CMD_RET_E04, -1); break;
      case reply_kind::action: out.emplace_back(V232CMD_RET_OK, e.cmd); break;
      case reply_kind::status: out.emplace_back(V232CMD_RET_STATUS, e.cmd); break;
      default: break;  // handshakes are answered by the connection, not the parser
    }
  }
  return out;
}

void expect_same(const std::string& line) {
  auto server = server_replies(line);
  auto mine = predicted(line);
  // A no-match reply carries whatever index was pending: compare its code only.
  for (auto& r : server) {
    if (r.first == V232CMD_RET_E04) r.second = -1;
  }
  EXPECT_EQ(mine, server) << "line \"" << line << "\"";
}

TEST(ExpectedReplies, FollowTheServersLineRules) {
  for (const char* line : {"PL", "pl", "?APL", "PNPL", "PN PL", "PL?P", "?P?A", "12KL", "#KL", "99RJ",
                           "/0000ABCD/RU", "L/0000abcd/RU", "/$/RU", "/12/RU", "\nPF", "PL\rST", "PL\n?P", "",
                           "\n\n", "PL\xff?P", "\xffPL", "?E", "xyz", "PL xyz", "?L?Z?K", "4294967297KL"}) {
    expect_same(line);
  }
  expect_same(std::string("PL\0?P", 5));  // the server sees the text up to the NUL
}

TEST(ExpectedReplies, RandomLinesOfMnemonicPiecesAgreeWithTheServer) {
  const char* pieces[] = {"PL", "?P", "?A", "ST", "12", "KL", "#", "SW", "/", "0000ABCD", "RU", "L",
                          "?",  "E",  "99", "RJ", "\n", " ", "x",  "\xff", "NF", "?L", "p", "s"};
  std::mt19937 rng(1234);
  for (int i = 0; i < 3000; ++i) {
    std::string line;
    int n = static_cast<int>(rng() % 7);
    for (int j = 0; j < n; ++j) line += pieces[rng() % std::size(pieces)];
    expect_same(line);
  }
}

// Every reply's label, the part it comes from and the commands before it
// that it answers for.
struct labelled {
  std::string label;
  std::string source;
  std::vector<std::string> ran_before;
  bool operator==(const labelled&) const = default;
};

std::ostream& operator<<(std::ostream& os, const labelled& l) {
  os << "{\"" << l.label << "\" from \"" << l.source << "\" after";
  for (const auto& r : l.ran_before) os << " \"" << r << "\"";
  return os << "}";
}

std::vector<labelled> labels(const std::string& line) {
  std::vector<labelled> out;
  for (const expected_reply& e : vbdctl::expected_replies(line)) out.push_back({e.label, e.source, e.ran_before});
  return out;
}

TEST(ExpectedReplies, EachReplyIsLabelledWithTheSliceItAnswers) {
  using L = std::vector<labelled>;
  // The server keeps one reply slot: a later command overwrites a waiting
  // action reply, so one reply answers every command since the last one.
  EXPECT_EQ(labels("PLAY"), (L{{"PLAY", "AY", {"PL"}}}));
  EXPECT_EQ(labels("PNPL"), (L{{"PNPL", "PL", {"PN"}}}));
  EXPECT_EQ(labels("PL?P"), (L{{"PL?P", "?P", {"PL"}}}));
  EXPECT_EQ(labels("PNPF?A"), (L{{"PNPF?A", "?A", {"PN", "PF"}}}));
  EXPECT_EQ(labels("?P?A12KL"), (L{{"?P", "?P", {}}, {"?A", "?A", {}}, {"12KL", "12KL", {}}}));
  EXPECT_EQ(labels("PN PL"), (L{{"PN PL", " PL", {"PN"}}}));
  EXPECT_EQ(labels("xyz"), (L{{"xyz", "xyz", {}}}));
  // Unmatched text takes the rest of the line, later segments included.
  EXPECT_EQ(labels("?Pxy\nPL"), (L{{"?P", "?P", {}}, {"xy\nPL", "xy\nPL", {}}}));
  // Segment ends deliver and are part of no slice.
  EXPECT_EQ(labels("\nPL\n\r?P\n"), (L{{"PL", "PL", {}}, {"?P", "?P", {}}}));
  EXPECT_EQ(labels("\n\n"), L{});
  // 0xFF delivers what waits and drops the rest; a NUL ends what the server sees.
  EXPECT_EQ(labels("?APL\xffST"), (L{{"?A", "?A", {}}, {"PL", "PL", {}}}));
  EXPECT_EQ(labels(std::string("PL\0ST", 5)), (L{{"PL", "PL", {}}}));
  // Parameters belong to their command's slice, as typed.
  EXPECT_EQ(labels("?a/0000abcd/RUx"), (L{{"?a", "?a", {}}, {"/0000abcd/RUx", "x", {"/0000abcd/RU"}}}));
  EXPECT_EQ(labels("007KL12sw"), (L{{"007KL12sw", "12sw", {"007KL"}}}));

  // Handshakes answer the whole line; a "BIN" line is parsed as well.
  EXPECT_EQ(labels("CON 00:11:22:33:44:55 phone"), (L{{"CON 00:11:22:33:44:55 phone", "CON", {}}}));
  auto bin = vbdctl::expected_replies("BINPL");
  ASSERT_EQ(bin.size(), 2u);
  EXPECT_EQ(bin[0].kind, reply_kind::handshake_bin);
  EXPECT_EQ(bin[0].label, "BINPL");
  EXPECT_EQ(bin[1].kind, reply_kind::no_match);
  EXPECT_EQ(bin[1].label, "BINPL");
  ASSERT_EQ(vbdctl::expected_replies("BINFIN").size(), 1u);  // no handshake answer, only "E04"

  auto line = vbdctl::expected_replies("?A12KL");
  ASSERT_EQ(line.size(), 2u);
  EXPECT_EQ(line[1].param, 12);
  EXPECT_EQ(vbdctl::command_label(27, static_cast<int32_t>(0xABCD)), "/0000ABCD/RU");
  EXPECT_EQ(vbdctl::command_label(11, -1), "4294967295KL");
  EXPECT_EQ(vbdctl::command_label(29, 0), "?");
}

TEST(ExpectedReplies, RandomLinesAreCutIntoSlicesInOrder) {
  const char* pieces[] = {"PL", "?P", "ST", "12", "KL", "\n", " ", "x", "\xff", "?A", "NF", "s", "w"};
  std::mt19937 rng(99);
  for (int i = 0; i < 2000; ++i) {
    std::string line;
    int n = static_cast<int>(rng() % 8);
    for (int j = 0; j < n; ++j) line += pieces[rng() % std::size(pieces)];
    size_t pos = 0;
    for (const expected_reply& e : vbdctl::expected_replies(line)) {
      // Each slice follows the previous one and is its commands' text.
      size_t at = line.find(e.label, pos);
      ASSERT_NE(at, std::string::npos) << "line \"" << line << "\" label \"" << e.label << "\"";
      ASSERT_EQ(line.substr(pos, at - pos).find_first_not_of("\n"), std::string::npos) << line;
      std::string joined;
      for (const auto& r : e.ran_before) joined += r;
      EXPECT_EQ(joined + e.source, e.label) << line;
      pos = at + e.label.size();
    }
  }
}

TEST(ExpectedReplies, LabelsArePrintable) {
  EXPECT_EQ(vbdctl::display_label("?P"), "?P");
  EXPECT_EQ(vbdctl::display_label("PN PL"), "PN PL");
  EXPECT_EQ(vbdctl::display_label(" PL"), "\" PL\"");
  EXPECT_EQ(vbdctl::display_label(""), "\"\"");
  EXPECT_EQ(vbdctl::display_label("a\r\n\\\xff\x01"), "a\\r\\n\\\\\\xFF\\x01");
}

TEST(ExpectedReplies, WordsCompleteToMnemonics) {
  using W = std::vector<std::string>;
  EXPECT_EQ(vbdctl::complete_word("?A"), W{"?A"});  // already whole
  EXPECT_EQ(vbdctl::complete_word("N"), (W{"NS", "NF", "NR"}));
  EXPECT_EQ(vbdctl::complete_word("?APl"), W{"?APl"});
  EXPECT_EQ(vbdctl::complete_word("?aP"), (W{"?aPN", "?aPF", "?aPL"}));
  EXPECT_EQ(vbdctl::complete_word("12k"), W{"12KL"});
  EXPECT_EQ(vbdctl::complete_word("99"), (W{"99RJ", "99KL", "99SW"}));
  EXPECT_EQ(vbdctl::complete_word("C"), W{"CO"});
  EXPECT_EQ(vbdctl::complete_word("L/"), W{});  // hexadecimal captures are not offered
  EXPECT_EQ(vbdctl::complete_word("x"), W{});
  EXPECT_EQ(vbdctl::complete_word("").size(), 25u);  // all but the four with a capture
  auto all = vbdctl::command_mnemonics();
  ASSERT_EQ(all.size(), 29u);
  EXPECT_EQ(all[11], "#KL");
}

expected_reply status(int cmd) { return {reply_kind::status, cmd, 0, "?", "?", {}}; }
expected_reply action(int cmd) { return {reply_kind::action, cmd, 0, "PL", "PL", {}}; }

TEST(ReplyForms, StatusFormsByCommand) {
  struct {
    int cmd;
    const char* fits;
    const char* other;
  } cases[] = {
      {0, "00", "01"},           {12, "012345010203", "0123456"}, {12, "05067007", "P04"},
      {13, "007", "0007"},       {14, "012", "12"},               {15, "123405", "12345"},
      {16, "0103", "010"},       {17, "1x019xx3", "2x019xx3"},    {18, "0xx1x", "01x1x"},
      {19, "1xx10", "1xx102"},   {20, "xxx", "x3x"},              {21, "P07", "P10"},
      {22, "VBD SIM BD DISC", "012345678901234567890123456789012"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(vbdctl::reply_fits(status(c.cmd), c.fits)) << c.cmd << " " << c.fits;
    EXPECT_FALSE(vbdctl::reply_fits(status(c.cmd), c.other)) << c.cmd << " " << c.other;
    EXPECT_TRUE(vbdctl::reply_fits(status(c.cmd), "E04")) << c.cmd;
  }
  EXPECT_TRUE(vbdctl::reply_fits(action(6), "R"));
  EXPECT_TRUE(vbdctl::reply_fits(action(6), "E12"));
  EXPECT_FALSE(vbdctl::reply_fits(action(6), "P04"));  // an event while waiting for "PL"
  EXPECT_FALSE(vbdctl::reply_fits(action(6), "E05"));
  EXPECT_FALSE(vbdctl::reply_fits({reply_kind::no_match, -1, 0, "", "", {}}, "R"));
  EXPECT_TRUE(vbdctl::reply_fits({reply_kind::handshake_con, -1, 0, "", "", {}}, "ERR"));
}

TEST(ReplyForms, MeaningsAreDecoded) {
  EXPECT_EQ(vbdctl::describe_reply(status(12), "012345010203"), "title 12, chapter 345, 01:02:03");
  EXPECT_EQ(vbdctl::describe_reply(status(12), "05067007"), "track 5, index 6, 70:07");
  EXPECT_EQ(vbdctl::describe_reply(status(15), "123405"), "elapsed 1234 min 05 s");
  EXPECT_EQ(vbdctl::describe_reply(status(16), "0103"), "title 1 of 3");
  EXPECT_EQ(vbdctl::describe_reply(status(17), "1x019xx3"),
            "key lock on, panel lock n/a, audio 0, subtitle 1, angle 9, other xx3");
  EXPECT_EQ(vbdctl::describe_reply(status(20), "102"), "disc loaded yes, type BD, state still");
  EXPECT_EQ(vbdctl::describe_reply(status(21), "P07"), "player status 07: scan reverse");
  EXPECT_EQ(vbdctl::describe_reply(status(21), "P09"), "player status 09: unknown");
  EXPECT_EQ(vbdctl::describe_reply(status(0), "E12"), "last error: no such title or chapter");
  EXPECT_EQ(vbdctl::describe_reply(action(6), "R"), "done");
  EXPECT_EQ(vbdctl::describe_reply(action(6), "E11"), "error: no disc");
  EXPECT_EQ(vbdctl::describe_reply(status(17), "1x"), "");  // not its form: nothing decoded
  EXPECT_EQ(vbdctl::describe_reply(status(15), "5"), "");
  // A reply that answers for earlier commands says so; an error came from
  // whichever of them failed first.
  auto play = vbdctl::expected_replies("PLAY")[0];
  EXPECT_EQ(vbdctl::describe_reply(play, "E04"),
            "no command at \"AY\": the rest of the line was ignored; PL ran before it, without a reply of its own");
  EXPECT_EQ(vbdctl::describe_reply(vbdctl::expected_replies(" ")[0], "E04"),
            "no command at \" \": the rest of the line was ignored");
  auto chain = vbdctl::expected_replies("PNPF?P")[0];
  EXPECT_EQ(vbdctl::describe_reply(chain, "P04"),
            "player status 04: play; PN, PF ran before it, without replies of their own");
  EXPECT_EQ(vbdctl::describe_reply(chain, "E11"), "error: no disc; from one of PN, PF, ?P: the line stopped there");
  EXPECT_EQ(vbdctl::describe_event("P03"), "player status 03: stop");
  EXPECT_EQ(vbdctl::describe_event("disc inserted"), "");
}

TEST(Frames, EncodeAndTakeUnits) {
  std::string frame = vbdctl::encode_frame("?P");
  const unsigned char want[] = {0x02, 0x82, 0x00, 0x02, '?', 'P', 0x01, 0x02 ^ 0x82 ^ 0x02 ^ '?' ^ 'P' ^ 0x01};
  ASSERT_EQ(frame, std::string(reinterpret_cast<const char*>(want), sizeof want));

  // A frame arriving in pieces, then lines with both line-end orders and an
  // empty event line.
  std::string buffer = frame.substr(0, 5);
  std::string text;
  EXPECT_EQ(vbdctl::take_unit(&buffer, &text), unit_result::incomplete);
  buffer += frame.substr(5) + "P04\n\rR\r\n\r\nE0";
  EXPECT_EQ(vbdctl::take_unit(&buffer, &text), unit_result::frame);
  EXPECT_EQ(text, "?P");
  EXPECT_EQ(vbdctl::take_unit(&buffer, &text), unit_result::line);
  EXPECT_EQ(text, "P04");
  EXPECT_EQ(vbdctl::take_unit(&buffer, &text), unit_result::line);
  EXPECT_EQ(text, "R");
  EXPECT_EQ(vbdctl::take_unit(&buffer, &text), unit_result::line);
  EXPECT_EQ(text, "");
  EXPECT_EQ(vbdctl::take_unit(&buffer, &text), unit_result::incomplete);
  EXPECT_EQ(buffer, "E0");

  std::string bad = frame;
  bad.back() = static_cast<char>(bad.back() ^ 1);
  bad += "R\r\n";
  EXPECT_EQ(vbdctl::take_unit(&bad, &text), unit_result::bad_frame);
  EXPECT_EQ(vbdctl::take_unit(&bad, &text), unit_result::line);
  EXPECT_EQ(text, "R");
}

}  // namespace
