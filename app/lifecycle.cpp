// Program entry and lifecycle: reads the port, starts the player link,
// installs the command function and the signal handling, runs the services
// until the stop descriptor is set and then stops them.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/lifecycle.h"
#include "app/player_link.h"
#include "runtime/runtime.h"

int run_flag = 1;
v232cmd_command_fn controlapp_command_callback = nullptr;

namespace {

constexpr int DEFAULT_PORT = 8102;
// Only without a stop descriptor: the main loop then re-tests the flag.
constexpr int IDLE_PERIOD_MS = 1000;

// Made before main runs, so the signal handler only writes to it.
const int g_stop_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

bool running() { return std::atomic_ref<int>(run_flag).load(std::memory_order_acquire) != 0; }

// Blocks until the stop descriptor is set (or, without one, one period).
void wait_for_stop() {
  if (g_stop_fd < 0) {
    cg_sleep_ms(IDLE_PERIOD_MS);
    return;
  }
  pollfd fd{g_stop_fd, POLLIN, 0};
  poll(&fd, 1, -1);
}

}  // namespace

void vel_exit_handler(int) {
  static_assert(std::atomic_ref<int>::is_always_lock_free);
  std::atomic_ref<int>(run_flag).store(0, std::memory_order_release);
  int saved_errno = errno;
  if (g_stop_fd >= 0) eventfd_write(g_stop_fd, 1);  // write(2): async-signal-safe
  errno = saved_errno;
}

int vel_stop_fd() { return g_stop_fd; }

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
