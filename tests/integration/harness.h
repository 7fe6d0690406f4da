// Test harness for running the daemon and the player simulator as real
// processes: private IPC and network namespaces, child processes with
// captured output, a queue peer that plays the player (or the daemon) in a
// test, and a runner for test code that needs a fresh process.
//
// Typical use:
//   ASSERT_EQ(vbd_test::enter_private_namespaces(), "");   // first, in the test thread
//   auto sim = vbd_test::process::start({vbd_test::sim_path()});
//   auto daemon = vbd_test::process::start({vbd_test::server_path()});
//   ASSERT_TRUE(sim->wait_for("hello from server pid", 3000));
//
// Processes started from a thread share that thread's namespaces, so every
// test gets its own queue 116 and its own empty network, and tests can run
// in parallel.
#pragma once

#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/player_link.h"

namespace vbd_test {

// Milliseconds of the monotonic clock, and a plain sleep.
long long now_ms();
void sleep_ms(int ms);

// Moves the calling thread (and every process it starts afterwards) into a
// fresh IPC namespace and, when net is true, a fresh network namespace with
// only its loopback interface, brought up. May be called again for another
// fresh pair. Returns "" on success, otherwise what failed. Needs root.
std::string enter_private_namespaces(bool net = true);

// Paths of the built programs.
std::string server_path();
std::string sim_path();

struct spawn_options {
  std::string cwd;                 // working directory ("" keeps the test's)
  std::vector<std::string> env;    // extra "NAME=value" entries
};

// A child process with its standard input writable and its standard output
// and error captured. Killed (SIGKILL) and reaped when destroyed. argv[0]
// without a slash is looked up in PATH, so a program can be started in a
// named network namespace with {"ip", "netns", "exec", name, program, ...};
// it still shares the IPC namespace of the thread that starts it.
class process {
 public:
  static std::unique_ptr<process> start(const std::vector<std::string>& argv, const spawn_options& options = {});
  ~process();
  process(const process&) = delete;
  process& operator=(const process&) = delete;

  pid_t pid() const { return pid_; }
  // Writes to the child's standard input; false when it is closed.
  bool send(std::string_view text);
  void close_stdin();
  // Everything written so far on standard output / standard error.
  std::string out();
  std::string err();
  // Waits until standard output holds the text count times. False on time-out.
  bool wait_for(std::string_view text, int timeout_ms, int count = 1);
  bool wait_for_err(std::string_view text, int timeout_ms, int count = 1);
  bool signal(int signal_number);
  // Waits for the exit; true with the raw wait status when it ended in time.
  bool wait_exit(int timeout_ms, int* status = nullptr);
  // True once the process has ended with exit status code.
  bool exited_with(int code, int timeout_ms);

 private:
  process() = default;
  void pump(int timeout_ms);
  bool wait_text(const std::string& (process::*buffer)() const, std::string_view text, int timeout_ms, int count);
  const std::string& out_buffer() const { return out_; }
  const std::string& err_buffer() const { return err_; }

  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::string out_;
  std::string err_;
};

// The queue as seen by the other side: a test that plays the player's main
// program (or the daemon) sends and receives message bodies directly.
class queue_peer {
 public:
  // Opens (creating) the queue with the key.
  explicit queue_peer(int key = CONTROLAPP_MSGQ_KEY);
  bool ok() const { return qid_ != -1; }
  int qid() const { return qid_; }
  bool send(long type, const controlapp_msg& msg);
  // Raw body of any length up to 256 bytes.
  bool send_raw(long type, const void* bytes, int length);
  // Polls for a message of the type until the time-out; false when none came.
  bool receive(long type, controlapp_msg* out, int timeout_ms);
  // Messages in the queue, all types; -1 on error.
  int count() const;

 private:
  int qid_ = -1;
};

// Message bodies as the player sends them.
controlapp_msg make_reply(int cmd, int ret_id, int cmd_id, int result = 0);
controlapp_msg make_message(int kind, int cmd = 0);

// Runs fn in a forked child of the calling thread (same namespaces, fresh
// copy of every global) and expects it to finish without a test failure
// within timeout_ms. The child's test failures are reported by the child.
// Returns the child's pid.
pid_t run_in_child(const std::function<void()>& fn, int timeout_ms = 60000);

// Sends this process's standard output and error to a memory file while it
// lives, so a test can read what the code under test printed. Process-wide:
// use it in a child of run_in_child. On destruction the captured text is
// copied to the real standard output when the test has failed.
class output_capture {
 public:
  output_capture();
  ~output_capture();
  output_capture(const output_capture&) = delete;
  output_capture& operator=(const output_capture&) = delete;
  // Everything printed so far (standard output is flushed first).
  std::string text();
  bool wait_for(std::string_view needle, int timeout_ms, int count = 1);

 private:
  int file_ = -1;
  int saved_out_ = -1;
  int saved_err_ = -1;
};

// Text helpers for captured output.
size_t count_of(std::string_view text, std::string_view needle);
// True when the parts occur in text in this order (each after the previous).
bool in_order(std::string_view text, std::initializer_list<std::string_view> parts);

}  // namespace vbd_test
