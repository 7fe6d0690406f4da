// cg_thread: detached POSIX threads with a cooperative stop flag, a wake
// descriptor that ends their waits, a join on the end of their action, and a
// reference count that keeps the record valid for waiters while a thread
// deletes itself. The SIGQUIT stop with its pause remains for callers of
// cg_thread_stop.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "runtime/runtime.h"

namespace {

pthread_key_t g_self_key;
pthread_once_t g_self_once = PTHREAD_ONCE_INIT;

// Guards `alive` so that a stopper signals only a thread that has not yet
// left its entry routine (the id of a finished detached thread may be reused).
// Joiners wait on g_ended until the thread they join is no longer alive.
pthread_mutex_t g_alive_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_ended = PTHREAD_COND_INITIALIZER;
std::atomic<int> g_stop_pause_ms{1000};
// Longest wait of a thread that has no wake descriptor (none could be made).
constexpr int kNoWakePollMs = 100;

struct thread_extra {
  int alive;    // between start and the return of the action; under g_alive_lock
  // eventfd, non-blocking, made by the first wait or wake that needs it
  // (threads that never wait on it, like HTTP connections, cost no
  // descriptor); -1 until then.
  std::atomic<int> wake_fd{-1};
};

void make_self_key() { pthread_key_create(&g_self_key, nullptr); }

void on_sigquit(int) {}

// Each cg_thread is allocated with a private trailer that the API does not
// expose: whether its POSIX thread is still inside the entry routine.
struct thread_block {
  cg_thread thread{};
  thread_extra extra{};
};
static_assert(offsetof(thread_block, thread) == 0);

thread_extra* extra_of(cg_thread* t) { return &reinterpret_cast<thread_block*>(t)->extra; }

// The empty SIGQUIT handler, process-wide. No SA_RESTART: a SIGQUIT
// interrupts the blocking call of the thread it is sent to.
void install_sigquit_handler() {
  struct sigaction action {};
  action.sa_handler = on_sigquit;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGQUIT, &action, nullptr);
}

// Stack of every cg_thread. The threads run short, shallow request paths
// (they all run fine in 32 KiB), so the system default of several MiB per
// thread (8 MiB with glibc) would only reserve address space and commit
// charge: with a hundred HTTP connections that is most of a 32-bit address
// space. Sanitizer builds keep the default, their frames are several times
// larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kThreadStackSize = 0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
constexpr size_t kThreadStackSize = 0;
#else
constexpr size_t kThreadStackSize = 256 * 1024;
#endif
#else
constexpr size_t kThreadStackSize = 256 * 1024;
#endif

void* thread_entry(void* arg) {
  auto* thread = static_cast<cg_thread*>(arg);
  sigset_t set;
  sigfillset(&set);
  sigdelset(&set, SIGQUIT);
  pthread_sigmask(SIG_SETMASK, &set, nullptr);
  install_sigquit_handler();

  pthread_once(&g_self_once, make_self_key);
  pthread_setspecific(g_self_key, thread);

  if (thread->action) thread->action(thread);

  pthread_mutex_lock(&g_alive_lock);
  extra_of(thread)->alive = 0;
  pthread_cond_broadcast(&g_ended);
  pthread_mutex_unlock(&g_alive_lock);
  cg_thread_release(thread);  // the reference taken by start
  return nullptr;
}

cg_thread* thread_alloc(int is_head) {
  auto* block = new (std::nothrow) thread_block;
  if (!block) return nullptr;
  cg_thread* thread = &block->thread;
  if (is_head) {
    cg_list_header_init(&thread->node);
  } else {
    cg_list_node_init(&thread->node);
  }
  thread->refs = 1;
  return thread;
}

int existing_wake_fd(cg_thread* thread) {
  return extra_of(thread)->wake_fd.load();
}

// The wake descriptor, made on first use; -1 when none can be made.
int wake_fd_of(cg_thread* thread) {
  int fd = existing_wake_fd(thread);
  if (fd >= 0) return fd;
  int made = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (made < 0) return -1;
  int expected = -1;
  if (extra_of(thread)->wake_fd.compare_exchange_strong(expected, made)) {
    return made;
  }
  close(made);  // another thread made it first
  return expected;
}

void drain_wake(int fd) {
  eventfd_t value;
  if (fd >= 0) eventfd_read(fd, &value);
}

void signal_wake(int fd) {
  // A full counter (never reached in practice) still leaves the wake set.
  if (fd >= 0) eventfd_write(fd, 1);
}

}  // namespace

cg_thread* cg_thread_new() { return thread_alloc(0); }

int cg_thread_start(cg_thread* thread) {
  if (!thread) return 0;
  drain_wake(existing_wake_fd(thread));  // a wake of an earlier run is spent
  thread->runnable.store(1, std::memory_order_release);  // before the thread exists
  // Installed before the thread runs too: a stop that comes before the new
  // thread reaches its entry routine must not meet SIGQUIT's default action,
  // which would end the process.
  install_sigquit_handler();
  cg_thread_hold(thread);       // the running thread's own reference
  pthread_mutex_lock(&g_alive_lock);
  extra_of(thread)->alive = 1;
  pthread_mutex_unlock(&g_alive_lock);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (kThreadStackSize != 0) pthread_attr_setstacksize(&attr, kThreadStackSize);
  int rc = pthread_create(&thread->thread_id, &attr, thread_entry, thread);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    pthread_mutex_lock(&g_alive_lock);
    extra_of(thread)->alive = 0;
    pthread_mutex_unlock(&g_alive_lock);
    thread->runnable.store(0, std::memory_order_release);
    cg_thread_release(thread);
    return 0;
  }
  return 1;
}

int cg_thread_stop(cg_thread* thread) { return cg_thread_stop_with_cond(thread, nullptr); }

int cg_thread_stop_with_cond(cg_thread* thread, cg_cond* cond) {
  if (!thread) return 1;
  // Only the caller that flips the flag signals and pauses.
  int expected = 1;
  if (!thread->runnable.compare_exchange_strong(expected, 0)) {
    return 1;
  }
  if (cond) cg_cond_signal(cond);
  signal_wake(existing_wake_fd(thread));
  // A thread that ends itself has seen the flag already: signalling it and
  // pausing would only keep an ending thread alive for another second.
  if (thread == cg_thread_self()) return 1;
  pthread_mutex_lock(&g_alive_lock);
  if (extra_of(thread)->alive) pthread_kill(thread->thread_id, SIGQUIT);
  pthread_mutex_unlock(&g_alive_lock);
  cg_sleep_ms(g_stop_pause_ms.load(std::memory_order_relaxed));
  return 1;
}

int cg_thread_restart(cg_thread* thread) {
  cg_thread_stop(thread);
  cg_thread_start(thread);
  return 1;
}

int cg_thread_delete(cg_thread* thread) {
  if (!thread) return 1;
  if (cg_thread_is_runnable(thread) == 1) cg_thread_stop(thread);
  cg_list_remove(&thread->node);
  cg_thread_release(thread);  // the owner's reference
  return 1;
}

int cg_thread_is_runnable(const cg_thread* thread) {
  return thread ? thread->runnable.load(std::memory_order_acquire) : 0;
}

void cg_thread_set_action(cg_thread* thread, cg_thread_func action) {
  if (thread) thread->action = action;
}

void cg_thread_set_user_data(cg_thread* thread, void* user_data) {
  if (thread) thread->user_data = user_data;
}

void* cg_thread_get_user_data(const cg_thread* thread) { return thread ? thread->user_data : nullptr; }

cg_thread* cg_thread_self() {
  pthread_once(&g_self_once, make_self_key);
  return static_cast<cg_thread*>(pthread_getspecific(g_self_key));
}

void cg_thread_hold(cg_thread* thread) {
  if (thread) thread->refs.fetch_add(1, std::memory_order_relaxed);
}

void cg_thread_release(cg_thread* thread) {
  if (!thread) return;
  if (thread->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    if (existing_wake_fd(thread) >= 0) close(existing_wake_fd(thread));
    delete reinterpret_cast<thread_block*>(thread);
  }
}

cg_thread_list* cg_thread_list_new() { return thread_alloc(1); }

void cg_thread_list_delete(cg_thread_list* list) {
  if (!list) return;
  for (cg_thread* t = cg_thread_list_first(list); t; t = cg_thread_list_first(list)) {
    cg_thread_delete(t);
  }
  cg_thread_release(list);
}

int cg_thread_list_start(cg_thread_list* list) {
  for (cg_thread* t = cg_thread_list_first(list); t; t = cg_thread_next(t)) cg_thread_start(t);
  return 1;
}

int cg_thread_list_stop(cg_thread_list* list) {
  for (cg_thread* t = cg_thread_list_first(list); t; t = cg_thread_next(t)) cg_thread_stop(t);
  return 1;
}

void cg_thread_list_add(cg_thread_list* list, cg_thread* thread) {
  if (list && thread) cg_list_append(&list->node, &thread->node);
}

int cg_thread_list_size(const cg_thread_list* list) { return vbd_runtime::list_size(list); }

cg_thread* cg_thread_list_first(cg_thread_list* list) { return vbd_runtime::list_first(list); }

cg_thread* cg_thread_next(cg_thread* thread) { return vbd_runtime::list_next(thread); }

void cg_thread_set_stop_pause_ms(int ms) { g_stop_pause_ms.store(ms, std::memory_order_relaxed); }

// ---------------------------------------------------------------------------
// Stoppable waits, wake and join
// ---------------------------------------------------------------------------

int cg_thread_wait_fd(cg_thread* thread, int fd, short events, int timeout_ms, short* revents) {
  if (revents) *revents = 0;
  // Made (or read) before runnable is tested: a stop clears runnable before
  // it looks for the descriptor, so either it finds the descriptor and sets
  // it, or this test sees the cleared flag.
  int wake_fd = thread ? wake_fd_of(thread) : -1;
  // A stopped thread does not block again: its stop may already have been
  // consumed as an ordinary wake by an earlier wait.
  if (thread && thread->runnable.load() == 0) return CG_WAIT_WOKEN;
  // Without a wake descriptor (none could be made) a stop is noticed by
  // waking regularly.
  if (thread && wake_fd < 0 && (timeout_ms < 0 || timeout_ms > kNoWakePollMs)) {
    timeout_ms = kNoWakePollMs;
  }
  pollfd fds[2];
  nfds_t count = 0;
  int fd_slot = -1;
  int wake_slot = -1;
  if (fd >= 0) {
    fds[count] = {fd, events, 0};
    fd_slot = static_cast<int>(count++);
  }
  if (wake_fd >= 0) {
    fds[count] = {wake_fd, POLLIN, 0};
    wake_slot = static_cast<int>(count++);
  }
  if (count == 0) {
    if (timeout_ms < 0) return CG_WAIT_WOKEN;  // nothing could ever end it
    cg_sleep_ms(timeout_ms);
    return CG_WAIT_TIMEOUT;
  }
  int ready = poll(fds, count, timeout_ms < 0 ? -1 : timeout_ms);
  if (ready < 0) return errno == EINTR ? CG_WAIT_WOKEN : CG_WAIT_READY;
  if (ready == 0) return CG_WAIT_TIMEOUT;
  if (wake_slot >= 0 && fds[wake_slot].revents != 0) {
    if (cg_thread_is_runnable(thread)) drain_wake(wake_fd);
    return CG_WAIT_WOKEN;
  }
  if (revents && fd_slot >= 0) *revents = fds[fd_slot].revents;
  return CG_WAIT_READY;
}

int cg_thread_wait(cg_thread* thread, int timeout_ms) {
  return cg_thread_wait_fd(thread, -1, 0, timeout_ms, nullptr);
}

int cg_thread_pause_ms(int milliseconds) {
  if (milliseconds <= 0) return 1;
  cg_thread* self = cg_thread_self();
  if (!self) {
    cg_sleep_ms(milliseconds);
    return 1;
  }
  // A plain wake ends this pause early too; it waits out the rest unless
  // the thread is being stopped.
  int64_t deadline = cg_monotonic_ms() + milliseconds;
  for (;;) {
    int64_t left = deadline - cg_monotonic_ms();
    if (left <= 0) return 1;
    if (cg_thread_wait(self, static_cast<int>(left)) == CG_WAIT_TIMEOUT) return 1;
    if (!cg_thread_is_runnable(self)) return 0;
  }
}

void cg_thread_wake(cg_thread* thread) {
  // Made here when the thread has none yet: its next wait finds it set.
  if (thread) signal_wake(wake_fd_of(thread));
}

int cg_thread_get_wake_fd(cg_thread* thread) { return thread ? wake_fd_of(thread) : -1; }

void cg_thread_clear_wake(cg_thread* thread) {
  if (thread && cg_thread_is_runnable(thread)) drain_wake(existing_wake_fd(thread));
}

int cg_thread_join(cg_thread* thread) {
  if (!thread || thread == cg_thread_self()) return 1;
  pthread_mutex_lock(&g_alive_lock);
  while (extra_of(thread)->alive) pthread_cond_wait(&g_ended, &g_alive_lock);
  pthread_mutex_unlock(&g_alive_lock);
  return 1;
}

int cg_thread_stop_and_join(cg_thread* thread) {
  if (!thread) return 1;
  thread->runnable.store(0);
  signal_wake(existing_wake_fd(thread));
  return cg_thread_join(thread);
}

int cg_thread_interrupt(cg_thread* thread) {
  if (!thread) return 0;
  pthread_mutex_lock(&g_alive_lock);
  int alive = extra_of(thread)->alive;
  if (alive) pthread_kill(thread->thread_id, SIGQUIT);
  pthread_mutex_unlock(&g_alive_lock);
  return alive ? 1 : 0;
}
