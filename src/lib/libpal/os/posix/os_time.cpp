#include "libpal/os/os_time.h"

#include <cerrno>
#include <ctime>

#include "libpal/os/os_thread.h"

namespace {

uint64_t clock_us(clockid_t id)
{
  struct timespec ts;
  clock_gettime(id, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

} // namespace

uint64_t os_time_ms()
{
  return clock_us(CLOCK_MONOTONIC) / 1000u;
}

uint64_t os_time_us()
{
  return clock_us(CLOCK_MONOTONIC);
}

uint64_t os_realtime_ms()
{
  return clock_us(CLOCK_REALTIME) / 1000u;
}

struct timespec os_deadline_ms(uint64_t ms)
{
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ns = static_cast<uint64_t>(ts.tv_nsec) + (ms % 1000u) * 1000000u;
  ts.tv_sec += static_cast<time_t>(ms / 1000u) + static_cast<time_t>(ns / 1000000000u);
  ts.tv_nsec = static_cast<long>(ns % 1000000000u);
  return ts;
}

void os_usleep(uint64_t us)
{
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  /* An absolute deadline, so that a signal that interrupts the sleep does not restart it from zero. */
  uint64_t ns = static_cast<uint64_t>(now.tv_nsec) + (us % 1000000u) * 1000u;
  struct timespec until;
  until.tv_sec = now.tv_sec + static_cast<time_t>(us / 1000000u) + static_cast<time_t>(ns / 1000000000u);
  until.tv_nsec = static_cast<long>(ns % 1000000000u);
  os_cancel_scope cancel;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

void os_msleep(uint32_t ms)
{
  os_usleep(static_cast<uint64_t>(ms) * 1000u);
}
