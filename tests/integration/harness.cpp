// Test harness: namespaces, child processes with captured output, the queue
// peer and the forked test runner.
#include "tests/integration/harness.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace vbd_test {

long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

namespace {

std::string errno_text(const char* what) { return std::string(what) + ": " + strerror(errno); }

bool bring_loopback_up() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return false;
  ifreq req{};
  strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
  if (ok) {
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    ok = ioctl(fd, SIOCSIFFLAGS, &req) == 0;
  }
  close(fd);
  return ok;
}

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

std::string enter_private_namespaces(bool net) {
  int flags = CLONE_NEWIPC | (net ? CLONE_NEWNET : 0);
  if (unshare(flags) != 0) return errno_text("unshare");
  if (net && !bring_loopback_up()) return errno_text("loopback up");
  return "";
}

std::string server_path() { return VBD_SERVER_BIN; }
std::string sim_path() { return VBD_PLAYER_SIM_BIN; }

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
    if (timeout_ms > 0) sleep_ms(timeout_ms);
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

bool process::wait_text(const std::string& (process::*buffer)() const, std::string_view text, int timeout_ms,
                        int count) {
  long long deadline = now_ms() + timeout_ms;
  while (true) {
    pump(0);
    if (count_of((this->*buffer)(), text) >= static_cast<size_t>(count)) return true;
    long long left = deadline - now_ms();
    if (left <= 0) return false;
    pump(static_cast<int>(left < 20 ? left : 20));
  }
}

bool process::wait_for(std::string_view text, int timeout_ms, int count) {
  return wait_text(&process::out_buffer, text, timeout_ms, count);
}

bool process::wait_for_err(std::string_view text, int timeout_ms, int count) {
  return wait_text(&process::err_buffer, text, timeout_ms, count);
}

bool process::signal(int signal_number) { return !reaped_ && kill(pid_, signal_number) == 0; }

bool process::wait_exit(int timeout_ms, int* status) {
  long long deadline = now_ms() + timeout_ms;
  while (!reaped_) {
    pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) {
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
// queue_peer
// ---------------------------------------------------------------------------

namespace {

struct raw_message {
  long type;
  char body[CONTROLAPP_MSG_STAGING_SIZE];
};

}  // namespace

queue_peer::queue_peer(int key) : qid_(msgget(static_cast<key_t>(key), IPC_CREAT | 0666)) {}

bool queue_peer::send_raw(long type, const void* bytes, int length) {
  if (length < 0 || length > CONTROLAPP_MSG_STAGING_SIZE) return false;
  raw_message msg{};
  msg.type = type;
  memcpy(msg.body, bytes, static_cast<size_t>(length));
  return msgsnd(qid_, &msg, static_cast<size_t>(length), IPC_NOWAIT) == 0;
}

bool queue_peer::send(long type, const controlapp_msg& msg) { return send_raw(type, &msg, sizeof msg); }

bool queue_peer::receive(long type, controlapp_msg* out, int timeout_ms) {
  long long deadline = now_ms() + timeout_ms;
  raw_message msg{};
  while (true) {
    ssize_t got = msgrcv(qid_, &msg, sizeof *out, type, IPC_NOWAIT | MSG_NOERROR);
    if (got >= 0) {
      memcpy(out, msg.body, sizeof *out);
      return true;
    }
    if (now_ms() >= deadline) return false;
    sleep_ms(5);
  }
}

int queue_peer::count() const {
  msqid_ds info{};
  if (msgctl(qid_, IPC_STAT, &info) != 0) return -1;
  return static_cast<int>(info.msg_qnum);
}

controlapp_msg make_reply(int cmd, int ret_id, int cmd_id, int result) {
  controlapp_msg msg{};
  msg.cmd_type = CONTROLAPP_MSG_NORMAL;
  msg.cmd = cmd;
  msg.ret.ret_id = ret_id;
  msg.ret.cmd_id = cmd_id;
  msg.result = result;
  return msg;
}

controlapp_msg make_message(int kind, int cmd) {
  controlapp_msg msg{};
  msg.cmd_type = kind;
  msg.cmd = cmd;
  return msg;
}

// ---------------------------------------------------------------------------
// run_in_child and text helpers
// ---------------------------------------------------------------------------

pid_t run_in_child(const std::function<void()>& fn, int timeout_ms) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == -1) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    return -1;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    fn();
    fflush(stdout);
    fflush(stderr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  long long deadline = now_ms() + timeout_ms;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (now_ms() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "test child timed out after " << timeout_ms << " ms";
      return pid;
    }
    sleep_ms(10);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "test child failed (wait status " << status << "); see its output above";
  return pid;
}

output_capture::output_capture() {
  fflush(stdout);
  fflush(stderr);
  file_ = memfd_create("vbd-test-output", MFD_CLOEXEC);
  saved_out_ = dup(STDOUT_FILENO);
  saved_err_ = dup(STDERR_FILENO);
  dup2(file_, STDOUT_FILENO);
  dup2(file_, STDERR_FILENO);
}

output_capture::~output_capture() {
  fflush(stdout);
  fflush(stderr);
  std::string captured = text();
  dup2(saved_out_, STDOUT_FILENO);
  dup2(saved_err_, STDERR_FILENO);
  close(saved_out_);
  close(saved_err_);
  close(file_);
  if (::testing::Test::HasFailure()) {
    fprintf(stdout, "---- output of the code under test ----\n%s---- end of output ----\n", captured.c_str());
    fflush(stdout);
  }
}

std::string output_capture::text() {
  fflush(stdout);
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

bool output_capture::wait_for(std::string_view needle, int timeout_ms, int count) {
  long long deadline = now_ms() + timeout_ms;
  while (count_of(text(), needle) < static_cast<size_t>(count)) {
    if (now_ms() >= deadline) return false;
    sleep_ms(5);
  }
  return true;
}

size_t count_of(std::string_view text, std::string_view needle) {
  if (needle.empty()) return 0;
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string_view::npos; pos = text.find(needle, pos + needle.size())) ++n;
  return n;
}

bool in_order(std::string_view text, std::initializer_list<std::string_view> parts) {
  size_t pos = 0;
  for (std::string_view part : parts) {
    size_t found = text.find(part, pos);
    if (found == std::string_view::npos) return false;
    pos = found + part.size();
  }
  return true;
}

}  // namespace vbd_test
