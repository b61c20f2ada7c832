#define LOG_TAG "pal"
#include "libpal/os/os_thread.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "liblog/log2.h"
#include "libpal/os/os_time.h"

/* Shared by the handle and the running thread; whoever lets go last frees it, so that a thread left
 * running after a failed cancel never touches freed memory. */
struct os_thread {
  std::atomic<int> refs{2};
  char name[OS_THREAD_NAME_MAX + 1];
  os_thread_proc proc;
  void *arg;
  uint32_t stack_size;
  uint32_t options;
  std::atomic<uint32_t> done{0};
  pthread_t th;
  pthread_mutex_t lock; /* guards result and joined; with cond, tells waiters that done was set */
  pthread_cond_t cond;
  int result;
  bool joined;
};

namespace {

constexpr uint32_t CANCEL_GRACE_MS = 200;

void thread_unref(os_thread *t)
{
  if (t->refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
    return;
  pthread_cond_destroy(&t->cond);
  pthread_mutex_destroy(&t->lock);
  delete t;
}

/* Marks the end of the thread, on return and while a cancel unwinds the stack alike. */
struct thread_end_guard {
  os_thread *t;
  bool returned = false;
  int result = 0;
  ~thread_end_guard()
  {
    pthread_mutex_lock(&t->lock);
    t->result = returned ? result : OS_THREAD_CANCELLED;
    t->done.store(1, std::memory_order_release);
    pthread_cond_broadcast(&t->cond);
    pthread_mutex_unlock(&t->lock);
    thread_unref(t);
  }
};

void *thread_start(void *p)
{
  auto *t = static_cast<os_thread *>(p);
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
  char kname[16]; /* the kernel keeps 15 characters and the NUL */
  size_t klen = strnlen(t->name, sizeof kname - 1);
  memcpy(kname, t->name, klen);
  kname[klen] = '\0';
  pthread_setname_np(pthread_self(), kname);
  log2_thread_name_set(t->name);
  thread_end_guard g{t};
  g.result = t->proc(t->arg);
  g.returned = true;
  return nullptr;
}

uint32_t stack_size_pick(uint32_t stack_size)
{
  if (stack_size == 0) {
    const char *env = getenv("QV_THREAD_STACK_SIZE");
    if (env && *env) {
      int v = atoi(env);
      LOGV("QV_ENV_STACK_SIZE=%d\n", v);
      if (v > 0)
        stack_size = static_cast<uint32_t>(v);
    }
    if (stack_size == 0)
      stack_size = OS_THREAD_STACK_DEFAULT;
  }
  long min = sysconf(_SC_THREAD_STACK_MIN);
  if (min < PTHREAD_STACK_MIN)
    min = PTHREAD_STACK_MIN;
  if (stack_size < static_cast<unsigned long>(min))
    stack_size = static_cast<uint32_t>(min);
  return stack_size;
}

struct mutex_unlock_guard {
  pthread_mutex_t *m;
  ~mutex_unlock_guard() { pthread_mutex_unlock(m); }
};

/* Waits until done is set or the time runs out; true when done. */
bool wait_done(os_thread *t, uint32_t timeout_ms)
{
  if (t->done.load(std::memory_order_acquire))
    return true;
  if (timeout_ms == 0)
    return false;
  struct timespec until = os_deadline_ms(timeout_ms);
  pthread_mutex_lock(&t->lock);
  mutex_unlock_guard unlock{&t->lock};
  os_cancel_scope cancel;
  while (!t->done.load(std::memory_order_acquire)) {
    int rc = timeout_ms == OS_THREAD_WAIT_FOREVER ? pthread_cond_wait(&t->cond, &t->lock)
                                                  : pthread_cond_timedwait(&t->cond, &t->lock, &until);
    if (rc == ETIMEDOUT)
      break;
  }
  return t->done.load(std::memory_order_acquire) != 0;
}

} // namespace

os_cancel_scope::os_cancel_scope()
{
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old_state_);
}

os_cancel_scope::~os_cancel_scope()
{
  pthread_setcancelstate(old_state_, nullptr);
}

os_thread *os_thread_init2(const char *name, os_thread_proc proc, void *arg, uint32_t stack_size,
                           uint32_t options)
{
  pl_assert(name != NULL);
  pl_assert(proc != NULL);
  auto *t = new (std::nothrow) os_thread;
  if (!t)
    return nullptr;
  snprintf(t->name, sizeof t->name, "%s", name);
  t->proc = proc;
  t->arg = arg;
  t->stack_size = stack_size_pick(stack_size);
  t->options = options;
  t->result = 0;
  t->joined = false;
  pthread_mutex_init(&t->lock, nullptr);
  pthread_condattr_t ca;
  pthread_condattr_init(&ca);
  pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
  pthread_cond_init(&t->cond, &ca);
  pthread_condattr_destroy(&ca);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, t->stack_size);
  int rc = pthread_create(&t->th, &attr, thread_start, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    LOG2(LOG2_ERR | LOG2_ERRNO, "pthread_create name:%s error: ", name);
    t->refs.store(1, std::memory_order_relaxed);
    thread_unref(t);
    return nullptr;
  }
  return t;
}

os_thread *os_thread_init(const char *name, os_thread_proc proc, void *arg)
{
  return os_thread_init2(name, proc, arg, 0, 0);
}

int os_thread_wait(os_thread *t, uint32_t timeout_ms, int *ret)
{
  if (!chk_assert(t != NULL))
    return -1;
  if (!t->joined) {
    if (!wait_done(t, timeout_ms))
      return -2;
    int rc = pthread_join(t->th, nullptr);
    if (rc != 0) {
      LOGW("pthread_join ret=%d failed", rc);
      return -1;
    }
    t->joined = true;
  }
  if (ret) {
    pthread_mutex_lock(&t->lock);
    *ret = t->result;
    pthread_mutex_unlock(&t->lock);
  }
  return 0;
}

int os_thread_wait_kill_exit(os_thread *t, uint32_t timeout_ms, int *ret)
{
  if (!chk_assert(t != NULL))
    return -1;
  if (!t->joined && pthread_equal(t->th, pthread_self())) {
    LOGE("[%s] cannot wait for itself\n", t->name);
    pthread_detach(t->th);
    thread_unref(t);
    return OS_THREAD_RUNNING;
  }
  int rc = os_thread_wait(t, timeout_ms, ret);
  if (rc == -2) {
    pthread_cancel(t->th);
    if (wait_done(t, CANCEL_GRACE_MS) && os_thread_wait(t, 0, ret) == 0) {
      LOGW("[%s] cancelled after %u ms\n", t->name, timeout_ms);
    } else {
      LOGE("[%s] still runs after the cancel; left detached\n", t->name);
      pthread_detach(t->th);
      t->joined = true; /* nothing to join any more */
      rc = OS_THREAD_RUNNING;
    }
  } else if (rc == -1) {
    /* The join failed: the thread cannot be joined, so it is detached to release it at its end. */
    pthread_detach(t->th);
    if (!t->done.load(std::memory_order_acquire))
      rc = OS_THREAD_RUNNING;
  }
  thread_unref(t);
  return rc;
}

void os_thread_free(os_thread *t)
{
  if (!t)
    return;
  if (!t->joined)
    pthread_detach(t->th);
  thread_unref(t);
}

bool os_thread_done(const os_thread *t)
{
  return t && t->done.load(std::memory_order_acquire) != 0;
}

const char *os_thread_name(const os_thread *t)
{
  return t ? t->name : "";
}

uint32_t os_thread_stack_size(const os_thread *t)
{
  return t ? t->stack_size : 0;
}

int os_cpu_count()
{
  static std::atomic<int> cached{0};
  int n = cached.load(std::memory_order_relaxed);
  if (n > 0)
    return n;
  long v = sysconf(_SC_NPROCESSORS_ONLN);
  if (v < 1)
    v = sysconf(_SC_NPROCESSORS_CONF);
  if (v < 1)
    v = 1;
  n = static_cast<int>(v);
  cached.store(n, std::memory_order_relaxed);
  return n;
}
