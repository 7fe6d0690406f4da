// The control port dissector on made-up captures read by tshark: request
// lines split exactly as the server's matcher splits them (every command of
// the table), replies and events described as vbdctl describes them,
// requests and replies cut across or packed into segments, binary frames
// good, bad and odd, a second pass, and the port preference.
#include <unistd.h>

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "app/v232cmd.h"
#include "tests/support/netns.h"
#include "tests/support/process.h"
#include "tests/tools/wireshark/pcap_writer.h"
#include "tests/tools/wireshark/tshark_run.h"
#include "tools/vbdctl/ctl_protocol.h"

using vbd_ws_test::frame;
using vbd_ws_test::packet_row;
using vbd_ws_test::segment;

namespace {

class DissectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!vbd_ws_test::have_program("tshark")) GTEST_SKIP() << "tshark is not installed: the dissector is not tested";
    dir_ = vbd_test::make_work_dir();
    ASSERT_NE(dir_, "");
  }
  void TearDown() override {
    if (!dir_.empty()) vbd_test::run_quiet("rm -rf '" + dir_ + "'");
  }

  std::string capture(const std::vector<segment>& segments, uint16_t port = 8102) {
    std::string path = dir_ + "/c" + std::to_string(++count_) + ".pcap";
    EXPECT_TRUE(vbd_ws_test::write_capture(path, segments, port));
    return path;
  }

  // The Info column of every packet the dissector decoded, in order.
  std::vector<std::string> infos(const std::string& path, const std::vector<std::string>& extra = {}) {
    std::vector<packet_row> rows;
    std::vector<std::string> args{"-Y", "vbd"};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(vbd_ws_test::read_fields(path, {"_ws.col.Info"}, args, &rows), "");
    std::vector<std::string> out;
    for (const auto& r : rows) out.push_back(r["_ws.col.Info"].empty() ? "" : r["_ws.col.Info"][0]);
    return out;
  }

  std::string dir_;
  int count_ = 0;
};

// tshark as root: Wireshark keeps user Lua scripts (-X lua_script, the
// personal plugin folder) from running under root unless the global
// init.lua sets run_user_scripts_when_superuser = true (Debian's does); a
// script that was not run leaves no "vbd" protocol, so everything else here
// would fail for a reason that is not the dissector's.
TEST_F(DissectorTest, TsharkLoadsTheScript) {
  auto p = vbd_test::process::start({"tshark", "-G", "protocols", "-X", "lua_script:" + vbd_ws_test::dissector_path()});
  ASSERT_TRUE(p);
  p->close_stdin();
  ASSERT_TRUE(p->wait_exit(120000));
  EXPECT_NE(p->out().find("\tVBD\tvbd\n"), std::string::npos)
      << "tshark did not run the Lua script" << (geteuid() == 0 ? " (as root: is run_user_scripts_when_superuser "
                                                                 "false in Wireshark's global init.lua?)"
                                                               : "")
      << "\n" << p->err();
}

// What the server's matcher makes of a line: one entry per mnemonic
// ("index:sent:param"), "?rest" for text that is no command, "!" for 0xFF.
std::vector<std::string> server_split(const std::string& line) {
  std::vector<std::string> out;
  std::string text = line.substr(0, line.find('\0'));
  size_t pos = 0;
  while (pos < text.size()) {
    int consumed = 0;
    int32_t param = 0;
    int index = v232cmd_match(v232cmd_names, V232CMD_COUNT, text.data() + pos, static_cast<int>(text.size() - pos),
                              &consumed, &param);
    if (index == V232CMD_ABORT) {
      out.push_back("!");
      break;
    }
    if (index == V232CMD_END) {
      pos += 1;
      continue;
    }
    if (index == V232CMD_NO_MATCH) {
      out.push_back("?" + text.substr(pos));
      break;
    }
    std::string entry = std::to_string(index) + ":" + text.substr(pos, static_cast<size_t>(consumed));
    if (std::string(v232cmd_names[index]).find_first_of("#$") != std::string::npos) {
      entry += ":" + std::to_string(static_cast<uint32_t>(param));
    }
    out.push_back(entry);
    pos += static_cast<size_t>(consumed);
  }
  return out;
}

TEST_F(DissectorTest, SplitsLinesAsTheServersMatcherWithTheSameTable) {
  std::vector<std::string> lines;
  // Every table entry with its captures filled, as sent and in lower case.
  for (int i = 0; i < V232CMD_COUNT; ++i) {
    std::string line;
    for (const char* p = v232cmd_names[i]; *p; ++p) line += *p == '#' ? "37" : *p == '$' ? "0000AbCd" : std::string(1, *p);
    lines.push_back(line);
    std::string lower = line;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    lines.push_back("?p" + lower);
  }
  // Several commands a line, captures at their edges, and text that is no
  // command: "PLAY" is PL and the unknown "AY"; digits wrap modulo 2^32;
  // "$" needs exactly eight hex digits, else it is a literal "$"; "#" with
  // no digit is a literal "#"; the last of two captures wins.
  for (const char* line : {"PLAY", "?P?A?R?C?T?I?K?V?J?D?L?Z?E", "12KL3SW", "4294967297KL", "0kl", "#KL", "#SW",
                           "/12345678/RU", "L/FFFFFFFF/RU", "/1234567/RU", "/$/RU", "L/$/RU", "99RJ", "9RJ", "99rjNFNR",
                           "XYZ", " PL", "P", "?", "5KL5", "/0000000G/RU", "l/0000abcd/ruPL"}) {
    lines.push_back(line);
  }
  // LF and NUL inside a line, and 0xFF, which aborts it.
  lines.push_back(std::string("PL\nST"));
  lines.push_back(std::string("PL\0ST", 5));
  lines.push_back(std::string("PL\xffST"));

  std::vector<segment> segments;
  for (const auto& l : lines) segments.push_back({true, l + "\r"});
  std::vector<packet_row> rows;
  ASSERT_EQ(vbd_ws_test::read_fields(capture(segments),
                                     {"vbd.cmd_index", "vbd.mnemonic", "vbd.param", "vbd.pattern", "vbd.no_match",
                                      "vbd.abort"},
                                     {"-Y", "vbd.request.type"}, &rows),
            "");
  ASSERT_EQ(rows.size(), lines.size());
  std::vector<bool> seen(V232CMD_COUNT, false);
  for (size_t i = 0; i < lines.size(); ++i) {
    const packet_row& r = rows[i];
    std::vector<std::string> decoded;
    size_t param = 0;
    for (size_t k = 0; k < r["vbd.cmd_index"].size(); ++k) {
      int index = std::stoi(r["vbd.cmd_index"][k]);
      ASSERT_GE(index, 0);
      ASSERT_LT(index, V232CMD_COUNT);
      seen[static_cast<size_t>(index)] = true;
      EXPECT_EQ(r["vbd.pattern"].at(k), v232cmd_names[index]);
      std::string entry = r["vbd.cmd_index"][k] + ":" + r["vbd.mnemonic"].at(k);
      if (std::string(v232cmd_names[index]).find_first_of("#$") != std::string::npos) {
        entry += ":" + r["vbd.param"].at(param++);
      }
      decoded.push_back(entry);
    }
    for (const auto& rest : r["vbd.no_match"]) decoded.push_back("?" + rest);
    if (!r["vbd.abort"].empty()) decoded.push_back("!");
    EXPECT_EQ(decoded, server_split(lines[i])) << "line " << i << ": " << lines[i];
  }
  for (int i = 0; i < V232CMD_COUNT; ++i) EXPECT_TRUE(seen[static_cast<size_t>(i)]) << v232cmd_names[i];
}

// The Info text vbdctl's rules give for the replies of one request line:
// "Reply LABEL -> TEXT (MEANING)" for what it awaits, "Event TEXT
// (MEANING)" for the rest, in the order they come.
std::string vbdctl_view(std::deque<vbdctl::expected_reply>* awaiting, const std::vector<std::string>& texts) {
  std::string out;
  for (const auto& t : texts) {
    std::string item;
    std::string meaning;
    if (!awaiting->empty() && vbdctl::reply_fits(awaiting->front(), t)) {
      vbdctl::expected_reply e = awaiting->front();
      awaiting->pop_front();
      item = "Reply " + vbdctl::display_label(e.label) + " -> " + t;
      meaning = vbdctl::describe_reply(e, t);
      if (vbdctl::is_error_code(t)) awaiting->clear();
    } else {
      item = "Event " + t;
      meaning = vbdctl::describe_event(t);
    }
    if (!meaning.empty()) item += " (" + meaning + ")";
    out += (out.empty() ? "" : "; ") + item;
  }
  return out;
}

TEST_F(DissectorTest, DescribesRepliesAndEventsAsVbdctl) {
  struct exchange {
    std::string line;
    std::vector<std::string> replies;
  };
  const std::vector<exchange> exchanges = {
      {"CON 00:11:22:33:44:55 phone", {"CON"}},
      {"?A", {"001003001234"}},
      {"?A", {"01020304", "P06"}},  // an event after the reply
      {"?R", {"003"}},
      {"?R", {"12"}},
      {"?C", {"012"}},
      {"?T", {"0512"}},
      {"?T", {"010203"}},
      {"?I", {"0103"}},
      {"?K", {"01x23x45"}},
      {"?V", {"1xx0x"}},
      {"?J", {"0xx11"}},
      {"?D", {"101"}},
      {"?D", {"x2x"}},
      {"?P", {"P04"}},
      {"?P", {"P09"}},
      {"?L", {"MY DISC"}},
      {"?Z", {"VBD-PLAYER-SIM 1.0"}},
      {"?E", {"00"}},
      {"?E", {"E11"}},
      {"PL?P", {"P04"}},        // the status reply replaces the action's: one reply for both
      {"?PPL", {"P04", "R"}},   // the status reply goes out at once, the action's at the end
      {"12KLPL", {"E06"}},      // one reply for both actions; an error ends the line
      {"?P?A", {"E04"}},        // an error ends the line: nothing is awaited for ?A
      {"?P", {"P07"}},          // so this is the answer to ?P
      {"PL", {"P08", "E16"}},   // an event before the reply
      {"PLAY", {"E04"}},
      {"BIN", {"BINFIN", "E04"}},
      {"OP", {"E99", "P01"}},
      {"CON aa bb", {"ERR"}},
  };
  std::vector<segment> segments;
  std::vector<std::string> expected;
  std::deque<vbdctl::expected_reply> awaiting;
  for (const auto& x : exchanges) {
    segments.push_back({true, x.line + "\r"});
    std::string bytes;
    for (const auto& r : x.replies) bytes += r + "\r\n";
    segments.push_back({false, bytes});
    for (const auto& e : vbdctl::expected_replies(x.line)) awaiting.push_back(e);
    expected.push_back("");  // the request's own Info, not compared
    expected.push_back(vbdctl_view(&awaiting, x.replies));
  }
  std::vector<std::string> got = infos(capture(segments));
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 1; i < got.size(); i += 2) EXPECT_EQ(got[i], expected[i]) << "after " << exchanges[i / 2].line;
}

// A capture with requests and replies cut across segments and packed into
// one, binary frames good and bad, and the server's framing edge cases.
std::vector<segment> framing_segments() {
  std::string trailer3("\x02\x82\x00\x02PL\x03", 7);  // three bytes from the checksum on
  unsigned char sum = 0;
  for (char c : trailer3) sum = static_cast<unsigned char>(sum ^ static_cast<unsigned char>(c));
  trailer3 += std::string(1, static_cast<char>(sum)) + "zz";
  std::string request_frame = frame("?D");
  std::string reply_frame = frame("101\r\n");
  return {
      {true, "?"},  // 4
      {true, "P\r"},
      {false, "P0"},
      {false, "3\r\n"},
      {true, "PL\r?P\rST\r"},  // 8
      {false, "R\r\nP04\r\nR\r\n"},
      {true, request_frame.substr(0, 2)},  // 10
      {true, request_frame.substr(2, 3)},
      {true, request_frame.substr(5)},
      {false, reply_frame.substr(0, 6)},
      {false, reply_frame.substr(6) + frame("P06\r\n")},  // 14
      {true, frame("?P", true)},
      {false, frame("ERR")},
      {false, frame("P05", true)},
      {true, "\rPL\r"},  // after a frame the CR opens a text request  18
      {false, "R\r\n"},
      {true, "\r"},  // after a text request a CR alone is an empty request  20
      {true, trailer3},
      {false, "R\r\n"},
      {true, std::string("\x02\x02\x00\x02PL\x00", 7)},  // no checksum: the server parses "\x02\x02"  23
      {false, "E04\r\n"},
      {true, std::string(300, 'A') + "\r"},  // 256 bytes dropped, then 44 A's  25
      {false, "E04\r\n"},
      {true, "PL\xffST\r"},
      {false, "R\r\n"},
  };
}

TEST_F(DissectorTest, FollowsTheServersFramingAcrossSegments) {
  std::string path = capture(framing_segments());
  std::vector<packet_row> rows;
  ASSERT_EQ(vbd_ws_test::read_fields(path, {"frame.number", "_ws.col.Info", "vbd.frame.checksum_ok",
                                            "_ws.expert.message", "vbd.frame.length"},
                                     {"-Y", "vbd"}, &rows),
            "");
  std::map<int, packet_row> by_frame;
  for (const auto& r : rows) by_frame[std::stoi(r["frame.number"].at(0))] = r;
  auto info = [&](int n) { return by_frame.count(n) ? by_frame[n]["_ws.col.Info"].at(0) : "<not decoded>"; };

  EXPECT_EQ(by_frame.count(4), 0u);  // only the first byte of "?P"
  EXPECT_EQ(info(5), "Request ?P");
  EXPECT_EQ(by_frame.count(6), 0u);
  EXPECT_EQ(info(7), "Reply ?P -> P03 (player status 03: stop)");
  EXPECT_EQ(info(8), "Request PL; Request ?P; Request ST");
  EXPECT_EQ(info(9), "Reply PL -> R (done); Reply ?P -> P04 (player status 04: play); Reply ST -> R (done)");
  EXPECT_EQ(by_frame.count(10) + by_frame.count(11), 0u);
  EXPECT_EQ(info(12), "Request frame ?D");
  EXPECT_TRUE(by_frame[12].has("vbd.frame.checksum_ok", "1"));
  EXPECT_EQ(info(14),
            "Reply ?D -> 101 (disc loaded yes, type BD, state play); Event P06 (player status 06: scan forward)");
  EXPECT_EQ(by_frame[14]["vbd.frame.checksum_ok"], (std::vector<std::string>{"1", "1"}));
  EXPECT_EQ(info(15), "Request frame with a bad checksum");
  EXPECT_TRUE(by_frame[15].has("vbd.frame.checksum_ok", "0"));
  EXPECT_TRUE(by_frame[15].has("_ws.expert.message", "Wrong frame checksum"));
  EXPECT_EQ(info(16), "Reply bad frame -> ERR (request frame dropped: wrong checksum)");
  EXPECT_EQ(info(17), "Reply frame with a bad checksum");
  EXPECT_TRUE(by_frame[17].has("_ws.expert.message", "Wrong frame checksum"));
  EXPECT_EQ(info(18), "Request PL");
  EXPECT_EQ(info(19), "Reply PL -> R (done)");
  EXPECT_EQ(info(20), "Request: empty line");
  EXPECT_EQ(info(21), "Request frame PL");  // ended by its trailer's count, not at the checksum
  EXPECT_EQ(info(22), "Reply PL -> R (done)");
  EXPECT_EQ(info(23), "Request frame \"\\x02\\x02\"?");
  EXPECT_TRUE(by_frame[23].has("_ws.expert.message", "Frame without checksum"));
  EXPECT_EQ(info(24), "Reply \\x02\\x02 -> E04 (no command at \"\\x02\\x02\": the rest of the line was ignored)");
  EXPECT_EQ(info(25), "Request dropped (256 bytes without a carriage return); Request \"" + std::string(44, 'A') +
                          "\"?");
  EXPECT_EQ(info(27), "Request PL <abort>");
  EXPECT_EQ(info(28), "Reply PL -> R (done)");

  // A second pass (as the GUI makes) shows what the first one worked out.
  std::vector<packet_row> again;
  ASSERT_EQ(vbd_ws_test::read_fields(path, {"frame.number", "_ws.col.Info", "vbd.frame.checksum_ok",
                                            "_ws.expert.message", "vbd.frame.length"},
                                     {"-2", "-Y", "vbd"}, &again),
            "");
  ASSERT_EQ(again.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(again[i].fields, rows[i].fields) << "row " << i;
}

TEST_F(DissectorTest, PortPreferenceMovesTheDissector) {
  std::string path = capture({{true, "?P\r"}, {false, "P03\r\n"}}, 9000);
  EXPECT_TRUE(infos(path).empty());
  EXPECT_EQ(infos(path, {"-o", "vbd.port:9000"}),
            (std::vector<std::string>{"Request ?P", "Reply ?P -> P03 (player status 03: stop)"}));
  // Moved away from 8102, the default port is no longer decoded.
  std::string default_port = capture({{true, "?P\r"}});
  EXPECT_TRUE(infos(default_port, {"-o", "vbd.port:9000"}).empty());
}

}  // namespace
