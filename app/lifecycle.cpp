// Program entry and lifecycle: reads the port, starts the player link,
// installs the command function and the signal handling, runs the services
// until the stop descriptor is set and then stops them.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app_state.h"
#include "app/lifecycle.h"
#include "app/player_link.h"
#include "runtime/runtime.h"

// The application's state, owned here by the entry; every name below is a
// field of it.
controlapp_state controlapp;

controlapp_state::controlapp_state()
    : reply_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), stop_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

controlapp_state::~controlapp_state() {
  // The process is ending; the descriptors are closed for tidiness only
  // (no thread of ours runs after main returns).
  if (reply_fd >= 0) close(reply_fd);
  if (stop_fd >= 0) close(stop_fd);
}

int& msg_qid = controlapp.msg_qid;
int& client_pid = controlapp.client_pid;
int& recv_running = controlapp.recv_running;
pthread_t& recv_thread_id = controlapp.recv_thread_id;
int& standby_mode = controlapp.standby_mode;
int& last_ret_id = controlapp.last_ret_id;
vel_protocol_server*& controlapp_server = controlapp.server;
int& run_flag = controlapp.run_flag;
v232cmd_command_fn& controlapp_command_callback = controlapp.command_callback;

namespace {

constexpr int DEFAULT_PORT = 8102;
// Only without a stop descriptor: the main loop then re-tests the flag.
constexpr int IDLE_PERIOD_MS = 1000;

bool running() { return std::atomic_ref<int>(run_flag).load(std::memory_order_acquire) != 0; }

// Blocks until the stop descriptor is set (or, without one, one period).
void wait_for_stop() {
  if (controlapp.stop_fd < 0) {
    cg_sleep_ms(IDLE_PERIOD_MS);
    return;
  }
  pollfd fd{controlapp.stop_fd, POLLIN, 0};
  poll(&fd, 1, -1);
}

}  // namespace

void vel_exit_handler(int) {
  static_assert(std::atomic_ref<int>::is_always_lock_free);
  std::atomic_ref<int>(run_flag).store(0, std::memory_order_release);
  int saved_errno = errno;
  if (controlapp.stop_fd >= 0) eventfd_write(controlapp.stop_fd, 1);  // write(2): async-signal-safe
  errno = saved_errno;
}

int vel_stop_fd() { return controlapp.stop_fd; }

void controlapp_set_command_callback(v232cmd_command_fn callback) { controlapp_command_callback = callback; }

int vbd_parse_args(int argc, char** argv, int* port) {
  *port = DEFAULT_PORT;
  if (argc < 2 || argv[1] == nullptr) return 0;
  if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) return 1;
  *port = static_cast<int>(strtol(argv[1], nullptr, 10));
  return 0;
}

int vbd_main(int argc, char** argv) {
  // Diagnostics are lines; keep them prompt when standard output is a pipe
  // or a file.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  int port = DEFAULT_PORT;
  if (vbd_parse_args(argc, argv, &port)) {
    printf("usage: vBdServer ([port])\n");
    return 0;
  }

  // Without a queue the program still serves clients; every command then
  // fails in the exchange.
  init_recv_thread();

  printf("RER-UzovoviRED: register callback for ControlAPP\n");
  controlapp_set_command_callback(command_handler);

  struct sigaction action {};
  action.sa_handler = vel_exit_handler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!vel_server_start(port)) {
    printf("Failed vel_server_start()\n");
    return 0;
  }

  while (running()) wait_for_stop();

  printf("Wait for closing...\n");
  printf("start stop.\n");
  vel_server_stop();
  stop_recv_thread();
  printf("stop success.\n");
  return 0;
}
