// "wake-cost": the CPU time of one bare wake-up on this machine: a thread
// that tries a non-blocking receive and sleeps 10 ms when nothing came, the
// least any wake-up of a thread can cost. The daemon's idle CPU figures are
// compared with its measured wake-ups per second times this.
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "bench/bench_main.h"
#include "bench/bench_util.h"

namespace bench {

namespace {

struct floor_run {
  int fd;
  int wakes;
  double cpu_ns;
};

void* poll_loop(void* arg) {
  auto* run = static_cast<floor_run*>(arg);
  char byte;
  timespec pause{0, 10 * 1000000L};
  timespec start{}, end{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  for (int i = 0; i < run->wakes; i++) {
    if (recv(run->fd, &byte, 1, MSG_DONTWAIT) < 0) nanosleep(&pause, nullptr);
  }
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  run->cpu_ns = static_cast<double>(end.tv_sec - start.tv_sec) * 1e9 +
                static_cast<double>(end.tv_nsec - start.tv_nsec);
  return nullptr;
}

}  // namespace

int wake_cost(const options& opt) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 1;
  floor_run run{fds[0], opt.get_int("wakes", 300), 0};
  pthread_t thread;
  if (pthread_create(&thread, nullptr, poll_loop, &run) != 0) return 1;
  pthread_join(thread, nullptr);
  close(fds[0]);
  close(fds[1]);
  std::printf("wake_cost_us=%.2f\n", run.cpu_ns / run.wakes / 1000.0);
  return 0;
}

}  // namespace bench
