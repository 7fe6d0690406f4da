// Program entry and lifecycle: reads the port, starts the player link,
// installs the command function and the signal handling, runs the services
// (following address changes) until the stop descriptor is set and then
// stops them.
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/address_follow.h"
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
std::atomic<int>& recv_running = controlapp.recv_running;
pthread_t& recv_thread_id = controlapp.recv_thread_id;
std::atomic<int>& standby_mode = controlapp.standby_mode;
std::atomic<int>& last_ret_id = controlapp.last_ret_id;
vel_protocol_server*& controlapp_server = controlapp.server;
std::atomic<int>& run_flag = controlapp.run_flag;
v232cmd_command_fn& controlapp_command_callback = controlapp.command_callback;

namespace {

constexpr int DEFAULT_PORT = 8102;
// Only without a stop descriptor: the main loop then re-tests the flag.
constexpr int IDLE_PERIOD_MS = 1000;

bool running() { return run_flag.load(std::memory_order_acquire) != 0; }

// Blocks until the stop descriptor is set (or, without one, one period),
// serving the address watch meanwhile.
void wait_for_stop(address_follow& addresses) {
  int timeout = addresses.timeout_ms();
  if (controlapp.stop_fd < 0 && (timeout < 0 || timeout > IDLE_PERIOD_MS)) timeout = IDLE_PERIOD_MS;
  // A negative descriptor is skipped by poll.
  pollfd fds[2] = {{controlapp.stop_fd, POLLIN, 0}, {addresses.fd(), POLLIN, 0}};
  if (poll(fds, 2, timeout) > 0 && (fds[1].revents & (POLLIN | POLLERR))) addresses.on_readable();
  if (running()) addresses.on_time();
}

}  // namespace

void vel_exit_handler(int) {
  static_assert(std::atomic<int>::is_always_lock_free);
  run_flag.store(0, std::memory_order_release);
  int saved_errno = errno;
  if (controlapp.stop_fd >= 0) eventfd_write(controlapp.stop_fd, 1);  // write(2): async-signal-safe
  errno = saved_errno;
}

int vel_stop_fd() { return controlapp.stop_fd; }

void controlapp_set_command_callback(v232cmd_command_fn callback) { controlapp_command_callback = callback; }

int vbd_parse_args(int argc, char** argv, int* port) {
  *port = DEFAULT_PORT;
  if (argc < 2 || argv[1] == nullptr) return VBD_ARGS_RUN;
  if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) return VBD_ARGS_HELP;
  if (strcmp(argv[1], "--version") == 0) return VBD_ARGS_VERSION;
  // Read as a long, so that a value beyond int is not cut down into range.
  long value = strtol(argv[1], nullptr, 10);
  if (value < 1 || value > 65535) {
    *port = 0;
    return VBD_ARGS_BAD_PORT;
  }
  *port = static_cast<int>(value);
  return VBD_ARGS_RUN;
}

namespace {

constexpr char kHelp[] =
    "usage: vBdServer ([port])\n"
    "Relays remote-control commands from the LAN to the player's main program,\n"
    "forwards its events, and announces the player as a UPnP device.\n"
    "\n"
    "  port         TCP port of the control server, 1 to 65535 (default 8102),\n"
    "               read as a decimal number (characters after the digits are\n"
    "               ignored). The server listens on the first network\n"
    "               interface's IPv4 address only, and moves when that\n"
    "               address changes.\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n"
    "\n"
    "The device description is ./description.xml in the working directory,\n"
    "with its icons in ./description/; it is served over HTTP on port 38400\n"
    "and announced by SSDP on UDP 1900. Without it the control server runs\n"
    "without discovery.\n"
    "The player's main program is reached over the System V message queue\n"
    "with key 116 (created with mode 0666 when it does not exist).\n"
    "SIGINT or SIGTERM stops the daemon: its devices say byebye, exit status 0.\n"
    "Exit status 1: the control port could not be opened; 2: invalid port.\n";

// Stops the daemon on each of these, the same way.
constexpr int kStopSignals[] = {SIGINT, SIGTERM};

}  // namespace

int vbd_main(int argc, char** argv) {
  // Diagnostics are lines; keep them prompt when standard output is a pipe
  // or a file.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  int port = DEFAULT_PORT;
  switch (vbd_parse_args(argc, argv, &port)) {
    case VBD_ARGS_HELP:
      fputs(kHelp, stdout);
      return 0;
    case VBD_ARGS_VERSION:
      printf("vBdServer %s\n", VBD_VERSION);
      return 0;
    case VBD_ARGS_BAD_PORT:
      fprintf(stderr, "vBdServer: invalid port \"%s\": the port is a number from 1 to 65535\n", argv[1]);
      return VBD_EXIT_USAGE;
    default:
      break;
  }

  // Before the first thread: without a bound, glibc gives busy threads
  // arenas of their own (up to eight per core), and each keeps the memory of
  // the large descriptions its threads sent. Two arenas are plenty for
  // threads that mostly wait.
#ifdef M_ARENA_MAX
  mallopt(M_ARENA_MAX, 2);
#endif

  // Without a queue the program still serves clients; every command then
  // fails in the exchange.
  init_recv_thread();

  printf("RER-UzovoviRED: register callback for ControlAPP\n");
  controlapp_set_command_callback(command_handler);

  struct sigaction action {};
  action.sa_handler = vel_exit_handler;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kStopSignals) sigaction(signal_number, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Watched from before the services read the interfaces, so that no
  // change is missed.
  address_follow addresses;
  addresses.open();

  if (!vel_server_start(port)) {
    printf("Failed vel_server_start()\n");
    // A supervisor must see the failure (and may restart the daemon).
    return VBD_EXIT_START_FAILED;
  }

  while (running()) wait_for_stop(addresses);

  printf("Wait for closing...\n");
  printf("start stop.\n");
  vel_server_stop();
  stop_recv_thread();
  printf("stop success.\n");
  return 0;
}
