#define LOG_TAG "cdir"
/* The walker thread and the executor commands of a directory job. */
#include "libcdir/cdir_work.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "libcdir/cdir_batch.h"
#include "libcdir/cdir_copy.h"
#include "libcdir/cdir_ctx.h"
#include "liblog/log2.h"
#include "libpal/string/pl_escape.h"
#include "libpal/tframe/pl_cmder.h"

namespace {

constexpr size_t PATH_SIZE = 4096;

mstat *ref(mstat *m)
{
  if (m)
    mstat_ref_add(m);
  return m;
}

void unref(mstat **m)
{
  if (*m)
    mstat_free(*m);
  *m = nullptr;
}

/* Byte order of the escaped names, which keeps the byte order of the real names for every name
 * without escapes and is the same on both sides, so lookups between them agree. */
bool item_less(const mstat_item &a, const mstat_item &b)
{
  return strcmp(a.name, b.name) < 0;
}

} // namespace

void cdir_sort_list(mstat *m)
{
  if (!m)
    return;
  uint64_t n = 0;
  mstat_item *it = mstat_get_item(m, &n);
  std::sort(it, it + n, item_less);
}

mstat_item *cdir_find_item(mstat *m, const char *name)
{
  if (!m)
    return nullptr;
  uint64_t n = 0;
  mstat_item *it = mstat_get_item(m, &n);
  mstat_item key{};
  key.name = name;
  mstat_item *p = std::lower_bound(it, it + n, key, item_less);
  return p != it + n && strcmp(p->name, name) == 0 ? p : nullptr;
}

/* The name of an item (an escaped zz-string) as its parts: the base name, and for a stream or
 * attribute entry its kind letter and stream name. Returns the number of parts, or -1 when the
 * name does not unescape. */
int cdir_item_name(const char *escaped, std::string *base, std::string *kind, std::string *stream)
{
  std::string raw;
  if (str_unescape_cstr_append(escaped, strlen(escaped), &raw) < 0)
    return -1;
  const char *p = raw.c_str();
  const char *end = p + raw.size();
  std::string *out[] = {base, kind, stream};
  int parts = 0;
  while (p < end && *p) {
    if (parts == 3)
      return 4;
    out[parts++]->assign(p);
    p += strlen(p) + 1;
  }
  return parts;
}

std::string cdir_base_key(const char *escaped)
{
  std::string base, kind, stream;
  if (cdir_item_name(escaped, &base, &kind, &stream) != 3)
    return escaped;
  base.push_back('\0');
  base.push_back('\0');
  std::string key;
  if (str_escape_tab_zz_append(base.c_str(), &key) < 0)
    return escaped;
  return key;
}

namespace {

bool post_cmd(cdir_ctx *ctx, uint32_t type, const std::string &key, cdir_cmd *c)
{
  /* A bounded executor queue makes the walker wait here while the executor catches up. */
  for (;;) {
    int rc = cmder_post_msg3(ctx->cmd, type, key.c_str(), c, 1000);
    if (rc == 0)
      return true;
    if (rc != -2 || cdir_need_exit(ctx)) {
      LOGE("cmder_post_msg3 type=%u failed ret=%d", type, rc);
      cdir_cmd_free(ctx, c);
      return false;
    }
  }
}

/* The directory line of mode ls, posted where the directory joins the walk. */
void post_dir_line(cdir_ctx *ctx, const std::string &dir)
{
  while (cmder_post_msg3(ctx->cmd, CDIR_CMD_DIR_LINE, dir.c_str(), nullptr, 1000) == -2) {
    if (cdir_need_exit(ctx))
      return;
  }
}

cdir_cmd *cmd_of(cdir_task *t)
{
  auto *c = new (std::nothrow) cdir_cmd;
  if (!c)
    return nullptr;
  c->idir = t->idir;
  c->odir = t->odir;
  c->attr = t->attr;
  c->attr.name = nullptr;
  c->attr.link_name = nullptr;
  c->o_exists = t->o_exists;
  c->is_root = t->is_root;
  c->code = t->code;
  return c;
}

bool is_copy_or_sync(const cdir_ctx *ctx)
{
  return ctx->p.op == CDIR_OP_COPY || ctx->p.op == CDIR_OP_SYNC;
}

/* The walk: a task per directory, breadth first, commands posted in the order the executor must
 * carry them out. */
int cdir_worker(cdir_ctx *ctx)
{
  auto *root = cdir_task_alloc();
  if (!root)
    return VERR_NOMEM;
  root->idir = ctx->i_info.path;
  root->is_root = true;
  if (!ctx->p.o_url.empty()) {
    root->odir = ctx->o_info.path;
    root->o_exists = true;
  }
  int rc = rdir_get_idir_list(ctx, root);
  if (rc != 0)
    return rc < 0 ? -1 : 0;
  ctx->work.push_back(root);
  char path[PATH_SIZE];
  while (!ctx->work.empty()) {
    cdir_task *t = ctx->work.front();
    ctx->work.pop_front();
    /* A child is listed only now: a wide level then holds the listings of a few directories
     * rather than of all of them. */
    if (!t->listed) {
      rc = rdir_get_idir_list(ctx, t);
      if (rc < 0)
        return -1;
      if (rc > 0)
        continue;
    }
    rdir_prefetch(ctx);
    LOGV("[%s] [%d]", t->idir.c_str(), t->o_exists);
    bool listed = cdir_task_olisted(ctx, t);
    if (listed) {
      if (rdir_get_odir_stat(ctx, t) < 0) {
        cdir_task_free(t);
        return -1;
      }
      cdir_sort_list(t->o_files);
      cdir_sort_list(t->o_dirs);
    }
    cdir_sort_list(t->files);
    cdir_sort_list(t->dirs);
    /* The walker reads the directory list to build the children before the executor may
     * write change reasons into it: the commands that carry the list are posted after that. */
    uint64_t nd = 0;
    mstat_item *dirs = t->dirs ? mstat_get_item(t->dirs, &nd) : nullptr;
    bool odd = false;
    if (nd > 0) {
      for (uint64_t i = 0; i < nd; ++i) {
        const mstat_item &it = dirs[i];
        if (os_type_kind(it.type) != TYPE_DIR) {
          odd = true;
          continue;
        }
        std::string base, kind, stream;
        if (cdir_item_name(it.name, &base, &kind, &stream) != 1) {
          LOGE("idir=[%s] name=[%s] invalid\n", t->idir.c_str(), it.name);
          continue;
        }
        if (cdir_path_join(path, sizeof path, t->idir.c_str(), base.c_str()) < 0) {
          LOGE("idir=[%s] name=[%s] too long\n", t->idir.c_str(), base.c_str());
          cdir_stat_add(&ctx->stat.i_drop_name_too_long, 1);
          continue;
        }
        cdir_task *child = cdir_task_alloc();
        if (!child) {
          cdir_task_free(t);
          return VERR_NOMEM;
        }
        child->idir = path;
        child->rel = t->rel + "/" + base;
        child->attr = it;
        child->attr.name = nullptr;
        child->attr.link_name = nullptr;
        if (listed && cdir_find_item(t->o_dirs, it.name)) {
          if (cdir_path_join(path, sizeof path, t->odir.c_str(), base.c_str()) < 0) {
            LOGE("odir=[%s] name=[%s] too long\n", t->odir.c_str(), base.c_str());
            cdir_stat_add(&ctx->stat.o_dir_fail_count, 1);
            cdir_task_free(child);
            continue;
          }
          child->o_exists = true;
          child->odir = path;
        } else if (!t->odir.empty()) {
          if (cdir_path_join(path, sizeof path, t->odir.c_str(), base.c_str()) < 0) {
            LOGE("odir=[%s] name=[%s] too long\n", t->odir.c_str(), base.c_str());
            cdir_stat_add(&ctx->stat.o_dir_fail_count, 1);
            cdir_task_free(child);
            continue;
          }
          child->odir = path;
        }
        ctx->work.push_back(child);
        if (ctx->p.op == CDIR_OP_LS)
          post_dir_line(ctx, child->idir);
        if (cdir_need_exit(ctx)) {
          cdir_task_free(t);
          return -1;
        }
      }
    }
    uint64_t nf = 0;
    if (t->files)
      mstat_get_item(t->files, &nf);
    bool files_posted = false;
    if (is_copy_or_sync(ctx) && listed) {
      cdir_cmd *c = cmd_of(t);
      if (c) {
        c->files = ref(t->files);
        c->dirs = ref(t->dirs);
        c->o_files = ref(t->o_files);
        c->o_dirs = ref(t->o_dirs);
        /* Nothing is posted between the two for a listed output (its directories exist). */
        c->with_files = files_posted = nf > 0;
        post_cmd(ctx, CDIR_CMD_RECONCILE, t->odir, c);
      }
    }
    if (nd > 0) {
      if (is_copy_or_sync(ctx) && !listed) {
        cdir_cmd *c = cmd_of(t);
        if (c) {
          c->dirs = ref(t->dirs);
          post_cmd(ctx, CDIR_CMD_MKDIRS, t->odir, c);
        }
      }
      if (odd) {
        cdir_cmd *c = cmd_of(t);
        if (c) {
          c->dirs = ref(t->dirs);
          post_cmd(ctx, CDIR_CMD_ODD_DIRS, t->idir, c);
        }
      }
    }
    if (nf > 0 && !files_posted) {
      cdir_cmd *c = cmd_of(t);
      if (c) {
        c->files = ref(t->files);
        c->o_files = ref(t->o_files);
        c->o_dirs = ref(t->o_dirs);
        post_cmd(ctx, CDIR_CMD_FILE_LIST, t->idir, c);
      }
    }
    /* Finishing a directory is a copy step; a sync leaves directory times alone, so it posts
     * no command that would only wake the executor. */
    if (ctx->p.op == CDIR_OP_COPY) {
      cdir_cmd *c = cmd_of(t);
      if (c)
        post_cmd(ctx, CDIR_CMD_DIR_DONE, t->odir, c);
    }
    cdir_task_free(t);
    if (cdir_need_exit(ctx))
      return 0;
  }
  return 0;
}

/* Counting of a file list: every item adds to the enumerated files and sizes. */
void count_files(cdir_ctx *ctx, mstat *files)
{
  uint64_t n = 0;
  mstat_item *it = mstat_get_item(files, &n);
  for (uint64_t i = 0; i < n; ++i) {
    if (cdir_need_exit(ctx))
      return;
    cdir_stat_file_add(&ctx->stat, true, it[i].name, static_cast<int64_t>(it[i].size));
    if (ctx->p.op == CDIR_OP_COPY && ctx->p.mode == CDIR_MODE_COPY_ALL)
      it[i].flags = static_cast<uint16_t>((it[i].flags & ~ITEM_F_REASON_MASK) | 1);
  }
}

/* One entry of the listing of mode ls. */
void list_entry(cdir_ctx *ctx, const std::string &dir, const mstat_item &it)
{
  if (!ctx->list_fp)
    return;
  std::string base, kind, stream;
  int parts = cdir_item_name(it.name, &base, &kind, &stream);
  if (parts < 1 || parts == 2 || parts > 3) {
    LOGE("path [%s] invalid", it.name);
    return;
  }
  char path[PATH_SIZE];
  if (cdir_path_join(path, sizeof path, dir.c_str(), base.c_str()) < 0) {
    LOGE("dir=[%s] name=[%s] err: too long\n", dir.c_str(), base.c_str());
    return;
  }
  if (parts == 3) {
    if (kind == "S") {
      static const char data_suffix[] = ":$DATA";
      size_t sl = sizeof data_suffix - 1;
      if (stream.size() >= sl && stream.compare(stream.size() - sl, sl, data_suffix) == 0)
        stream.resize(stream.size() - sl);
      fprintf(ctx->list_fp, "%s%s\n", path, stream.c_str());
    } else if (kind == "X") {
      fprintf(ctx->list_fp, "%s:%s\n", path, stream.c_str());
    } else {
      LOGE("path_type [%s] invalid", it.name);
    }
    return;
  }
  if (it.link_name && *it.link_name) {
    std::string target;
    if (str_unescape_cstr_append(it.link_name, strlen(it.link_name), &target) < 0)
      target = it.link_name;
    fprintf(ctx->list_fp, "%s -> %s [%s]\n", path, target.c_str(),
            (it.type & TYPE_F_JUNCTION) ? "junction" : "link");
    return;
  }
  fprintf(ctx->list_fp, "%s\n", path);
}

void list_files(cdir_ctx *ctx, const std::string &dir, mstat *files, bool odd_only)
{
  uint64_t n = 0;
  mstat_item *it = mstat_get_item(files, &n);
  for (uint64_t i = 0; i < n; ++i) {
    if (cdir_need_exit(ctx))
      return;
    if (odd_only && os_type_kind(it[i].type) == TYPE_DIR)
      continue;
    list_entry(ctx, dir, it[i]);
  }
}

} // namespace

cdir_task *cdir_task_alloc()
{
  return new (std::nothrow) cdir_task;
}

void cdir_task_free(cdir_task *t)
{
  if (!t)
    return;
  unref(&t->files);
  unref(&t->dirs);
  unref(&t->o_files);
  unref(&t->o_dirs);
  delete t;
}

int cdir_path_join(char *out, size_t size, const char *dir, const char *name)
{
  size_t dl = strlen(dir);
  /* The root of the file system is "/" alone; joining keeps a single separator. */
  const char *sep = dl > 0 && dir[dl - 1] == '/' ? "" : "/";
  int n = snprintf(out, size, "%s%s%s", dir, sep, name);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    if (size > 0)
      out[0] = 0;
    return -1;
  }
  return n;
}

int cdir_work_thread(void *arg)
{
  auto *ctx = static_cast<cdir_ctx *>(arg);
  LOGD("==>\n");
  int ret = cdir_worker(ctx);
  if (ret != 0)
    LOGD("ret=%d\n", ret);
  /* Tasks left behind by an early end. */
  while (!ctx->work.empty()) {
    cdir_task_free(ctx->work.front());
    ctx->work.pop_front();
  }
  LOGD("<==\n");
  return ret;
}

void cdir_cmd_free(void *, void *arg)
{
  auto *c = static_cast<cdir_cmd *>(arg);
  if (!c)
    return;
  unref(&c->files);
  unref(&c->dirs);
  unref(&c->o_files);
  unref(&c->o_dirs);
  delete c;
}

void cdir_cmd_proc(uint32_t type, void *data, cmder_run *run)
{
  auto *ctx = static_cast<cdir_ctx *>(run->ctx);
  auto *c = static_cast<cdir_cmd *>(run->arg);
  const char *key = static_cast<const char *>(data);
  if (cdir_need_exit(ctx))
    return;
  switch (ctx->p.op) {
  case CDIR_OP_LS:
    if (type == CDIR_CMD_DIR_LINE && key && ctx->list_fp)
      fprintf(ctx->list_fp, "%s/\n", key);
    else if (type == CDIR_CMD_FILE_LIST && c && c->files) {
      count_files(ctx, c->files);
      list_files(ctx, c->idir, c->files, false);
    } else if (type == CDIR_CMD_ODD_DIRS && c && c->dirs)
      list_files(ctx, c->idir, c->dirs, true);
    break;
  case CDIR_OP_COPY:
  case CDIR_OP_SYNC:
    if (!c)
      break;
    if (type == CDIR_CMD_RECONCILE) {
      cdir_batch_drain(ctx); /* deletions and replacements see the files written before them */
      dir_reconcile(ctx, c);
      if (c->with_files && c->files && !cdir_need_exit(ctx)) {
        count_files(ctx, c->files);
        sync_mode_file_list(ctx, c);
      }
    }
    else if (type == CDIR_CMD_FILE_LIST && c->files) {
      count_files(ctx, c->files);
      sync_mode_file_list(ctx, c);
    } else if (type == CDIR_CMD_MKDIRS && c->dirs)
      l_create_dir_list(ctx, c);
    else if (type == CDIR_CMD_DIR_DONE && ctx->p.op == CDIR_OP_COPY && !cdir_batch_defer_finish(ctx, c))
      cdir_dir_finish(ctx, c);
    break;
  default:
    break;
  }
}
