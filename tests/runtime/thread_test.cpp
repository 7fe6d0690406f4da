// Tests of threads (start, cooperative stop, SIGQUIT wake-up, self-deletion),
// conditions and time helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>

#include "runtime/runtime.h"

namespace {

using clock_type = std::chrono::steady_clock;

long ms_since(clock_type::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count());
}

TEST(CgThread, StopOfANeverStartedThreadReturnsAtOnce) {
  cg_thread* t = cg_thread_new();
  auto t0 = clock_type::now();
  EXPECT_EQ(cg_thread_stop(t), 1);
  EXPECT_EQ(cg_thread_stop(t), 1);
  EXPECT_LT(ms_since(t0), 500);
  cg_thread_delete(t);
}

struct blocking_read {
  int fd;
  std::atomic<int> result{0};
  std::atomic<int> error{0};
  std::atomic<bool> saw_self{false};
  std::atomic<bool> done{false};
};

void read_until_stopped(cg_thread* self) {
  auto* state = static_cast<blocking_read*>(cg_thread_get_user_data(self));
  state->saw_self = cg_thread_self() == self;
  while (cg_thread_is_runnable(self)) {
    char c;
    state->result = static_cast<int>(read(state->fd, &c, 1));
    state->error = errno;
  }
  state->done = true;
}

TEST(CgThread, StopInterruptsABlockingCall) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  blocking_read state;
  state.fd = fds[0];
  cg_thread* t = cg_thread_new();
  cg_thread_set_action(t, read_until_stopped);
  cg_thread_set_user_data(t, &state);
  ASSERT_EQ(cg_thread_start(t), 1);
  EXPECT_EQ(cg_thread_is_runnable(t), 1);
  usleep(100 * 1000);  // let it block in read

  auto t0 = clock_type::now();
  cg_thread_stop(t);
  EXPECT_GE(ms_since(t0), 900);  // the stop pause
  EXPECT_TRUE(state.done);
  EXPECT_EQ(state.result, -1);
  EXPECT_EQ(state.error, EINTR);
  EXPECT_TRUE(state.saw_self);
  EXPECT_EQ(cg_thread_is_runnable(t), 0);
  cg_thread_delete(t);
  close(fds[0]);
  close(fds[1]);
}

// A thread that ends itself and deletes its own record, as client threads do.
void end_and_delete_self(cg_thread* self) {
  auto* go = static_cast<std::atomic<bool>*>(cg_thread_get_user_data(self));
  while (!*go) usleep(1000);
  auto t0 = clock_type::now();
  cg_thread_stop(self);  // clears runnable only: no signal, no pause
  cg_thread_delete(self);
  EXPECT_LT(ms_since(t0), 500);
}

TEST(CgThread, WaiterHoldingAReferenceOutlivesASelfDeletingThread) {
  std::atomic<bool> go{false};
  cg_thread* t = cg_thread_new();
  cg_thread_set_action(t, end_and_delete_self);
  cg_thread_set_user_data(t, &go);
  ASSERT_EQ(cg_thread_start(t), 1);
  cg_thread_hold(t);
  go = true;
  auto t0 = clock_type::now();
  while (cg_thread_is_runnable(t) && ms_since(t0) < 10000) usleep(1000);
  usleep(50 * 1000);  // the thread has deleted its record by now
  EXPECT_EQ(cg_thread_is_runnable(t), 0);  // still readable: our reference
  cg_thread_release(t);
}

void loop_until_stopped(cg_thread* self) {
  while (cg_thread_is_runnable(self)) cg_sleep_ms(5);
}

TEST(CgThread, ListDeleteStopsRunningMembers) {
  cg_thread_set_stop_pause_ms(10);
  cg_thread_list* list = cg_thread_list_new();
  for (int i = 0; i < 3; i++) {
    cg_thread* t = cg_thread_new();
    cg_thread_set_action(t, loop_until_stopped);
    cg_thread_list_add(list, t);
  }
  EXPECT_EQ(cg_thread_list_size(list), 3);
  cg_thread_list_start(list);
  for (cg_thread* t = cg_thread_list_first(list); t; t = cg_thread_next(t)) {
    EXPECT_EQ(cg_thread_is_runnable(t), 1);
  }
  cg_thread_list_delete(list);
  cg_thread_set_stop_pause_ms(1000);
}

TEST(CgCond, TimedWaitEndsAtTheDeadline) {
  cg_mutex* m = cg_mutex_new();
  cg_cond* c = cg_cond_new();
  cg_mutex_lock(m);
  auto t0 = clock_type::now();
  cg_cond_wait(c, m, 1);
  long waited = ms_since(t0);
  cg_mutex_unlock(m);
  EXPECT_GE(waited, 900);
  EXPECT_LT(waited, 5000);
  EXPECT_EQ(cg_cond_signal(c), 1);
  EXPECT_EQ(cg_mutex_lock(nullptr), 0);
  EXPECT_EQ(cg_mutex_delete(nullptr), 0);
  cg_cond_delete(c);
  cg_mutex_delete(m);
}

TEST(CgTime, SleepsRandomAndStopwatch) {
  auto t0 = clock_type::now();
  cg_sleep_random_ms(0);
  EXPECT_LT(ms_since(t0), 100);
  t0 = clock_type::now();
  cg_sleep_random_ms(200);
  EXPECT_LE(ms_since(t0), 2000);

  for (int i = 0; i < 1000; i++) {
    float r = cg_random_unit();
    ASSERT_GE(r, 0.0f);
    ASSERT_LE(r, 1.0f);
  }

  cg_stopwatch* w = cg_stopwatch_start();
  cg_sleep_ms(30);
  uint32_t first = cg_stopwatch_elapsed(w);
  cg_sleep_ms(30);
  uint32_t second = cg_stopwatch_elapsed(w);
  EXPECT_GE(first, 25u);
  EXPECT_GT(second, first);
  EXPECT_GE(cg_stopwatch_finish(w), static_cast<int>(second));
  EXPECT_EQ(cg_stopwatch_finish(nullptr), 0);
  EXPECT_EQ(cg_stopwatch_elapsed(nullptr), UINT32_MAX);
}

}  // namespace
