// The simulator engine: reads the daemon's messages from the queue, answers
// commands from the player model (with the scripted delays, drops and
// overrides), pushes the model's events, and runs script commands.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/player_sim/player_model.h"
#include "tools/player_sim/sim_queue.h"

namespace sim {

// Fields of a reply that a script forces to given values.
struct reply_override {
  std::optional<int32_t> kind;
  std::optional<int32_t> cmd;
  std::optional<int32_t> param;
  std::optional<int32_t> ret_id;
  std::optional<int32_t> cmd_id;
  std::optional<int32_t> result;
  bool empty() const { return !kind && !cmd && !param && !ret_id && !cmd_id && !result; }
};

// Parses "key=value" pairs separated by commas or spaces (keys kind, cmd,
// param, ret_id, cmd_id, result; values in C notation). False on an error.
bool parse_override(std::string_view fields, reply_override* out, std::string* error);

struct engine_options {
  int key = VBD_QUEUE_KEY;
  player_config player;
  int delay_ms = 0;
  bool no_reply = false;
  int drop = 0;
  reply_override always;
  bool events = true;
  bool standby_report = true;
  bool keep_queue = false;
  std::vector<std::string> on_hello;
};

uint64_t monotonic_ms();

// The script commands, one per line with what each does: the end of
// --help, and what the script command "help" prints.
extern const char SCRIPT_HELP[];

class engine {
 public:
  engine(const engine_options& options, FILE* log);

  // Opens the queue; false (with a line on standard error) on failure.
  // Unless keep_queue is set, first drops the commands it holds from before.
  bool open();
  // Lets a thread block on the queue from now on and answer each message on
  // that thread, under lock(); the loop waits on wait_fd(), which is set
  // after every message (the answer may have left a delayed reply or model
  // change for the loop). False when it cannot start.
  bool start_reader();
  // Held by the loop around every other call once the reader runs. A
  // script's wait lets go of it while it waits.
  std::mutex& lock() { return lock_; }
  // Readable while the reader holds messages; -1 without a reader.
  int wait_fd() const { return reader_.fd(); }
  // How long the loop may block: until the next delayed reply, a tick while
  // the playback position moves (for its status changes), else -1.
  int next_wake_ms() const;
  // Runs one script command line. False when the script asks to quit.
  bool run_command(std::string_view line);
  // Takes every waiting message (without a reader), moves the player on and
  // sends what is due.
  void poll();
  // Milliseconds until the next delayed reply is due, or -1 when none waits.
  int next_due_ms() const;
  const player_model& player() const { return player_; }

 private:
  struct pending_reply {
    uint64_t due_ms;
    body msg;
  };

  void handle(const body& msg);
  // Drops the commands the queue holds from before this start (their sender
  // gave up on them long ago: answering one would hand its reply to a later
  // command, as replies carry no sequence number) and handles every other
  // waiting message, a hello included.
  void drain_stale_commands();
  void answer(const body& request);
  void flush_replies(uint64_t now);
  void flush_model();
  void send_body(const body& msg);
  void send_event(std::string_view text);
  void send_event_fill(int count, char fill);
  void send_standby(int mode);
  void send_kind(int kind, int32_t cmd_index, int32_t param);

  engine_options options_;
  FILE* log_;
  // Waits up to ms for the reader, handling what arrives (the script's wait).
  void wait_handling(int ms);

  // The reader thread's turn: one message answered.
  void take_message(const body& msg);
  // One message handled: a prompt reply goes out before the events its
  // command caused.
  void answer_message(const body& msg);
  // The player moved on to now, and what that made due is sent.
  void settle();

  std::mutex lock_;
  int qid_ = -1;
  queue_reader reader_;
  bool reading_ = false;
  player_model player_;
  std::optional<reply_override> next_override_;
  std::deque<pending_reply> pending_;
};

}  // namespace sim
