#pragma once
/* Timer service: one thread that runs named tasks when they come due, from a min-heap ordered by due
 * time (monotonic milliseconds). Task procedures run one at a time on the timer thread, never under
 * the timer's lock, so they may add, kill and end tasks themselves.
 *
 * Ownership of a task: one added with a *_post call belongs to the timer and is freed after its
 * single run (a repeating one lives until pl_timer_task_exit); its handle must not be used after that
 * run. One added with pl_timer_task_init* belongs to the caller: its handle stays valid until the
 * caller ends it with pl_timer_task_exit (or pl_timer_clear/pl_timer_exit drop everything).
 *
 * Threads: any thread may add, kill and end tasks; pl_timer_exit is called once, by the owner, and
 * not from a task procedure. */
#include <cstdint>

#include "libpal/os/os_thread.h"

struct pl_timer;
struct pl_timer_task;

constexpr size_t PL_TIMER_CB_NAME_MAX = 63;
constexpr uint32_t PL_TIMER_PERIOD_MASK = 0x0FFFFFFFu;
constexpr uint32_t PL_TIMER_F_REPEAT = 1u << 28;
constexpr uint32_t PL_TIMER_F_KILLED = 1u << 29;
constexpr uint32_t PL_TIMER_OWNER_SHIFT = 30;
constexpr uint32_t PL_TIMER_OWNER_TIMER = 1; /* freed after its run or at pl_timer_task_exit */
constexpr uint32_t PL_TIMER_OWNER_CALLER = 2;

/* What a task procedure is handed; cleared before each call. */
struct pl_timer_cb {
  char name[PL_TIMER_CB_NAME_MAX + 1]; /* the task's name (cut to 63 characters) */
  uint32_t killed;                     /* 1 on the extra run after pl_timer_task_kill */
  void *arg;
};
typedef void (*pl_timer_proc)(pl_timer_cb *cb);

struct pl_timer_param {
  const char *name; /* thread name; null or empty gives "pl_timer" */
  int warn_ms;      /* a task call that lasts this long is logged; 0 means 3000, -1 never */
  os_thread_opt thread_opt;
};

/* Starts the timer thread. Returns the timer, or null when it cannot be set up. */
pl_timer *pl_timer_init(const pl_timer_param *param);

/* Adds a task due at when (monotonic ms, os_time_ms) that calls proc(cb) with arg; with repeat it is
 * put back after each run with when = (time it was taken off the heap) + period_ms (28 bits), so a
 * late run shifts the schedule. post makes it timer-owned. The timer thread is woken only when the
 * task is due before the current head. Returns the task, or null for a null timer or proc or a
 * stopped timer. */
pl_timer_task *pl_timer_task_init_at(pl_timer *timer, const char *name, uint64_t when, uint32_t period_ms,
                                     bool repeat, bool post, pl_timer_proc proc, void *arg);
/* Caller-owned, first run after after_ms, period after_ms. */
pl_timer_task *pl_timer_task_init(pl_timer *timer, const char *name, uint32_t after_ms, bool repeat,
                                  pl_timer_proc proc, void *arg);
/* Caller-owned, first run after after_ms, then every period_ms. */
pl_timer_task *pl_timer_task_init_after(pl_timer *timer, const char *name, uint32_t after_ms,
                                        uint32_t period_ms, bool repeat, pl_timer_proc proc, void *arg);
/* The same two, timer-owned. */
pl_timer_task *pl_timer_task_post(pl_timer *timer, const char *name, uint32_t after_ms, bool repeat,
                                  pl_timer_proc proc, void *arg);
pl_timer_task *pl_timer_task_post_after(pl_timer *timer, const char *name, uint32_t after_ms,
                                        uint32_t period_ms, bool repeat, pl_timer_proc proc, void *arg);

/* Ends a task: it is taken off the heap if it is there and freed, and it never runs again. When its
 * procedure is running at that moment on the timer thread, the call waits for it to return (unless
 * made from a task procedure), so that arg may be released afterwards. Returns 0, or -1 when task is
 * not a live task of the timer. */
int pl_timer_task_exit(pl_timer *timer, pl_timer_task *task);
/* Has a caller-owned task in the heap run once more at once with killed set, and not again after
 * that (the handle stays valid until pl_timer_task_exit). Returns 0, or -1 when task is not a
 * caller-owned task waiting in the heap. */
int pl_timer_task_kill(pl_timer *timer, pl_timer_task *task);
/* Drops every task; all handles become invalid. */
void pl_timer_clear(pl_timer *timer);
/* Stops the thread (a running task finishes first; after 2000 ms the thread is cancelled) and frees
 * the timer with all its tasks. Returns 0, or -1 for a null timer. */
int pl_timer_exit(pl_timer *timer);

/* Tasks waiting in the heap. */
uint32_t pl_timer_size(pl_timer *timer);
/* Times an added or killed task woke the timer thread because it became the head (diagnostics). */
uint32_t pl_timer_wakeups(const pl_timer *timer);
