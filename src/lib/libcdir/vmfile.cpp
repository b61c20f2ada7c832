#define LOG_TAG "cdir"
#include "libcdir/vmfile.h"

#include <new>

#include "libcdir/cdir_ctx.h"
#include "liblog/log2.h"
#include "libpal/os/os_time.h"

vmfile *vmfile_open(cdir_ctx *ctx, url_info *info, const libcdir_mfile_opt *opt, const ep_batch_param *bp,
                    vperror *err)
{
  if (!ctx || !info)
    return nullptr;
  vperror e{};
  ep_batch *b = ep_batch_open(info->endpoint, &e, bp);
  if (!b) {
    if (err)
      *err = e;
    else
      CDIR_SET_ERR(ctx, e.code ? e.code : VERR_NOTSUP, "batch file lists of [%s]: %s", info->url.c_str(), e.msg);
    return nullptr;
  }
  auto *m = new (std::nothrow) vmfile;
  if (!m) {
    ep_batch_close(b);
    if (err)
      VPERROR_SET(err, VERR_NOMEM, "vmfile_open: out of memory");
    else
      CDIR_SET_ERR(ctx, VERR_NOMEM, "vmfile_open: out of memory");
    return nullptr;
  }
  m->ctx = ctx;
  m->b = b;
  m->url = info->url;
  if (opt)
    m->opt = *opt;
  return m;
}

int vmfile_call(vmfile *m, int type, const char *dir, const char *list, uint32_t len)
{
  if (!m || !m->b || !dir || (!list && len))
    return VERR_PARAM;
  return ep_batch_call(m->b, type, dir, list, len, &m->err);
}

int vmfile_list_ret(vmfile *m, char *buf, uint32_t len, const char *prefix)
{
  if (!m || !m->b || !buf || len < 2)
    return -1;
  bool local = ep_has_cap(m->b->e, EP_CAP_LOCAL);
  uint64_t t0 = os_time_ms();
  for (;;) {
    int n = ep_batch_ret(m->b, buf, len, &m->err);
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
    os_msleep(local ? 1 : 1000);
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
  if (m)
    ep_batch_stop(m->b);
}

void vmfile_close(vmfile *m)
{
  if (!m)
    return;
  ep_batch_close(m->b);
  delete m;
}
