#define LOG_TAG "cdir"
#include "libcdir/vrdir.h"

#include <new>

#include "libcdir/cdir_ctx.h"
#include "liblog/log2.h"
#include "libpal/os/os_time.h"

vrdir *vrdir_open(cdir_ctx *ctx, url_info *info, bool is_output, const vrdir_param *p)
{
  if (!ctx || !info || !p)
    return nullptr;
  if (!info->endpoint) {
    CDIR_SET_ERR(ctx, VERR_HANDLE, "[%s] has no endpoint", info->url.c_str());
    return nullptr;
  }
  auto *v = new (std::nothrow) vrdir;
  if (!v) {
    CDIR_SET_ERR(ctx, VERR_NOMEM, "vrdir_open: out of memory");
    return nullptr;
  }
  v->ctx = ctx;
  v->url = info->resolved;
  v->path = info->path;
  v->p = *p;
  if (is_output && p->mkdirs && info->not_exist) {
    int rc = ep_mkdirs(info->endpoint, info->path.c_str(), 0755, &v->err);
    if (rc < 0) {
      LOGE("mkdirs [%s] eno=%d error: %s", info->path.c_str(), rc, verr2str(rc));
      CDIR_SET_ERR(ctx, rc, "mkdirs [%s] error: %s", info->path.c_str(), verr2str(rc));
      delete v;
      return nullptr;
    }
    info->not_exist = false;
    info->is_dir = true;
  }
  ep_list_param lp;
  lp.flag = p->flag;
  lp.timeout = p->timeout;
  lp.include = v->p.include.c_str();
  lp.exclude = v->p.exclude.c_str();
  lp.dir_include = v->p.dir_include.c_str();
  lp.dir_exclude = v->p.dir_exclude.c_str();
  lp.misc_exclude = v->p.misc_exclude.c_str();
  /* The engine reads chunks of at least 1 MiB: lines travel in batches of 64 KiB. */
  lp.batch = 0x10000;
  v->l = ep_list_open(info->endpoint, &lp, &v->err);
  if (!v->l) {
    CDIR_SET_ERR(ctx, v->err.code ? v->err.code : VERR_FAIL, "%s", v->err.msg);
    delete v;
    return nullptr;
  }
  return v;
}

int vrdir_enum_dir(vrdir *v, const char *dir)
{
  if (!v || !dir)
    return VERR_PARAM;
  return ep_list_enum(v->l, dir);
}

int vrdir_read_item_list(vrdir *v, char *buf, uint32_t len)
{
  if (!v || !v->l || !buf || len < 3)
    return -1;
  bool local = ep_has_cap(v->l->e, EP_CAP_LOCAL);
  uint64_t t0 = os_time_ms();
  for (;;) {
    int n = ep_list_read(v->l, buf, len - 1);
    if (n < 0) {
      CDIR_SET_ERR(v->ctx, VERR_FAIL, "[%s] listing read failed", v->path.c_str());
      return -1;
    }
    if (n > 0) {
      /* A listing that hands back more than it was allowed is broken: say so in the engine error. */
      if (!chk_assert(static_cast<uint32_t>(n) < len)) {
        CDIR_SET_ERR(v->ctx, VERR_OVERFLOW, "[%s] listing read returned %d bytes for a buffer of %u", v->path.c_str(),
                     n, len);
        return -1;
      }
      buf[n] = 0;
      return n;
    }
    os_msleep(local ? 1 : 1000);
    if (cdir_need_exit(v->ctx))
      return -1;
    if (os_time_ms() - t0 >= v->ctx->max_read_timeout) {
      LOGE("read_timeout max_read_timeout=%d", v->ctx->max_read_timeout);
      CDIR_SET_ERR(v->ctx, VERR_TIMEOUT, "[%s] read_timeout max_read_timeout=%d", v->path.c_str(),
                   v->ctx->max_read_timeout);
      return -1;
    }
  }
}

void vrdir_stop(vrdir *v)
{
  if (v)
    ep_list_stop(v->l);
}

void vrdir_close(vrdir *v)
{
  if (!v)
    return;
  ep_list_close(v->l);
  delete v;
}
