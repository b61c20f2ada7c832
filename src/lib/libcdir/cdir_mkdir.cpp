#define LOG_TAG "cdir"
/* Directories of a copy's output: sub-directories created with their input's attributes (and
 * their extended attributes), and a directory's attributes set once its content is done. */
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "libcdir/cdir_copy.h"
#include "libcdir/cdir_ctx.h"
#include "libcdir/cdir_entry.h"
#include "libcdir/cdir_work.h"
#include "libcdir/vbfile.h"
#include "liblog/log2.h"

/* Creates one output sub-directory with the attributes of its input entry. */
bool cdir_create_dir(cdir_ctx *ctx, mstat_item *it, const char *path, const char *msg)
{
  if (cdir_create_entry(ctx, ctx->o_side.bfile, it, path, msg) < 0) {
    cdir_stat_add(&ctx->stat.o_dir_fail_count, 1);
    return false;
  }
  return true;
}

/* The extended attributes of sub-directories travel in the directory list, as file-kind
 * stream items; they are set once the directories exist. */
void cdir_dir_streams(cdir_ctx *ctx, cdir_cmd *c, mstat *o_dirs)
{
  uint64_t n = 0;
  mstat_item *items = mstat_get_item(c->dirs, &n);
  cdir_item_path in, out;
  for (uint64_t i = 0; i < n && !cdir_need_exit(ctx); ++i) {
    mstat_item *it = &items[i];
    std::string base, kind, stream;
    if (cdir_item_name(it->name, &base, &kind, &stream) != 3)
      continue;
    if (o_dirs && !cdir_copies_all(ctx) && !cdir_check_file_in_list(ctx, it, c->odir, o_dirs))
      continue;
    if (cdir_no_overwrite(ctx) && cdir_find_item(o_dirs, cdir_base_key(it->name).c_str()))
      continue;
    if (!cdir_make_path(c->idir, *it, &in) || !cdir_make_path(c->odir, *it, &out))
      continue;
    std::string shown = std::string(out.path) + ":" + out.stream;
    if (cdir_trace_item(ctx, it, false, shown.c_str(), false))
      cdir_copy_xattr(ctx, it, in, out);
  }
}

void l_create_dir_list(cdir_ctx *ctx, cdir_cmd *c)
{
  uint64_t n = 0;
  mstat_item *items = mstat_get_item(c->dirs, &n);
  char path[CDIR_PATH_SIZE];
  for (uint64_t i = 0; i < n; ++i) {
    if (cdir_need_exit(ctx))
      return;
    mstat_item *it = &items[i];
    if (cdir_kind_of(it->type) != TYPE_DIR)
      continue;
    cdir_set_reason(it, CDIR_REASON_NEW);
    std::string base, kind, stream;
    if (cdir_item_name(it->name, &base, &kind, &stream) != 1)
      continue;
    if (cdir_path_join(path, sizeof path, c->odir.c_str(), base.c_str()) < 0) {
      cdir_drop_too_long(ctx, false, c->odir, base);
      continue;
    }
    if (cdir_trace_item(ctx, it, false, path, true))
      cdir_create_dir(ctx, it, path, "mkdirs");
  }
  cdir_dir_streams(ctx, c, nullptr);
}

void cdir_dir_finish(cdir_ctx *ctx, cdir_cmd *c)
{
  /* The output root keeps its own attributes; a directory without times is left as it is, and so
   * is one that copy_no_overwrite found there. */
  if (c->is_root || c->odir.empty() || (c->attr.time_write == 0 && c->attr.time_access == 0))
    return;
  if (cdir_no_overwrite(ctx) && c->o_exists)
    return;
  if (ctx->p.trace_flags & CDIR_TRACE_DRY_RUN)
    return;
  file_attr a;
  std::string link;
  cdir_item_attr(ctx, &c->attr, &a, &link);
  a.link_name = nullptr;
  vperror e{};
  int code = ep_set_attr(ctx->o_info.endpoint, c->odir.c_str(), &a, &e);
  if (code < 0)
    LOGE("lutime %s eno=%d error: %s", c->odir.c_str(), code, e.msg);
}
