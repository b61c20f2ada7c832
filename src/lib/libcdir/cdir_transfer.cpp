#define LOG_TAG "cdir"
/* The data step of a copy or sync: the files of a directory list, each copied whole (only the
 * data ranges of a sparse input; in the kernel where both sides allow), updated block by block,
 * made as a link, FIFO, device node or socket, or linked to the first name of its group; and the
 * second copy lane that takes files of a list beside the executor. */
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

#include "libpal/hash/pl_hash.h"
#include "libcdir/cdir_batch.h"
#include "libcdir/cdir_copy.h"
#include "libcdir/cdir_ctx.h"
#include "libcdir/cdir_entry.h"
#include "libcdir/cdir_work.h"
#include "libcdir/vbfile.h"
#include "liblog/log2.h"
#include "libpal/string/pl_escape.h"
#include "libpal/tframe/pl_thread_pool.h"

namespace {

/* Copies a whole file whose input has holes: only its data ranges travel, the output keeps the
 * holes, and a hole at the end is made by cutting the output to size last. */
int copy_sparse_on(cdir_ctx *ctx, const cdir_lane &lane, const mstat_item *it, const char *in_path,
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
    if (cdir_copy_data(ctx, lane, it, in_path, out_path, ds, de - ds, &n) < 0)
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

bool needs_block_sync(const cdir_ctx *ctx, const mstat_item *it)
{
  return ctx->p.op == CDIR_OP_SYNC && it->o_size > 0 && ctx->pool;
}

/* Whether the output file of an item may be written through when it has further names: only when
 * the input links those names too and the run reproduces hard links. */
bool output_may_share(const cdir_ctx *ctx, const mstat_item *it)
{
  return (ctx->p.i_opt.flags & CDIR_EP_HARDLINKS) && it->st_nlink > 1;
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
int copy_special_on(cdir_ctx *ctx, const cdir_lane &lane, const mstat_item *it, const char *in_path,
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
    int rc = vbfile_create_file_or_dir(lane.out, &a, out_path, false, cdir_no_overwrite(ctx));
    if (rc >= 0 || (rc == VERR_EXISTS && cdir_no_overwrite(ctx)))
      return 0;
    why = vperror_str(&lane.out->err);
  }
  cdir_stat_add(&ctx->stat.skip_special, 1);
  LOGW("[%s] is a device node or socket: skipped (%s)", in_path, why);
  if (ctx->p.show_mode == 1)
    fprintf(stderr, "qvcp: warning: [%s] is a device node or socket: skipped (%s)\n", in_path, why);
  return 0;
}

/* A frame between two hosts carries no checksum, and with pack=none the data travels as it is: a
 * file sent to or from a server is compared with its input by whole-file digests, each read where
 * the file lies. */
bool needs_verify(const cdir_ctx *ctx)
{
  return ctx->cp_mode != CDIR_CP_L2L && !(ctx->p.trace_flags & (CDIR_TRACE_NO_VERIFY | CDIR_TRACE_DRY_RUN));
}

/* The whole-file digest of one side, taken on the engine pool. */
struct side_digest {
  vbfile *f = nullptr;
  uint8_t d[EP_DIGEST_LEN] = {};
  std::atomic<int> rc{0};
  std::atomic<int> done{0};
};

void side_digest_task(void *arg)
{
  auto *j = static_cast<side_digest *>(arg);
  j->rc.store(vbfile_digest(j->f, j->d));
  j->done.store(1, std::memory_order_release);
}

/* The digests of both open files: when both are read (no moved bytes stand for a side), the
 * input's runs on the engine pool while the output's is taken here, so that the two reads (often
 * one here and one on a server) overlap. */
void both_digests(cdir_ctx *ctx, const cdir_lane &lane, bool in_read, bool out_read, uint8_t *a, int *rc_a,
                  uint8_t *b, int *rc_b)
{
  if (in_read && out_read && ctx->pool) {
    side_digest j;
    j.f = lane.in;
    bool pushed = thread_pool_push(ctx->pool, side_digest_task, &j) == 0;
    if (!pushed)
      side_digest_task(&j);
    *rc_b = vbfile_digest(lane.out, b);
    /* The task uses j until it ends: waited for whatever happens. Its read is bounded by the
     * side's own time-outs. */
    while (!j.done.load(std::memory_order_acquire))
      thread_pool_wait_idle(ctx->pool, 10);
    *rc_a = j.rc.load();
    memcpy(a, j.d, EP_DIGEST_LEN);
    return;
  }
  *rc_a = in_read ? vbfile_digest(lane.in, a) : 0;
  *rc_b = out_read ? vbfile_digest(lane.out, b) : 0;
}

/* 1 when the two open files hold the same bytes (or a side cannot digest: nothing to compare),
 * 0 when they differ, -1 when a digest failed (reported). A local side is represented by the
 * digest of the bytes the engine moved (moved, when given): what it read from that file or wrote
 * into it. A remote side answers with what its server read or wrote. */
int verify_copy(cdir_ctx *ctx, const cdir_lane &lane, const mstat_item *it, const char *in_path,
                const char *out_path, pl_hash *moved)
{
  uint8_t a[EP_DIGEST_LEN], b[EP_DIGEST_LEN], m[PL_HASH_MAX_LEN];
  bool have_moved = moved && pl_hash_final(moved, m) == EP_DIGEST_LEN;
  bool in_read = !(have_moved && ctx->i_info.is_local);
  bool out_read = !(have_moved && ctx->o_info.is_local);
  if (!in_read)
    memcpy(a, m, sizeof a);
  if (!out_read)
    memcpy(b, m, sizeof b);
  int rc_a = 0, rc_b = 0;
  both_digests(ctx, lane, in_read, out_read, a, &rc_a, b, &rc_b);
  if (rc_a == VERR_NOTSUP)
    return 1;
  if (rc_a < 0) {
    cdir_stat_i_fail_inc(&ctx->stat, true, it->name);
    cdir_fail(ctx, rc_a, "digest of [%s]: %s", in_path, vperror_str(&lane.in->err));
    return -1;
  }
  if (rc_b == VERR_NOTSUP)
    return 1;
  if (rc_b < 0) {
    cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
    cdir_fail(ctx, rc_b, "digest of [%s]: %s", out_path, vperror_str(&lane.out->err));
    return -1;
  }
  return memcmp(a, b, sizeof a) == 0 ? 1 : 0;
}

int copy_sync_file_on(cdir_ctx *ctx, const cdir_lane &lane, mstat_item *it, const char *in_path,
                      const char *out_path)
{
  if (is_special(it))
    return copy_special_on(ctx, lane, it, in_path, out_path);
  /* Links, FIFOs and empty files carry no data: they are made as what they are. */
  if (it->size == 0 || cdir_kind_of(it->type) != TYPE_FILE) {
    int rc = cdir_create_entry(ctx, lane.out, it, out_path, "o_open");
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
  rc = cdir_no_overwrite(ctx) ? vbfile_open_new(lane.out, out_path)
                            : vbfile_open_write(lane.out, out_path, block_sync, !shared);
  if (rc == VERR_EXISTS && cdir_no_overwrite(ctx)) {
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
  /* The listing marks an input with fewer blocks than its size: it has holes worth keeping. */
  bool sparse = !block_sync && (it->type & TYPE_F_SPARSE);
  if (block_sync)
    rc = cdir_sync_file_data(ctx, it, in_path, out_path);
  else if (sparse)
    rc = copy_sparse_on(ctx, lane, it, in_path, out_path, &copied);
  std::unique_ptr<pl_hash, void (*)(pl_hash *)> moved(nullptr, pl_hash_free);
  if (!block_sync && !sparse && needs_verify(ctx))
    moved.reset(pl_hash_new(PL_HASH_XXH3));
  if (!block_sync && !sparse)
    rc = cdir_copy_data(ctx, lane, it, in_path, out_path, 0, it->size, &copied, moved.get());
  bool complete = rc == 0 && (block_sync || copied == it->size);
  bool unchanged = rc == 0 && input_unchanged(ctx, lane.in, it, in_path);
  if (complete && unchanged && needs_verify(ctx)) {
    int v = verify_copy(ctx, lane, it, in_path, out_path, moved.get());
    if (v == 0) {
      /* Once more: a byte changed on the way is not likely to change twice. */
      LOGW("[%s] differs from [%s] after its transfer: sent once more", out_path, in_path);
      copied = 0;
      if (moved)
        pl_hash_reset(moved.get());
      rc = block_sync ? cdir_sync_file_data(ctx, it, in_path, out_path)
                      : cdir_copy_data(ctx, lane, it, in_path, out_path, 0, it->size, &copied, moved.get());
      complete = rc == 0 && (block_sync || copied == it->size);
      v = complete ? verify_copy(ctx, lane, it, in_path, out_path, moved.get()) : -1;
      if (v == 0) {
        cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
        cdir_fail(ctx, VERR_FAIL, "[%s] differs from its input [%s] after the transfer", out_path, in_path);
      }
    }
    if (v <= 0) {
      rc = -1;
      complete = false;
    }
  }
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
      a.time_write = cdir_mark_time(it->time_write);
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
void copy_listed_file(cdir_ctx *ctx, const cdir_lane &lane, const std::string &idir, const std::string &odir,
                      mstat_item *it, cdir_item_path *in, cdir_item_path *out)
{
  if (!cdir_make_path(idir, *it, in)) {
    cdir_drop_too_long(ctx, true, idir, in->base);
    return;
  }
  if (!cdir_make_path(odir, *it, out)) {
    cdir_drop_too_long(ctx, false, odir, out->base);
    return;
  }
  cdir_test_stop_at(out->path);
  if (cdir_trace_item(ctx, it, false, out->path, false))
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

void lane_loop(lane_job *j, const cdir_lane &lane)
{
  cdir_item_path in, out;
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
  lane_loop(j.get(), cdir_main_lane(ctx));
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
         !(ctx->p.trace_flags & (CDIR_TRACE_FILE_OPS | CDIR_TRACE_DRY_RUN));
}

} // namespace

cdir_lane cdir_main_lane(cdir_ctx *ctx)
{
  return {ctx->i_side.bfile, ctx->o_side.bfile, ctx->buf[0].get()};
}

int cdir_copy_data(cdir_ctx *ctx, const cdir_lane &lane, const mstat_item *it, const char *in_path, const char *out_path,
                 uint64_t offset, uint64_t size, uint64_t *copied, pl_hash *moved)
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
    uint64_t want = std::min<uint64_t>(left, 16ull * ctx->p.bs);
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
    size_t want = static_cast<size_t>(std::min<uint64_t>(left, ctx->p.bs));
    int64_t n = vbfile_pread(lane.in, buf, want, offset);
    if (n < 0) {
      cdir_stat_i_fail_inc(&ctx->stat, true, it->name);
      vbfile_fail(lane.in, static_cast<int>(n), "i_read", in_path);
      return -1;
    }
    cdir_stat_add(&ctx->stat.total_read, n);
    if (n > 0) {
      if (moved)
        pl_hash_update(moved, buf, static_cast<size_t>(n));
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

uint64_t cdir_mark_time(uint64_t t)
{
  return t > 10 ? 0 : t + 100;
}

void cdir_lane_task_drop(void *arg)
{
  delete static_cast<std::shared_ptr<lane_job> *>(arg);
}

int cdir_copy_sync_file(cdir_ctx *ctx, mstat_item *it, const char *in_path, const char *out_path)
{
  return copy_sync_file_on(ctx, cdir_main_lane(ctx), it, in_path, out_path);
}

void sync_mode_file_list(cdir_ctx *ctx, cdir_cmd *c)
{
  uint64_t n = 0;
  mstat_item *items = mstat_get_item(c->files, &n);
  std::vector<mstat_item *> todo, streams, links;
  cdir_item_path in, out;
  bool listed = c->o_files != nullptr;
  if (!listed && !cdir_copies_all(ctx))
    cdir_sync_file_reason(ctx, "sync_dir [%s]", c->odir.c_str());
  for (uint64_t i = 0; i < n; ++i) {
    if (cdir_need_exit(ctx))
      return;
    mstat_item *it = &items[i];
    mstat_item *o_item = nullptr;
    bool selected =
        cdir_copies_all(ctx) || !listed || cdir_check_file_in_list(ctx, it, c->odir, c->o_files, &o_item);
    if (!selected) {
      /* Equal data: a change of mode or owner alone still travels. */
      bool mirrors = ctx->p.op == CDIR_OP_SYNC || ctx->p.mode == CDIR_MODE_COPY_DIFF;
      if (mirrors && o_item && !(it->flags & ITEM_F_HARDLINK) && cdir_attrs_differ(ctx, it, o_item)) {
        std::string b, k, st;
        if (cdir_item_name(it->name, &b, &k, &st) == 1 && cdir_make_path(c->odir, *it, &out))
          cdir_update_attrs(ctx, it, it, out.path, false);
      }
      continue;
    }
    if (!listed && !cdir_copies_all(ctx))
      cdir_set_reason(it, CDIR_REASON_NEW);
    std::string base, kind, stream;
    int parts = cdir_item_name(it->name, &base, &kind, &stream);
    if (it->flags & ITEM_F_HARDLINK)
      links.push_back(it);
    else if (parts == 3) {
      /* copy_no_overwrite adds no attribute to an entry that was there before the run. */
      if (cdir_no_overwrite(ctx) && cdir_find_item(c->o_files, cdir_base_key(it->name).c_str()))
        continue;
      streams.push_back(it); /* after the files they belong to exist */
    }
    else
      todo.push_back(it);
  }
  std::stable_sort(todo.begin(), todo.end(), by_size);
  if (cdir_batch_usable(ctx) && !todo.empty()) {
    std::vector<mstat_item *> small, rest;
    for (mstat_item *it : todo)
      (cdir_batch_takes(ctx, it) ? small : rest).push_back(it);
    if (!small.empty()) {
      if (ctx->cp_mode == CDIR_CP_R2L)
        cdir_batch_read(ctx, c, small, &rest);
      else
        cdir_batch_write(ctx, c, small, &rest);
      if (cdir_need_exit(ctx))
        return;
      std::stable_sort(rest.begin(), rest.end(), by_size);
      todo.swap(rest);
    }
  }
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
    copy_listed_file(ctx, cdir_main_lane(ctx), c->idir, c->odir, it, &in, &out);
  }
  if (!links.empty() || !streams.empty())
    cdir_batch_drain(ctx); /* links and attributes go to files that must exist */
  for (mstat_item *it : links) {
    if (cdir_need_exit(ctx))
      return;
    if (!cdir_make_path(c->odir, *it, &out)) {
      cdir_drop_too_long(ctx, false, c->odir, out.base);
      continue;
    }
    if (cdir_trace_item(ctx, it, false, out.path, false))
      make_hardlink(ctx, it, out.path);
  }
  for (mstat_item *it : streams) {
    if (cdir_need_exit(ctx))
      return;
    if (!cdir_make_path(c->idir, *it, &in) || !cdir_make_path(c->odir, *it, &out)) {
      cdir_drop_too_long(ctx, false, c->odir, out.base);
      continue;
    }
    std::string shown = std::string(out.path) + ":" + out.stream;
    if (cdir_trace_item(ctx, it, false, shown.c_str(), false))
      cdir_copy_xattr(ctx, it, in, out);
  }
}
