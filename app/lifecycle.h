// Program entry and lifecycle: the run flag, the exit handler, the command
// function installed for the request glue, and the service start and stop
// that the entry calls.
#pragma once

#include "app/v232cmd.h"

// The main loop runs while this is non-zero. Cleared (never set again) by
// vel_exit_handler; read and written atomically.
extern int& run_flag;

// The command function the request glue calls for every command but "?E";
// the entry installs command_handler. Set once before any client exists.
extern v232cmd_command_fn& controlapp_command_callback;

// Clears run_flag and sets the stop descriptor. Installed for SIGINT and
// called by the receive thread on a shutdown message; async-signal-safe.
void vel_exit_handler(int signal_number);
// An eventfd that becomes readable, and stays so, once vel_exit_handler has
// run: the main loop and a waiting exchange block on it. -1 if it could not
// be made (then they fall back to timed waits).
int vel_stop_fd();
// Stores the command function in controlapp_command_callback.
void controlapp_set_command_callback(v232cmd_command_fn callback);

// Reads the command line: 1 when the first argument asks for help ("-h" or
// "--help"), else 0 with *port set (8102 without an argument, otherwise the
// first argument read by strtol in base 10: leading digits count, no digits
// give 0).
int vbd_parse_args(int argc, char** argv, int* port);
// The whole program: argument rules, player link, signals, services, the
// wait for the stop and the stop. Always returns 0.
int vbd_main(int argc, char** argv);

// Service start and stop: 1 when the control server runs, 0 when it cannot
// be created, opened or started.
int vel_server_start(int port);
void vel_server_stop();

// Sends one text to the connected clients (the request and event glue).
// The receive thread calls it for auto-feedback texts.
int controlapp_push_event(const char* text);
