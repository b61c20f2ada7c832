#define LOG_TAG "cdir"
#include "libcdir/vrdir.h"

#include <new>

#include "libcdir/cdir_ctx.h"
#include "liblog/log2.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_time.h"
#include "librdir/librdir.h"

namespace {

int l_enum_dir(vrdir *v, const char *dir)
{
  return librdir_enum_dir(v->h, dir);
}

int l_read(vrdir *v, char *buf, uint32_t len)
{
  return librdir_read_item_list(v->h, buf, len);
}

void l_stop(vrdir *) {}

void l_close(vrdir *v)
{
  librdir_close(v->h);
  v->h = nullptr;
}

const vrdir_ops g_local_ops = {l_enum_dir, l_read, l_stop, l_close};

} // namespace

vrdir *vrdir_open(cdir_ctx *ctx, url_info *info, bool is_output, const vrdir_param *p)
{
  if (!ctx || !info || !p)
    return nullptr;
  if (!info->is_local) {
    CDIR_SET_ERR(ctx, VERR_NOTSUP, "remote endpoints are not available in this build: [%s]", info->url.c_str());
    return nullptr;
  }
  auto *v = new (std::nothrow) vrdir;
  if (!v) {
    CDIR_SET_ERR(ctx, VERR_NOMEM, "vrdir_open: out of memory");
    return nullptr;
  }
  v->ops = &g_local_ops;
  v->ctx = ctx;
  v->url = info->resolved;
  v->path = info->path;
  v->p = *p;
  if (is_output && p->mkdirs && info->not_exist) {
    int rc = os_mkdirs(info->path.c_str(), 0755);
    if (rc < 0) {
      LOGE("mkdirs [%s] eno=%d error: %s", info->path.c_str(), rc, verr2str(rc));
      CDIR_SET_ERR(ctx, rc, "mkdirs [%s] error: %s", info->path.c_str(), verr2str(rc));
      delete v;
      return nullptr;
    }
    info->not_exist = false;
    info->is_dir = true;
  }
  librdir_param lp;
  lp.flag = p->flag;
  lp.timeout = p->timeout;
  lp.include = p->include.c_str();
  lp.exclude = p->exclude.c_str();
  lp.dir_include = p->dir_include.c_str();
  lp.dir_exclude = p->dir_exclude.c_str();
  lp.misc_exclude = p->misc_exclude.c_str();
  lp.err = &v->err;
  /* The engine reads chunks of at least 1 MiB: lines travel in batches of 64 KiB. */
  lp.batch = 0x10000;
  v->h = librdir_open(info->path.c_str(), &lp);
  if (!v->h) {
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
  return v->ops->enum_dir(v, dir);
}

int vrdir_read_item_list(vrdir *v, char *buf, uint32_t len)
{
  if (!v || !v->ops || !buf || len < 3)
    return -1;
  uint64_t t0 = os_time_ms();
  for (;;) {
    int n = v->ops->read(v, buf, len - 1);
    if (n < 0) {
      CDIR_SET_ERR(v->ctx, VERR_FAIL, "[%s] listing read failed", v->path.c_str());
      return -1;
    }
    if (n > 0) {
      /* A table that hands back more than it was allowed is broken: say so in the engine error. */
      if (!chk_assert(static_cast<uint32_t>(n) < len)) {
        CDIR_SET_ERR(v->ctx, VERR_OVERFLOW, "[%s] listing read returned %d bytes for a buffer of %u", v->path.c_str(),
                     n, len);
        return -1;
      }
      buf[n] = 0;
      return n;
    }
    os_msleep(v->is_local ? 1 : 1000);
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
  if (v && v->ops)
    v->ops->stop(v);
}

void vrdir_close(vrdir *v)
{
  if (!v)
    return;
  if (v->ops)
    v->ops->close(v);
  delete v;
}
