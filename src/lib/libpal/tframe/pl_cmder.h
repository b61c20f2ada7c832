#pragma once
/* Command executor: one service thread that owns a message queue and handles the posted messages one
 * at a time, strictly in posting order, through the owner's message procedure; between messages it
 * runs an optional timer procedure every timer_interval_ms.
 *
 * Threads: any thread may post and call cmder_wait_idle; the procedures run only on the service
 * thread, so they need no lock against each other. cmder_exit is called once, by the owner, and not
 * from the service thread. */
#include <cstddef>
#include <cstdint>

#include "libpal/os/os_thread.h"

struct cmder;

constexpr uint32_t CMDER_INIT_STATUS = 0;
constexpr uint32_t CMDER_READY_STATUS = 1;
constexpr uint32_t CMDER_EXIT_STATUS = 2;

/* Run state handed to every procedure; cleared before each call. */
struct cmder_run {
  uint32_t quit;        /* set to 1 to end the loop */
  void *sync;           /* reserved for a synchronous-call path */
  uint32_t need_reinit; /* set to 1 to have init_proc run again on this thread */
  void *ctx;            /* the owner's context */
  void *arg;            /* the message's argument; null for init, exit and timer procedures */
};

typedef void (*cmder_proc)(cmder_run *run);
/* A posted message: its id, its data (a copy owned by the executor, null when none was posted;
 * valid during the call) and the run state. */
typedef void (*cmder_msg_proc)(uint32_t id, void *data, cmder_run *run);
/* Releases a message's argument after the message was handled, or discarded by cmder_exit. */
typedef void (*cmder_free_proc)(void *ctx, void *arg);

struct cmder_param {
  void *ctx;
  uint32_t queue_size;        /* 0 = unbounded */
  uint32_t timer_interval_ms; /* period of timer_proc and of the idle wake-up; 0 means 1000 */
  const char *name;           /* thread name; copied */
  cmder_proc init_proc;       /* optional; runs on the thread before it accepts posts */
  cmder_proc exit_proc;       /* optional; runs on the thread after the loop */
  cmder_proc timer_proc;      /* optional */
  cmder_msg_proc msg_proc;
  cmder_free_proc free_proc;  /* optional */
  os_thread_opt thread_opt;
};

/* Copies the parameters and starts the service thread. Returns the executor, or null when the
 * queue or the thread cannot be created. Posts are accepted once init_proc has returned. */
cmder *cmder_init(const cmder_param *param);

/* Posts message id with len bytes of data copied (no data when data is null) and arg. Waits first,
 * up to 1 s, for the executor to be ready, then up to timeout_ms for room in a bounded queue.
 * Returns 0; -3 when the executor did not become ready (still initialising, or ended); -4 when out
 * of memory; -2 when the queue refused the message. arg is not handed to free_proc on failure. */
int cmder_post_msg_imp(cmder *c, uint32_t id, const void *data, size_t len, void *arg, int timeout_ms);
/* One piece of a message's data (a null data is left out). */
struct cmder_part {
  const void *data;
  size_t len;
};
/* As cmder_post_msg_imp, with the data gathered from parts, one after another in one copy. */
int cmder_post_msg_parts(cmder *c, uint32_t id, const cmder_part *parts, size_t count, void *arg, int timeout_ms);
/* Posts text with its terminating NUL as data (null text: no data). */
int cmder_post_msg3(cmder *c, uint32_t id, const char *text, void *arg, int timeout_ms);
/* Id 0, no waiting for room. */
int cmder_post_msg(cmder *c, const char *text);
int cmder_post_msg2(cmder *c, const char *text, void *arg);

/* Messages posted and not yet handled. */
uint32_t cmder_pending(const cmder *c);
/* CMDER_INIT_STATUS, CMDER_READY_STATUS or CMDER_EXIT_STATUS. */
uint32_t cmder_status(const cmder *c);
/* Waits up to n ms until no message is pending. Returns 0 when idle, -1 when the time ran out
 * (n = 0 makes no wait and gives -1). */
int cmder_wait_idle(cmder *c, uint32_t n);
/* Ends the loop (the message being handled finishes first), waits up to 2000 ms for the thread and
 * cancels it after that, hands the arguments of the messages that were never handled to free_proc,
 * and frees the executor. When the thread survives the cancel, the executor is left allocated for
 * it (logged). Returns 0; null does nothing. */
int cmder_exit(cmder *c);
