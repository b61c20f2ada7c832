#pragma once
/* Auto-reset event: a signal wakes one waiter and is consumed by the wait that sees it; a signal
 * with no waiter stays set until the next wait (several signals stay one). Any thread may signal,
 * reset or wait. Time-outs are milliseconds on the monotonic clock, -1 for no limit. */

struct pcond;

/* Returns the event (not signalled), or null when out of memory. */
pcond *pcond_init();
/* Frees the event; no thread may be waiting on it. Null does nothing. The calls below take a
 * non-null event (fatal assertion). */
void pcond_exit(pcond *c);
/* Sets the event and wakes one waiter. */
void pcond_signal(pcond *c);
/* Clears the event. */
void pcond_reset(pcond *c);
/* Waits until the event is set, then clears it. Returns 0, -2 when timeout_ms passed first (a
 * timeout of 0 only tests the event), -1 when the wait itself failed (logged). On a thread of
 * os_thread_init2 this is where a cancel takes effect; the event stays usable afterwards. */
int pcond_wait(pcond *c, int timeout_ms);
