#define LOG_TAG "pal"
#include "libpal/tframe/pl_cmder.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "liblog/log2.h"
#include "libpal/basic/pl_queue.h"
#include "libpal/os/os_time.h"

namespace {

constexpr uint32_t NODE_MSG = 3;
constexpr uint32_t EXIT_WAIT_MS = 2000;
/* A new executor is usually ready within microseconds: the wait for it starts with short sleeps
 * that grow to READY_POLL_MAX_US, for READY_WAIT_MS in all. */
constexpr uint64_t READY_WAIT_MS = 1000;
constexpr uint64_t READY_POLL_FIRST_US = 20;
constexpr uint64_t READY_POLL_MAX_US = 10000;

/* One posted message, allocated by the poster and freed by the executor; the data bytes follow the
 * node (which is padded so that they are aligned for any type). */
struct alignas(16) cmder_node {
  uint32_t type;
  uint32_t id;
  size_t len;
  void *data;
  void *arg;
};

} // namespace

struct cmder {
  cmder_param param;
  char name[OS_THREAD_NAME_MAX + 1];
  std::atomic<uint32_t> status{CMDER_INIT_STATUS};
  std::atomic<uint32_t> pending{0};
  std::atomic<uint32_t> stop{0}; /* cmder_exit's request to end the loop */
  /* Woken when pending drops to 0, so that a wait for idleness sleeps instead of polling. */
  std::mutex idle_lock;
  std::condition_variable idle_cv;
  queue *q = nullptr;
  os_thread *thread = nullptr;
  /* Touched by the service thread only. */
  uint64_t last_timer_ms = 0;
  cmder_run run;
  bool quit = false;
  bool reinit = false;
};

namespace {

void run_reset(cmder *c, void *arg)
{
  memset(&c->run, 0, sizeof c->run);
  c->run.ctx = c->param.ctx;
  c->run.arg = arg;
}

/* Collects what a procedure asked for; the run state is cleared before the next call. */
void run_collect(cmder *c)
{
  if (c->run.quit)
    c->quit = true;
  if (c->run.need_reinit)
    c->reinit = true;
}

void call_proc(cmder *c, cmder_proc proc)
{
  run_reset(c, nullptr);
  proc(&c->run);
  run_collect(c);
}

/* Finishes one message: releases its argument and the node and counts it as handled. A destructor,
 * so that this happens also when a cancel unwinds out of the message procedure. */
struct node_done {
  cmder *c;
  cmder_node *n;
  ~node_done()
  {
    if (n->type == NODE_MSG && c->param.free_proc)
      c->param.free_proc(c->param.ctx, n->arg);
    free(n);
    if (c->pending.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::lock_guard<std::mutex> g(c->idle_lock);
      c->idle_cv.notify_all();
    }
  }
};

void exec_node(cmder *c, cmder_node *n)
{
  node_done done{c, n};
  if (n->type != NODE_MSG) {
    LOGE("node->type=%d error\n", static_cast<int>(n->type));
    return;
  }
  if (!c->param.msg_proc) {
    log2_print(nullptr, LOG2_ERR, LOG_TAG, __FILE__, __LINE__, "cmd_srv_exec_msg", "get cmd=[%.*s] msg_proc=NULL\n",
               static_cast<int>(n->data ? strnlen(static_cast<const char *>(n->data), n->len) : 0),
               n->data ? static_cast<const char *>(n->data) : "");
    return;
  }
  run_reset(c, n->arg);
  c->param.msg_proc(n->id, n->data, &c->run);
  run_collect(c);
}

void timer_step(cmder *c)
{
  if (!c->param.timer_proc)
    return;
  uint64_t now = os_time_ms();
  if (c->last_timer_ms != 0 && now - c->last_timer_ms < c->param.timer_interval_ms)
    return;
  c->last_timer_ms = now;
  call_proc(c, c->param.timer_proc);
}

struct status_exit_guard {
  cmder *c;
  ~status_exit_guard() { c->status.store(CMDER_EXIT_STATUS, std::memory_order_seq_cst); }
};

int cmd_srv_thread(void *p)
{
  auto *c = static_cast<cmder *>(p);
  status_exit_guard on_exit{c};
  c->status.store(CMDER_INIT_STATUS, std::memory_order_seq_cst);
  if (c->param.init_proc) {
    call_proc(c, c->param.init_proc);
    if (c->quit)
      return 0;
    c->reinit = false;
  }
  timer_step(c);
  c->status.store(CMDER_READY_STATUS, std::memory_order_seq_cst);
  int wait_ms = static_cast<int>(c->param.timer_interval_ms);
  while (!c->quit && !c->stop.load(std::memory_order_acquire)) {
    void *item = queue_pop_wait(c->q, wait_ms);
    if (item == QUEUE_WAKEUP) {
      if (c->stop.load(std::memory_order_acquire))
        break;
      continue;
    }
    if (item)
      exec_node(c, static_cast<cmder_node *>(item));
    timer_step(c);
    if (c->reinit) {
      c->reinit = false;
      if (!c->param.init_proc) {
        LOGE("need_reinit but ctx->init_proc=NULL\n");
        break;
      }
      c->status.store(CMDER_INIT_STATUS, std::memory_order_seq_cst);
      LOGV("call init_proc\n");
      call_proc(c, c->param.init_proc);
      c->reinit = false;
      c->status.store(CMDER_READY_STATUS, std::memory_order_seq_cst);
    }
  }
  if (c->param.exit_proc)
    call_proc(c, c->param.exit_proc);
  return 0;
}

int cmder_init_check(cmder *c)
{
  if (c->status.load(std::memory_order_seq_cst) == CMDER_READY_STATUS)
    return 0;
  uint64_t t0 = os_time_ms();
  uint64_t us = READY_POLL_FIRST_US;
  while (os_time_ms() - t0 < READY_WAIT_MS) {
    os_usleep(us);
    if (c->status.load(std::memory_order_seq_cst) == CMDER_READY_STATUS)
      return 0;
    us = us * 2 < READY_POLL_MAX_US ? us * 2 : READY_POLL_MAX_US;
  }
  uint32_t st = c->status.load(std::memory_order_seq_cst);
  if (st == CMDER_READY_STATUS)
    return 0;
  LOGE("status=%u status!=CMDER_READY_STATUS error!\n", st);
  return -3;
}

} // namespace

cmder *cmder_init(const cmder_param *param)
{
  if (!chk_assert(param != NULL))
    return nullptr;
  auto *c = new (std::nothrow) cmder;
  if (!c)
    return nullptr;
  c->param = *param;
  snprintf(c->name, sizeof c->name, "%s", param->name ? param->name : "cmder");
  c->param.name = c->name;
  if (c->param.timer_interval_ms == 0)
    c->param.timer_interval_ms = 1000;
  if (c->param.timer_interval_ms > 0x7fffffffu)
    c->param.timer_interval_ms = 0x7fffffffu;
  LOGV("timer_interval_ms=%u\n", c->param.timer_interval_ms);
  queue_param qp{};
  qp.capacity = param->queue_size;
  c->q = queue_open(&qp);
  if (!c->q) {
    LOGE("queue_create failed\n");
    delete c;
    return nullptr;
  }
  c->thread = os_thread_init2(c->name, cmd_srv_thread, c, param->thread_opt.stack_size, param->thread_opt.options);
  if (!c->thread) {
    queue_close(c->q);
    delete c;
    return nullptr;
  }
  return c;
}

int cmder_post_msg_parts(cmder *c, uint32_t id, const cmder_part *parts, size_t count, void *arg, int timeout_ms)
{
  if (!chk_assert(c != NULL))
    return -1;
  if (cmder_init_check(c) < 0)
    return -3;
  size_t len = 0;
  bool any = false;
  for (size_t i = 0; i < count; i++) {
    if (!parts[i].data)
      continue;
    if (parts[i].len > SIZE_MAX - sizeof(cmder_node) - len)
      return -4;
    len += parts[i].len;
    any = true;
  }
  auto *n = static_cast<cmder_node *>(malloc(sizeof(cmder_node) + len));
  if (!n)
    return -4;
  n->type = NODE_MSG;
  n->id = id;
  n->len = len;
  n->arg = arg;
  n->data = nullptr;
  if (any) {
    n->data = n + 1;
    auto *at = static_cast<unsigned char *>(n->data);
    for (size_t i = 0; i < count; i++) {
      if (!parts[i].data || !parts[i].len)
        continue;
      memcpy(at, parts[i].data, parts[i].len);
      at += parts[i].len;
    }
  }
  /* Counted before the push, so that pending never reads 0 while the message is queued. */
  c->pending.fetch_add(1, std::memory_order_seq_cst);
  if (queue_push_wait(c->q, n, timeout_ms) != 0) {
    if (c->pending.fetch_sub(1, std::memory_order_seq_cst) == 1) {
      std::lock_guard<std::mutex> g(c->idle_lock);
      c->idle_cv.notify_all();
    }
    free(n);
    return -2;
  }
  return 0;
}

int cmder_post_msg_imp(cmder *c, uint32_t id, const void *data, size_t len, void *arg, int timeout_ms)
{
  cmder_part part{data, len};
  return cmder_post_msg_parts(c, id, &part, 1, arg, timeout_ms);
}

int cmder_post_msg3(cmder *c, uint32_t id, const char *text, void *arg, int timeout_ms)
{
  return cmder_post_msg_imp(c, id, text, text ? strlen(text) + 1 : 0, arg, timeout_ms);
}

int cmder_post_msg(cmder *c, const char *text)
{
  return cmder_post_msg3(c, 0, text, nullptr, 0);
}

int cmder_post_msg2(cmder *c, const char *text, void *arg)
{
  return cmder_post_msg3(c, 0, text, arg, 0);
}

uint32_t cmder_pending(const cmder *c)
{
  return c->pending.load(std::memory_order_seq_cst);
}

uint32_t cmder_status(const cmder *c)
{
  return c->status.load(std::memory_order_seq_cst);
}

int cmder_wait_idle(cmder *c, uint32_t n)
{
  if (!chk_assert(c != NULL))
    return -1;
  if (n == 0)
    return -1;
  std::unique_lock<std::mutex> lk(c->idle_lock);
  bool idle = c->idle_cv.wait_for(lk, std::chrono::milliseconds(n),
                                  [c] { return c->pending.load(std::memory_order_seq_cst) == 0; });
  return idle ? 0 : -1;
}

int cmder_exit(cmder *c)
{
  if (!c)
    return 0;
  c->stop.store(1, std::memory_order_seq_cst);
  queue_push(c->q, QUEUE_WAKEUP); /* a full bounded queue refuses it; the loop then wakes on its timer */
  int rc = os_thread_wait_kill_exit(c->thread, EXIT_WAIT_MS, nullptr);
  c->thread = nullptr;
  if (rc < 0)
    LOGE("os_thread_wait_kill_exit ret=%d\n", rc);
  if (rc == OS_THREAD_RUNNING) {
    LOGE("[%s] its thread still runs: the executor is left allocated\n", c->name);
    return 0;
  }
  while (void *item = queue_pop(c->q)) {
    if (item == QUEUE_WAKEUP)
      continue;
    auto *n = static_cast<cmder_node *>(item);
    if (n->type == NODE_MSG && c->param.free_proc)
      c->param.free_proc(c->param.ctx, n->arg);
    free(n);
  }
  queue_close(c->q);
  delete c;
  return 0;
}
