// The simulator engine: message handling, reply scheduling and the script
// commands that steer it.
#include "tools/player_sim/sim_engine.h"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "runtime/runtime.h"

namespace sim {

namespace {

// While the playback position moves, the loop wakes this often so that the
// end of a title or disc is reported promptly.
constexpr int MOVING_TICK_MS = 100;
// Without a reader thread (tests drive poll() themselves) the queue is read
// at this interval.
constexpr int POLL_WITHOUT_READER_MS = 5;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

// Splits off the first word; the rest is trimmed.
std::string_view take_word(std::string_view* s) {
  *s = trim(*s);
  size_t end = s->find_first_of(" \t");
  std::string_view word = s->substr(0, end);
  *s = end == std::string_view::npos ? std::string_view{} : trim(s->substr(end));
  return word;
}

// An integer in C notation (decimal, 0x hexadecimal, leading minus).
bool parse_int(std::string_view text, int32_t* out) {
  std::string copy(text);
  if (copy.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long value = strtoll(copy.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > static_cast<long long>(UINT32_MAX)) return false;
  *out = static_cast<int32_t>(static_cast<uint32_t>(value));
  return true;
}

bool parse_on_off(std::string_view text, bool* out) {
  if (text == "on" || text == "1" || text == "yes") *out = true;
  else if (text == "off" || text == "0" || text == "no") *out = false;
  else return false;
  return true;
}

void apply_override(const reply_override& o, body* msg) {
  if (o.kind) msg->cmd_type = *o.kind;
  if (o.cmd) msg->cmd = *o.cmd;
  if (o.param) msg->param = *o.param;
  if (o.ret_id) msg->ret.ret_id = *o.ret_id;
  if (o.cmd_id) msg->ret.cmd_id = *o.cmd_id;
  if (o.result) msg->result = *o.result;
}


}  // namespace

uint64_t monotonic_ms() { return static_cast<uint64_t>(cg_monotonic_ms()); }

bool parse_override(std::string_view fields, reply_override* out, std::string* error) {
  reply_override o;
  std::string text(fields);
  for (char& c : text) {
    if (c == ',') c = ' ';
  }
  std::string_view rest = text;
  while (true) {
    std::string_view pair = take_word(&rest);
    if (pair.empty()) break;
    size_t eq = pair.find('=');
    int32_t value = 0;
    if (eq == std::string_view::npos || !parse_int(pair.substr(eq + 1), &value)) {
      *error = "bad override \"" + std::string(pair) + "\"";
      return false;
    }
    std::string_view key = pair.substr(0, eq);
    if (key == "kind") o.kind = value;
    else if (key == "cmd") o.cmd = value;
    else if (key == "param") o.param = value;
    else if (key == "ret_id") o.ret_id = value;
    else if (key == "cmd_id") o.cmd_id = value;
    else if (key == "result") o.result = value;
    else {
      *error = "unknown override field \"" + std::string(key) + "\"";
      return false;
    }
  }
  *out = o;
  return true;
}

const char SCRIPT_HELP[] =
    "Script commands (one per line on standard input, or with -e/--on-hello):\n"
    "  event TEXT             push an auto-feedback text (kind 1)\n"
    "  event-fill N [C]       push N bytes of C (default A) as the text; N 136\n"
    "                         fills the body to its end with no NUL\n"
    "  standby N              report standby state N (kind 4)\n"
    "  shutdown               ask the daemon to shut down (kind 3)\n"
    "  raw KIND [CMD [PARAM]] send a message of any kind on type 1234\n"
    "  delay MS               delay later replies by MS milliseconds\n"
    "  noreply on|off         stop / resume answering commands\n"
    "  drop N                 leave the next N commands unanswered\n"
    "  next FIELDS            force fields of the next reply only\n"
    "  override FIELDS|off    force fields of every later reply\n"
    "  events on|off          auto-feedback texts on state changes\n"
    "  power on|off           front-panel power\n"
    "  tray open|close        front-panel tray\n"
    "  disc bd|dvd|cd|none    swap the disc (stops playback)\n"
    "  state                  print the player state\n"
    "  wait MS                keep serving for MS milliseconds before the next\n"
    "                         script command\n"
    "  help                   this list\n"
    "  quit                   exit\n";

engine::engine(const engine_options& options, FILE* log)
    : options_(options), log_(log), player_(options.player, monotonic_ms()) {}

bool engine::open() {
  qid_ = queue_open(options_.key);
  if (qid_ == -1) {
    fprintf(stderr, "[sim] cannot open queue key %d: %s\n", options_.key, strerror(errno));
    return false;
  }
  // The drain comes before the line that says the queue is open, so a peer
  // that waits for that line cannot lose a command to it.
  if (!options_.keep_queue) drain_stale_commands();
  fprintf(log_, "[sim] queue key %d qid %d\n", options_.key, qid_);
  return true;
}

void engine::drain_stale_commands() {
  int dropped = 0;
  body msg{};
  while (queue_receive(qid_, VBD_MSGTYPE_TO_MAIN, &msg)) {
    if (msg.cmd_type == VBD_MSG_NORMAL) {
      ++dropped;
    } else {
      handle(msg);
    }
  }
  if (dropped > 0) {
    fprintf(log_, "[sim] dropped %d command%s left in the queue from before\n", dropped, dropped == 1 ? "" : "s");
  }
}

void engine::send_body(const body& msg) {
  if (!queue_send(qid_, VBD_MSGTYPE_FROM_MAIN, msg)) {
    fprintf(stderr, "[sim] message of kind %d dropped: %s\n", msg.cmd_type,
            errno == EAGAIN ? "queue full (is the daemon reading?)" : strerror(errno));
  }
}

void engine::send_kind(int kind, int32_t cmd_index, int32_t param) {
  body msg{};
  msg.cmd_type = kind;
  msg.cmd = cmd_index;
  msg.param = param;
  if (kind == VBD_MSG_STANDBY) msg.standby_mode = param;
  send_body(msg);
}

void engine::send_event(std::string_view text) {
  body msg{};
  msg.cmd_type = VBD_MSG_AUTO_FEEDBACK;
  // The text, NUL-terminated, may use the body up to its last byte.
  constexpr size_t longest = VBD_FEEDBACK_MAX - 1;
  size_t n = text.size() < longest ? text.size() : longest;
  memcpy(reinterpret_cast<char*>(&msg) + VBD_FEEDBACK_OFFSET, text.data(), n);
  send_body(msg);
  fprintf(log_, "[sim] event \"%.*s\"\n", static_cast<int>(n), text.data());
}

void engine::send_event_fill(int count, char fill) {
  body msg{};
  msg.cmd_type = VBD_MSG_AUTO_FEEDBACK;
  int n = count < 0 ? 0 : count > VBD_FEEDBACK_MAX ? VBD_FEEDBACK_MAX : count;
  memset(reinterpret_cast<char*>(&msg) + VBD_FEEDBACK_OFFSET, fill, static_cast<size_t>(n));
  send_body(msg);
  fprintf(log_, "[sim] event fill %d '%c'%s\n", n, fill, n == VBD_FEEDBACK_MAX ? " (no NUL)" : "");
}

void engine::send_standby(int mode) {
  send_kind(VBD_MSG_STANDBY, 0, mode);
  fprintf(log_, "[sim] standby %d\n", mode);
}

void engine::handle(const body& msg) {
  switch (msg.cmd_type) {
    case VBD_MSG_HELLO:
      fprintf(log_, "[sim] hello from server pid %d\n", msg.pid);
      if (options_.standby_report) send_standby(player_.standby());
      for (const std::string& line : options_.on_hello) run_command(line);
      break;
    case VBD_MSG_NORMAL: answer(msg); break;
    default: fprintf(log_, "[sim] ignored message kind %d cmd %d\n", msg.cmd_type, msg.cmd); break;
  }
}

void engine::answer(const body& request) {
  fprintf(log_, "[sim] recv cmd %d (%s) param 0x%08x\n", request.cmd, command_name(request.cmd),
          static_cast<unsigned>(request.param));
  outcome out = player_.execute(request.cmd, request.param, monotonic_ms());
  bool silent = options_.no_reply;
  if (!silent && options_.drop > 0) {
    --options_.drop;
    silent = true;
  }
  if (silent) {
    fprintf(log_, "[sim] no reply to cmd %d\n", request.cmd);
    return;
  }
  body reply{};
  reply.cmd_type = VBD_MSG_NORMAL;
  reply.cmd = request.cmd;
  reply.param = request.param;
  reply.ret = out.ret;
  reply.user_value = request.user_value;
  reply.result = out.result;
  apply_override(options_.always, &reply);
  if (next_override_) {
    apply_override(*next_override_, &reply);
    next_override_.reset();
  }
  pending_.push_back({monotonic_ms() + static_cast<uint64_t>(options_.delay_ms), reply});
}

void engine::flush_replies(uint64_t now) {
  while (!pending_.empty() && pending_.front().due_ms <= now) {
    const body& reply = pending_.front().msg;
    send_body(reply);
    fprintf(log_, "[sim] reply kind %d cmd %d ret_id %d cmd_id %d result %d\n", reply.cmd_type, reply.cmd,
            reply.ret.ret_id, reply.ret.cmd_id, reply.result);
    pending_.pop_front();
  }
}

void engine::flush_model() {
  int standby = 0;
  if (player_.take_standby_change(&standby) && options_.standby_report) send_standby(standby);
  for (const std::string& text : player_.take_feedback()) {
    if (options_.events) send_event(text);
  }
}

bool engine::start_reader() {
  if (qid_ == -1 || reading_) return reading_;
  reading_ = reader_.start(qid_, VBD_MSGTYPE_TO_MAIN, [this](const body& msg) { take_message(msg); });
  return reading_;
}

void engine::take_message(const body& msg) {
  std::lock_guard<std::mutex> guard(lock_);
  answer_message(msg);
  settle();
}

void engine::answer_message(const body& msg) {
  handle(msg);
  flush_replies(monotonic_ms());
}

void engine::settle() {
  player_.advance(monotonic_ms());
  flush_replies(monotonic_ms());
  flush_model();
}

int engine::next_wake_ms() const {
  int due = next_due_ms();
  transport t = player_.state();
  bool moving = player_.power_on() && (t == transport::play || t == transport::scan_forward ||
                                       t == transport::scan_reverse);
  if (moving && (due < 0 || due > MOVING_TICK_MS)) due = MOVING_TICK_MS;
  return due;
}

void engine::wait_handling(int ms) {
  uint64_t until = monotonic_ms() + static_cast<uint64_t>(ms);
  for (uint64_t now = monotonic_ms(); now < until; now = monotonic_ms()) {
    int left = static_cast<int>(until - now);
    int wake = next_wake_ms();
    if (wake >= 0 && wake < left) left = wake;
    if (reading_) {
      // The reader answers meanwhile; it needs the lock this wait holds.
      lock_.unlock();
      pollfd fd{reader_.fd(), POLLIN, 0};
      ::poll(&fd, 1, left);
      lock_.lock();
    } else {
      cg_sleep_ms(left < POLL_WITHOUT_READER_MS ? left : POLL_WITHOUT_READER_MS);
    }
    poll();
  }
}

void engine::poll() {
  if (reading_) {
    reader_.clear();  // the reader answered what came
  } else {
    body msg{};
    while (qid_ != -1 && queue_receive(qid_, VBD_MSGTYPE_TO_MAIN, &msg)) answer_message(msg);
  }
  settle();
}

int engine::next_due_ms() const {
  if (pending_.empty()) return -1;
  uint64_t now = monotonic_ms();
  return pending_.front().due_ms <= now ? 0 : static_cast<int>(pending_.front().due_ms - now);
}

bool engine::run_command(std::string_view line) {
  std::string_view rest = trim(line);
  if (rest.empty() || rest.front() == '#') return true;
  std::string_view verb = take_word(&rest);
  int32_t a = 0;
  int32_t b = 0;
  int32_t c = 0;
  bool flag = false;
  uint64_t now = monotonic_ms();
  auto bad = [&] {
    fprintf(stderr, "[sim] bad script command: %.*s\n", static_cast<int>(line.size()), line.data());
    return true;
  };

  if (verb == "event") {
    send_event(rest);
  } else if (verb == "event-fill") {
    std::string_view count = take_word(&rest);
    if (!parse_int(count, &a)) return bad();
    send_event_fill(a, rest.empty() ? 'A' : rest.front());
  } else if (verb == "standby") {
    if (!parse_int(rest, &a)) return bad();
    send_standby(a);
  } else if (verb == "shutdown") {
    send_kind(VBD_MSG_SHUTDOWN, 0, 0);
    fprintf(log_, "[sim] shutdown\n");
  } else if (verb == "raw") {
    if (!parse_int(take_word(&rest), &a)) return bad();
    std::string_view second = take_word(&rest);
    std::string_view third = take_word(&rest);
    if ((!second.empty() && !parse_int(second, &b)) || (!third.empty() && !parse_int(third, &c))) return bad();
    send_kind(a, b, c);
    fprintf(log_, "[sim] sent kind %d cmd %d param %d\n", a, b, c);
  } else if (verb == "delay") {
    if (!parse_int(rest, &a) || a < 0) return bad();
    options_.delay_ms = a;
    fprintf(log_, "[sim] delay %d ms\n", a);
  } else if (verb == "noreply") {
    if (!parse_on_off(rest, &flag)) return bad();
    options_.no_reply = flag;
    fprintf(log_, "[sim] noreply %s\n", flag ? "on" : "off");
  } else if (verb == "drop") {
    if (!parse_int(rest, &a) || a < 0) return bad();
    options_.drop = a;
    fprintf(log_, "[sim] drop %d\n", a);
  } else if (verb == "override" || verb == "next") {
    reply_override o;
    std::string error;
    if (verb == "override" && rest == "off") {
      options_.always = {};
    } else if (!parse_override(rest, &o, &error)) {
      fprintf(stderr, "[sim] %s\n", error.c_str());
      return true;
    } else if (verb == "override") {
      options_.always = o;
    } else {
      next_override_ = o;
    }
    fprintf(log_, "[sim] %.*s %.*s\n", static_cast<int>(verb.size()), verb.data(), static_cast<int>(rest.size()),
            rest.data());
  } else if (verb == "events") {
    if (!parse_on_off(rest, &flag)) return bad();
    options_.events = flag;
  } else if (verb == "power") {
    if (!parse_on_off(rest, &flag)) return bad();
    player_.set_power(flag, now);
  } else if (verb == "tray") {
    if (rest != "open" && rest != "close" && rest != "closed") return bad();
    player_.set_tray(rest == "open", now);
  } else if (verb == "disc") {
    disc_kind disc;
    if (!parse_disc(std::string(rest), &disc)) return bad();
    player_.set_disc(disc, now);
  } else if (verb == "state") {
    player_.advance(now);
    fprintf(log_, "[sim] state %s\n", player_.describe().c_str());
  } else if (verb == "wait") {
    if (!parse_int(rest, &a) || a < 0) return bad();
    wait_handling(a);
  } else if (verb == "help") {
    fputs(SCRIPT_HELP, log_);
  } else if (verb == "quit") {
    return false;
  } else {
    return bad();
  }
  flush_model();
  return true;
}

}  // namespace sim
