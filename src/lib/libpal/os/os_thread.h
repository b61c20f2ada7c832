#pragma once
/* Named threads with a bounded wait-then-cancel shutdown, and the processor count.
 *
 * Cancellation. A thread started here runs with cancellation disabled except inside the runtime's
 * blocking waits: pcond_wait (and so every queue, executor, pool and timer wait), os_thread_wait and
 * the sleeps of os_time.h. A cancel therefore takes effect only where the thread holds nothing of
 * the runtime's: the condition wait re-takes its mutex and a guard releases it while the stack
 * unwinds, so the event stays usable. Anywhere else (inside a log call holding the logger's lock, in
 * a destructor that closes a file, half-way through a list update) a cancel would leave a lock held
 * or, unwinding through a noexcept frame, end the process; there the request stays pending until the
 * thread reaches one of the waits. The unwinding runs the destructors of the frames above the wait,
 * so code that runs on these threads must not call a blocking wait from a noexcept function (a
 * destructor, for one) and must not swallow the unwinding with catch (...) without rethrowing.
 * A thread that does not reach such a wait survives the cancel: it is detached and left running
 * (see os_thread_wait_kill_exit), never torn down under its own feet. */
#include <cstdint>

#include "libpal/comm/verr.h"

struct os_thread;
/* The thread's procedure; its result is what os_thread_wait stores. */
typedef int (*os_thread_proc)(void *arg);

/* The two thread option words carried by the parameter blocks of the executor, pool and timer. */
struct os_thread_opt {
  uint32_t stack_size; /* bytes; 0 takes QV_THREAD_STACK_SIZE, else OS_THREAD_STACK_DEFAULT */
  uint32_t options;    /* reserved, 0 */
};

constexpr uint32_t OS_THREAD_STACK_DEFAULT = 0x40000; /* 256 KiB */
constexpr uint32_t OS_THREAD_WAIT_FOREVER = 0xFFFFFFFFu;
constexpr size_t OS_THREAD_NAME_MAX = 255;
/* os_thread_wait_kill_exit: the thread survived the cancel and still runs (detached). */
constexpr int OS_THREAD_RUNNING = VERR_BUSY;
/* The result stored for a thread that ended by a cancel. */
constexpr int OS_THREAD_CANCELLED = VERR_CANCELLED;

/* Starts proc(arg) on a new thread named name (at most 255 characters kept; the kernel's name is its
 * first 15). The thread registers the full name for log lines. stack_size 0 takes the integer value
 * of the environment variable QV_THREAD_STACK_SIZE, or 256 KiB when that is unset or 0; sizes below
 * the system minimum are raised to it. Returns null when the thread cannot be created. A null name or
 * proc is a fatal assertion. */
os_thread *os_thread_init2(const char *name, os_thread_proc proc, void *arg, uint32_t stack_size,
                           uint32_t options);
/* os_thread_init2 with the default stack size. */
os_thread *os_thread_init(const char *name, os_thread_proc proc, void *arg);

/* Waits up to timeout_ms (OS_THREAD_WAIT_FOREVER: no limit) for the thread to end, joins it and
 * stores its result in *ret (ret may be null; OS_THREAD_CANCELLED for a cancelled thread). Returns 0,
 * -2 on time-out (the thread still runs and may be waited for again), -1 when the join fails.
 * Waiting again after a successful wait gives 0 and the same result. One waiting thread per thread. */
int os_thread_wait(os_thread *t, uint32_t timeout_ms, int *ret);
/* os_thread_wait; when the thread has not ended by then it is cancelled and given a short grace
 * period to unwind. Then the record is released (t must not be used again). Returns 0 (ended in
 * time), -2 (ended by the cancel), -1 (join failed) or OS_THREAD_RUNNING: the thread did not end even
 * after the cancel (or t is the calling thread); it is detached and frees its own record when it
 * ends. Only after OS_THREAD_RUNNING may the thread still use what it was given: the caller must then
 * leave that memory alone rather than free it. A null t gives -1. */
int os_thread_wait_kill_exit(os_thread *t, uint32_t timeout_ms, int *ret);
/* Releases the record without waiting: a thread still running is detached. Null does nothing. */
void os_thread_free(os_thread *t);

/* True once the thread's procedure has returned (or the thread was cancelled). */
bool os_thread_done(const os_thread *t);
const char *os_thread_name(const os_thread *t);
/* The stack size the thread was created with. */
uint32_t os_thread_stack_size(const os_thread *t);

/* Online processors, else configured processors, else 1; computed once. */
int os_cpu_count();

/* Makes the calling thread cancellable for the life of the object (the runtime's blocking waits use
 * it; see the top of this header). Threads not started here keep their own setting. */
class os_cancel_scope {
public:
  os_cancel_scope();
  ~os_cancel_scope();
  os_cancel_scope(const os_cancel_scope &) = delete;
  os_cancel_scope &operator=(const os_cancel_scope &) = delete;

private:
  int old_state_;
};
