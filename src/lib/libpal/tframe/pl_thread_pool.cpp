#define LOG_TAG "pal"
#include "libpal/tframe/pl_thread_pool.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "liblog/log2.h"
#include "libpal/basic/pl_pcond.h"
#include "libpal/basic/pl_queue.h"
#include "libpal/os/os_time.h"

namespace {

constexpr uint32_t EXIT_WAIT_MS = 1000;
/* An idle worker re-checks its run flag this often; thread_pool_exit also wakes it at once. */
constexpr int IDLE_WAIT_MS = 100;

struct pool_task {
  thread_pool_proc proc;
  void *arg;
};

} // namespace

struct pool_worker {
  std::atomic<uint32_t> run{1};
  os_thread *thread = nullptr;
  queue *q = nullptr;
  std::atomic<uint32_t> pending{0};
  char name[OS_THREAD_NAME_MAX + 1];
  thread_pool *pool = nullptr;
};

struct thread_pool {
  int count = 0;
  std::atomic<uint32_t> next{0};
  pool_worker *workers = nullptr;
  pcond *idle = nullptr; /* signalled by a worker that finds nothing to do while nothing is pending */
  thread_pool_proc drop_proc = nullptr;
};

namespace {

/* Finishes a task also when a cancel unwinds out of it. */
struct task_done {
  pool_worker *w;
  pool_task *t;
  ~task_done()
  {
    free(t);
    w->pending.fetch_sub(1, std::memory_order_acq_rel);
  }
};

int thread_pool_worker(void *p)
{
  auto *w = static_cast<pool_worker *>(p);
  LOGV("==>\n");
  while (w->run.load(std::memory_order_acquire)) {
    void *item = queue_pop(w->q);
    if (!item) {
      if (thread_pool_pending(w->pool) == 0)
        pcond_signal(w->pool->idle);
      item = queue_pop_wait(w->q, IDLE_WAIT_MS);
      if (!item)
        continue;
    }
    if (item == QUEUE_WAKEUP)
      continue;
    auto *t = static_cast<pool_task *>(item);
    task_done done{w, t};
    if (t->proc)
      t->proc(t->arg);
  }
  LOGV("<==\n");
  return 0;
}

/* Stops one worker and drops its queued tasks; false when its thread could not be ended. */
bool worker_stop(pool_worker *w)
{
  LOGV("[%s]\n", w->name);
  bool ended = true;
  if (w->thread) {
    int rc = os_thread_wait_kill_exit(w->thread, EXIT_WAIT_MS, nullptr);
    w->thread = nullptr;
    if (rc < 0)
      log2_print(nullptr, LOG2_DBG, LOG_TAG, __FILE__, __LINE__, "thread_ctx_exit",
                 "os_thread_wait_kill_exit [%s] ret=%d\n", w->name, rc);
    ended = rc != OS_THREAD_RUNNING;
  }
  if (!ended)
    return false;
  while (void *item = queue_pop(w->q)) {
    if (item == QUEUE_WAKEUP)
      continue;
    /* A task may own its argument; the owner frees what never reached the task. */
    auto *t = static_cast<pool_task *>(item);
    if (w->pool->drop_proc)
      w->pool->drop_proc(t->arg);
    free(t);
    w->pending.fetch_sub(1, std::memory_order_acq_rel);
  }
  queue_close(w->q);
  w->q = nullptr;
  return true;
}

} // namespace

thread_pool *thread_pool_init(const thread_pool_param *param)
{
  if (!chk_assert(param != NULL))
    return nullptr;
  auto *p = new (std::nothrow) thread_pool;
  if (!p)
    return nullptr;
  int count = param->count > 0 ? param->count : os_cpu_count();
  const char *prefix = param->name ? param->name : "thread_pool";
  p->idle = pcond_init();
  p->workers = new (std::nothrow) pool_worker[count];
  if (!p->workers || !p->idle) {
    LOGE("malloc workq failed!\n");
    delete[] p->workers;
    pcond_exit(p->idle);
    delete p;
    return nullptr;
  }
  /* The pool is counted in full before any worker runs: workers read the other workers' counters. */
  p->count = count;
  p->drop_proc = param->drop_proc;
  for (int i = 0; i < count; i++) {
    pool_worker *w = &p->workers[i];
    snprintf(w->name, sizeof w->name, "%s_%d", prefix, i);
    w->pool = p;
    queue_param qp{};
    w->q = queue_open(&qp);
  }
  bool any = false;
  for (int i = 0; i < count; i++) {
    pool_worker *w = &p->workers[i];
    if (w->q)
      w->thread = os_thread_init2(w->name, thread_pool_worker, w, param->thread_opt.stack_size,
                                  param->thread_opt.options);
    if (w->thread)
      any = true;
    else
      LOGE("worker [%s] failed to start\n", w->name);
  }
  if (!any) {
    thread_pool_exit(p);
    return nullptr;
  }
  return p;
}

int thread_pool_push(thread_pool *p, thread_pool_proc proc, void *arg)
{
  if (!chk_assert(p != NULL))
    return -1;
  if (thread_pool_pending(p) == 0)
    pcond_reset(p->idle);
  uint32_t n = p->next.fetch_add(1, std::memory_order_relaxed) + 1;
  pool_worker *w = &p->workers[n % static_cast<uint32_t>(p->count)];
  for (int i = 1; !w->thread && i < p->count; i++) /* skip workers that never started */
    w = &p->workers[(n + static_cast<uint32_t>(i)) % static_cast<uint32_t>(p->count)];
  auto *t = static_cast<pool_task *>(malloc(sizeof(pool_task)));
  if (!t || !w->thread) {
    free(t);
    log2_print(nullptr, LOG2_ERR, LOG_TAG, __FILE__, __LINE__, "thead_ctx_create", "Failed to push task to queue");
    return -1;
  }
  t->proc = proc;
  t->arg = arg;
  /* Counted before the push, so that the pool never looks idle while the task is queued. */
  w->pending.fetch_add(1, std::memory_order_acq_rel);
  if (queue_push(w->q, t) != 0) {
    w->pending.fetch_sub(1, std::memory_order_acq_rel);
    free(t);
    log2_print(nullptr, LOG2_ERR, LOG_TAG, __FILE__, __LINE__, "thead_ctx_create", "Failed to push task to queue");
    return -1;
  }
  return 0;
}

uint32_t thread_pool_pending(const thread_pool *p)
{
  uint32_t sum = 0;
  for (int i = 0; i < p->count; i++)
    sum += p->workers[i].pending.load(std::memory_order_acquire);
  return sum;
}

int thread_pool_count(const thread_pool *p)
{
  return p->count;
}

int thread_pool_wait_idle(thread_pool *p, int timeout_ms)
{
  if (!chk_assert(p != NULL))
    return -1;
  uint64_t start = os_time_ms();
  int wait_ms = timeout_ms;
  for (;;) {
    pcond_wait(p->idle, wait_ms);
    if (thread_pool_pending(p) == 0)
      return 0;
    if (timeout_ms >= 0 && os_time_ms() - start >= static_cast<uint64_t>(timeout_ms))
      return -2;
    wait_ms = 1;
  }
}

void thread_pool_exit(thread_pool *p)
{
  if (!p)
    return;
  /* Every worker is told first, so that none of them starts queued work while another one is being
   * waited for. */
  for (int i = 0; i < p->count; i++) {
    pool_worker *w = &p->workers[i];
    w->run.store(0, std::memory_order_release);
    if (w->q && w->thread)
      queue_push(w->q, QUEUE_WAKEUP);
  }
  bool all_ended = true;
  for (int i = 0; i < p->count; i++)
    if (!worker_stop(&p->workers[i]))
      all_ended = false;
  if (!all_ended) {
    LOGE("a worker still runs: the pool is left allocated\n");
    return;
  }
  pcond_exit(p->idle);
  delete[] p->workers;
  delete p;
}
