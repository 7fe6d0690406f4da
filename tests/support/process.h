// Test support: processes. A child program with its standard input
// writable and its output captured; the one launcher for the daemon and the
// player simulator (in a named namespace, a working directory, under a
// wrapper, output in pipes or in files); and the capture of this process's
// own output for code under test run in a test child.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vbd_test {

struct spawn_options {
  std::string cwd;               // working directory ("" keeps the test's)
  std::vector<std::string> env;  // extra "NAME=value" entries
};

// A child process with its standard input writable and its standard output
// and error captured. Killed (SIGKILL) and reaped when destroyed. argv[0]
// without a slash is looked up in PATH. It shares the namespaces of the
// thread that starts it.
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
  // Waits until standard output (error) holds the text count times. False
  // on time-out.
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
  bool wait_text(const std::string& buffer, std::string_view text, int timeout_ms, int count);

  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::string out_;
  std::string err_;
};

struct launch_options {
  std::string netns;                 // a named network namespace ("" the caller's)
  std::string cwd;                   // working directory ("" keeps the test's)
  std::vector<std::string> wrapper;  // a command the program runs under (valgrind ...)
  // When set, standard output and error are appended to NAME.out and
  // NAME.err in the working directory instead of the pipes.
  std::string output_files;
};

// The one way tests start the daemon (server_path()) or the simulator
// (sim_path()): program with args as the options say. The IPC namespace is
// always the starting thread's. nullptr when it cannot start.
std::unique_ptr<process> launch(const std::string& program, const std::vector<std::string>& args,
                                const launch_options& options = {});
// The simulator with sim_args, then the daemon, both launched as above in
// the calling thread's namespaces. Returns once the simulator's queue is
// open, the daemon's hello has reached it and the control port accepts on
// 127.0.0.1:8102 (a probe connection, closed again with a short pause so it
// has ended before the test's first client). "" or what failed, with the
// programs' output.
std::string start_player_and_daemon(std::unique_ptr<process>* sim, std::unique_ptr<process>* daemon,
                                    const std::vector<std::string>& sim_args = {});
// Copies the packaged description and its icons into dir; "" or what failed.
std::string copy_description(const std::string& dir);

// Sends this process's standard output and error to a memory file while it
// lives, so a test can read what the code under test printed. Process-wide:
// use it in a test child. On destruction the captured text is copied to
// the real standard output when the test has failed.
class output_capture {
 public:
  output_capture();
  ~output_capture();
  output_capture(const output_capture&) = delete;
  output_capture& operator=(const output_capture&) = delete;
  // Everything printed since the capture began or the last mark()
  // (standard output is flushed first).
  std::string text() const;
  // Later text() calls only return what is printed after this.
  void mark();
  bool wait_for(std::string_view needle, int timeout_ms, int count = 1) const;

 private:
  std::string all() const;

  int file_ = -1;
  int saved_out_ = -1;
  int saved_err_ = -1;
  size_t mark_ = 0;
};

}  // namespace vbd_test
