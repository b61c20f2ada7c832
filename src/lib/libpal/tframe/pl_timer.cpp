#define LOG_TAG "pal"
#include "libpal/tframe/pl_timer.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "liblog/log2.h"
#include "libpal/basic/pl_pcond.h"
#include "libpal/memory/pl_lbuf.h"
#include "libpal/os/os_time.h"

struct pl_timer_task {
  char *name; /* in the timer's task pool */
  pl_timer_proc proc;
  void *arg;
  uint64_t when;
  uint32_t flags;
  int heap_idx; /* position in the heap, -1 when not in it */
};

struct pl_timer {
  char name[OS_THREAD_NAME_MAX + 1];
  int warn_ms;
  std::atomic<uint32_t> stop{0};
  std::mutex lock; /* guards heap, pool and running; never held while a task procedure runs */
  lbuf *pool = nullptr;
  std::vector<pl_timer_task *> heap;
  pl_timer_task *running = nullptr; /* the task whose procedure runs now */
  std::condition_variable run_done;
  pcond *event = nullptr;
  os_thread *thread = nullptr;
  std::atomic<uint32_t> wakeups{0};
};

namespace {

constexpr uint32_t EXIT_WAIT_MS = 2000;
constexpr int DEFAULT_WARN_MS = 3000;

/* The timer whose loop runs on this thread, so that task_exit from a task procedure does not wait
 * for itself. */
thread_local const pl_timer *t_loop_timer = nullptr;

uint32_t owner_of(const pl_timer_task *t)
{
  return t->flags >> PL_TIMER_OWNER_SHIFT;
}

void owner_set(pl_timer_task *t, uint32_t owner)
{
  t->flags = (t->flags & ~(3u << PL_TIMER_OWNER_SHIFT)) | (owner << PL_TIMER_OWNER_SHIFT);
}

/* Binary min-heap on when; every task knows its index so that it can be taken out from the middle. */
void heap_place(pl_timer *tm, size_t i, pl_timer_task *t)
{
  tm->heap[i] = t;
  t->heap_idx = static_cast<int>(i);
}

void heap_up(pl_timer *tm, size_t i)
{
  pl_timer_task *t = tm->heap[i];
  while (i > 0) {
    size_t parent = (i - 1) / 2;
    if (tm->heap[parent]->when <= t->when)
      break;
    heap_place(tm, i, tm->heap[parent]);
    i = parent;
  }
  heap_place(tm, i, t);
}

void heap_down(pl_timer *tm, size_t i)
{
  size_t n = tm->heap.size();
  pl_timer_task *t = tm->heap[i];
  for (;;) {
    size_t c = 2 * i + 1;
    if (c >= n)
      break;
    if (c + 1 < n && tm->heap[c + 1]->when < tm->heap[c]->when)
      c++;
    if (t->when <= tm->heap[c]->when)
      break;
    heap_place(tm, i, tm->heap[c]);
    i = c;
  }
  heap_place(tm, i, t);
}

void heap_push(pl_timer *tm, pl_timer_task *t)
{
  tm->heap.push_back(t);
  heap_up(tm, tm->heap.size() - 1);
}

void heap_remove(pl_timer *tm, pl_timer_task *t)
{
  size_t i = static_cast<size_t>(t->heap_idx);
  pl_timer_task *last = tm->heap.back();
  tm->heap.pop_back();
  t->heap_idx = -1;
  if (last != t) {
    heap_place(tm, i, last);
    heap_up(tm, i);
    heap_down(tm, static_cast<size_t>(last->heap_idx));
  }
}

void task_free(pl_timer *tm, pl_timer_task *t)
{
  lbuf_free(tm->pool, t->name);
  lbuf_free(tm->pool, t);
}

/* Clears the running mark also when a cancel unwinds out of the task procedure. */
struct running_clear {
  pl_timer *tm;
  ~running_clear()
  {
    std::lock_guard<std::mutex> g(tm->lock);
    tm->running = nullptr;
    tm->run_done.notify_all();
  }
};

void run_one(pl_timer *tm)
{
  pl_timer_cb cb;
  memset(&cb, 0, sizeof cb);
  pl_timer_proc proc = nullptr;
  {
    std::lock_guard<std::mutex> g(tm->lock);
    if (tm->heap.empty())
      return;
    pl_timer_task *t = tm->heap.front();
    uint64_t now = os_time_ms();
    if (now < t->when)
      return;
    heap_remove(tm, t);
    pl_assert(owner_of(t) != 0 && "timer_task->refn");
    snprintf(cb.name, sizeof cb.name, "%s", t->name ? t->name : "");
    cb.arg = t->arg;
    cb.killed = (t->flags & PL_TIMER_F_KILLED) ? 1 : 0;
    proc = t->proc;
    if (t->flags & PL_TIMER_F_REPEAT) {
      t->when = now + (t->flags & PL_TIMER_PERIOD_MASK);
      heap_push(tm, t);
      tm->running = t;
    } else if (owner_of(t) == PL_TIMER_OWNER_TIMER) {
      task_free(tm, t);
    } else {
      owner_set(t, PL_TIMER_OWNER_TIMER); /* ran once: stays allocated until pl_timer_task_exit */
      tm->running = t;
    }
  }
  if (!proc)
    return;
  running_clear clear{tm};
  uint64_t t0 = os_time_ms();
  proc(&cb);
  uint64_t took = os_time_ms() - t0;
  if (tm->warn_ms != -1 && took >= static_cast<uint64_t>(tm->warn_ms))
    LOGW("timer:[%s] call func time=%lld ms", cb.name, static_cast<long long>(took));
}

int pl_timer_loop_thread(void *p)
{
  auto *tm = static_cast<pl_timer *>(p);
  t_loop_timer = tm;
  LOGD("==> [%s]\n", tm->name);
  while (!tm->stop.load(std::memory_order_acquire)) {
    int sleep_ms = -1;
    {
      std::lock_guard<std::mutex> g(tm->lock);
      if (!tm->heap.empty()) {
        uint64_t when = tm->heap.front()->when, now = os_time_ms();
        sleep_ms = when <= now ? 0 : (when - now > INT_MAX ? INT_MAX : static_cast<int>(when - now));
      }
    }
    if (sleep_ms != 0)
      pcond_wait(tm->event, sleep_ms);
    if (tm->stop.load(std::memory_order_acquire))
      break;
    run_one(tm);
  }
  LOGD("<==\n");
  return 0;
}

/* Frees what pl_timer_init made (the thread has ended or was never started). */
void timer_free(pl_timer *tm)
{
  lbuf_exit(tm->pool);
  pcond_exit(tm->event);
  delete tm;
}

} // namespace

pl_timer *pl_timer_init(const pl_timer_param *param)
{
  pl_timer *tm = new (std::nothrow) pl_timer;
  if (!chk_assert(tm))
    return nullptr;
  const char *name = param && param->name && *param->name ? param->name : "pl_timer";
  snprintf(tm->name, sizeof tm->name, "%s", name);
  int warn = param ? param->warn_ms : 0;
  tm->warn_ms = warn == 0 ? DEFAULT_WARN_MS : warn;
  tm->event = pcond_init();
  pl_assert(tm->event != NULL);
  lbuf_param lp{};
  lp.name = "timer_task";
  lp.item_size = sizeof(pl_timer_task);
  tm->pool = lbuf_init(&lp);
  if (!chk_assert(tm->pool)) {
    timer_free(tm);
    return nullptr;
  }
  tm->heap.reserve(16);
  uint32_t stack = param ? param->thread_opt.stack_size : 0;
  uint32_t opts = param ? param->thread_opt.options : 0;
  tm->thread = os_thread_init2(tm->name, pl_timer_loop_thread, tm, stack, opts);
  if (!chk_assert(tm->thread)) {
    timer_free(tm);
    return nullptr;
  }
  return tm;
}

pl_timer_task *pl_timer_task_init_at(pl_timer *timer, const char *name, uint64_t when, uint32_t period_ms,
                                     bool repeat, bool post, pl_timer_proc proc, void *arg)
{
  if (!chk_assert(timer && timer->pool && proc))
    return nullptr;
  if (!chk_assert(!timer->stop.load(std::memory_order_acquire)))
    return nullptr;
  bool wake;
  pl_timer_task *t;
  {
    std::lock_guard<std::mutex> g(timer->lock);
    bool had_head = !timer->heap.empty();
    uint64_t head_when = had_head ? timer->heap.front()->when : 0;
    t = static_cast<pl_timer_task *>(lbuf_slab_malloc0(timer->pool));
    if (!t)
      return nullptr;
    t->name = lbuf_strdup(timer->pool, name ? name : "");
    if (!t->name) {
      lbuf_free(timer->pool, t);
      return nullptr;
    }
    t->proc = proc;
    t->arg = arg;
    t->when = when;
    t->flags = (period_ms & PL_TIMER_PERIOD_MASK) | (repeat ? PL_TIMER_F_REPEAT : 0);
    owner_set(t, post ? PL_TIMER_OWNER_TIMER : PL_TIMER_OWNER_CALLER);
    t->heap_idx = -1;
    heap_push(timer, t);
    wake = !had_head || when < head_when;
  }
  if (wake) {
    timer->wakeups.fetch_add(1, std::memory_order_relaxed);
    pcond_signal(timer->event);
  }
  return t;
}

pl_timer_task *pl_timer_task_init(pl_timer *timer, const char *name, uint32_t after_ms, bool repeat,
                                  pl_timer_proc proc, void *arg)
{
  if (!chk_assert(timer && proc))
    return nullptr;
  return pl_timer_task_init_at(timer, name, os_time_ms() + after_ms, after_ms, repeat, false, proc, arg);
}

pl_timer_task *pl_timer_task_init_after(pl_timer *timer, const char *name, uint32_t after_ms,
                                        uint32_t period_ms, bool repeat, pl_timer_proc proc, void *arg)
{
  if (!chk_assert(timer && proc))
    return nullptr;
  return pl_timer_task_init_at(timer, name, os_time_ms() + after_ms, period_ms, repeat, false, proc, arg);
}

pl_timer_task *pl_timer_task_post(pl_timer *timer, const char *name, uint32_t after_ms, bool repeat,
                                  pl_timer_proc proc, void *arg)
{
  if (!chk_assert(timer && proc))
    return nullptr;
  return pl_timer_task_init_at(timer, name, os_time_ms() + after_ms, after_ms, repeat, true, proc, arg);
}

pl_timer_task *pl_timer_task_post_after(pl_timer *timer, const char *name, uint32_t after_ms,
                                        uint32_t period_ms, bool repeat, pl_timer_proc proc, void *arg)
{
  if (!chk_assert(timer && proc))
    return nullptr;
  return pl_timer_task_init_at(timer, name, os_time_ms() + after_ms, period_ms, repeat, true, proc, arg);
}

int pl_timer_task_exit(pl_timer *timer, pl_timer_task *task)
{
  if (!chk_assert(timer && task))
    return -1;
  std::unique_lock<std::mutex> g(timer->lock);
  if (!lbuf_contains(timer->pool, task))
    return -1;
  if (task->heap_idx >= 0)
    heap_remove(timer, task);
  /* No run can start now: the task is off the heap. One that already started is waited for. */
  if (t_loop_timer != timer)
    timer->run_done.wait(g, [&] { return timer->running != task; });
  task_free(timer, task);
  return 0;
}

int pl_timer_task_kill(pl_timer *timer, pl_timer_task *task)
{
  if (!chk_assert(timer && task))
    return -1;
  {
    std::lock_guard<std::mutex> g(timer->lock);
    if (!lbuf_contains(timer->pool, task) || owner_of(task) != PL_TIMER_OWNER_CALLER || task->heap_idx < 0)
      return -1;
    heap_remove(timer, task);
    task->flags = (task->flags | PL_TIMER_F_KILLED) & ~PL_TIMER_F_REPEAT;
    task->when = os_time_ms();
    heap_push(timer, task);
  }
  timer->wakeups.fetch_add(1, std::memory_order_relaxed);
  pcond_signal(timer->event);
  return 0;
}

void pl_timer_clear(pl_timer *timer)
{
  if (!timer)
    return;
  std::lock_guard<std::mutex> g(timer->lock);
  timer->heap.clear();
  lbuf_clear(timer->pool);
}

int pl_timer_exit(pl_timer *timer)
{
  if (!timer)
    return -1;
  timer->stop.fetch_add(1, std::memory_order_acq_rel);
  pcond_signal(timer->event);
  int rc = os_thread_wait_kill_exit(timer->thread, EXIT_WAIT_MS, nullptr);
  timer->thread = nullptr;
  if (rc < 0)
    LOGE("os_thead_wait failed ret=%d\n", rc);
  if (rc == OS_THREAD_RUNNING) {
    LOGE("[%s] its thread still runs: the timer is left allocated\n", timer->name);
    return 0;
  }
  timer_free(timer);
  return 0;
}

uint32_t pl_timer_size(pl_timer *timer)
{
  std::lock_guard<std::mutex> g(timer->lock);
  return static_cast<uint32_t>(timer->heap.size());
}

uint32_t pl_timer_wakeups(const pl_timer *timer)
{
  return timer->wakeups.load(std::memory_order_relaxed);
}
