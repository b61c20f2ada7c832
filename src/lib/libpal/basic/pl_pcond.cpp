#define LOG_TAG "pal"
#include "libpal/basic/pl_pcond.h"

#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>

#include "liblog/log2.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"

struct pcond {
  pthread_mutex_t lock;
  pthread_cond_t cond; /* on the monotonic clock */
  uint32_t signalled;  /* guarded by lock */
};

namespace {

/* Releases the mutex when the wait returns and also when a cancel unwinds out of it (the condition
 * wait takes the mutex again before the unwinding starts). */
struct unlock_guard {
  pthread_mutex_t *m;
  ~unlock_guard() { pthread_mutex_unlock(m); }
};

} // namespace

pcond *pcond_init()
{
  auto *c = new (std::nothrow) pcond;
  if (!c)
    return nullptr;
  pthread_mutex_init(&c->lock, nullptr);
  pthread_condattr_t ca;
  pthread_condattr_init(&ca);
  pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
  pthread_cond_init(&c->cond, &ca);
  pthread_condattr_destroy(&ca);
  c->signalled = 0;
  return c;
}

void pcond_exit(pcond *c)
{
  if (!c)
    return;
  pthread_cond_destroy(&c->cond);
  pthread_mutex_destroy(&c->lock);
  delete c;
}

void pcond_signal(pcond *c)
{
  pl_assert(c != NULL);
  pthread_mutex_lock(&c->lock);
  c->signalled = 1;
  pthread_cond_signal(&c->cond);
  pthread_mutex_unlock(&c->lock);
}

void pcond_reset(pcond *c)
{
  pl_assert(c != NULL);
  pthread_mutex_lock(&c->lock);
  c->signalled = 0;
  pthread_mutex_unlock(&c->lock);
}

int pcond_wait(pcond *c, int timeout_ms)
{
  pl_assert(c != NULL);
  struct timespec until = os_deadline_ms(timeout_ms > 0 ? static_cast<uint64_t>(timeout_ms) : 0);
  pthread_mutex_lock(&c->lock);
  unlock_guard unlock{&c->lock};
  if (!c->signalled && timeout_ms != 0) {
    os_cancel_scope cancel;
    while (!c->signalled) {
      int rc = timeout_ms < 0 ? pthread_cond_wait(&c->cond, &c->lock)
                              : pthread_cond_timedwait(&c->cond, &c->lock, &until);
      if (rc == ETIMEDOUT)
        break;
      if (rc != 0) {
        LOGE("pthread_cond_timedwait error ret=%d\n", rc);
        return -1;
      }
    }
  }
  if (!c->signalled)
    return -2;
  c->signalled = 0;
  return 0;
}
