// Tests of the stoppable waits: a wait on a descriptor plus the wake, the
// wake of a running thread, stop-and-join without a pause, and the rule that
// a stopped thread never blocks again.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/runtime.h"

namespace {

using clock_type = std::chrono::steady_clock;

long ms_since(clock_type::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count());
}

struct waiter_state {
  int fd = -1;
  std::atomic<int> ready{0};
  std::atomic<int> woken{0};
  std::atomic<int> timeouts{0};
  std::atomic<bool> ended{false};
};

// Waits on the pipe plus the wake until stopped, counting what it saw.
void wait_loop(cg_thread* self) {
  auto* state = static_cast<waiter_state*>(cg_thread_get_user_data(self));
  while (cg_thread_is_runnable(self)) {
    short revents = 0;
    switch (cg_thread_wait_fd(self, state->fd, POLLIN, CG_WAIT_FOREVER, &revents)) {
      case CG_WAIT_READY: {
        char c;
        if (read(state->fd, &c, 1) == 1) state->ready++;
        break;
      }
      case CG_WAIT_WOKEN:
        state->woken++;
        break;
      default:
        state->timeouts++;
    }
  }
  state->ended = true;
}

struct running_waiter {
  int fds[2] = {-1, -1};
  waiter_state state;
  cg_thread* thread = nullptr;
  running_waiter() {
    EXPECT_EQ(pipe(fds), 0);
    state.fd = fds[0];
    thread = cg_thread_new();
    cg_thread_set_action(thread, wait_loop);
    cg_thread_set_user_data(thread, &state);
    EXPECT_EQ(cg_thread_start(thread), 1);
  }
  ~running_waiter() {
    cg_thread_stop_and_join(thread);
    cg_thread_delete(thread);
    close(fds[0]);
    close(fds[1]);
  }
};

template <typename F>
bool eventually(F condition, int ms = 5000) {
  auto t0 = clock_type::now();
  while (!condition()) {
    if (ms_since(t0) > ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(CgThreadWait, DescriptorAndWakeEachEndTheWaitAndAWakeIsConsumed) {
  running_waiter w;
  ASSERT_EQ(write(w.fds[1], "x", 1), 1);
  ASSERT_TRUE(eventually([&] { return w.state.ready == 1; }));
  cg_thread_wake(w.thread);
  ASSERT_TRUE(eventually([&] { return w.state.woken == 1; }));
  // Consumed: the thread blocks again instead of spinning on the wake.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(w.state.woken, 1);
  EXPECT_EQ(w.state.timeouts, 0);
}

TEST(CgThreadWait, StopAndJoinEndsABlockedThreadWithoutAPause) {
  running_waiter w;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto t0 = clock_type::now();
  cg_thread_stop_and_join(w.thread);
  EXPECT_TRUE(w.state.ended);  // join returned after the action
  EXPECT_LT(ms_since(t0), 500);
  EXPECT_EQ(cg_thread_is_runnable(w.thread), 0);
}

TEST(CgThreadWait, AStoppedThreadNeverBlocksAgain) {
  cg_thread* t = cg_thread_new();
  // Never started: runnable 0, so a wait returns at once.
  auto t0 = clock_type::now();
  EXPECT_EQ(cg_thread_wait(t, 5000), CG_WAIT_WOKEN);
  EXPECT_LT(ms_since(t0), 1000);
  cg_thread_delete(t);
}

TEST(CgThreadWait, TimeOutAndPlainPauseOutsideACgThread) {
  cg_thread* t = cg_thread_new();
  std::atomic<int> result{-5};
  cg_thread_set_user_data(t, &result);
  cg_thread_set_action(t, [](cg_thread* self) {
    auto* r = static_cast<std::atomic<int>*>(cg_thread_get_user_data(self));
    *r = cg_thread_wait(self, 30);
  });
  ASSERT_EQ(cg_thread_start(t), 1);
  cg_thread_join(t);
  EXPECT_EQ(result, CG_WAIT_TIMEOUT);
  cg_thread_delete(t);
  // The main thread is no cg_thread: the pause is a plain sleep of its length.
  auto t0 = clock_type::now();
  EXPECT_EQ(cg_thread_pause_ms(30), 1);
  EXPECT_GE(ms_since(t0), 25);
}

TEST(CgThreadWait, PauseOfAThreadEndsWhenItIsStopped) {
  cg_thread* t = cg_thread_new();
  std::atomic<int> result{-5};
  cg_thread_set_user_data(t, &result);
  cg_thread_set_action(t, [](cg_thread*) {
    auto* r = static_cast<std::atomic<int>*>(cg_thread_get_user_data(cg_thread_self()));
    *r = cg_thread_pause_ms(60000);
  });
  ASSERT_EQ(cg_thread_start(t), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto t0 = clock_type::now();
  cg_thread_stop_and_join(t);
  EXPECT_LT(ms_since(t0), 1000);
  EXPECT_EQ(result, 0);
  cg_thread_delete(t);  // not runnable: no stop pause
}

TEST(CgThreadWait, JoinOfASelfDeletingThreadHoldsTheRecord) {
  // The thread deletes its own record; the joiner's reference keeps it valid.
  for (int i = 0; i < 50; i++) {
    cg_thread* t = cg_thread_new();
    cg_thread_set_action(t, [](cg_thread* self) { cg_thread_delete(self); });
    cg_thread_hold(t);
    ASSERT_EQ(cg_thread_start(t), 1);
    cg_thread_join(t);
    EXPECT_EQ(cg_thread_is_runnable(t), 0);
    cg_thread_release(t);
  }
}

TEST(CgThreadWait, MonotonicClockAndRandomDraw) {
  int64_t a = cg_monotonic_ms();
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  EXPECT_GE(cg_monotonic_ms() - a, 10);
  for (int i = 0; i < 200; i++) {
    int r = cg_random_ms(40);
    EXPECT_GE(r, 0);
    EXPECT_LE(r, 40);
  }
  EXPECT_EQ(cg_random_ms(0), 0);
}

}  // namespace
