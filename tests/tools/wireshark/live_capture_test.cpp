// The control port dissector on real traffic: tcpdump captures the loopback
// of the test's own network namespace while vbdctl drives the daemon and
// the player simulator (handshakes, lines of several commands, status
// queries, an error, binary frames, an event) and a raw client sends a
// frame with a wrong checksum; tshark must decode every reply and event as
// vbdctl printed it and show the requests as they were sent.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/integration/harness.h"
#include "tests/support/tcp.h"
#include "tests/tools/wireshark/pcap_writer.h"
#include "tests/tools/wireshark/tshark_run.h"

using vbd_test::process;
using vbd_ws_test::packet_row;

namespace {

constexpr int WAIT_MS = 8000;

class LiveCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* program : {"tshark", "tcpdump"}) {
      if (!vbd_ws_test::have_program(program)) {
        GTEST_SKIP() << program << " is not installed: the dissector is not tested on a live capture";
      }
    }
    ASSERT_EQ(vbd_test::enter_private_namespaces(), "");
    dir_ = vbd_test::make_work_dir();
    ASSERT_NE(dir_, "");
  }
  void TearDown() override {
    if (!dir_.empty()) vbd_test::run_quiet("rm -rf '" + dir_ + "'");
  }

  // The simulator, then the daemon, both in this test's namespaces; returns
  // once the daemon accepts.
  void start_daemon() {
    ASSERT_EQ(vbd_test::start_player_and_daemon(&sim_, &daemon_), "");
  }

  // vbdctl run to its end; its standard output.
  std::string vbdctl(std::vector<std::string> args) {
    args.insert(args.begin(), VBDCTL_BIN);
    auto p = process::start(args);
    EXPECT_TRUE(p);
    if (!p) return "";
    p->close_stdin();
    int status = 0;
    EXPECT_TRUE(p->wait_exit(WAIT_MS * 2, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << p->out() << p->err();
    return p->out();
  }

  std::string dir_;
  std::unique_ptr<process> sim_;
  std::unique_ptr<process> daemon_;
};

// vbdctl's lines "LABEL -> TEXT  (MEANING)" and "event: TEXT  (MEANING)" as
// the dissector's Info items "Reply LABEL -> TEXT (MEANING)" and "Event
// TEXT (MEANING)".
std::vector<std::string> as_info_items(const std::string& out) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    std::string line = out.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? out.size() : end + 1;
    size_t meaning = line.find("  (");
    if (meaning != std::string::npos) line.erase(meaning, 1);
    if (line.rfind("event: ", 0) == 0) items.push_back("Event " + line.substr(7));
    else if (line.find(" -> ") != std::string::npos) items.push_back("Reply " + line);
  }
  return items;
}

TEST_F(LiveCaptureTest, DecodesWhatVbdctlSentAndReceived) {
  start_daemon();
  std::string capture = dir_ + "/control.pcap";
  // -Z root: tcpdump would otherwise write the file as its own user;
  // --immediate-mode: without it packets wait in the kernel's buffer block
  // and those of the last second are lost when tcpdump is stopped.
  auto tcpdump = process::start(
      {"tcpdump", "-i", "lo", "-n", "-U", "--immediate-mode", "-Z", "root", "-w", capture, "tcp port 8102"});
  ASSERT_TRUE(tcpdump);
  ASSERT_TRUE(tcpdump->wait_for_err("listening on", WAIT_MS)) << tcpdump->err();

  std::string out = vbdctl({"--con", "00:11:22:33:44:55 phone", "?P", "?I?D", "12KL", "PLAY", "?A", "PL?P", "?PPL"});
  out += vbdctl({"--binary", "?Z", "OP"});
  out += vbdctl({"BIN"});
  auto follower = process::start({VBDCTL_BIN, "--follow", "?P"});
  ASSERT_TRUE(follower);
  ASSERT_TRUE(follower->wait_for("?P -> ", WAIT_MS)) << follower->err();
  ASSERT_TRUE(sim_->send("event P06\n"));
  ASSERT_TRUE(follower->wait_for("event: P06", WAIT_MS)) << follower->out();
  follower->signal(SIGINT);
  ASSERT_TRUE(follower->exited_with(0, WAIT_MS)) << follower->err();
  out += follower->out();

  // A frame with a wrong checksum from a raw client: "ERR", and the
  // connection goes on.
  int fd = vbd_test::tcp_connect("127.0.0.1", "127.0.0.1", 8102);
  ASSERT_NE(fd, -1);
  ASSERT_TRUE(vbd_test::send_all(fd, vbd_ws_test::frame("?P", true)));
  EXPECT_EQ(vbd_test::read_until(fd, "\r\n", WAIT_MS), "ERR\r\n");
  ASSERT_TRUE(vbd_test::send_all(fd, "?P\r"));
  EXPECT_EQ(vbd_test::read_until(fd, "\r\n", WAIT_MS), "P01\r\n");
  close(fd);

  // tcpdump is stopped once the file holds the last reply (the second
  // "P01": the follower's was the first).
  auto occurrences = [&](const std::string& text) {
    std::ifstream in(capture, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int n = 0;
    for (size_t pos = bytes.find(text); pos != std::string::npos; pos = bytes.find(text, pos + 1)) ++n;
    return n;
  };
  for (int i = 0; i < WAIT_MS / 50 && occurrences("P01\r\n") < 2; ++i) vbd_test::sleep_ms(50);
  tcpdump->signal(SIGINT);
  ASSERT_TRUE(tcpdump->wait_exit(WAIT_MS)) << tcpdump->err();

  std::vector<packet_row> rows;
  ASSERT_EQ(vbd_ws_test::read_fields(capture,
                                     {"_ws.col.Info", "vbd.request", "vbd.command", "vbd.cmd_index", "vbd.param",
                                      "vbd.handshake", "vbd.con.mac", "vbd.frame.checksum_ok", "vbd.error",
                                      "vbd.event", "vbd.player_status"},
                                     {"-Y", "vbd"}, &rows),
            "");
  ASSERT_FALSE(rows.empty()) << "nothing decoded; tcpdump said:\n" << tcpdump->err();
  std::string infos;
  for (const auto& r : rows) infos += r["_ws.col.Info"].at(0) + "\n";
  auto find = [&](const std::string& field, const std::string& value) -> const packet_row* {
    for (const auto& r : rows) {
      if (r.has(field, value)) return &r;
    }
    return nullptr;
  };

  // Every reply and event vbdctl printed, with the same label and meaning.
  std::vector<std::string> items = as_info_items(out);
  ASSERT_GE(items.size(), 14u) << out;
  for (const auto& item : items) EXPECT_NE(infos.find(item), std::string::npos) << item << "\nnot in\n" << infos;

  // The requests as sent: several commands a line, the parameter, the
  // handshakes, the frames and their checksums.
  const packet_row* line = find("vbd.request", "?I?D");
  ASSERT_TRUE(line) << infos;
  EXPECT_EQ((*line)["vbd.command"], (std::vector<std::string>{"?I", "?D"}));
  EXPECT_EQ((*line)["vbd.cmd_index"], (std::vector<std::string>{"16", "20"}));
  const packet_row* key_lock = find("vbd.request", "12KL");
  ASSERT_TRUE(key_lock) << infos;
  EXPECT_EQ((*key_lock)["vbd.param"], std::vector<std::string>{"12"});
  const packet_row* play = find("vbd.request", "PLAY");
  ASSERT_TRUE(play) << infos;
  EXPECT_EQ((*play)["vbd.command"], std::vector<std::string>{"PL"});
  const packet_row* con = find("vbd.handshake", "CON");
  ASSERT_TRUE(con) << infos;
  EXPECT_EQ((*con)["vbd.con.mac"], std::vector<std::string>{"00:11:22:33:44:55"});
  EXPECT_TRUE(find("vbd.handshake", "BIN")) << infos;
  const packet_row* model = find("vbd.request", "?Z");
  ASSERT_TRUE(model) << infos;
  EXPECT_EQ((*model)["vbd.frame.checksum_ok"], std::vector<std::string>{"1"});
  EXPECT_TRUE(find("vbd.frame.checksum_ok", "0")) << infos;
  EXPECT_NE(infos.find("Reply bad frame -> ERR (request frame dropped: wrong checksum)"), std::string::npos) << infos;
  EXPECT_NE(infos.find("Reply ?P -> P01 (player status 01: tray open)"), std::string::npos) << infos;

  // The error reply and the event as fields of their own.
  EXPECT_TRUE(find("vbd.error", "E06")) << infos;
  const packet_row* event = find("vbd.event", "P06");
  ASSERT_TRUE(event) << infos;
  EXPECT_EQ((*event)["vbd.player_status"], std::vector<std::string>{"6"});
}

}  // namespace
