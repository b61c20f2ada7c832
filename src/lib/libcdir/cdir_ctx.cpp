#define LOG_TAG "cdir"
#include "libcdir/cdir_ctx.h"

#include <algorithm>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libcdir/libcdir.h"
#include "liblog/log2.h"
#include "libpal/os/os_time.h"

int cdir_need_exit(cdir_ctx *ctx)
{
  if (ctx->err_stop.load(std::memory_order_relaxed)) {
    LOGV("error stop exit...");
    return 1;
  }
  if (ctx->user_stop.load(std::memory_order_relaxed)) {
    LOGV("user req exit...");
    return 1;
  }
  return 0;
}

namespace {

bool stops_run(int eno)
{
  return eno == 4 || eno == 5 || eno == 6 || eno == 8;
}

void check_eno(cdir_ctx *ctx, int verr, int neg)
{
  ctx->last_eno.store(neg, std::memory_order_relaxed);
  ctx->last_verr.store(verr, std::memory_order_relaxed);
  int eno = -neg;
  if (stops_run(eno)) {
    LOGD("verr=%d [%s] eno=%d need stop!", verr, verr2str(verr), eno);
    /* The first stopping error decides the status: later failures of entries in flight must not
     * turn a full disk into an access error. */
    if (!ctx->err_stop.exchange(1, std::memory_order_relaxed))
      ctx->stop_eno.store(eno, std::memory_order_relaxed);
  }
}

} // namespace

void cdir_verr_check(cdir_ctx *ctx, int verr)
{
  check_eno(ctx, verr, libcdir_verr_2_eno(verr));
}

void cdir_fail(cdir_ctx *ctx, int verr, const char *fmt, ...)
{
  char msg[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  if (!verr)
    verr = VERR_FAIL;
  LOGE("%s", msg);
  int neg = libcdir_verr_2_eno(verr);
  {
    std::lock_guard<std::mutex> g(ctx->err_lock);
    ctx->fail_msg = msg;
    if (stops_run(-neg) && !ctx->err_stop.load(std::memory_order_relaxed))
      ctx->stop_msg = msg;
  }
  check_eno(ctx, verr, neg);
}

namespace {

#ifdef QV_TEST_HOOKS
struct signal_at {
  int sig = 0;
  int64_t bytes = 0;
};

signal_at signal_at_of_env()
{
  signal_at s;
  const char *v = getenv("QV_TEST_SIGNAL_AT");
  char *end = nullptr;
  if (v && *v) {
    s.sig = static_cast<int>(strtol(v, &end, 10));
    s.bytes = *end == ':' ? strtoll(end + 1, nullptr, 10) : 0;
  }
  return s;
}

void written_hook(int64_t total)
{
  static const signal_at at = signal_at_of_env();
  static std::atomic<int> fired{0};
  if (at.sig > 0 && total >= at.bytes && !fired.exchange(1))
    raise(at.sig);
}

void stop_at_hook(const char *path)
{
  static const char *const suffix = getenv("QV_TEST_STOP_AT");
  static std::atomic<int> fired{0};
  if (!suffix || !*suffix || !path)
    return;
  size_t pl = strlen(path), sl = strlen(suffix);
  if (pl >= sl && strcmp(path + pl - sl, suffix) == 0 && !fired.exchange(1))
    raise(SIGSTOP);
}
#else
/* A build without test hooks has no such switches. */
constexpr void written_hook(int64_t) {}
constexpr void stop_at_hook(const char *) {}
#endif

} // namespace

void cdir_test_stop_at(const char *path)
{
  stop_at_hook(path);
}

void cdir_add_written(cdir_ctx *ctx, int64_t n)
{
  cdir_stat_add(&ctx->stat.total_write, n);
  written_hook(ctx->stat.total_write.load(std::memory_order_relaxed));
  if (n <= 0 || ctx->p.max_rate == 0)
    return;
  /* The writer pays for what it wrote before its next piece; the wait is cut into short sleeps
   * so that a stop request is seen. */
  uint64_t wait_us = pl_rate_take(&ctx->rate, static_cast<uint64_t>(n), os_time_us() * 1000) / 1000;
  while (wait_us > 0 && !cdir_need_exit(ctx)) {
    uint64_t step = std::min<uint64_t>(wait_us, 100000);
    os_usleep(step);
    wait_us -= step;
  }
}
