#define LOG_TAG "cdir"
#include "libcdir/cdir_ctx.h"

#include "libcdir/libcdir.h"
#include "liblog/log2.h"

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

void cdir_verr_check(cdir_ctx *ctx, int verr)
{
  int neg = libcdir_verr_2_eno(verr);
  ctx->last_eno.store(neg, std::memory_order_relaxed);
  ctx->last_verr.store(verr, std::memory_order_relaxed);
  int eno = -neg;
  if (eno == 4 || eno == 5 || eno == 6 || eno == 8) {
    LOGD("verr=%d [%s] eno=%d need stop!", verr, verr2str(verr), eno);
    ctx->err_stop.store(1, std::memory_order_relaxed);
  }
}
