#define LOG_TAG "cdir"
/* What the steps of a copy share about one entry: its paths, its trace line, its creation with
 * attributes, its attribute-only update and its extended attributes. */
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
#include "libpal/string/pl_escape.h"

bool cdir_make_path(const std::string &dir, const mstat_item &it, cdir_item_path *p)
{
  p->parts = cdir_item_name(it.name, &p->base, &p->kind, &p->stream);
  if (p->parts != 1 && p->parts != 3) {
    LOGE("path [%s] invalid", it.name);
    return false;
  }
  p->fits = cdir_path_join(p->path, sizeof p->path, dir.c_str(), p->base.c_str()) >= 0;
  return p->fits;
}

/* The zz-string path of a stream item: base path, kind and stream name, each NUL-ended, then an
 * empty string. */
std::string cdir_zz_path(const cdir_item_path &p)
{
  std::string z(p.path);
  z.push_back('\0');
  z += p.kind;
  z.push_back('\0');
  z += p.stream;
  z.push_back('\0');
  z.push_back('\0');
  return z;
}

bool cdir_trace_item(cdir_ctx *ctx, const mstat_item *it, bool is_delete, const char *opath, bool is_dir)
{
  return cdir_trace_file_ops_imp(stdout, ctx->p.trace_flags, ctx->p.op == CDIR_OP_COPY ? ctx->p.mode : 0, it->flags,
                                 is_delete, opath, is_dir);
}

/* A path that would reach the length limit: the entry is dropped, logged and counted. */
void cdir_drop_too_long(cdir_ctx *ctx, bool is_input, const std::string &dir, const std::string &base)
{
  cdir_stat_add(is_input ? &ctx->stat.i_drop_name_too_long : &ctx->stat.o_drop_name_too_long, 1);
  char msg[600];
  snprintf(msg, sizeof msg, "%s=[%.250s] name=[%.250s] too long", is_input ? "idir" : "odir", dir.c_str(),
           base.c_str());
  LOGE("%s", msg);
  std::lock_guard<std::mutex> g(ctx->err_lock);
  ctx->fail_msg = msg;
}

/* Creates an entry that carries no data (directory, link, empty file, FIFO) with its
 * attributes. */
int cdir_create_entry(cdir_ctx *ctx, vbfile *out, const mstat_item *it, const char *path, const char *what)
{
  file_attr a;
  std::string link;
  cdir_item_attr(ctx, it, &a, &link);
  const bool keep = cdir_no_overwrite(ctx);
  int rc = vbfile_create_file_or_dir(out, &a, path, false, keep);
  if (rc == VERR_EXISTS && keep) {
    /* It appeared after the listing: it stays as it is. */
    LOGW("[%s] exists: left as it is", path);
    return 1;
  }
  if (rc < 0) {
    cdir_fail(ctx, rc, "%s [%s] error: %s", what, path, out->err.code ? out->err.msg : verr2str(rc));
    return rc;
  }
  return 0;
}

/* Copies the value of one extended attribute of a file. */
void cdir_copy_xattr(cdir_ctx *ctx, mstat_item *it, const cdir_item_path &in, const cdir_item_path &out)
{
  if (in.kind != "X") {
    LOGD("[%s] stream kind %s is not kept on this host", in.path, in.kind.c_str());
    return;
  }
  std::string value;
  vperror e{};
  int64_t n = ep_xattr_get(ctx->i_info.endpoint, in.path, in.stream.c_str(), &value, &e);
  if (n >= 0)
    n = ep_xattr_set(ctx->o_info.endpoint, out.path, out.stream.c_str(), value.data(), value.size(), &e);
  if (n < 0) {
    cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
    CDIR_SET_ERR(ctx, static_cast<int>(n), "xattr [%s:%s] error: %s", out.path, out.stream.c_str(), e.msg);
    cdir_fail(ctx, static_cast<int>(n), "xattr [%s:%s] error: %s", out.path, out.stream.c_str(), e.msg);
    return;
  }
  n = static_cast<int64_t>(value.size());
  cdir_stat_add(&ctx->stat.total_read, n);
  cdir_add_written(ctx, n);
  cdir_stat_open_inc(&ctx->stat, true, it->name);
}

void cdir_item_attr(cdir_ctx *ctx, const mstat_item *item, file_attr *attr, std::string *link)
{
  *attr = file_attr{};
  link->clear();
  if (item->link_name && *item->link_name &&
      str_unescape_cstr_append(item->link_name, strlen(item->link_name), link) < 0)
    link->assign(item->link_name);
  attr->link_name = link->empty() ? nullptr : link->c_str();
  attr->type = item->type;
  attr->attrib_mode = item->attrib_mode;
  attr->alt_mode = item->alt_mode;
  attr->uid = item->uid;
  attr->gid = item->gid;
  attr->time_access = item->time_access;
  attr->time_write = item->time_write;
  attr->time_create = item->time_create;
  if ((item->flags & ITEM_F_REASON_MASK) != CDIR_REASON_NEW)
    return;
  if (!ctx->p.user_name.empty() && ctx->default_uid != CDIR_ID_NONE)
    attr->uid = ctx->default_uid;
  if (!ctx->p.group_name.empty() && ctx->default_gid != CDIR_ID_NONE)
    attr->gid = ctx->default_gid;
  /* Modes of their own replace the source's only where the source has none. */
  if (ctx->need_posix_mode || (item->type & TYPE_F_NOMODE)) {
    attr->type &= ~TYPE_F_NOMODE;
    uint32_t perm = cdir_kind_of(item->type) == TYPE_DIR ? ctx->p.dir_mode : ctx->p.file_mode;
    attr->attrib_mode = (item->attrib_mode & S_IFMT) | perm;
    attr->alt_mode = perm;
  }
}

/* Whether an output entry whose data equals the input's differs in what its attributes carry:
 * permission bits (not for links, whose mode means nothing), and owner and group where the run
 * keeps owners. */
bool cdir_attrs_differ(const cdir_ctx *ctx, const mstat_item *in, const mstat_item *out)
{
  if (cdir_kind_of(in->type) != cdir_kind_of(out->type))
    return false;
  bool is_link = (in->type & 0x300) == 0x100 || (in->attrib_mode & S_IFMT) == S_IFLNK;
  if (!is_link && !(in->type & TYPE_F_NOMODE) && !(out->type & TYPE_F_NOMODE) &&
      (in->attrib_mode & 07777) != (out->attrib_mode & 07777))
    return true;
  return ctx->keep_owner && (in->uid != out->uid || in->gid != out->gid);
}

/* Brings the attributes of an existing output entry in line with the input's, without touching
 * its data; times stay as given in times_of. Traced with reason "A". */
void cdir_update_attrs(cdir_ctx *ctx, mstat_item *in, const mstat_item *times_of, const char *path, bool is_dir)
{
  cdir_set_reason(in, CDIR_REASON_ATTR);
  cdir_sync_file_reason(ctx, "[%s] mode=0%o uid=%u gid=%u", path, in->attrib_mode & 07777, in->uid, in->gid);
  if (!cdir_trace_item(ctx, in, false, path, is_dir))
    return;
  file_attr a;
  std::string link;
  cdir_item_attr(ctx, in, &a, &link);
  a.link_name = nullptr;
  a.time_access = times_of->time_access;
  a.time_write = times_of->time_write;
  vperror e{};
  int rc = ep_set_attr(ctx->o_info.endpoint, path, &a, &e);
  if (rc < 0) {
    if (is_dir)
      cdir_stat_add(&ctx->stat.o_dir_fail_count, 1);
    else
      cdir_stat_o_fail_inc(&ctx->stat, true, in->name);
    cdir_fail(ctx, rc, "set_attr [%s] error: %s", path, e.msg);
  }
}
