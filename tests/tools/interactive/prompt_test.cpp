// vbdctl's interactive prompt on a pseudo-terminal, against the daemon and
// the player simulator in the test's own namespaces: an event that comes
// while a line is half typed is printed on its own line and the prompt and
// the half-typed text are drawn again; completion, history across runs,
// Ctrl-C and Ctrl-D; and a prompt without a usable history folder.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/integration/harness.h"
#include "tests/support/tcp.h"

using vbd_test::in_order;
using vbd_test::process;
using vbd_test::sleep_ms;

namespace {

constexpr int WAIT_MS = 8000;

// vbdctl on the slave side of a pseudo-terminal (80 columns), in the
// calling thread's namespaces; everything it draws is collected.
class pty_vbdctl {
 public:
  explicit pty_vbdctl(const std::vector<std::string>& env) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
      setenv("TERM", "xterm", 1);
      execl(VBDCTL_BIN, VBDCTL_BIN, static_cast<char*>(nullptr));
      _exit(127);
    }
    if (master_ != -1) fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~pty_vbdctl() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ != -1) close(master_);
  }
  bool ok() const { return pid_ > 0 && master_ != -1; }

  void type(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }

  // Everything drawn, as sent.
  const std::string& raw() {
    pump(0);
    return raw_;
  }
  // Everything drawn, control bytes made visible (for failure messages).
  std::string visible() {
    std::string out;
    for (char c : raw()) {
      if (c == '\033') out += "\\e";
      else if (c == '\r') out += "\\r";
      else out += c;
    }
    return out;
  }
  // What was drawn, without terminal control sequences and carriage returns.
  std::string screen() {
    pump(0);
    std::string out;
    for (size_t i = 0; i < raw_.size(); ++i) {
      if (raw_[i] == '\033') {
        // CSI: ESC [ parameters final byte.
        if (i + 1 < raw_.size() && raw_[i + 1] == '[') {
          i += 2;
          while (i < raw_.size() && !(raw_[i] >= '@' && raw_[i] <= '~')) ++i;
        } else {
          ++i;
        }
      } else if (raw_[i] != '\r' && raw_[i] != '\a') {
        out += raw_[i];
      }
    }
    return out;
  }
  // Waits until the screen text after position from holds text.
  bool wait_for(const std::string& text, size_t from = 0, int timeout_ms = WAIT_MS) {
    long long end = vbd_test::now_ms() + timeout_ms;
    while (true) {
      std::string s = screen();
      if (s.size() > from && s.find(text, from) != std::string::npos) return true;
      if (vbd_test::now_ms() >= end) return false;
      pump(50);
    }
  }
  // Waits for the exit; the exit status, 128 + the signal that ended it, or
  // -1 when it did not end in time.
  int wait_exit(int timeout_ms = WAIT_MS) {
    long long end = vbd_test::now_ms() + timeout_ms;
    while (vbd_test::now_ms() < end) {
      pump(20);
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return -1;
  }

 private:
  void pump(int timeout_ms) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return;
    char chunk[4096];
    ssize_t n;
    while ((n = read(master_, chunk, sizeof chunk)) > 0) raw_.append(chunk, static_cast<size_t>(n));
  }

  pid_t pid_ = -1;
  int master_ = -1;
  bool reaped_ = false;
  std::string raw_;
};

class PromptTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef VBD_LINE_EDITING
    GTEST_SKIP() << "vbdctl is built without line editing";
#endif
    ASSERT_EQ(vbd_test::enter_private_namespaces(), "");
    dir_ = vbd_test::make_work_dir();
    ASSERT_NE(dir_, "");
    ASSERT_EQ(vbd_test::start_player_and_daemon(&sim_, &daemon_), "");
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  std::string history() {
    std::ifstream in(dir_ + "/state/vbdctl/history");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string dir_;
  std::unique_ptr<process> sim_;
  std::unique_ptr<process> daemon_;
};

TEST_F(PromptTest, EventWhileTypingIsPrintedAboveTheHalfTypedLine) {
  std::string state = "XDG_STATE_HOME=" + dir_ + "/state";
  pty_vbdctl ctl({state});
  ASSERT_TRUE(ctl.ok());
  ASSERT_TRUE(ctl.wait_for("vbd> ")) << ctl.screen();

  ctl.type("?");
  ctl.type("P");
  ASSERT_TRUE(ctl.wait_for("vbd> ?P")) << ctl.screen();
  size_t before = ctl.screen().size();
  size_t raw_before = ctl.raw().size();
  ASSERT_TRUE(sim_->send("event P06\n"));
  ASSERT_TRUE(ctl.wait_for("vbd> ?P", before)) << ctl.visible() << "\n" << sim_->out();
  // The prompt's line is cleared from its start, the event printed on it,
  // and the prompt drawn again below with the typed text.
  std::string after = ctl.raw().substr(raw_before);
  EXPECT_TRUE(in_order(after, {"\r", "\033[J", "event: P06  (player status 06: scan forward)\r\n", "vbd> ?P"}))
      << after;
  EXPECT_EQ(after.substr(0, after.find("event")).find_first_not_of("\r\033[J"), std::string::npos) << after;

  // The line goes on where it was left; Enter sends it.
  before = ctl.screen().size();
  ctl.type("\r");
  ASSERT_TRUE(ctl.wait_for("?P -> P03  (player status 03: stop)\n", before)) << ctl.screen();
  ASSERT_TRUE(ctl.wait_for("vbd> ", before)) << ctl.screen();

  // Tab completes a mnemonic ("C" is only "CO"), without a space after it.
  before = ctl.screen().size();
  ctl.type("c\t\r");
  ASSERT_TRUE(ctl.wait_for("CO -> R  (done)\n", before)) << ctl.screen();
  EXPECT_TRUE(sim_->wait_for("[sim] recv cmd 4 (CO)", WAIT_MS)) << sim_->out();

  // Ctrl-D on an empty line ends vbdctl; the lines are in the history.
  ASSERT_TRUE(ctl.wait_for("vbd> ", before)) << ctl.screen();
  ctl.type("\x04");
  EXPECT_EQ(ctl.wait_exit(), 0) << ctl.screen();
  std::string saved = history();
  EXPECT_TRUE(in_order(saved, {"?P\n", "CO\n"})) << saved;

  // The next run finds them: Up brings back "CO". Ctrl-C ends it.
  pty_vbdctl again({state});
  ASSERT_TRUE(again.ok());
  ASSERT_TRUE(again.wait_for("vbd> ")) << again.screen();
  again.type("\033[A");
  ASSERT_TRUE(again.wait_for("vbd> CO")) << again.screen();
  again.type("\r");
  ASSERT_TRUE(again.wait_for("CO -> R")) << again.screen();
  ASSERT_TRUE(again.wait_for("vbd> ", again.screen().find("CO -> R"))) << again.screen();
  again.type("\x03");
  EXPECT_EQ(again.wait_exit(), 0) << again.screen();
}

TEST_F(PromptTest, WorksWithoutAPlaceForTheHistory) {
  std::ofstream(dir_ + "/file") << "x";
  pty_vbdctl ctl({"XDG_STATE_HOME=" + dir_ + "/file"});
  ASSERT_TRUE(ctl.ok());
  ASSERT_TRUE(ctl.wait_for("vbd> ")) << ctl.screen();
  ctl.type("?P\r");
  ASSERT_TRUE(ctl.wait_for("?P -> P03")) << ctl.screen();
  ASSERT_TRUE(ctl.wait_for("vbd> ", ctl.screen().find("?P -> P03"))) << ctl.screen();
  ctl.type("\x04");
  EXPECT_EQ(ctl.wait_exit(), 0) << ctl.screen();
}

}  // namespace
