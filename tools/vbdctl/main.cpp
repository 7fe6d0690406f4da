// vbdctl: a control client for app developers. Sends commands given as
// arguments or typed interactively, prints every reply with its meaning and
// every auto-feedback event as it arrives.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tools/vbdctl/ctl_connection.h"
#include "runtime/runtime.h"
#include "tools/vbdctl/ctl_protocol.h"
#include "tools/vbdctl/discover.h"
#include "tools/vbdctl/history_file.h"
#include "tools/vbdctl/line_editor.h"
#include "tools/stop_signals.h"

namespace {

volatile sig_atomic_t g_stop = 0;
// Written by the stop signal, read by the poll loop: a signal that comes
// between the loop's check of g_stop and its poll still wakes it.
int g_wake[2] = {-1, -1};
void on_signal(int) {
  g_stop = 1;
  if (g_wake[1] != -1) {
    int saved = errno;
    [[maybe_unused]] ssize_t n = write(g_wake[1], "", 1);
    errno = saved;
  }
}

constexpr int EXIT_CONNECTION = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_REPLY = 3;
constexpr int EXIT_ERROR_REPLY = 4;

const char HELP[] =
    "usage: vbdctl [options] [--] [COMMAND...]\n"
    "       vbdctl discover [options]    (see vbdctl discover --help)\n"
    "\n"
    "Sends each COMMAND (a request line such as PL, ?P, 12KL or ?APL) to the\n"
    "vBdServer control port and prints every reply with its meaning. Without\n"
    "COMMAND it reads request lines from standard input (interactively on a\n"
    "terminal). Lines that are not replies are auto-feedback events from the\n"
    "player and are printed as \"event: ...\".\n"
    "\n"
    "Options:\n"
    "  -H, --host HOST       server address or name (default 127.0.0.1)\n"
    "  -p, --port PORT       control port (default 8102)\n"
    "  -b, --binary          send every request as a binary frame\n"
    "  -c, --con TEXT        open with the handshake \"CON TEXT\" (TEXT: MAC and\n"
    "                        name, e.g. \"00:11:22:33:44:55 phone\")\n"
    "  -f, --follow          stay connected after the commands and print events\n"
    "                        until interrupted or the server closes\n"
    "  -i, --interactive     read request lines from standard input after the\n"
    "                        COMMAND arguments\n"
    "  -w, --wait MS         after the last reply keep printing events for MS ms\n"
    "  -t, --timeout MS      wait at most MS ms for each reply (default 6000)\n"
    "      --connect-timeout MS  give up connecting after MS ms (default 3000)\n"
    "  -r, --raw             print the received lines only, undecoded\n"
    "  -e, --fail-on-error   exit 4 when a reply is an error code\n"
    "      --list-commands [WORD]  print the command mnemonics, one a line (#\n"
    "                        stands for a decimal number, $ for eight hex\n"
    "                        digits); with WORD, the completions of WORD\n"
    "  -h, --help            this text\n"
    "\n"
    "On a terminal the prompt edits lines (libedit: arrows, Ctrl-R, Tab\n"
    "completes a mnemonic) and keeps a history in\n"
    "$XDG_STATE_HOME/vbdctl/history (default ~/.local/state/vbdctl/history).\n"
    "\n"
    "A reply that does not come in time ends vbdctl: replies carry no sequence\n"
    "number, so a late one would be taken for the next command's.\n"
    "\n"
    "Exit status: 0 every command answered; 1 cannot connect, or the server\n"
    "closed the connection; 2 usage error; 3 a reply did not come in time;\n"
    "4 an error reply (with --fail-on-error).\n";

// A close this soon after connecting, with nothing received, is the
// server turning the client away rather than ending a session.
constexpr long long CLOSED_AT_ONCE_MS = 2000;

// Why a connection could not be made, after the error line on stderr.
void explain_connect_failure(int error) {
  if (error == ECONNREFUSED) {
    fprintf(stderr,
            "vbdctl: nothing accepts connections there. Possible reasons:\n"
            "  - the daemon is not running (see: systemctl status vbdserver);\n"
            "  - it listens on another address or port: it listens on the address of its\n"
            "    first network interface, not on 127.0.0.1 (give that address with -H, or\n"
            "    find it with \"vbdctl discover\"), and on port 8102 unless it was started\n"
            "    with another (give that port with -p);\n"
            "  - it runs in another network namespace (run vbdctl there:\n"
            "    ip netns exec NAME vbdctl ...).\n");
  } else if (error == ETIMEDOUT) {
    fprintf(stderr,
            "vbdctl: no answer from that address. Possible reasons:\n"
            "  - the address is wrong or not reachable from here (a firewall may drop\n"
            "    the connection); the daemon listens on the address of its first\n"
            "    network interface (find it with \"vbdctl discover\");\n"
            "  - the daemon runs in another network namespace (run vbdctl there:\n"
            "    ip netns exec NAME vbdctl ...);\n"
            "  - the network is slow: try a longer --connect-timeout.\n");
  } else if (error != 0) {
    fprintf(stderr,
            "vbdctl: check the address (-H): the daemon listens on the address of its\n"
            "  first network interface (find it with \"vbdctl discover\").\n");
  }
}

// Why the server closed the connection: turned away at once, or a session
// ended later.
std::string explain_close(const vbdctl::connection& conn) {
  if (!conn.received_any() && conn.age_ms() < CLOSED_AT_ONCE_MS) {
    return "vbdctl: connection closed by the server right after connecting, before any\n"
           "  reply. Possible reasons:\n"
           "  - another address is connected: the daemon serves one client address at a\n"
           "    time and turns other addresses away; end that client first;\n"
           "  - the daemon is stopping.\n";
  }
  return "vbdctl: connection closed by the server: it ended the session (for example\n"
         "  another connection from this address replaced this one, or the daemon\n"
         "  stopped).\n";
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  char small[512];
  int n = vsnprintf(small, sizeof small, pattern, args);
  va_end(args);
  if (n < 0) return "";
  if (static_cast<size_t>(n) < sizeof small) return small;
  std::string text(static_cast<size_t>(n) + 1, '\0');
  va_start(args, pattern);
  vsnprintf(text.data(), text.size(), pattern, args);
  va_end(args);
  text.resize(static_cast<size_t>(n));
  return text;
}

struct options {
  std::string host = "127.0.0.1";
  int port = 8102;
  bool binary = false;
  bool follow = false;
  bool interactive = false;
  bool raw = false;
  bool fail_on_error = false;
  int timeout_ms = 6000;
  int connect_timeout_ms = 3000;
  int wait_ms = 0;
  std::string con;
  bool has_con = false;
  std::vector<std::string> commands;
};

bool parse_number(const char* text, int low, int high, int* out) {
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

// Splits a command argument or an input chunk into request lines at CR/LF.
void split_lines(const std::string& text, std::deque<std::string>* out) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty()) out->push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

class session {
 public:
  explicit session(const options& opt) : opt_(opt) {}

  int run();

 private:
  bool send_next();
  void handle_unit(const std::string& text, vbdctl::unit_result kind);
  void read_input();
  void take_edited_lines();
  void prompt();
  // Prints on stream; while a line is typed, above the prompt.
  void say(FILE* stream, const std::string& text);

  const options& opt_;
  vbdctl::connection conn_;
  std::deque<std::string> queue_;
  std::deque<vbdctl::expected_reply> awaiting_;
  long long deadline_ = 0;
  bool reading_input_ = false;
  bool input_eof_ = false;
  std::string input_;
  bool tty_ = false;
  std::unique_ptr<vbdctl::line_editor> editor_;  // on a terminal, when built with it
  bool prompted_ = false;
  bool refused_ = false;
  bool missing_ = false;
  bool error_reply_ = false;
  bool usage_error_ = false;
};

void session::say(FILE* stream, const std::string& text) {
  if (editor_) {
    editor_->print(stream, text);
  } else {
    fputs(text.c_str(), stream);
    fflush(stream);
  }
}

void session::prompt() {
  if (editor_) {
    editor_->start_line();
    return;
  }
  if (!tty_ || prompted_) return;
  fputs("vbd> ", stdout);
  fflush(stdout);
  prompted_ = true;
}

bool session::send_next() {
  std::string line = queue_.front();
  queue_.pop_front();
  size_t limit = opt_.binary ? vbdctl::MAX_FRAME_PAYLOAD : vbdctl::MAX_TEXT_LINE;
  if (line.size() > limit) {
    fprintf(stderr, "vbdctl: request too long (%zu bytes, at most %zu)\n", line.size(), limit);
    usage_error_ = true;
    return true;
  }
  if (!opt_.binary && !line.empty() && line[0] == '\x02') {
    // The server takes a request that starts with 0x02 for a binary frame.
    fprintf(stderr, "vbdctl: a text request cannot start with byte 0x02 (use --binary)\n");
    usage_error_ = true;
    return true;
  }
  if (!conn_.send_request(line, opt_.binary)) {
    if (errno == EPIPE || errno == ECONNRESET) say(stderr, explain_close(conn_));
    else fprintf(stderr, "vbdctl: send failed: %s\n", strerror(errno));
    return false;
  }
  prompted_ = false;
  for (const auto& e : vbdctl::expected_replies(line)) awaiting_.push_back(e);
  deadline_ = cg_monotonic_ms() + opt_.timeout_ms;
  return true;
}

void session::handle_unit(const std::string& text, vbdctl::unit_result kind) {
  if (kind == vbdctl::unit_result::bad_frame) {
    say(stderr, "vbdctl: dropped a reply frame with a wrong checksum\n");
    return;
  }
  if (!awaiting_.empty() && vbdctl::reply_fits(awaiting_.front(), text)) {
    const vbdctl::expected_reply expected = awaiting_.front();
    awaiting_.pop_front();
    if (opt_.raw) {
      say(stdout, text + "\n");
    } else {
      std::string meaning = vbdctl::describe_reply(expected, text);
      say(stdout, format("%s -> %s%s%s%s\n", vbdctl::display_label(expected.label).c_str(), text.c_str(),
                         meaning.empty() ? "" : "  (", meaning.c_str(), meaning.empty() ? "" : ")"));
    }
    if (expected.kind == vbdctl::reply_kind::handshake_con && text == "ERR") refused_ = true;
    if (vbdctl::is_error_code(text)) {
      error_reply_ = true;
      awaiting_.clear();  // the first error ends the line on the server
    }
    deadline_ = cg_monotonic_ms() + opt_.timeout_ms;
  } else if (opt_.raw) {
    say(stdout, text + "\n");
  } else {
    std::string meaning = vbdctl::describe_event(text);
    say(stdout, format("event: %s%s%s%s\n", text.c_str(), meaning.empty() ? "" : "  (", meaning.c_str(),
                       meaning.empty() ? "" : ")"));
  }
}

void session::take_edited_lines() {
  std::string line;
  while (editor_->take_line(&line)) split_lines(line, &queue_);
  if (editor_->at_eof()) input_eof_ = true;
}

void session::read_input() {
  char chunk[1024];
  ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
  if (n < 0 && errno == EINTR) return;
  if (n <= 0) {
    input_eof_ = true;
    if (!input_.empty()) split_lines(input_, &queue_);
    input_.clear();
    if (tty_) fputs("\n", stdout);
    return;
  }
  input_.append(chunk, static_cast<size_t>(n));
  size_t last = input_.find_last_of('\n');
  if (last == std::string::npos) return;
  split_lines(input_.substr(0, last), &queue_);
  input_.erase(0, last + 1);
  if (queue_.empty()) prompted_ = false;  // an empty line: prompt again
}

int session::run() {
  std::string error = conn_.open(opt_.host, opt_.port, opt_.connect_timeout_ms);
  if (!error.empty()) {
    fprintf(stderr, "vbdctl: %s\n", error.c_str());
    explain_connect_failure(conn_.open_error());
    return EXIT_CONNECTION;
  }
  if (opt_.has_con) queue_.push_back("CON " + opt_.con);
  for (const std::string& c : opt_.commands) split_lines(c, &queue_);
  reading_input_ = opt_.commands.empty() || opt_.interactive;
  tty_ = reading_input_ && isatty(STDIN_FILENO) && !opt_.raw;
  // Line editing draws on the terminal: standard output must be one too.
  if (tty_ && isatty(STDOUT_FILENO) && vbdctl::line_editor::available()) {
    editor_ = std::make_unique<vbdctl::line_editor>("vbd> ", vbdctl::history_file_path());
  }

  long long linger_until = -1;
  while (!g_stop) {
    if (awaiting_.empty() && !queue_.empty()) {
      if (!send_next()) return EXIT_CONNECTION;
      continue;
    }
    bool idle = awaiting_.empty() && queue_.empty();
    bool want_input = reading_input_ && !input_eof_;
    if (idle && !want_input && !opt_.follow) {
      if (linger_until < 0) linger_until = cg_monotonic_ms() + opt_.wait_ms;
      if (cg_monotonic_ms() >= linger_until) break;
    }
    if (idle && want_input) prompt();

    int wait = -1;
    if (!awaiting_.empty()) wait = static_cast<int>(deadline_ > cg_monotonic_ms() ? deadline_ - cg_monotonic_ms() : 0);
    else if (idle && !want_input && !opt_.follow) wait = static_cast<int>(linger_until - cg_monotonic_ms());
    if (wait < -1) wait = 0;

    pollfd fds[3] = {{conn_.fd(), POLLIN, 0}, {g_wake[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int ready = poll(fds, want_input && idle ? 3 : 2, wait);
    if (ready < 0 && errno != EINTR) {
      fprintf(stderr, "vbdctl: poll: %s\n", strerror(errno));
      return EXIT_CONNECTION;
    }
    bool closed = false;
    if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      vbdctl::read_status status = conn_.fill();
      closed = status == vbdctl::read_status::closed || status == vbdctl::read_status::error;
    }
    std::string text;
    vbdctl::unit_result kind;
    while (conn_.take_buffered(&text, &kind)) handle_unit(text, kind);
    if (closed) {
      if (g_stop) break;
      say(stderr, refused_ ? "vbdctl: the server refused the connection (it admits registered clients only)\n"
                           : explain_close(conn_));
      return EXIT_CONNECTION;
    }
    if (ready > 0 && want_input && idle && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
      if (editor_) {
        editor_->on_input(fds[2].revents);
        take_edited_lines();
      } else {
        read_input();
      }
    }
    if (!awaiting_.empty() && cg_monotonic_ms() >= deadline_) {
      // Replies carry no sequence number: a late one would be taken for the
      // next command's, so nothing more is sent.
      fprintf(stderr, "vbdctl: no reply to %s within %d ms\n", vbdctl::display_label(awaiting_.front().label).c_str(),
              opt_.timeout_ms);
      missing_ = true;
      break;
    }
  }
  if (refused_) return EXIT_CONNECTION;
  if (usage_error_) return EXIT_USAGE;
  if (missing_) return EXIT_NO_REPLY;
  if (opt_.fail_on_error && error_reply_) return EXIT_ERROR_REPLY;
  return 0;
}

int usage_error(const char* what) {
  fprintf(stderr, "vbdctl: %s (see --help)\n", what);
  return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc > 1 && (strcmp(argv[1], "discover") == 0 || strcmp(argv[1], "-d") == 0)) {
    return vbdctl::discover_main(argc - 1, argv + 1);
  }
  enum { OPT_CONNECT_TIMEOUT = 256, OPT_LIST_COMMANDS };
  static const option LONG_OPTIONS[] = {
      {"host", required_argument, nullptr, 'H'},     {"port", required_argument, nullptr, 'p'},
      {"binary", no_argument, nullptr, 'b'},         {"con", required_argument, nullptr, 'c'},
      {"follow", no_argument, nullptr, 'f'},         {"interactive", no_argument, nullptr, 'i'},
      {"wait", required_argument, nullptr, 'w'},     {"timeout", required_argument, nullptr, 't'},
      {"connect-timeout", required_argument, nullptr, OPT_CONNECT_TIMEOUT},
      {"raw", no_argument, nullptr, 'r'},            {"fail-on-error", no_argument, nullptr, 'e'},
      {"list-commands", no_argument, nullptr, OPT_LIST_COMMANDS},
      {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0}};

  options opt;
  bool list_commands = false;
  int c = 0;
  // Options may follow the commands; "--" ends the options.
  while ((c = getopt_long(argc, argv, "H:p:bc:fiw:t:reh", LONG_OPTIONS, nullptr)) != -1) {
    switch (c) {
      case 'H': opt.host = optarg; break;
      case 'p':
        if (!parse_number(optarg, 1, 65535, &opt.port)) return usage_error("bad --port");
        break;
      case 'b': opt.binary = true; break;
      case 'c':
        opt.con = optarg;
        opt.has_con = true;
        break;
      case 'f': opt.follow = true; break;
      case 'i': opt.interactive = true; break;
      case 'w':
        if (!parse_number(optarg, 0, 86400000, &opt.wait_ms)) return usage_error("bad --wait");
        break;
      case 't':
        if (!parse_number(optarg, 1, 86400000, &opt.timeout_ms)) return usage_error("bad --timeout");
        break;
      case OPT_CONNECT_TIMEOUT:
        if (!parse_number(optarg, 1, 86400000, &opt.connect_timeout_ms)) {
          return usage_error("bad --connect-timeout");
        }
        break;
      case 'r': opt.raw = true; break;
      case 'e': opt.fail_on_error = true; break;
      case 'h': fputs(HELP, stdout); return 0;
      case OPT_LIST_COMMANDS: list_commands = true; break;
      default: return usage_error("unknown option");
    }
  }
  for (int i = optind; i < argc; ++i) opt.commands.emplace_back(argv[i]);
  if (list_commands) {
    // The table, or the completions of a word (for shell completion).
    if (opt.commands.size() > 1) return usage_error("--list-commands takes at most one WORD");
    auto names = opt.commands.empty() ? vbdctl::command_mnemonics() : vbdctl::complete_word(opt.commands[0]);
    for (const std::string& name : names) printf("%s\n", name.c_str());
    return 0;
  }

  if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    fprintf(stderr, "vbdctl: pipe: %s\n", strerror(errno));
    return EXIT_CONNECTION;
  }
  vbd_tools::install_stop_signals(on_signal);

  session s(opt);
  return s.run();
}
