#define LOG_TAG "cdir"
/* The single-file job: an input that is one entry (a file, a link) copied to a path or into a
 * directory. */
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
#include "librdir/rdir_line.h"
#include "librdir/rdir_stat.h"

int cdir_file_thread(void *arg)
{
  auto *ctx = static_cast<cdir_ctx *>(arg);
  LOGV("==>\n");
  /* The input's own entry, as a listing would give it. */
  std::string line;
  mstat *m = mstat_alloc(nullptr);
  int ret = -1;
  if (m && dirent_to_line(&ctx->i_info.root, &line) > 0 && str_2_stat(line.data(), nullptr, m) == 0 &&
      m->count == 1) {
    mstat_item *it = &m->items[0];
    std::string out = ctx->o_info.path;
    const std::string &ou = ctx->p.o_url;
    bool into_dir = (!ctx->o_info.not_exist && ctx->o_info.is_dir) ||
                    (ctx->o_info.not_exist && !ou.empty() && (ou.back() == '/' || ou.back() == '\\'));
    char path[CDIR_PATH_SIZE];
    if (into_dir) {
      bool made = true;
      vperror e{};
      /* A dry run changes nothing, not even the directory the file would go to. */
      if (ctx->o_info.not_exist && !(ctx->p.trace_flags & CDIR_TRACE_DRY_RUN) &&
          ep_mkdirs(ctx->o_info.endpoint, out.c_str(), 0755, &e) < 0) {
        cdir_stat_add(&ctx->stat.o_dir_fail_count, 1);
        cdir_fail(ctx, e.code, "mkdirs [%s] error: %s", out.c_str(), e.msg);
        made = false;
      }
      if (!made) {
        path[0] = 0;
      } else if (cdir_path_join(path, sizeof path, out.c_str(), ctx->i_info.root.name) < 0) {
        cdir_drop_too_long(ctx, false, out, ctx->i_info.root.name);
        path[0] = 0;
      }
    } else {
      snprintf(path, sizeof path, "%s", out.c_str());
    }
    if (path[0]) {
      os_dirent o;
      vperror e{};
      bool exists = ep_stat(ctx->o_info.endpoint, path, &o, &e) == 0;
      it->o_size = exists ? static_cast<uint64_t>(o.size) : 0;
      cdir_set_reason(it, exists ? 0 : CDIR_REASON_NEW);
      bool copy = true;
      if (exists && ctx->p.op == CDIR_OP_SYNC) {
        std::string oline;
        mstat *om = mstat_alloc(nullptr);
        if (om && dirent_to_line(&o, &oline) > 0 && str_2_stat(oline.data(), nullptr, om) == 0 && om->count == 1)
          copy = cdir_check_file_stat(ctx, path, it, &om->items[0]) != 0;
        mstat_free(om);
      }
      cdir_stat_file_add(&ctx->stat, true, it->name, static_cast<int64_t>(it->size));
      ret = 0;
      if (copy && cdir_trace_item(ctx, it, false, path, false))
        ret = cdir_copy_sync_file(ctx, it, ctx->i_info.path.c_str(), path);
    }
  }
  mstat_free(m);
  if (ret != 0)
    LOGD("ret=%d\n", ret);
  LOGV("<==\n");
  return ret;
}
