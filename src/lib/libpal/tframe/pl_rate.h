#pragma once
/* A token bucket that holds a stream of bytes to a rate: each piece moved takes its size from the
 * bucket, which fills at `rate` bytes a second up to `burst` bytes. A piece larger than what the
 * bucket holds leaves a debt that its mover pays by waiting, so pieces of any size average out to
 * the rate. The clock is the caller's (nanoseconds of a monotonic clock), so the arithmetic can be
 * checked without sleeping.
 *
 * Threads: pl_rate_take may be called from several threads at once. */
#include <cstdint>
#include <mutex>

struct pl_rate {
  std::mutex lock;
  uint64_t rate = 0;  /* bytes a second; 0: no limit */
  uint64_t burst = 0; /* the bucket's size in bytes */
  double tokens = 0;  /* may go below 0: the debt of the last piece */
  uint64_t last_ns = 0;
};

/* Sets the rate and the burst (0: a tenth of a second of the rate, at least 64 KiB) with a full
 * bucket at now_ns. */
void pl_rate_init(pl_rate *r, uint64_t rate, uint64_t burst, uint64_t now_ns);
/* Takes n bytes moved at now_ns. Returns how many nanoseconds the mover waits before its next
 * piece (0 when the bucket held them, always 0 without a limit). */
uint64_t pl_rate_take(pl_rate *r, uint64_t n, uint64_t now_ns);
