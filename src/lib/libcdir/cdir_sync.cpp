#define LOG_TAG "cdir"
/* Block-level sync of one file: both sides digest a window block by block on the engine pool,
 * only the blocks whose digests differ travel, then the tail is copied and the output cut to the
 * input's size. */
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "libcdir/cdir_copy.h"
#include "libcdir/cdir_ctx.h"
#include "libcdir/vbfile.h"
#include "liblog/log2.h"
#include "libpal/os/os_time.h"
#include "libpal/tframe/file_hash.h"
#include "libpal/tframe/pl_thread_pool.h"

namespace {

/* One side's digest task of a window: the per-block digests, in block order, as the hashing
 * service of the side's file lists them. */
struct digest_job {
  vbfile *f = nullptr;
  uint64_t offset = 0;
  uint64_t len = 0;
  std::string text;                 /* the window's sums (kept for the log) */
  std::vector<char> records;
  std::vector<std::pair<size_t, size_t>> blocks; /* digest text of block k: offset and length */
  std::atomic<int> rc{0};
  std::atomic<int> done{0};
};

void digest_task(void *arg)
{
  auto *j = static_cast<digest_job *>(arg);
  j->blocks.clear();
  char sums[8192];
  int n = vbfile_hash_get(j->f, j->offset, j->len, sums, sizeof sums);
  if (n >= 0)
    n = vbfile_hash_get2(j->f, j->records.data(), j->records.size());
  if (n < 0) {
    j->rc.store(n);
    j->done.store(1, std::memory_order_release);
    return;
  }
  j->text = sums;
  /* "pxxh3 d0|d1|...|" */
  const char *p = j->records.data();
  const char *sp = strchr(p, ' ');
  if (sp) {
    const char *q = sp + 1;
    while (*q && *q != '\n') {
      const char *bar = strchr(q, '|');
      if (!bar)
        break;
      j->blocks.emplace_back(static_cast<size_t>(q - p), static_cast<size_t>(bar - q));
      q = bar + 1;
    }
  }
  j->done.store(1, std::memory_order_release);
}

bool same_block(const digest_job *a, const digest_job *b, size_t k)
{
  return a->blocks[k].second == b->blocks[k].second &&
         memcmp(a->records.data() + a->blocks[k].first, b->records.data() + b->blocks[k].first,
                a->blocks[k].second) == 0;
}

/* Waits for both digest tasks: sync_cal_timeout at most, a stop ends the wait early. */
int wait_digests(cdir_ctx *ctx, digest_job *a, digest_job *b)
{
  uint64_t t0 = os_time_ms();
  while (!a->done.load(std::memory_order_acquire) || !b->done.load(std::memory_order_acquire)) {
    if (thread_pool_wait_idle(ctx->pool, 10) == 0)
      continue;
    if (cdir_need_exit(ctx))
      return -1;
    if (os_time_ms() - t0 >= ctx->sync_cal_timeout) {
      CDIR_SET_ERR(ctx, VERR_TIMEOUT, "block digests not ready after %u ms", ctx->sync_cal_timeout);
      cdir_fail(ctx, VERR_TIMEOUT, "block digests not ready after %u ms", ctx->sync_cal_timeout);
      return -2;
    }
  }
  return 0;
}

/* Copies [offset, offset + len) of the input over the output through the engine's own handles. */
int copy_range(cdir_ctx *ctx, const mstat_item *it, const char *in_path, const char *out_path, uint64_t offset,
               uint64_t len)
{
  uint64_t copied = 0;
  return cdir_copy_data(ctx, cdir_main_lane(ctx), it, in_path, out_path, offset, len, &copied);
}

} // namespace

int cdir_sync_file_data(cdir_ctx *ctx, mstat_item *it, const char *in_path, const char *out_path)
{
  uint64_t size = it->size;
  uint64_t n = std::min<uint64_t>(size, it->o_size);
  uint64_t synced = 0;
  const uint32_t bs = ctx->p.sync_bs;
  const uint64_t window = ctx->sync_big_bs ? ctx->sync_big_bs : bs;
  /* Until the update is complete the output is one byte longer than either version: whatever
   * ends the run part way (a signal, a kill, a full disk), the next run sees sizes that differ and
   * takes the file up again. The final cut gives it the input's size. */
  if (vbfile_truncate(ctx->o_side.bfile, std::max(size, it->o_size) + 1) < 0) {
    cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
    vbfile_fail(ctx->o_side.bfile, ctx->o_side.bfile->err.code, "truncate", out_path);
    return -1;
  }
  if (n > 0) {
    LOGD("[%s]->[%s] size=%lld", in_path, out_path, static_cast<long long>(n));
    auto ji = std::make_unique<digest_job>();
    auto jo = std::make_unique<digest_job>();
    uint32_t per_window = static_cast<uint32_t>((window + bs - 1) / bs);
    for (digest_job *j : {ji.get(), jo.get()})
      j->records.assign(static_cast<size_t>(per_window) * 33 + 64, 0);
    if (vbfile_hash_open(ctx->i_side.bfile, FILE_HASH_PXXH3, bs, per_window) < 0 ||
        vbfile_hash_open(ctx->o_side.bfile, FILE_HASH_PXXH3, bs, per_window) < 0) {
      cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
      cdir_fail(ctx, ctx->err->code, "[%s] hash_open error: %s", in_path, vperror_str(ctx->err));
      return -1;
    }
    for (uint64_t off = 0; n > 0;) {
      uint64_t wlen = std::min<uint64_t>(window, n);
      for (digest_job *j : {ji.get(), jo.get()}) {
        j->offset = off;
        j->len = wlen;
        j->rc.store(0);
        j->done.store(0);
      }
      ji->f = ctx->i_side.bfile;
      jo->f = ctx->o_side.bfile;
      if (thread_pool_push(ctx->pool, digest_task, ji.get()) < 0)
        digest_task(ji.get());
      if (thread_pool_push(ctx->pool, digest_task, jo.get()) < 0)
        digest_task(jo.get());
      int w = wait_digests(ctx, ji.get(), jo.get());
      if (w < 0) {
        if (w == -2)
          cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
        /* The tasks use the jobs until they finish: wait for them whatever happens. */
        while (!ji->done.load(std::memory_order_acquire) || !jo->done.load(std::memory_order_acquire))
          os_msleep(1);
        return -1;
      }
      if (int rc = ji->rc.load()) {
        cdir_stat_i_fail_inc(&ctx->stat, true, it->name);
        cdir_fail(ctx, rc, "[%s] i_ioerr=%d [%s]", in_path, rc, verr2str(rc));
        return -1;
      }
      if (int rc = jo->rc.load()) {
        cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
        cdir_fail(ctx, rc, "[%s] o_ioerr=%d [%s]", out_path, rc, verr2str(rc));
        return -1;
      }
      /* Blocks are compared in their order: equal sums of reordered blocks are no match. */
      size_t count = std::min(ji->blocks.size(), jo->blocks.size());
      if (count > per_window) {
        LOGE("return hash_item too more error");
        return -1;
      }
      uint64_t wsynced = 0;
      for (size_t k = 0; k < count && wsynced < wlen;) {
        if (same_block(ji.get(), jo.get(), k)) {
          wsynced += std::min<uint64_t>(bs, wlen - k * static_cast<uint64_t>(bs));
          ++k;
          continue;
        }
        /* A run of differing blocks travels as one range. */
        size_t e = k;
        while (e < count && !same_block(ji.get(), jo.get(), e))
          ++e;
        uint64_t roff = k * static_cast<uint64_t>(bs);
        uint64_t rlen = std::min<uint64_t>((e - k) * static_cast<uint64_t>(bs), wlen - roff);
        if (copy_range(ctx, it, in_path, out_path, off + roff, rlen) < 0)
          return -1;
        wsynced += rlen;
        k = e;
        if (cdir_need_exit(ctx))
          return -1;
      }
      synced += wsynced;
      n -= wlen;
      if (wsynced < wlen)
        break;
      if (cdir_need_exit(ctx))
        return -1;
      off += wlen;
    }
  }
  if (size > synced) {
    if (copy_range(ctx, it, in_path, out_path, synced, size - synced) < 0)
      return -1;
  }
  /* Cut an output that is longer than the input, also after a tail copy. */
  LOGD("TRUT [%s] size=%lld", out_path, static_cast<long long>(size));
  if (vbfile_truncate(ctx->o_side.bfile, size) < 0) {
    cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
    vbfile_fail(ctx->o_side.bfile, ctx->o_side.bfile->err.code, "truncate", out_path);
    return -1;
  }
  return 0;
}
