// The player exchange and the receive thread: starting and stopping the
// link, greeting the main program, dispatching its messages, reopening a
// removed queue, one command exchange that waits for the receive thread's
// signal, and the player's standby state.
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/app_state.h"
#include "app/lifecycle.h"
#include "app/player_link.h"
#include "runtime/runtime.h"

namespace {

// The exchange gives up when a receive fails with the counter at this value.
constexpr int EXCHANGE_LAST_ATTEMPT = 61;
// Back-off of the receive thread while the queue cannot be read at all (nor
// reopened, when it was removed).
constexpr int RECV_ERROR_PAUSE_MS = 1000;
// Interval of the stop signal while the wake message cannot be posted.
constexpr int RECV_INTERRUPT_MS = 10;
// No command has timed out (command indices are 0..28).
constexpr int NO_COMMAND = -1;

// The schedule the exchange's limit and its "(count:%d)" line are taken
// from: the wait after a failed receive, by the attempt counter. 62 attempts
// and 4,460 ms of waiting in all.
constexpr int exchange_wait_ms(int counter) {
  if (counter <= 10) return 10;
  if (counter <= 15) return 20;
  if (counter <= 20) return 50;
  return 100;
}

constexpr int exchange_total_wait_ms() {
  int total = 0;
  for (int counter = 0; counter < EXCHANGE_LAST_ATTEMPT; ++counter) total += exchange_wait_ms(counter);
  return total;
}
static_assert(exchange_total_wait_ms() == 4460);

// The attempt of the schedule that would have found a reply present after
// elapsed ms: the first whose start is not before it.
constexpr int schedule_slot(int64_t elapsed_ms) {
  int counter = 0;
  int64_t at = 0;
  while (counter < EXCHANGE_LAST_ATTEMPT && at < elapsed_ms) at += exchange_wait_ms(counter++);
  return counter;
}
static_assert(schedule_slot(0) == 0 && schedule_slot(1) == 1 && schedule_slot(10) == 1);
static_assert(schedule_slot(11) == 2 && schedule_slot(4460) == 61 && schedule_slot(99999) == 61);

bool program_running() { return run_flag.load(std::memory_order_acquire) != 0; }

bool receiving() { return recv_running.load(std::memory_order_acquire) != 0; }

void signal_reply() {
  if (controlapp.reply_fd >= 0) eventfd_write(controlapp.reply_fd, 1);
}

void clear_reply_signal() {
  eventfd_t value;
  if (controlapp.reply_fd >= 0) eventfd_read(controlapp.reply_fd, &value);
}

// Waits up to ms for a re-posted reply or the program's stop. Without the
// descriptors the schedule's own wait is used.
void wait_for_reply(int ms, int counter) {
  int stop_fd = vel_stop_fd();
  if (controlapp.reply_fd < 0 || stop_fd < 0) {
    cg_sleep_ms(exchange_wait_ms(counter));
    return;
  }
  pollfd fds[2] = {{controlapp.reply_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
  if (poll(fds, 2, ms) > 0 && fds[0].revents != 0) clear_reply_signal();
}

bool is_own_wake(const controlapp_msg& msg) {
  return msg.cmd_type == CONTROLAPP_MSG_WAKE && msg.pid == client_pid;
}

void recv_action(cg_thread*) { recv_thread(nullptr); }

// How a receive tells that its queue is gone: removed while it waited
// (EIDRM), or before it began (EINVAL: the identifier names no queue).
bool queue_removed(int error) { return error == EIDRM || error == EINVAL; }

// The queue was removed (by its owner, its creator or root: the main
// program starting over, say). It is opened again with the same key and
// flags, which finds the main program's new queue or creates it first, and
// the main program is greeted on it as at start; commands go there from now
// on. false when it cannot be opened: said once (*told), until a reopen
// succeeds.
bool reopen_queue(int error, bool* told) {
  int old_qid = link_qid();
  int qid = cli_reopen_msgQ(CONTROLAPP_MSGQ_KEY, *told ? 0 : 1);
  // The same identifier would fail again at once: taken as a failure, so the
  // thread pauses rather than spins.
  if (qid == -1 || qid == old_qid) {
    if (!*told) {
      printf("[%s]queue 0x%x removed (%s): cannot reopen key %d, trying again every %d ms.\n", "recv_thread",
             static_cast<unsigned>(old_qid), strerror(error), CONTROLAPP_MSGQ_KEY, RECV_ERROR_PAUSE_MS);
    }
    *told = true;
    return false;
  }
  *told = false;
  set_link_qid(qid);
  printf("[%s]queue 0x%x removed (%s): reopened key %d, qid handle 0x%x, hello again.\n", "recv_thread",
         static_cast<unsigned>(old_qid), strerror(error), CONTROLAPP_MSGQ_KEY, static_cast<unsigned>(qid));
  send_hello();
  return true;
}

// A reply that names the command of a timed-out exchange while another
// command is awaited. Nothing else is matched: a player that answers in time
// sees no change.
bool is_late_reply(const controlapp_msg& msg, int awaited_cmd) {
  return controlapp.timed_out_cmd != NO_COMMAND && awaited_cmd != controlapp.timed_out_cmd &&
         msg.cmd_type == CONTROLAPP_MSG_NORMAL && msg.ret.cmd_id == controlapp.timed_out_cmd;
}

}  // namespace

int controlapp_feedback_text(const controlapp_msg* body, char* out, int size) {
  if (out == nullptr || size <= 0) return 0;
  if (body == nullptr) {
    out[0] = '\0';
    return 0;
  }
  // The text may run on past feedback_text to the end of the body; one
  // without a NUL there is cut at the body's end rather than read past it.
  const char* raw = reinterpret_cast<const char*>(body) + CONTROLAPP_FEEDBACK_OFFSET;
  size_t n = strnlen(raw, CONTROLAPP_FEEDBACK_MAX);
  if (n > static_cast<size_t>(size - 1)) n = static_cast<size_t>(size - 1);
  memcpy(out, raw, n);
  out[n] = '\0';
  return static_cast<int>(n);
}

int BDP_StandbyMode_Set(int mode) {
  printf("[%s]BDP_StandbyMode=%d\n", "BDP_StandbyMode_Set", mode);
  standby_mode.store(mode, std::memory_order_relaxed);
  return mode;
}

int BDP_StandbyMode_Get() { return standby_mode.load(std::memory_order_relaxed); }

int send_hello() {
  controlapp_msg msg{};
  msg.cmd_type = CONTROLAPP_MSG_HELLO;
  msg.pid = client_pid;
  cli_send_cmd(&msg);
  return 0;
}

int controlapp_cmd_proc(const controlapp_msg* body) {
  if (body == nullptr) return 0;
  controlapp_msg msg;
  memcpy(&msg, body, sizeof msg);
  printf("[%s]now process msg [cmd_type:%d,cmd:%d]\n", "controlapp_cmd_proc", msg.cmd_type, msg.cmd);
  switch (msg.cmd_type) {
    case CONTROLAPP_MSG_NORMAL:
      printf("[%s]recv normal msg\n", "controlapp_cmd_proc");
      Tmp_send_cmd(&msg);
      break;
    case CONTROLAPP_MSG_AUTO_FEEDBACK:
      printf("[%s]recv auto feedback msg\n", "controlapp_cmd_proc");
      {
        char text[CONTROLAPP_FEEDBACK_MAX + 1];
        controlapp_feedback_text(&msg, text, sizeof text);
        controlapp_push_event(text);
      }
      break;
    case CONTROLAPP_MSG_SHUTDOWN:
      printf("[%s]recv shutdown msg\n", "controlapp_cmd_proc");
      vel_exit_handler(0);
      break;
    case CONTROLAPP_MSG_STANDBY:
      printf("[%s]recv standby mode %d .\n", "controlapp_cmd_proc", msg.standby_mode);
      BDP_StandbyMode_Set(msg.standby_mode);
      break;
    default:
      printf("[%s]recv ignore msg\n", "controlapp_cmd_proc");
      break;
  }
  return 0;
}

void* recv_thread(void*) {
  // Messages left from an earlier run must not be taken for replies.
  clear_cli_msgQ();
  clear_Tmp_msgQ();
  printf("[%s]start thread.\n", "recv_thread");
  send_hello();
  controlapp_msg msg{};
  bool reopen_failure_told = false;
  for (;;) {
    // Blocks until the main program sends; a stop posts the wake message
    // behind whatever the main program sent before it, so everything that
    // arrived earlier is still dispatched.
    if (cli_recv_msgQ_wait(link_qid(), MSGTYPE_FROM_MAIN, &msg, CONTROLAPP_MSG_SIZE) == -1) {
      int error = errno;
      if (!receiving()) break;
      if (error == EINTR) continue;
      // A removed queue: open it again and block on the new one at once.
      if (queue_removed(error) && reopen_queue(error, &reopen_failure_told)) continue;
      // The queue cannot be read (or reopened): try again after a pause.
      // The stop's signal ends it (its wake message cannot reach a queue
      // that is gone), so it is a wait that any wake ends, not a pause that
      // only a stop of the thread would.
      cg_thread_wait(cg_thread_self(), RECV_ERROR_PAUSE_MS);
      continue;
    }
    if (is_own_wake(msg)) {
      if (!receiving()) break;
      continue;  // left from an earlier stop of this process
    }
    controlapp_cmd_proc(&msg);
    // A re-posted reply: the waiting exchange takes it at once.
    if (msg.cmd_type == CONTROLAPP_MSG_NORMAL) signal_reply();
  }
  return nullptr;
}

int init_recv_thread() {
  client_pid = static_cast<int>(getpid());
  set_link_qid(cli_create_msgQ(CONTROLAPP_MSGQ_KEY));
  if (link_qid() == -1) {
    printf("[%s]cli_create_msgQ(%d) failed, ", "init_recv_thread", CONTROLAPP_MSGQ_KEY);
    return -1;
  }
  cg_thread* thread = cg_thread_new();
  if (thread == nullptr) return ENOMEM;
  cg_thread_set_action(thread, recv_action);
  recv_running.store(1, std::memory_order_release);
  if (!cg_thread_start(thread)) {
    recv_running.store(0, std::memory_order_release);
    cg_thread_delete(thread);
    return EAGAIN;
  }
  recv_thread_id = thread->thread_id;
  controlapp.recv_thread = thread;
  return 0;
}

int stop_recv_thread() {
  cg_thread* thread = controlapp.recv_thread;
  if (thread == nullptr) return 0;
  controlapp.recv_thread = nullptr;
  recv_running.store(0, std::memory_order_release);
  controlapp_msg wake{};
  wake.cmd_type = CONTROLAPP_MSG_WAKE;
  wake.pid = client_pid;
  if (cli_post_msgQ(link_qid(), MSGTYPE_FROM_MAIN, &wake, CONTROLAPP_MSG_SIZE) != 0) {
    // A full queue takes no wake message: interrupt the blocked receive
    // until the thread has left (the signal may come just before it blocks).
    while (cg_thread_interrupt(thread)) cg_sleep_ms(RECV_INTERRUPT_MS);
  }
  cg_thread_stop_and_join(thread);
  cg_thread_delete(thread);  // no longer runnable: no stop pause
  return 0;
}

int command_handler(const v232cmd_req* req, v232cmd_ret* ret, int user_value) {
  controlapp_msg send_msg{};
  controlapp_msg recv_msg{};
  // A missing response record is as unusable as a missing request.
  if (req == nullptr || ret == nullptr) {
    printf("\n\n\n[%s]your input param is null.\n", "command_handler");
    return 3;
  }
  printf("\n\n\n[%s]cmd =%d  para=0x%x Start.\n", "command_handler", req->cmd,
         static_cast<unsigned>(req->param));
  printf("[%s]ret_id =%d  cmd_id=%d\n", "command_handler", ret->ret_id, ret->cmd_id);

  send_msg.cmd_type = CONTROLAPP_MSG_NORMAL;
  send_msg.cmd = req->cmd;
  send_msg.param = req->param;
  send_msg.user_value = user_value;
  send_msg.reserved = 0;

  // A reply left over from an earlier (timed-out) exchange must not be taken
  // for this one.
  clear_reply_signal();
  // The timed-out command's late reply may be among what is drained: then
  // it is accounted for.
  if (clear_Tmp_msgQ_seeing(controlapp.timed_out_cmd)) controlapp.timed_out_cmd = NO_COMMAND;
  if (cli_send_cmd(&send_msg) != 0) {
    printf("[%s] send cmd error.\n", "command_handler");
    return 3;
  }

  const int64_t start = cg_monotonic_ms();
  const int limit_ms = exchange_total_wait_ms();
  int counter = 0;
  for (;;) {
    if (Tmp_recv_cmd(&recv_msg) != -1) {
      counter = schedule_slot(cg_monotonic_ms() - start);
      // The late answer to a command that timed out, met while another
      // command is awaited, is not this command's reply.
      if (is_late_reply(recv_msg, req->cmd)) {
        printf("[%s] late reply dropped(cmd:%d cmd_id:%d), still waiting for cmd %d.\n",
               "command_handler", recv_msg.cmd, recv_msg.ret.cmd_id, req->cmd);
        controlapp.timed_out_cmd = NO_COMMAND;
        continue;
      }
      break;
    }
    // The program is stopping: the stop waits for this client thread, so
    // the wait for a reply is cut short (the reply, if any, is drained by
    // the next exchange like any late one).
    if (!program_running()) {
      printf("[%s] program stopping, no reply awaited.\n", "command_handler");
      return 3;
    }
    int64_t elapsed = cg_monotonic_ms() - start;
    if (elapsed >= limit_ms) {
      printf("[%s] Tmp_recv_cmd recv  msg.TIMEOUT(count:%d)\n", "command_handler", EXCHANGE_LAST_ATTEMPT);
      printf("[%s] poll return msg from main failed.Please check the ZODIVO is runing ok or not\n",
             "command_handler");
      controlapp.timed_out_cmd = req->cmd;
      return 3;
    }
    wait_for_reply(static_cast<int>(limit_ms - elapsed), schedule_slot(elapsed));
  }

  if (recv_msg.ret.cmd_id == controlapp.timed_out_cmd) controlapp.timed_out_cmd = NO_COMMAND;
  printf("[%s] Tmp_recv_cmd recv  msg.(count:%d)\n", "command_handler", counter);
  printf("[%s]recv from MAIN,cmd_type =%d    cmd=%d param=0x%x\n", "command_handler", recv_msg.cmd_type,
         recv_msg.cmd, static_cast<unsigned>(recv_msg.param));
  if (recv_msg.cmd_type != CONTROLAPP_MSG_NORMAL) {
    printf("autofeed back msg.\n");
    return 0;
  }
  if (static_cast<unsigned>(recv_msg.cmd) > static_cast<unsigned>(CONTROLAPP_MAX_REPLY_CMD)) {
    printf("recv from MAIN, Cmd id is wrong!\n");
    return 3;
  }
  printf("recv Ret [ ret_id : %d, cmd_id : %d ] \n", recv_msg.ret.ret_id, recv_msg.ret.cmd_id);
  memcpy(ret, &recv_msg.ret, sizeof *ret);
  printf("Ret [ ret_id : %d, cmd_id : %d ] \n", ret->ret_id, ret->cmd_id);
  return recv_msg.result;
}
