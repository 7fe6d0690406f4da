// cg_mutex and cg_cond: heap-allocated POSIX mutex and condition variable.
#include <sys/time.h>

#include <cstdlib>

#include "runtime/runtime.h"

cg_mutex* cg_mutex_new() {
  auto* m = static_cast<cg_mutex*>(std::malloc(sizeof(cg_mutex)));
  if (!m) return nullptr;
  if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
    std::free(m);
    return nullptr;
  }
  return m;
}

int cg_mutex_delete(cg_mutex* mutex) {
  if (!mutex) return 0;
  pthread_mutex_destroy(&mutex->mutex);
  std::free(mutex);
  return 1;
}

int cg_mutex_lock(cg_mutex* mutex) {
  if (!mutex) return 0;
  pthread_mutex_lock(&mutex->mutex);
  return 1;
}

int cg_mutex_unlock(cg_mutex* mutex) {
  if (!mutex) return 0;
  pthread_mutex_unlock(&mutex->mutex);
  return 1;
}

cg_cond* cg_cond_new() {
  auto* c = static_cast<cg_cond*>(std::malloc(sizeof(cg_cond)));
  if (!c) return nullptr;
  if (pthread_cond_init(&c->cond, nullptr) != 0) {
    std::free(c);
    return nullptr;
  }
  return c;
}

int cg_cond_delete(cg_cond* cond) {
  if (!cond) return 1;
  pthread_cond_destroy(&cond->cond);
  std::free(cond);
  return 1;
}

int cg_cond_wait(cg_cond* cond, cg_mutex* mutex, int seconds) {
  if (!cond || !mutex) return 1;
  if (seconds <= 0) {
    pthread_cond_wait(&cond->cond, &mutex->mutex);
    return 1;
  }
  timeval now{};
  gettimeofday(&now, nullptr);
  timespec deadline{};
  deadline.tv_sec = now.tv_sec + seconds;
  deadline.tv_nsec = now.tv_usec * 1000L;
  pthread_cond_timedwait(&cond->cond, &mutex->mutex, &deadline);
  return 1;
}

int cg_cond_signal(cg_cond* cond) {
  if (!cond) return 0;
  return pthread_cond_signal(&cond->cond) == 0 ? 1 : 0;
}
