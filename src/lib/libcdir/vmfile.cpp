#define LOG_TAG "cdir"
#include "libcdir/vmfile.h"

#include "libcdir/cdir_ctx.h"
#include "liblog/log2.h"
#include "libpal/os/os_time.h"

vmfile *vmfile_open(cdir_ctx *ctx, const char *url, const libcdir_mfile_opt *)
{
  if (!ctx)
    return nullptr;
  CDIR_SET_ERR(ctx, VERR_NOIMPL, "batch file lists are not available in this build: [%s]", url ? url : "");
  return nullptr;
}

int vmfile_call(vmfile *m, int type, const char *dir, const char *list, uint32_t len)
{
  if (!m || !m->ops || !dir || (!list && len))
    return VERR_PARAM;
  return m->ops->call(m, type, dir, list, len);
}

int vmfile_list_ret(vmfile *m, char *buf, uint32_t len, const char *prefix)
{
  if (!m || !m->ops || !buf || len < 2)
    return -1;
  uint64_t t0 = os_time_ms();
  for (;;) {
    int n = m->ops->list_ret(m, buf, len);
    if (n < 0) {
      CDIR_SET_ERR(m->ctx, VERR_FAIL, "%s batch result read failed", prefix ? prefix : "");
      return -1;
    }
    if (n > 0) {
      if (!chk_assert(static_cast<uint32_t>(n) <= len)) {
        CDIR_SET_ERR(m->ctx, VERR_OVERFLOW, "%s batch result read returned %d bytes for a buffer of %u",
                     prefix ? prefix : "", n, len);
        return -1;
      }
      if (static_cast<uint32_t>(n) < len)
        buf[n] = 0;
      return n;
    }
    os_msleep(m->is_local ? 1 : 1000);
    if (cdir_need_exit(m->ctx))
      return -1;
    if (os_time_ms() - t0 >= m->ctx->max_read_timeout) {
      LOGE("%s read_timeout max_timeout=%d", prefix ? prefix : "", m->ctx->max_read_timeout);
      CDIR_SET_ERR(m->ctx, VERR_TIMEOUT, "%s read_timeout max_timeout=%d", prefix ? prefix : "",
                   m->ctx->max_read_timeout);
      return -1;
    }
  }
}

void vmfile_stop(vmfile *m)
{
  if (m && m->ops)
    m->ops->stop(m);
}

void vmfile_close(vmfile *m)
{
  if (!m)
    return;
  if (m->ops)
    m->ops->close(m);
  delete m;
}
