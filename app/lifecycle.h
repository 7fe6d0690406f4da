// Program entry and lifecycle: the run flag, the exit handler, the command
// function installed for the request glue, and the service start and stop
// that the entry calls.
#pragma once

#include <atomic>

#include "app/v232cmd.h"

// The main loop runs while this is non-zero. Cleared (never set again) by
// vel_exit_handler.
extern std::atomic<int>& run_flag;

// The command function the request glue calls for every command but "?E";
// the entry installs command_handler. Set once before any client exists.
extern v232cmd_command_fn& controlapp_command_callback;

// Clears run_flag and sets the stop descriptor. Installed for SIGINT and
// SIGTERM and called by the receive thread on a shutdown message;
// async-signal-safe.
void vel_exit_handler(int signal_number);
// An eventfd that becomes readable, and stays so, once vel_exit_handler has
// run: the main loop and a waiting exchange block on it. -1 if it could not
// be made (then they fall back to timed waits).
int vel_stop_fd();
// Stores the command function in controlapp_command_callback.
void controlapp_set_command_callback(v232cmd_command_fn callback);

// What the command line asks for (vbd_parse_args).
inline constexpr int VBD_ARGS_RUN = 0;
inline constexpr int VBD_ARGS_HELP = 1;      // first argument "-h" or "--help"
inline constexpr int VBD_ARGS_VERSION = 2;   // first argument "--version"
inline constexpr int VBD_ARGS_BAD_PORT = 3;  // a port outside 1..65535
// Exit statuses of vbd_main besides 0 (stopped, or help and version shown).
inline constexpr int VBD_EXIT_START_FAILED = 1;  // the control port could not be opened
inline constexpr int VBD_EXIT_USAGE = 2;         // invalid port argument

// Reads the command line. Only the first argument counts: "-h"/"--help" and
// "--version" exactly; anything else is the port, read by strtol in base 10
// (leading digits count, the rest is ignored, no digits give 0). *port is
// 8102 without an argument, the port on VBD_ARGS_RUN, and 0 when the value
// is outside 1..65535 (VBD_ARGS_BAD_PORT).
int vbd_parse_args(int argc, char** argv, int* port);
// The whole program: argument rules, player link, signals (SIGINT and
// SIGTERM stop it), services, the wait for the stop and the stop. Returns
// the exit status.
int vbd_main(int argc, char** argv);

// Service start and stop. The start opens and starts the control server,
// prints "listening on ADDR:PORT", then starts discovery: 1 when the control
// server runs, 0 (nothing started, nothing announced) when it cannot be
// created, opened or started. The stop ends discovery, then the server.
int vel_server_start(int port);
void vel_server_stop();
// The address the control server listens on: the first interface's at the
// start or at the last reopen, "" for every address (none at the start).
const char* vel_server_address();
// Closes the control server (its clients with it) and opens it on the same
// port at this address, printing "listening on ADDR:PORT". 1 when it runs
// there, 0 when not (then no control server runs: call again to retry).
int vel_server_reopen(const char* address);

// Sends one text to the connected clients (the request and event glue).
// The receive thread calls it for auto-feedback texts.
int controlapp_push_event(const char* text);
