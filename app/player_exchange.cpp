// The player exchange and the receive thread: starting the link, greeting
// the main program, dispatching its messages, one command exchange with
// its poll schedule, and the player's standby state.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "app/lifecycle.h"
#include "app/player_link.h"
#include "runtime/runtime.h"

int recv_running = 0;
pthread_t recv_thread_id{};
int standby_mode = 1;

namespace {

// Idle poll of the receive thread when channel 1234 is empty.
constexpr int RECV_IDLE_MS = 50;
// The exchange gives up when a receive fails with the counter at this value.
constexpr int EXCHANGE_LAST_ATTEMPT = 61;

// Wait after a failed receive, by the attempt counter: short waits first so
// a prompt reply costs little latency, then back off to 100 ms. 62 attempts
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

bool program_running() { return std::atomic_ref<int>(run_flag).load(std::memory_order_acquire) != 0; }

bool receiving() { return std::atomic_ref<int>(recv_running).load(std::memory_order_acquire) != 0; }

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
  std::atomic_ref<int>(standby_mode).store(mode, std::memory_order_relaxed);
  return mode;
}

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
  while (receiving()) {
    if (cli_recv_cmd(&msg) != -1) {
      controlapp_cmd_proc(&msg);
    } else {
      cg_sleep_ms(RECV_IDLE_MS);
    }
  }
  return nullptr;
}

int init_recv_thread() {
  client_pid = static_cast<int>(getpid());
  msg_qid = cli_create_msgQ(CONTROLAPP_MSGQ_KEY);
  if (msg_qid == -1) {
    printf("[%s]cli_create_msgQ(%d) failed, ", "init_recv_thread", CONTROLAPP_MSGQ_KEY);
    return -1;
  }
  std::atomic_ref<int>(recv_running).store(1, std::memory_order_release);
  return pthread_create(&recv_thread_id, nullptr, recv_thread, nullptr);
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
  clear_Tmp_msgQ();
  if (cli_send_cmd(&send_msg) != 0) {
    printf("[%s] send cmd error.\n", "command_handler");
    return 3;
  }

  int counter = 0;
  while (Tmp_recv_cmd(&recv_msg) == -1) {
    // The program is stopping: the stop waits for this client thread, so
    // the wait for a reply is cut short (the reply, if any, is drained by
    // the next exchange like any late one).
    if (!program_running()) {
      printf("[%s] program stopping, no reply awaited.\n", "command_handler");
      return 3;
    }
    if (counter == EXCHANGE_LAST_ATTEMPT) {
      printf("[%s] Tmp_recv_cmd recv  msg.TIMEOUT(count:%d)\n", "command_handler", counter);
      printf("[%s] poll return msg from main failed.Please check the ZODIVO is runing ok or not\n",
             "command_handler");
      return 3;
    }
    cg_sleep_ms(exchange_wait_ms(counter));
    ++counter;
  }

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
