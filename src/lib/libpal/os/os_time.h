#pragma once
/* Clocks and sleeps of the runtime. Intervals and time-outs are milliseconds on the monotonic clock,
 * so that a change of the wall clock neither stretches nor cuts a wait. */
#include <cstdint>
#include <ctime>

/* Monotonic clock (CLOCK_MONOTONIC) in milliseconds and microseconds; the origin is unspecified. */
uint64_t os_time_ms();
uint64_t os_time_us();
/* Wall clock in milliseconds since the Unix epoch. */
uint64_t os_realtime_ms();

/* The CLOCK_MONOTONIC time ms milliseconds from now, as the deadline of a timed condition wait on a
 * condition variable set to that clock. */
struct timespec os_deadline_ms(uint64_t ms);

/* Sleeps ms milliseconds (us microseconds); an interrupting signal does not shorten the sleep.
 * On a thread of os_thread_init2 a sleep is one of the places where a cancel takes effect. */
void os_msleep(uint32_t ms);
void os_usleep(uint64_t us);
