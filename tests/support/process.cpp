// Test support: child programs with captured output, the launcher, and
// the capture of this process's own output.
#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tests/support/clock.h"
#include "tests/support/tcp.h"
#include "tests/support/text.h"

namespace vbd_test {

namespace {

std::string resolve_program(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
  while (!dirs.empty()) {
    size_t colon = dirs.find(':');
    std::string candidate = std::string(dirs.substr(0, colon)) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  return name;
}

}  // namespace

// ---------------------------------------------------------------------------
// process
// ---------------------------------------------------------------------------

std::unique_ptr<process> process::start(const std::vector<std::string>& argv, const spawn_options& options) {
  if (argv.empty()) return nullptr;
  int in[2];
  int out[2];
  int err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return nullptr;
  if (pipe2(out, O_CLOEXEC) != 0) return nullptr;
  if (pipe2(err, O_CLOEXEC) != 0) return nullptr;

  // Everything the child needs is prepared before the fork, the program's
  // path included ("ip" is looked up in PATH like a shell would).
  std::string program = resolve_program(argv[0]);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_storage;
  for (char** e = environ; *e != nullptr; ++e) env_storage.emplace_back(*e);
  for (const std::string& e : options.env) env_storage.push_back(e);
  std::vector<char*> env;
  for (std::string& e : env_storage) env.push_back(e.data());
  env.push_back(nullptr);
  pid_t parent = getpid();

  pid_t pid = fork();
  if (pid == -1) return nullptr;
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(program.c_str(), args.data(), env.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  std::unique_ptr<process> p(new process());
  p->pid_ = pid;
  p->in_fd_ = in[1];
  p->out_fd_ = out[0];
  p->err_fd_ = err[0];
  fcntl(p->out_fd_, F_SETFL, O_NONBLOCK);
  fcntl(p->err_fd_, F_SETFL, O_NONBLOCK);
  return p;
}

process::~process() {
  if (!reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
  close_stdin();
  if (out_fd_ != -1) close(out_fd_);
  if (err_fd_ != -1) close(err_fd_);
}

bool process::send(std::string_view text) {
  if (in_fd_ == -1) return false;
  while (!text.empty()) {
    ssize_t n = write(in_fd_, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void process::close_stdin() {
  if (in_fd_ != -1) close(in_fd_);
  in_fd_ = -1;
}

void process::pump(int timeout_ms) {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (out_fd_ == -1 && err_fd_ == -1) {
    sleep_ms(timeout_ms);
    return;
  }
  if (poll(fds, 2, timeout_ms) <= 0) return;
  char buffer[4096];
  for (int i = 0; i < 2; ++i) {
    int& fd = i == 0 ? out_fd_ : err_fd_;
    if (fd == -1 || fds[i].revents == 0) continue;
    while (true) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || errno != EINTR) {
        // End of output: stop polling it (poll ignores a negative fd).
        if (n == 0) {
          close(fd);
          fd = -1;
        }
        break;
      }
    }
  }
}

std::string process::out() {
  pump(0);
  return out_;
}

std::string process::err() {
  pump(0);
  return err_;
}

bool process::wait_text(const std::string& buffer, std::string_view text, int timeout_ms, int count) {
  long long deadline = now_ms() + timeout_ms;
  while (true) {
    pump(0);
    if (count_of(buffer, text) >= static_cast<size_t>(count)) return true;
    long long left = deadline - now_ms();
    if (left <= 0) return false;
    pump(static_cast<int>(left < 20 ? left : 20));
  }
}

bool process::wait_for(std::string_view text, int timeout_ms, int count) {
  return wait_text(out_, text, timeout_ms, count);
}

bool process::wait_for_err(std::string_view text, int timeout_ms, int count) {
  return wait_text(err_, text, timeout_ms, count);
}

bool process::signal(int signal_number) { return !reaped_ && kill(pid_, signal_number) == 0; }

bool process::wait_exit(int timeout_ms, int* status) {
  long long deadline = now_ms() + timeout_ms;
  while (!reaped_) {
    if (waitpid(pid_, &status_, WNOHANG) == pid_) {
      reaped_ = true;
      break;
    }
    if (now_ms() >= deadline) return false;
    pump(10);
  }
  pump(0);
  if (status != nullptr) *status = status_;
  return true;
}

bool process::exited_with(int code, int timeout_ms) {
  int status = 0;
  return wait_exit(timeout_ms, &status) && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// ---------------------------------------------------------------------------
// launch
// ---------------------------------------------------------------------------

std::unique_ptr<process> launch(const std::string& program, const std::vector<std::string>& args,
                                const launch_options& options) {
  std::vector<std::string> argv;
  if (!options.netns.empty()) argv = {"ip", "netns", "exec", options.netns};
  if (!options.output_files.empty()) {
    const std::string& name = options.output_files;
    argv.insert(argv.end(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >>" + name + ".out 2>>" + name + ".err"});
  }
  argv.insert(argv.end(), options.wrapper.begin(), options.wrapper.end());
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  spawn_options spawn;
  spawn.cwd = options.cwd;
  return process::start(argv, spawn);
}

std::string start_player_and_daemon(std::unique_ptr<process>* sim, std::unique_ptr<process>* daemon,
                                    const std::vector<std::string>& sim_args) {
  constexpr int WAIT_MS = 8000;
  *sim = launch(sim_path(), sim_args);
  if (!*sim) return "the simulator does not start";
  if (!(*sim)->wait_for("[sim] queue key 116", WAIT_MS)) return "the simulator opens no queue:\n" + (*sim)->err();
  *daemon = launch(server_path(), {});
  if (!*daemon) return "the daemon does not start";
  if (!(*sim)->wait_for("[sim] hello from server pid", WAIT_MS)) {
    return "no hello from the daemon:\n" + (*daemon)->out() + (*daemon)->err();
  }
  for (int i = 0; i < 200; ++i) {
    int fd = tcp_connect("127.0.0.1", "127.0.0.1", 8102, 0);
    if (fd != -1) {
      close(fd);
      sleep_ms(50);
      return "";
    }
    sleep_ms(25);
  }
  return "the daemon does not listen:\n" + (*daemon)->out() + (*daemon)->err();
}

std::string copy_description(const std::string& dir) {
  namespace fs = std::filesystem;
  const fs::path source = fs::path(source_path("packaging"));
  std::error_code ec;
  fs::copy(source / "description.xml", fs::path(dir) / "description.xml", ec);
  if (!ec) fs::copy(source / "description", fs::path(dir) / "description", fs::copy_options::recursive, ec);
  return ec ? "copying the description to " + dir + ": " + ec.message() : "";
}

// ---------------------------------------------------------------------------
// output_capture
// ---------------------------------------------------------------------------

output_capture::output_capture() {
  std::fflush(nullptr);
  file_ = memfd_create("vbd-test-output", MFD_CLOEXEC);
  saved_out_ = dup(STDOUT_FILENO);
  saved_err_ = dup(STDERR_FILENO);
  dup2(file_, STDOUT_FILENO);
  dup2(file_, STDERR_FILENO);
}

output_capture::~output_capture() {
  std::fflush(nullptr);
  std::string captured = all();
  dup2(saved_out_, STDOUT_FILENO);
  dup2(saved_err_, STDERR_FILENO);
  close(saved_out_);
  close(saved_err_);
  close(file_);
  if (::testing::Test::HasFailure()) {
    std::fprintf(stdout, "---- output of the code under test ----\n%s---- end of output ----\n", captured.c_str());
    std::fflush(stdout);
  }
}

std::string output_capture::all() const {
  std::fflush(stdout);
  std::string out;
  char buffer[4096];
  off_t offset = 0;
  while (true) {
    ssize_t n = pread(file_, buffer, sizeof buffer, offset);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  return out;
}

std::string output_capture::text() const {
  std::string everything = all();
  return mark_ < everything.size() ? everything.substr(mark_) : "";
}

void output_capture::mark() { mark_ = all().size(); }

bool output_capture::wait_for(std::string_view needle, int timeout_ms, int count) const {
  return wait_until([&] { return count_of(text(), needle) >= static_cast<size_t>(count); }, timeout_ms);
}

}  // namespace vbd_test
