#define LOG_TAG "cdir"
#include "libcdir/cdir_copy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "libcdir/cdir_ctx.h"
#include "libcdir/cdir_work.h"
#include "libcdir/vbfile.h"
#include "liblog/log2.h"
#include "libpal/tframe/pl_thread_pool.h"
#include "libpal/string/pl_escape.h"
#include "librdir/rdir_line.h"
#include "librdir/rdir_stat.h"

namespace {

constexpr size_t PATH_SIZE = 4096;

/* The handles and buffer one file copy runs on: the engine's own, or those of the second copy
 * lane. Failures are read from the handle that failed, never from the shared error record, which
 * the other lane may be writing. */
struct copy_lane {
  vbfile *in;
  vbfile *out;
  char *buf;
};

copy_lane main_lane(cdir_ctx *ctx)
{
  return {ctx->i_side.bfile, ctx->o_side.bfile, ctx->buf[0].get()};
}

uint32_t kind_of(uint32_t type)
{
  return type & TYPE_KIND_MASK;
}

bool is_copy_mode4(const cdir_ctx *ctx)
{
  return ctx->op == CDIR_OP_COPY && ctx->mode == CDIR_MODE_COPY_ALL;
}

/* copy_no_overwrite: what exists on the output is never replaced, changed or deleted. */
bool is_no_overwrite(const cdir_ctx *ctx)
{
  return ctx->op == CDIR_OP_COPY && ctx->mode == CDIR_MODE_COPY_NO_OVERWRITE;
}

void set_reason(mstat_item *it, uint16_t reason)
{
  it->flags = static_cast<uint16_t>((it->flags & ~ITEM_F_REASON_MASK) | reason);
}

const char *time_text(uint64_t t, char *buf, size_t size)
{
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  if (!gmtime_r(&tt, &tm) || strftime(buf, size, "%Y-%m-%d %H:%M:%S", &tm) == 0)
    snprintf(buf, size, "%llu", static_cast<unsigned long long>(t));
  return buf;
}

bool same_path(const char *a, const char *b)
{
  std::string x = a ? a : "", y = b ? b : "";
  for (std::string *s : {&x, &y})
    for (char &ch : *s) {
      if (ch == '\\')
        ch = '/';
      if (ch >= 'A' && ch <= 'Z')
        ch = static_cast<char>(ch - 'A' + 'a');
    }
  return x == y;
}

/* The display and operation path of an item below dir: "" when it does not fit. */
struct item_path {
  std::string base, kind, stream;
  int parts = 0;
  char path[PATH_SIZE] = {};
  bool fits = false;
};

bool make_path(const std::string &dir, const mstat_item &it, item_path *p)
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
std::string zz_path(const item_path &p)
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

bool trace(cdir_ctx *ctx, const mstat_item *it, bool is_delete, const char *opath, bool is_dir)
{
  return cdir_trace_file_ops_imp(stdout, ctx->trace_flags, ctx->op == CDIR_OP_COPY ? ctx->mode : 0, it->flags,
                                 is_delete, opath, is_dir);
}

/* A path that would reach the length limit: the entry is dropped, logged and counted. */
void drop_too_long(cdir_ctx *ctx, bool is_input, const std::string &dir, const std::string &base)
{
  cdir_stat_add(is_input ? &ctx->stat.i_drop_name_too_long : &ctx->stat.o_drop_name_too_long, 1);
  char msg[600];
  snprintf(msg, sizeof msg, "%s=[%.250s] name=[%.250s] too long", is_input ? "idir" : "odir", dir.c_str(),
           base.c_str());
  LOGE("%s", msg);
  std::lock_guard<std::mutex> g(ctx->err_lock);
  ctx->fail_msg = msg;
}


int copy_data_on(cdir_ctx *ctx, const copy_lane &lane, const mstat_item *it, const char *in_path, const char *out_path,
                 uint64_t offset, uint64_t size, uint64_t *copied)
{
  LOGD("[%s]->[%s] off=%lld size=%lld", in_path, out_path, static_cast<long long>(offset),
       static_cast<long long>(size));
  *copied = 0;
  if (size == 0)
    return 0;
  /* Local to local: the kernel moves the data (and may share extents) without a copy through
   * this process. */
  uint64_t left = size;
  while (left > 0) {
    /* In pieces of 16 blocks, so that a stop request is seen between them. */
    uint64_t want = std::min<uint64_t>(left, 16ull * ctx->bs);
    int64_t k = vbfile_copy_range(lane.in, lane.out, offset, want);
    if (k == VERR_NOTSUP)
      break; /* nothing of this piece was copied: the read and write loop takes over here */
    if (k < 0) {
      cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
      vbfile_fail(lane.out, static_cast<int>(k), "o_write", out_path);
      return -1;
    }
    cdir_stat_add(&ctx->stat.total_read, k);
    cdir_add_written(ctx, k);
    *copied += static_cast<uint64_t>(k);
    offset += static_cast<uint64_t>(k);
    left -= static_cast<uint64_t>(k);
    if (static_cast<uint64_t>(k) < want) {
      LOGW("[%s] ended after %llu of %llu bytes: it shrank while it was copied", in_path,
           static_cast<unsigned long long>(*copied), static_cast<unsigned long long>(size));
      return 0;
    }
    if (cdir_need_exit(ctx))
      return -1;
  }
  char *buf = lane.buf;
  while (left > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(left, ctx->bs));
    int64_t n = vbfile_pread(lane.in, buf, want, offset);
    if (n < 0) {
      cdir_stat_i_fail_inc(&ctx->stat, true, it->name);
      vbfile_fail(lane.in, static_cast<int>(n), "i_read", in_path);
      return -1;
    }
    cdir_stat_add(&ctx->stat.total_read, n);
    if (n > 0) {
      int64_t w = vbfile_pwrite(lane.out, buf, static_cast<size_t>(n), offset);
      if (w < 0) {
        cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
        vbfile_fail(lane.out, static_cast<int>(w), "o_write", out_path);
        return -1;
      }
      cdir_add_written(ctx, w);
    }
    offset += static_cast<uint64_t>(n);
    left -= static_cast<uint64_t>(n);
    *copied += static_cast<uint64_t>(n);
    if (static_cast<size_t>(n) < want) {
      LOGW("[%s] ended after %llu of %llu bytes: it shrank while it was copied", in_path,
           static_cast<unsigned long long>(*copied), static_cast<unsigned long long>(size));
      return 0;
    }
    if (cdir_need_exit(ctx))
      return -1;
  }
  return 0;
}

/* Copies a whole file whose input has holes: only its data ranges travel, the output keeps the
 * holes, and a hole at the end is made by cutting the output to size last. */
int copy_sparse_on(cdir_ctx *ctx, const copy_lane &lane, const mstat_item *it, const char *in_path,
                   const char *out_path, uint64_t *copied)
{
  *copied = 0;
  uint64_t off = 0;
  while (off < it->size) {
    uint64_t ds = 0, de = 0;
    int r = vbfile_next_data(lane.in, off, &ds, &de);
    if (r < 0) {
      cdir_stat_i_fail_inc(&ctx->stat, true, it->name);
      vbfile_fail(lane.in, r, "i_seek", in_path);
      return -1;
    }
    if (r == 1 || ds >= it->size)
      break;
    de = std::min<uint64_t>(de, it->size);
    uint64_t n = 0;
    if (copy_data_on(ctx, lane, it, in_path, out_path, ds, de - ds, &n) < 0)
      return -1;
    if (n < de - ds)
      return 0; /* it shrank: *copied stays short of the size */
    off = de;
    if (cdir_need_exit(ctx))
      return -1;
  }
  if (vbfile_truncate(lane.out, it->size) < 0) {
    cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
    vbfile_fail(lane.out, lane.out->err.code, "truncate", out_path);
    return -1;
  }
  *copied = it->size;
  return 0;
}

/* Creates an entry that carries no data (directory, link, empty file, FIFO) with its
 * attributes. */
int create_entry_on(cdir_ctx *ctx, vbfile *out, const mstat_item *it, const char *path, const char *what)
{
  file_attr a;
  std::string link;
  cdir_item_attr(ctx, it, &a, &link);
  const bool keep = is_no_overwrite(ctx);
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

int create_entry(cdir_ctx *ctx, const mstat_item *it, const char *path, const char *what)
{
  return create_entry_on(ctx, ctx->o_side.bfile, it, path, what);
}

/* Copies the value of one extended attribute of a file. */
void copy_xattr(cdir_ctx *ctx, mstat_item *it, const item_path &in, const item_path &out)
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

/* A further name of a file copied earlier in this run: linked to the output copy of the first
 * name. */
void make_hardlink(cdir_ctx *ctx, mstat_item *it, const char *out_path)
{
  std::string first;
  if (!it->link_name || str_unescape_cstr_append(it->link_name, strlen(it->link_name), &first) < 0) {
    cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
    cdir_fail(ctx, VERR_PARAM, "link [%s] error: the first name of its group is unknown", out_path);
    return;
  }
  std::string target = ctx->o_info.path == "/" ? first.c_str() : ctx->o_info.path + first.c_str();
  LOGD("link [%s] <- [%s]", target.c_str(), out_path);
  vperror e{};
  int code = ep_hard_link(ctx->o_info.endpoint, target.c_str(), out_path, &e);
  if (code < 0) {
    cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
    CDIR_SET_ERR(ctx, code, "link [%s] error: %s", out_path, e.msg);
    cdir_fail(ctx, code, "link [%s] <- [%s] error: %s", target.c_str(), out_path, e.msg);
  }
}

bool by_size(const mstat_item *a, const mstat_item *b)
{
  return a->size < b->size;
}

} // namespace

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
  if (!ctx->user_name.empty() && ctx->default_uid != CDIR_ID_NONE)
    attr->uid = ctx->default_uid;
  if (!ctx->group_name.empty() && ctx->default_gid != CDIR_ID_NONE)
    attr->gid = ctx->default_gid;
  /* Modes of their own replace the source's only where the source has none. */
  if (ctx->need_posix_mode || (item->type & TYPE_F_NOMODE)) {
    attr->type &= ~TYPE_F_NOMODE;
    uint32_t perm = kind_of(item->type) == TYPE_DIR ? ctx->dir_mode : ctx->file_mode;
    attr->attrib_mode = (item->attrib_mode & S_IFMT) | perm;
    attr->alt_mode = perm;
  }
}

int cdir_check_file_stat(cdir_ctx *ctx, const char *path, mstat_item *in, mstat_item *out)
{
  in->o_size = out->size;
  in->o_nlink = static_cast<uint32_t>(std::min<uint64_t>(out->st_nlink, UINT32_MAX));
  if (is_no_overwrite(ctx))
    return 0; /* it exists: that is all this mode asks */
  if (ctx->op == CDIR_OP_COPY && ctx->mode == CDIR_MODE_COPY_NEWER) {
    /* Only an input newer by more than the 2-second tolerance replaces what is there. */
    if (static_cast<int64_t>(in->time_write) - static_cast<int64_t>(out->time_write) <= 2)
      return 0;
    set_reason(out, CDIR_REASON_TIME);
    set_reason(in, CDIR_REASON_TIME);
    return 1;
  }
  if (ctx->mode != CDIR_MODE_COPY_DIFF && ctx->mode != CDIR_MODE_SYNC_DIFF)
    return 1;
  uint16_t reason = 0;
  if (in->flags & ITEM_F_HARDLINK) {
    if ((out->flags & ITEM_F_HARDLINK) && same_path(in->link_name, out->link_name))
      return 0;
    return 1;
  }
  const bool in_file = kind_of(in->type) == TYPE_FILE;
  const bool out_file = kind_of(out->type) == TYPE_FILE;
  const char *il = in->link_name ? in->link_name : "";
  const char *ol = out->link_name ? out->link_name : "";
  /* Unless both are plain files, kinds and link targets are compared: two links of the same
   * length and time may point to different places. */
  if (!in_file || !out_file) {
    bool in_link = (in->type & 0x300) == 0x100, out_link = (out->type & 0x300) == 0x100;
    if ((in->type & 0xff) != (out->type & 0xff) ||
        (in_link != out_link && (in->type & TYPE_F_JUNCTION) != (out->type & TYPE_F_JUNCTION))) {
      reason = CDIR_REASON_TYPE;
      cdir_sync_file_reason(ctx, "[%s] type 0x%x!=0x%x ", path, out->type, in->type);
    } else if (strcmp(il, ol) != 0) {
      reason = CDIR_REASON_LINK;
      cdir_sync_file_reason(ctx, "[%s] link_name [%s] != [%s]", path, ol, il);
    }
  } else if (in->size != out->size) {
    reason = CDIR_REASON_SIZE;
    cdir_sync_file_reason(ctx, "[%s] size=%lld != %lld", path, static_cast<long long>(out->size),
                          static_cast<long long>(in->size));
  }
  if (!reason) {
    int64_t d = static_cast<int64_t>(in->time_write) - static_cast<int64_t>(out->time_write);
    if (d >= -2 && d <= 2)
      return 0;
    char t1[32], t2[32];
    reason = CDIR_REASON_TIME;
    cdir_sync_file_reason(ctx, "[%s] time=%lld (%s) != %lld (%s)", path, static_cast<long long>(out->time_write),
                          time_text(out->time_write, t1, sizeof t1), static_cast<long long>(in->time_write),
                          time_text(in->time_write, t2, sizeof t2));
  }
  set_reason(out, reason);
  set_reason(in, reason);
  return 1;
}

int cdir_check_file_in_list(cdir_ctx *ctx, mstat_item *in, const std::string &odir, mstat *o_files,
                            mstat_item **found)
{
  mstat_item *out = cdir_find_item(o_files, in->name);
  if (found)
    *found = out;
  if (!out) {
    cdir_sync_file_reason(ctx, "+cp name=[%s]", in->name);
    set_reason(in, CDIR_REASON_NEW);
    return 1;
  }
  item_path p;
  make_path(odir, *in, &p);
  return cdir_check_file_stat(ctx, p.path, in, out);
}

namespace {

/* Whether an output entry whose data equals the input's differs in what its attributes carry:
 * permission bits (not for links, whose mode means nothing), and owner and group where the run
 * keeps owners. */
bool attrs_differ(const cdir_ctx *ctx, const mstat_item *in, const mstat_item *out)
{
  if (kind_of(in->type) != kind_of(out->type))
    return false;
  bool is_link = (in->type & 0x300) == 0x100 || (in->attrib_mode & S_IFMT) == S_IFLNK;
  if (!is_link && !(in->type & TYPE_F_NOMODE) && !(out->type & TYPE_F_NOMODE) &&
      (in->attrib_mode & 07777) != (out->attrib_mode & 07777))
    return true;
  return ctx->keep_owner && (in->uid != out->uid || in->gid != out->gid);
}

/* Brings the attributes of an existing output entry in line with the input's, without touching
 * its data; times stay as given in times_of. Traced with reason "A". */
void update_attrs(cdir_ctx *ctx, mstat_item *in, const mstat_item *times_of, const char *path, bool is_dir)
{
  set_reason(in, CDIR_REASON_ATTR);
  cdir_sync_file_reason(ctx, "[%s] mode=0%o uid=%u gid=%u", path, in->attrib_mode & 07777, in->uid, in->gid);
  if (!trace(ctx, in, false, path, is_dir))
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

bool needs_block_sync(const cdir_ctx *ctx, const mstat_item *it)
{
  return ctx->op == CDIR_OP_SYNC && it->o_size > 0 && ctx->pool;
}

/* Whether the output file of an item may be written through when it has further names: only when
 * the input links those names too and the run reproduces hard links. */
bool output_may_share(const cdir_ctx *ctx, const mstat_item *it)
{
  return (ctx->i_flags & CDIR_EP_HARDLINKS) && it->st_nlink > 1;
}

/* A modification time that never compares equal to t under the 2-second rule. */
uint64_t mark_time(uint64_t t)
{
  return t > 10 ? 0 : t + 100;
}

/* Whether the input is still what its listing said once its data was read. */
bool input_unchanged(cdir_ctx *ctx, vbfile *in, const mstat_item *it, const char *in_path)
{
  os_dirent now;
  if (vbfile_stat(in, &now) < 0)
    return true; /* an endpoint that cannot tell: the data read stands */
  if (static_cast<uint64_t>(now.size) == it->size && static_cast<uint64_t>(now.time_write) == it->time_write)
    return true;
  cdir_stat_i_fail_inc(&ctx->stat, true, it->name);
  CDIR_SET_ERR(ctx, VERR_FAIL, "[%s] changed while it was copied", in_path);
  LOGW("[%s] changed while it was copied (size %llu -> %llu, time %llu -> %llu): the copy is marked "
       "for the next run",
       in_path, static_cast<unsigned long long>(it->size), static_cast<unsigned long long>(now.size),
       static_cast<unsigned long long>(it->time_write), static_cast<unsigned long long>(now.time_write));
  {
    std::lock_guard<std::mutex> g(ctx->err_lock);
    ctx->fail_msg = std::string("[") + in_path + "] changed while it was copied";
  }
  return false;
}

bool is_special(const mstat_item *it)
{
  uint32_t m = it->attrib_mode & S_IFMT;
  return m == S_IFCHR || m == S_IFBLK || m == S_IFSOCK;
}

/* A device node or socket: recreated as what it is where both sides are local and the run may
 * (device nodes need the right to make them), else skipped with a warning and counted. Never an
 * empty regular file in its place. */
int copy_special_on(cdir_ctx *ctx, const copy_lane &lane, const mstat_item *it, const char *in_path,
                    const char *out_path)
{
  const char *why = "the output is not on this host";
  if (ctx->cp_mode == CDIR_CP_L2L) {
    os_dirent d;
    vperror e{};
    if (ep_stat(ctx->i_info.endpoint, in_path, &d, &e) < 0) {
      cdir_stat_i_fail_inc(&ctx->stat, true, it->name);
      cdir_fail(ctx, e.code, "%s", e.msg);
      return -1;
    }
    file_attr a;
    std::string link;
    cdir_item_attr(ctx, it, &a, &link);
    a.link_name = nullptr;
    a.rdev = d.st_rdev;
    int rc = vbfile_create_file_or_dir(lane.out, &a, out_path, false, is_no_overwrite(ctx));
    if (rc >= 0 || (rc == VERR_EXISTS && is_no_overwrite(ctx)))
      return 0;
    why = vperror_str(&lane.out->err);
  }
  cdir_stat_add(&ctx->stat.skip_special, 1);
  LOGW("[%s] is a device node or socket: skipped (%s)", in_path, why);
  if (ctx->show_mode == 1)
    fprintf(stderr, "qvcp: warning: [%s] is a device node or socket: skipped (%s)\n", in_path, why);
  return 0;
}

int copy_sync_file_on(cdir_ctx *ctx, const copy_lane &lane, mstat_item *it, const char *in_path,
                      const char *out_path)
{
  if (is_special(it))
    return copy_special_on(ctx, lane, it, in_path, out_path);
  /* Links, FIFOs and empty files carry no data: they are made as what they are. */
  if (it->size == 0 || kind_of(it->type) != TYPE_FILE) {
    int rc = create_entry_on(ctx, lane.out, it, out_path, "o_open");
    if (rc < 0) {
      cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
      return -1;
    }
    return 0;
  }
  int rc = vbfile_open_read(lane.in, in_path);
  if (rc < 0) {
    cdir_stat_i_fail_inc(&ctx->stat, true, it->name);
    vbfile_fail(lane.in, rc, "i_open", in_path);
    return -1;
  }
  const bool shared = output_may_share(ctx, it);
  /* Only the engine's own handles block-sync: the digests run on the engine's pool. An output
   * whose data other names share is replaced whole unless the input shares it the same way. */
  bool block_sync = lane.out == ctx->o_side.bfile && needs_block_sync(ctx, it) &&
                    (shared || it->o_nlink <= 1);
  rc = is_no_overwrite(ctx) ? vbfile_open_new(lane.out, out_path)
                            : vbfile_open_write(lane.out, out_path, block_sync, !shared);
  if (rc == VERR_EXISTS && is_no_overwrite(ctx)) {
    LOGW("[%s] exists: left as it is", out_path);
    vbfile_close(lane.in, nullptr);
    return 0;
  }
  if (rc < 0) {
    cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
    vbfile_fail(lane.out, rc, "o_open", out_path);
    vbfile_close(lane.in, nullptr);
    return -1;
  }
  uint64_t copied = 0;
  os_dirent ist;
  /* An input with fewer blocks than its size has holes worth keeping. */
  bool sparse = !block_sync && vbfile_stat(lane.in, &ist) == 0 && ist.st_blocks * 512 < it->size;
  if (block_sync)
    rc = cdir_sync_file_data(ctx, it, in_path, out_path);
  else if (sparse)
    rc = copy_sparse_on(ctx, lane, it, in_path, out_path, &copied);
  else
    rc = copy_data_on(ctx, lane, it, in_path, out_path, 0, it->size, &copied);
  bool complete = rc == 0 && (block_sync || copied == it->size);
  bool unchanged = rc == 0 && input_unchanged(ctx, lane.in, it, in_path);
  vbfile_close(lane.in, nullptr);
  file_attr a;
  std::string link;
  cdir_item_attr(ctx, it, &a, &link);
  a.link_name = nullptr;
  const file_attr *apply = &a;
  if (!complete || !unchanged) {
    /* Data that is not the input's as listed never gets the input's times: the next run must
     * see it differ. A failed or stopped update gets no attributes at all. */
    if (rc == 0) {
      a.time_write = mark_time(it->time_write);
      a.time_access = a.time_write;
    } else {
      apply = nullptr;
    }
  }
  if (rc == 0 && complete && unchanged)
    cdir_stat_open_inc(&ctx->stat, true, it->name);
  int crc = vbfile_close(lane.out, apply);
  if (crc < 0) {
    cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
    vbfile_fail(lane.out, crc, "close", out_path);
    return -1;
  }
  return rc == 0 ? 0 : -1;
}

/* One file of a list: its two paths (a name too long for either is logged and skipped), its
 * trace line, then the copy on the given lane. */
void copy_listed_file(cdir_ctx *ctx, const copy_lane &lane, const std::string &idir, const std::string &odir,
                      mstat_item *it, item_path *in, item_path *out)
{
  if (!make_path(idir, *it, in)) {
    drop_too_long(ctx, true, idir, in->base);
    return;
  }
  if (!make_path(odir, *it, out)) {
    drop_too_long(ctx, false, odir, out->base);
    return;
  }
  cdir_test_stop_at(out->path);
  if (trace(ctx, it, false, out->path, false))
    copy_sync_file_on(ctx, lane, it, in->path, out->path);
}

/* The files of one list that two lanes copy side by side: each lane takes the next file in size
 * order. Shared with the helper task, which may start after the executor has finished alone, or
 * never: the run can end with the task still queued, and the pool then drops it
 * (cdir_lane_task_drop). */
struct lane_job {
  cdir_ctx *ctx = nullptr;
  std::string idir, odir;
  std::vector<mstat_item *> items;
  std::atomic<size_t> next{0};
  std::mutex lock;
  std::condition_variable cv;
  bool started = false;   /* the helper took part */
  bool abandoned = false; /* the executor finished before the helper started */
  bool done = false;      /* the helper finished */
};

void lane_loop(lane_job *j, const copy_lane &lane)
{
  item_path in, out;
  for (;;) {
    size_t i = j->next.fetch_add(1, std::memory_order_relaxed);
    if (i >= j->items.size() || cdir_need_exit(j->ctx))
      return;
    copy_listed_file(j->ctx, lane, j->idir, j->odir, j->items[i], &in, &out);
  }
}

void lane_task(void *arg)
{
  auto *ref = static_cast<std::shared_ptr<lane_job> *>(arg);
  std::shared_ptr<lane_job> j = std::move(*ref);
  delete ref;
  {
    std::lock_guard<std::mutex> g(j->lock);
    if (j->abandoned)
      return;
    j->started = true;
  }
  cdir_ctx *ctx = j->ctx;
  lane_loop(j.get(), {ctx->lane_in, ctx->lane_out, ctx->lane_buf.get()});
  std::lock_guard<std::mutex> g(j->lock);
  j->done = true;
  j->cv.notify_all();
}

/* Copies the files on the executor and on the second lane at once: local file operations of
 * different files use both processors (creating, copying in the kernel, setting attributes). */
void copy_in_two_lanes(cdir_ctx *ctx, cdir_cmd *c, std::vector<mstat_item *> &&items)
{
  auto j = std::make_shared<lane_job>();
  j->ctx = ctx;
  j->idir = c->idir;
  j->odir = c->odir;
  j->items = std::move(items);
  auto *ref = new std::shared_ptr<lane_job>(j);
  if (thread_pool_push(ctx->lane_pool, lane_task, ref) < 0) {
    delete ref;
    j->abandoned = true;
  }
  lane_loop(j.get(), main_lane(ctx));
  std::unique_lock<std::mutex> lk(j->lock);
  if (!j->started) {
    j->abandoned = true;
    return;
  }
  while (!j->done)
    j->cv.wait_for(lk, std::chrono::milliseconds(100));
}

/* Whether a file list may be copied in two lanes: both sides local (the engine made the lane),
 * and no trace line or dry run whose order follows the copies. */
bool lanes_usable(const cdir_ctx *ctx)
{
  return ctx->lane_pool && ctx->lane_in && ctx->lane_out && ctx->lane_buf &&
         !(ctx->trace_flags & (CDIR_TRACE_FILE_OPS | CDIR_TRACE_DRY_RUN));
}

} // namespace

void cdir_lane_task_drop(void *arg)
{
  delete static_cast<std::shared_ptr<lane_job> *>(arg);
}

int cdir_copy_sync_file(cdir_ctx *ctx, mstat_item *it, const char *in_path, const char *out_path)
{
  return copy_sync_file_on(ctx, main_lane(ctx), it, in_path, out_path);
}

void sync_mode_file_list(cdir_ctx *ctx, cdir_cmd *c)
{
  uint64_t n = 0;
  mstat_item *items = mstat_get_item(c->files, &n);
  std::vector<mstat_item *> todo, streams, links;
  item_path in, out;
  bool listed = c->o_files != nullptr;
  if (!listed && !is_copy_mode4(ctx))
    cdir_sync_file_reason(ctx, "sync_dir [%s]", c->odir.c_str());
  for (uint64_t i = 0; i < n; ++i) {
    if (cdir_need_exit(ctx))
      return;
    mstat_item *it = &items[i];
    mstat_item *o_item = nullptr;
    bool selected =
        is_copy_mode4(ctx) || !listed || cdir_check_file_in_list(ctx, it, c->odir, c->o_files, &o_item);
    if (!selected) {
      /* Equal data: a change of mode or owner alone still travels. */
      bool mirrors = ctx->op == CDIR_OP_SYNC || ctx->mode == CDIR_MODE_COPY_DIFF;
      if (mirrors && o_item && !(it->flags & ITEM_F_HARDLINK) && attrs_differ(ctx, it, o_item)) {
        std::string b, k, st;
        if (cdir_item_name(it->name, &b, &k, &st) == 1 && make_path(c->odir, *it, &out))
          update_attrs(ctx, it, it, out.path, false);
      }
      continue;
    }
    if (!listed && !is_copy_mode4(ctx))
      set_reason(it, CDIR_REASON_NEW);
    std::string base, kind, stream;
    int parts = cdir_item_name(it->name, &base, &kind, &stream);
    if (it->flags & ITEM_F_HARDLINK)
      links.push_back(it);
    else if (parts == 3) {
      /* copy_no_overwrite adds no attribute to an entry that was there before the run. */
      if (is_no_overwrite(ctx) && cdir_find_item(c->o_files, cdir_base_key(it->name).c_str()))
        continue;
      streams.push_back(it); /* after the files they belong to exist */
    }
    else
      todo.push_back(it);
  }
  std::stable_sort(todo.begin(), todo.end(), by_size);
  if (lanes_usable(ctx) && todo.size() >= 2) {
    /* Block syncs stay on the executor (their digests use the engine pool); the rest go to the
     * two lanes, and the block syncs follow in their order. */
    std::vector<mstat_item *> both, here;
    for (mstat_item *it : todo)
      (needs_block_sync(ctx, it) ? here : both).push_back(it);
    if (both.size() >= 2) {
      copy_in_two_lanes(ctx, c, std::move(both));
      todo.swap(here);
    }
  }
  for (mstat_item *it : todo) {
    if (cdir_need_exit(ctx))
      return;
    copy_listed_file(ctx, main_lane(ctx), c->idir, c->odir, it, &in, &out);
  }
  for (mstat_item *it : links) {
    if (cdir_need_exit(ctx))
      return;
    if (!make_path(c->odir, *it, &out)) {
      drop_too_long(ctx, false, c->odir, out.base);
      continue;
    }
    if (trace(ctx, it, false, out.path, false))
      make_hardlink(ctx, it, out.path);
  }
  for (mstat_item *it : streams) {
    if (cdir_need_exit(ctx))
      return;
    if (!make_path(c->idir, *it, &in) || !make_path(c->odir, *it, &out)) {
      drop_too_long(ctx, false, c->odir, out.base);
      continue;
    }
    std::string shown = std::string(out.path) + ":" + out.stream;
    if (trace(ctx, it, false, shown.c_str(), false))
      copy_xattr(ctx, it, in, out);
  }
}

namespace {

/* Creates one output sub-directory with the attributes of its input entry. */
bool create_dir(cdir_ctx *ctx, mstat_item *it, const char *path, const char *msg)
{
  if (create_entry(ctx, it, path, msg) < 0) {
    cdir_stat_add(&ctx->stat.o_dir_fail_count, 1);
    return false;
  }
  return true;
}

/* The extended attributes of sub-directories travel in the directory list, as file-kind
 * stream items; they are set once the directories exist. */
void dir_streams(cdir_ctx *ctx, cdir_cmd *c, mstat *o_dirs)
{
  uint64_t n = 0;
  mstat_item *items = mstat_get_item(c->dirs, &n);
  item_path in, out;
  for (uint64_t i = 0; i < n && !cdir_need_exit(ctx); ++i) {
    mstat_item *it = &items[i];
    std::string base, kind, stream;
    if (cdir_item_name(it->name, &base, &kind, &stream) != 3)
      continue;
    if (o_dirs && !is_copy_mode4(ctx) && !cdir_check_file_in_list(ctx, it, c->odir, o_dirs))
      continue;
    if (is_no_overwrite(ctx) && cdir_find_item(o_dirs, cdir_base_key(it->name).c_str()))
      continue;
    if (!make_path(c->idir, *it, &in) || !make_path(c->odir, *it, &out))
      continue;
    std::string shown = std::string(out.path) + ":" + out.stream;
    if (trace(ctx, it, false, shown.c_str(), false))
      copy_xattr(ctx, it, in, out);
  }
}

} // namespace

void l_create_dir_list(cdir_ctx *ctx, cdir_cmd *c)
{
  uint64_t n = 0;
  mstat_item *items = mstat_get_item(c->dirs, &n);
  char path[PATH_SIZE];
  for (uint64_t i = 0; i < n; ++i) {
    if (cdir_need_exit(ctx))
      return;
    mstat_item *it = &items[i];
    if (kind_of(it->type) != TYPE_DIR)
      continue;
    set_reason(it, CDIR_REASON_NEW);
    std::string base, kind, stream;
    if (cdir_item_name(it->name, &base, &kind, &stream) != 1)
      continue;
    if (cdir_path_join(path, sizeof path, c->odir.c_str(), base.c_str()) < 0) {
      drop_too_long(ctx, false, c->odir, base);
      continue;
    }
    if (trace(ctx, it, false, path, true))
      create_dir(ctx, it, path, "mkdirs");
  }
  dir_streams(ctx, c, nullptr);
}

namespace {

/* Whether one more output entry may be deleted under max_delete=: the budget is taken from, or the
 * deletion is held back, traced as kept and counted. A dry run spends the budget the same way, so
 * that it shows what the real run would keep. */
bool take_delete(cdir_ctx *ctx, const char *shown, bool is_dir)
{
  if (ctx->max_delete < 0)
    return true;
  int64_t left = ctx->delete_budget.load(std::memory_order_relaxed);
  while (left > 0 && !ctx->delete_budget.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
  }
  if (left > 0)
    return true;
  cdir_stat_add(&ctx->stat.skip_delete, 1);
  ctx->held_deletes.fetch_add(1, std::memory_order_relaxed);
  if (ctx->trace_flags & CDIR_TRACE_FILE_OPS)
    fprintf(stdout, "%s %s%s (kept: max_delete=%lld)\n", cdir_reason_symbol(CDIR_REASON_DEL), shown,
            is_dir ? "/" : "", static_cast<long long>(ctx->max_delete));
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
  if (!c->is_root || (ctx->trace_flags & CDIR_TRACE_ALLOW_EMPTY_INPUT) || count_of(c->files) || count_of(c->dirs))
    return false;
  uint64_t would = count_of(c->o_files) + count_of(c->o_dirs);
  if (would == 0)
    return false;
  cdir_stat_add(&ctx->stat.skip_delete, static_cast<int64_t>(would));
  ctx->held_deletes.fetch_add(static_cast<int64_t>(would), std::memory_order_relaxed);
  if (ctx->trace_flags & CDIR_TRACE_FILE_OPS) {
    item_path p;
    for (const mstat *m : {c->o_dirs, c->o_files}) {
      uint64_t n = 0;
      const mstat_item *items = m ? mstat_get_item(const_cast<mstat *>(m), &n) : nullptr;
      for (uint64_t i = 0; i < n; ++i)
        if (make_path(c->odir, items[i], &p))
          fprintf(stdout, "%s %s%s (kept: the input is empty)\n", cdir_reason_symbol(CDIR_REASON_DEL), p.path,
                  m == c->o_dirs && kind_of(items[i].type) == TYPE_DIR ? "/" : "");
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
  item_path p;
  /* A listing that ended with an error may lack entries that do exist: nothing of the output
   * is deleted on its word. */
  cdir_test_stop_at(c->odir.c_str());
  bool may_delete = c->code == 0 && !is_no_overwrite(ctx);
  if (may_delete && empty_input_guard(ctx, c))
    may_delete = false;
  if (c->code != 0 && ((c->o_dirs && c->o_dirs->count) || (c->o_files && c->o_files->count))) {
    LOGW("[%s] listing incomplete (veno=%d): no deletion in this directory", c->idir.c_str(), c->code);
  }
  if (may_delete && c->o_dirs) {
    items = mstat_get_item(c->o_dirs, &n);
    for (uint64_t i = 0; i < n && !cdir_need_exit(ctx); ++i) {
      mstat_item *it = &items[i];
      if (kind_of(it->type) != TYPE_DIR || cdir_find_item(c->dirs, it->name))
        continue;
      if (!make_path(c->odir, *it, &p) || p.parts != 1) {
        if (!p.fits)
          drop_too_long(ctx, false, c->odir, p.base);
        continue;
      }
      if (!take_delete(ctx, p.path, true) || !trace(ctx, it, true, p.path, true))
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
      if (!make_path(c->odir, *it, &p)) {
        if (!p.fits)
          drop_too_long(ctx, false, c->odir, p.base);
        continue;
      }
      std::string shown = p.parts == 3 ? std::string(p.path) + ":" + p.stream : std::string(p.path);
      if (!take_delete(ctx, shown.c_str(), false) || !trace(ctx, it, true, shown.c_str(), false))
        continue;
      vperror e{};
      int rc = p.parts == 3 ? ep_remove(ctx->o_info.endpoint, zz_path(p).c_str(), EP_C_ZZ, &e)
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
    if (kind_of(it->type) != TYPE_DIR)
      continue;
    if (const mstat_item *o = cdir_find_item(c->o_dirs, it->name)) {
      /* A copy sets directory attributes when it finishes each one; a sync does it here, keeping
       * the output directory's times. */
      if (ctx->op == CDIR_OP_SYNC && attrs_differ(ctx, it, o) && make_path(c->odir, *it, &p) && p.parts == 1)
        update_attrs(ctx, it, o, p.path, true);
      continue;
    }
    set_reason(it, CDIR_REASON_NEW);
    if (!make_path(c->odir, *it, &p) || p.parts != 1) {
      if (!p.fits)
        drop_too_long(ctx, false, c->odir, p.base);
      continue;
    }
    if (trace(ctx, it, false, p.path, true))
      create_dir(ctx, it, p.path, "mkdir");
  }
  dir_streams(ctx, c, c->o_dirs);
}

void cdir_dir_finish(cdir_ctx *ctx, cdir_cmd *c)
{
  /* The output root keeps its own attributes; a directory without times is left as it is, and so
   * is one that copy_no_overwrite found there. */
  if (c->is_root || c->odir.empty() || (c->attr.time_write == 0 && c->attr.time_access == 0))
    return;
  if (is_no_overwrite(ctx) && c->o_exists)
    return;
  if (ctx->trace_flags & CDIR_TRACE_DRY_RUN)
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
    const std::string &ou = ctx->o_url;
    bool into_dir = (!ctx->o_info.not_exist && ctx->o_info.is_dir) ||
                    (ctx->o_info.not_exist && !ou.empty() && (ou.back() == '/' || ou.back() == '\\'));
    char path[PATH_SIZE];
    if (into_dir) {
      bool made = true;
      vperror e{};
      /* A dry run changes nothing, not even the directory the file would go to. */
      if (ctx->o_info.not_exist && !(ctx->trace_flags & CDIR_TRACE_DRY_RUN) &&
          ep_mkdirs(ctx->o_info.endpoint, out.c_str(), 0755, &e) < 0) {
        cdir_stat_add(&ctx->stat.o_dir_fail_count, 1);
        cdir_fail(ctx, e.code, "mkdirs [%s] error: %s", out.c_str(), e.msg);
        made = false;
      }
      if (!made) {
        path[0] = 0;
      } else if (cdir_path_join(path, sizeof path, out.c_str(), ctx->i_info.root.name) < 0) {
        drop_too_long(ctx, false, out, ctx->i_info.root.name);
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
      set_reason(it, exists ? 0 : CDIR_REASON_NEW);
      bool copy = true;
      if (exists && ctx->op == CDIR_OP_SYNC) {
        std::string oline;
        mstat *om = mstat_alloc(nullptr);
        if (om && dirent_to_line(&o, &oline) > 0 && str_2_stat(oline.data(), nullptr, om) == 0 && om->count == 1)
          copy = cdir_check_file_stat(ctx, path, it, &om->items[0]) != 0;
        mstat_free(om);
      }
      cdir_stat_file_add(&ctx->stat, true, it->name, static_cast<int64_t>(it->size));
      ret = 0;
      if (copy && trace(ctx, it, false, path, false))
        ret = cdir_copy_sync_file(ctx, it, ctx->i_info.path.c_str(), path);
    }
  }
  mstat_free(m);
  if (ret != 0)
    LOGD("ret=%d\n", ret);
  LOGV("<==\n");
  return ret;
}
