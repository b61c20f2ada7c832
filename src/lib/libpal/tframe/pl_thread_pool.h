#pragma once
/* Fixed-size thread pool: every worker has its own queue and the tasks are dealt out round robin
 * (no work stealing: a long task delays the ones queued behind it on the same worker). The workers are
 * named "<name>_<index>", index from 0.
 *
 * Threads: any thread may push and wait; thread_pool_exit is called once, by the owner, and not from
 * a worker. */
#include <cstdint>

#include "libpal/os/os_thread.h"

struct thread_pool;

typedef void (*thread_pool_proc)(void *arg);

struct thread_pool_param {
  int count;        /* workers; 0 (or less) means the processor count */
  const char *name; /* prefix of the worker names; null gives "thread_pool" */
  os_thread_opt thread_opt;
  thread_pool_proc drop_proc; /* optional: gets the argument of every task that thread_pool_exit drops */
};

/* Starts the workers. Returns the pool, or null when nothing could be started (a worker that fails
 * to start leaves the pool smaller, logged). */
thread_pool *thread_pool_init(const thread_pool_param *param);
/* Queues proc(arg) on the next worker in turn (the first task goes to worker 1 when there are two or
 * more). Returns 0, or -1 when the task could not be queued. */
int thread_pool_push(thread_pool *p, thread_pool_proc proc, void *arg);
/* Tasks pushed and not yet finished, over all workers. */
uint32_t thread_pool_pending(const thread_pool *p);
/* Workers in the pool. */
int thread_pool_count(const thread_pool *p);
/* Waits until no task is pending. Returns 0, or -2 once timeout_ms have passed (-1: no limit). */
int thread_pool_wait_idle(thread_pool *p, int timeout_ms);
/* Stops the workers (a running task finishes first; each worker gets 1000 ms before it is
 * cancelled), drops the tasks never started, handing their arguments to drop_proc, and frees the
 * pool. Null does nothing. */
void thread_pool_exit(thread_pool *p);
