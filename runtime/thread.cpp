// cg_thread: detached POSIX threads with a cooperative stop flag, a SIGQUIT
// wake-up for blocking calls, and a reference count that keeps the record
// valid for waiters while a thread deletes itself.
#include <csignal>
#include <cstddef>
#include <cstdlib>

#include "runtime/runtime.h"

namespace {

pthread_key_t g_self_key;
pthread_once_t g_self_once = PTHREAD_ONCE_INIT;

// Guards `alive` so that a stopper signals only a thread that has not yet
// left its entry routine (the id of a finished detached thread may be reused).
pthread_mutex_t g_alive_lock = PTHREAD_MUTEX_INITIALIZER;
int g_stop_pause_ms = 1000;

struct thread_extra {
  int alive;
};

void make_self_key() { pthread_key_create(&g_self_key, nullptr); }

void on_sigquit(int) {}

int load(const int* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
void store(int* p, int v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }

// Each cg_thread is allocated with a private trailer that the API does not
// expose: whether its POSIX thread is still inside the entry routine.
struct thread_block {
  cg_thread thread;
  thread_extra extra;
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
  pthread_mutex_unlock(&g_alive_lock);
  cg_thread_release(thread);  // the reference taken by start
  return nullptr;
}

cg_thread* thread_alloc(int is_head) {
  auto* block = static_cast<thread_block*>(std::calloc(1, sizeof(thread_block)));
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

}  // namespace

cg_thread* cg_thread_new() { return thread_alloc(0); }

int cg_thread_start(cg_thread* thread) {
  if (!thread) return 0;
  store(&thread->runnable, 1);  // before the thread exists
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
    store(&thread->runnable, 0);
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
  if (!__atomic_compare_exchange_n(&thread->runnable, &expected, 0, false, __ATOMIC_ACQ_REL,
                                   __ATOMIC_ACQUIRE)) {
    return 1;
  }
  if (cond) cg_cond_signal(cond);
  // A thread that ends itself has seen the flag already: signalling it and
  // pausing would only keep an ending thread alive for another second.
  if (thread == cg_thread_self()) return 1;
  pthread_mutex_lock(&g_alive_lock);
  if (extra_of(thread)->alive) pthread_kill(thread->thread_id, SIGQUIT);
  pthread_mutex_unlock(&g_alive_lock);
  cg_sleep_ms(__atomic_load_n(&g_stop_pause_ms, __ATOMIC_RELAXED));
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

int cg_thread_is_runnable(const cg_thread* thread) { return thread ? load(&thread->runnable) : 0; }

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
  if (thread) __atomic_fetch_add(&thread->refs, 1, __ATOMIC_RELAXED);
}

void cg_thread_release(cg_thread* thread) {
  if (!thread) return;
  if (__atomic_sub_fetch(&thread->refs, 1, __ATOMIC_ACQ_REL) == 0) {
    std::free(reinterpret_cast<thread_block*>(thread));
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

int cg_thread_list_size(const cg_thread_list* list) { return list ? cg_list_size(&list->node) : 0; }

cg_thread* cg_thread_list_first(cg_thread_list* list) {
  return list ? reinterpret_cast<cg_thread*>(cg_list_next(&list->node)) : nullptr;
}

cg_thread* cg_thread_next(cg_thread* thread) {
  return thread ? reinterpret_cast<cg_thread*>(cg_list_next(&thread->node)) : nullptr;
}

void cg_thread_set_stop_pause_ms(int ms) { __atomic_store_n(&g_stop_pause_ms, ms, __ATOMIC_RELAXED); }
