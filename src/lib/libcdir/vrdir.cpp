#define LOG_TAG "cdir"
#include "libcdir/vrdir.h"

#include <cstring>
#include <new>

#include "libcdir/cdir_ctx.h"
#include "liblog/log2.h"
#include "libpal/os/os_time.h"
#include "librdir/librdir.h"

struct vrdir {
  cdir_ctx *ctx = nullptr;
  librdir *h = nullptr;
  vrdir_param p;
};

vrdir *vrdir_open(cdir_ctx *ctx, url_info *info, bool, const vrdir_param *p)
{
  auto *v = new (std::nothrow) vrdir;
  if (!v)
    return nullptr;
  v->ctx = ctx;
  v->p = *p;
  librdir_param lp;
  lp.flag = p->flag;
  lp.timeout = p->timeout;
  lp.include = p->include.c_str();
  lp.exclude = p->exclude.c_str();
  lp.dir_include = p->dir_include.c_str();
  lp.dir_exclude = p->dir_exclude.c_str();
  lp.misc_exclude = p->misc_exclude.c_str();
  lp.err = ctx->err;
  v->h = librdir_open(info->path.c_str(), &lp);
  if (!v->h) {
    delete v;
    return nullptr;
  }
  return v;
}

int vrdir_enum_dir(vrdir *v, const char *dir)
{
  return librdir_enum_dir(v->h, dir);
}

int vrdir_read_item_list(vrdir *v, char *buf, uint32_t len)
{
  uint64_t t0 = os_time_ms();
  for (;;) {
    int n = librdir_read_item_list(v->h, buf, len - 1);
    if (n < 0) {
      CDIR_SET_ERR(v->ctx, VERR_FAIL, "listing read failed");
      return -1;
    }
    if (n > 0) {
      buf[n] = 0;
      return n;
    }
    os_msleep(1);
    if (cdir_need_exit(v->ctx))
      return -1;
    if (os_time_ms() - t0 >= v->ctx->max_read_timeout) {
      LOGE("read_timeout max_read_timeout=%d", v->ctx->max_read_timeout);
      CDIR_SET_ERR(v->ctx, VERR_TIMEOUT, "read_timeout max_read_timeout=%d", v->ctx->max_read_timeout);
      return -1;
    }
  }
}

void vrdir_stop(vrdir *) {}

void vrdir_close(vrdir *v)
{
  if (!v)
    return;
  librdir_close(v->h);
  delete v;
}
