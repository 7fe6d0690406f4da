// The application's state in one record: the player link (queue identity,
// receive thread, standby state, the exchange's signal and memory), the
// glue (running control server, last error), and the lifecycle (run flag,
// stop descriptor, command function). The program entry owns the one
// instance, `controlapp`; the names the rest of the program uses for its
// fields (msg_qid, standby_mode, run_flag, ...) are references into it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>

#include "app/v232cmd.h"
#include "runtime/runtime.h"

struct vel_protocol_server;

struct controlapp_state {
  controlapp_state();
  ~controlapp_state();
  controlapp_state(const controlapp_state&) = delete;
  controlapp_state& operator=(const controlapp_state&) = delete;

  // Player link. msg_qid is written before the receive thread starts and
  // again by the receive thread when it reopens a removed queue, while
  // client threads send on it: every access that may meet another thread's
  // goes through link_qid() and set_link_qid() (atomic). client_pid is
  // written once, before the thread starts. standby_mode is written by the
  // receive thread and read by client threads.
  int msg_qid = -1;
  int client_pid = -1;
  std::atomic<int> recv_running{0};
  pthread_t recv_thread_id{};
  std::atomic<int> standby_mode{1};
  cg_thread* recv_thread = nullptr;  // the main thread starts and stops it
  // An eventfd set by the receive thread after each re-post on channel
  // 1221; the waiting exchange blocks on it.
  int reply_fd = -1;
  // The command of the last exchange that timed out (-1: none). Only the
  // exchange uses it, and exchanges never overlap.
  int timed_out_cmd = -1;

  // Glue. `server` is guarded by server_lock, so the receive thread's push
  // never meets a server being deleted.
  std::mutex server_lock;
  vel_protocol_server* server = nullptr;
  std::atomic<int> last_ret_id{V232CMD_RET_STATUS};

  // Lifecycle. run_flag is cleared by the exit handler (a lock-free atomic,
  // so async-signal-safe); stop_fd is an eventfd that the exit handler sets
  // and nobody clears.
  std::atomic<int> run_flag{1};
  int stop_fd = -1;
  v232cmd_command_fn command_callback = nullptr;
};

// The one instance, defined by the program entry.
extern controlapp_state controlapp;
