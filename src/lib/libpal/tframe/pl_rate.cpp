#include "libpal/tframe/pl_rate.h"

#include <algorithm>
#include <cmath>

void pl_rate_init(pl_rate *r, uint64_t rate, uint64_t burst, uint64_t now_ns)
{
  std::lock_guard<std::mutex> g(r->lock);
  r->rate = rate;
  r->burst = burst ? burst : std::max<uint64_t>(rate / 10, 64 * 1024);
  r->tokens = static_cast<double>(r->burst);
  r->last_ns = now_ns;
}

uint64_t pl_rate_take(pl_rate *r, uint64_t n, uint64_t now_ns)
{
  std::lock_guard<std::mutex> g(r->lock);
  if (r->rate == 0)
    return 0;
  /* A clock read on another thread just before this one may be a little older: time never runs
   * backwards for the bucket. */
  if (now_ns > r->last_ns) {
    double filled = static_cast<double>(now_ns - r->last_ns) * static_cast<double>(r->rate) / 1e9;
    r->tokens = std::min(static_cast<double>(r->burst), r->tokens + filled);
    r->last_ns = now_ns;
  }
  r->tokens -= static_cast<double>(n);
  if (r->tokens >= 0)
    return 0;
  return static_cast<uint64_t>(std::ceil(-r->tokens * 1e9 / static_cast<double>(r->rate)));
}
