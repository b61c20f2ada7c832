#define LOG_TAG "cdir"
/* The reconcile step of a listed copy or a sync: output entries the input lacks are deleted
 * within the deletion budget, input directories the output lacks are created, and existing
 * directories get the input's mode and owner. */
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

namespace {

/* Whether one more output entry may be deleted under max_delete=: the budget is taken from, or the
 * deletion is held back, traced as kept and counted. A dry run spends the budget the same way, so
 * that it shows what the real run would keep. */
bool take_delete(cdir_ctx *ctx, const char *shown, bool is_dir)
{
  if (ctx->p.max_delete < 0)
    return true;
  int64_t left = ctx->delete_budget.load(std::memory_order_relaxed);
  while (left > 0 && !ctx->delete_budget.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
  }
  if (left > 0)
    return true;
  cdir_stat_add(&ctx->stat.skip_delete, 1);
  ctx->held_deletes.fetch_add(1, std::memory_order_relaxed);
  if (ctx->p.trace_flags & CDIR_TRACE_FILE_OPS)
    fprintf(stdout, "%s %s%s (kept: max_delete=%lld)\n", cdir_reason_symbol(CDIR_REASON_DEL), shown,
            is_dir ? "/" : "", static_cast<long long>(ctx->p.max_delete));
  return false;
}

uint64_t count_of(const mstat *m)
{
  return m ? m->count : 0;
}

/* An input root without entries whose output root has some: unless the user said so, that is a
 * source that was not there (not mounted, mistyped, empty by accident), and nothing is deleted on
 * its word. */
bool empty_input_guard(cdir_ctx *ctx, const cdir_cmd *c)
{
  if (!c->is_root || (ctx->p.trace_flags & CDIR_TRACE_ALLOW_EMPTY_INPUT) || count_of(c->files) || count_of(c->dirs))
    return false;
  uint64_t would = count_of(c->o_files) + count_of(c->o_dirs);
  if (would == 0)
    return false;
  cdir_stat_add(&ctx->stat.skip_delete, static_cast<int64_t>(would));
  ctx->held_deletes.fetch_add(static_cast<int64_t>(would), std::memory_order_relaxed);
  if (ctx->p.trace_flags & CDIR_TRACE_FILE_OPS) {
    cdir_item_path p;
    for (const mstat *m : {c->o_dirs, c->o_files}) {
      uint64_t n = 0;
      const mstat_item *items = m ? mstat_get_item(const_cast<mstat *>(m), &n) : nullptr;
      for (uint64_t i = 0; i < n; ++i)
        if (cdir_make_path(c->odir, items[i], &p))
          fprintf(stdout, "%s %s%s (kept: the input is empty)\n", cdir_reason_symbol(CDIR_REASON_DEL), p.path,
                  m == c->o_dirs && cdir_kind_of(items[i].type) == TYPE_DIR ? "/" : "");
    }
  }
  char msg[4200];
  snprintf(msg, sizeof msg,
           "the input [%s] is empty: %llu output entr%s would have been deleted; nothing was deleted "
           "(flag=allow_empty_input deletes them)",
           ctx->i_info.path.c_str(), static_cast<unsigned long long>(would), would == 1 ? "y" : "ies");
  LOGE("%s", msg);
  std::lock_guard<std::mutex> g(ctx->err_lock);
  ctx->held_msg = msg;
  return true;
}

} // namespace

void dir_reconcile(cdir_ctx *ctx, cdir_cmd *c)
{
  uint64_t n = 0;
  mstat_item *items;
  cdir_item_path p;
  /* A listing that ended with an error may lack entries that do exist: nothing of the output
   * is deleted on its word. */
  cdir_test_stop_at(c->odir.c_str());
  bool may_delete = c->code == 0 && !cdir_no_overwrite(ctx);
  if (may_delete && empty_input_guard(ctx, c))
    may_delete = false;
  if (c->code != 0 && ((c->o_dirs && c->o_dirs->count) || (c->o_files && c->o_files->count))) {
    LOGW("[%s] listing incomplete (veno=%d): no deletion in this directory", c->idir.c_str(), c->code);
  }
  if (may_delete && c->o_dirs) {
    items = mstat_get_item(c->o_dirs, &n);
    for (uint64_t i = 0; i < n && !cdir_need_exit(ctx); ++i) {
      mstat_item *it = &items[i];
      if (cdir_kind_of(it->type) != TYPE_DIR || cdir_find_item(c->dirs, it->name))
        continue;
      if (!cdir_make_path(c->odir, *it, &p) || p.parts != 1) {
        if (!p.fits)
          cdir_drop_too_long(ctx, false, c->odir, p.base);
        continue;
      }
      if (!take_delete(ctx, p.path, true) || !cdir_trace_item(ctx, it, true, p.path, true))
        continue;
      vperror e{};
      int code = ep_remove_tree(ctx->o_info.endpoint, p.path, &e);
      if (code < 0) {
        CDIR_SET_ERR(ctx, code, "rmdir2 [%s] error: %s", p.path, e.msg);
        cdir_stat_del_fail_inc(&ctx->stat, true, it->name);
        cdir_fail(ctx, code, "rmdir2 [%s] error: %s", p.path, e.msg);
      }
    }
  }
  if (may_delete && c->o_files) {
    items = mstat_get_item(c->o_files, &n);
    for (uint64_t i = 0; i < n && !cdir_need_exit(ctx); ++i) {
      mstat_item *it = &items[i];
      if (cdir_find_item(c->files, it->name))
        continue;
      if (!cdir_make_path(c->odir, *it, &p)) {
        if (!p.fits)
          cdir_drop_too_long(ctx, false, c->odir, p.base);
        continue;
      }
      std::string shown = p.parts == 3 ? std::string(p.path) + ":" + p.stream : std::string(p.path);
      if (!take_delete(ctx, shown.c_str(), false) || !cdir_trace_item(ctx, it, true, shown.c_str(), false))
        continue;
      vperror e{};
      int rc = p.parts == 3 ? ep_remove(ctx->o_info.endpoint, cdir_zz_path(p).c_str(), EP_C_ZZ, &e)
                            : ep_remove(ctx->o_info.endpoint, p.path, 0, &e);
      if (rc < 0) {
        CDIR_SET_ERR(ctx, rc, "remove [%s] error: %s", shown.c_str(), e.msg);
        cdir_stat_del_fail_inc(&ctx->stat, true, it->name);
        cdir_fail(ctx, rc, "remove [%s] error: %s", shown.c_str(), e.msg);
      } else {
        cdir_stat_del_inc(&ctx->stat, true, it->name);
      }
    }
  }
  items = mstat_get_item(c->dirs, &n);
  for (uint64_t i = 0; i < n && !cdir_need_exit(ctx); ++i) {
    mstat_item *it = &items[i];
    if (cdir_kind_of(it->type) != TYPE_DIR)
      continue;
    if (const mstat_item *o = cdir_find_item(c->o_dirs, it->name)) {
      /* A copy sets directory attributes when it finishes each one; a sync does it here, keeping
       * the output directory's times. */
      if (ctx->p.op == CDIR_OP_SYNC && cdir_attrs_differ(ctx, it, o) && cdir_make_path(c->odir, *it, &p) && p.parts == 1)
        cdir_update_attrs(ctx, it, o, p.path, true);
      continue;
    }
    cdir_set_reason(it, CDIR_REASON_NEW);
    if (!cdir_make_path(c->odir, *it, &p) || p.parts != 1) {
      if (!p.fits)
        cdir_drop_too_long(ctx, false, c->odir, p.base);
      continue;
    }
    if (cdir_trace_item(ctx, it, false, p.path, true))
      cdir_create_dir(ctx, it, p.path, "mkdir");
  }
  cdir_dir_streams(ctx, c, c->o_dirs);
}
