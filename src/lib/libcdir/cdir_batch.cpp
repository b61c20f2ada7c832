#define LOG_TAG "cdir"
/* Small files to and from a server in batches. To a server, the files of a directory list that are
 * small enough travel as file-write lines (their content in Base64) in requests of the output's
 * batch jobs, instead of three round trips each. From a server, they are asked for in read lists
 * of the input's batch jobs and come back as data blocks, each followed by the digest of its
 * data, and are written here. The server writes each file, applies its attributes last and answers
 * with the digest of the line it received (name, attributes and data), which must be the digest
 * of the line sent from here.
 *
 * Requests stay in flight across directories: the server writes the files of one directory while
 * the next is read and encoded here. What must follow those files waits for their results: the
 * times of their directory (a deferred finish), links to them and their extended attributes, the
 * reconcile of a sync, and the end of the run. */
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "libcdir/cdir_batch.h"
#include "libcdir/cdir_copy.h"
#include "libcdir/cdir_ctx.h"
#include "libcdir/cdir_entry.h"
#include "libcdir/cdir_work.h"
#include "libcdir/vbfile.h"
#include "libcdir/vmfile.h"
#include "libep/ep.h"
#include "liblog/log2.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/string/pl_base64.h"
#include "libpal/string/pl_escape.h"
#include "librdir/mfile.h"
#include "librdir/rdir_line.h"

namespace {

/* The server decodes a file into a data buffer of 2 MiB. */
constexpr uint64_t BATCH_FILE_MAX = 0x100000;
/* Batch jobs of the output, each a session of the server with its own writer. */
constexpr size_t BATCH_JOBS = 2;
/* Requests posted and not yet answered, per job. */
constexpr size_t BATCH_IN_FLIGHT = 3;
/* A request is posted once its lines reach this size (a line is never cut, and a request never
 * passes bs - 1 bytes): the server starts on the first files of a directory while the later ones
 * are read and encoded here. */
constexpr size_t CHUNK_TARGET = 256 * 1024;
/* Room reserved past the target: the line that takes a request past it (most are well below). */
constexpr size_t BATCH_LINE_ROOM = 64 * 1024;
/* Data a read list asks for at most: a reply of the server carries 2 MiB. */
constexpr uint64_t READ_TARGET = 1024 * 1024;
constexpr size_t RESULT_BUF = 2 * 1024 * 1024;
constexpr size_t WRITE_RESULTS_BUF = 64 * 1024;
/* The data buffer of a read job: the largest read (a file of BATCH_FILE_MAX and the byte that
 * shows it grew), its digest and the block header. */
constexpr uint32_t READ_JOB_SIZE = static_cast<uint32_t>(BATCH_FILE_MAX) + 1 + MFILE_DIGEST_LEN + 64;

/* One file of a posted request. */
struct sent_file {
  mstat_item *it;
  std::string out_path;
  uint8_t digest[MFILE_DIGEST_LEN];
};

/* A posted request (job set), or a directory finish that waits for the requests before it. */
struct pending {
  vmfile *m = nullptr;
  bool read = false; /* a read list (files from the server), else a write list */
  mstat *list = nullptr; /* a reference to the list the files' items live in */
  std::string idir, odir;
  std::vector<sent_file> files;
  bool finish = false;
  cdir_cmd dir; /* the finish's directory (no list references) */
};

} // namespace

struct cdir_batch {
  std::vector<vmfile *> jobs;
  size_t next_job = 0;
  size_t requests = 0; /* entries of q that are requests */
  std::deque<pending> q;
  std::unique_ptr<char[]> rbuf{new char[RESULT_BUF]}; /* RESULT_BUF bytes, not filled beforehand */
  std::string carry; /* a result line cut between two reads */
};

namespace {

void release(pending &p)
{
  if (p.list)
    mstat_free(p.list);
  p.list = nullptr;
}

/* The side whose server runs the jobs: the output of a copy to a server, the input of one from a
 * server. */
url_info &job_side(cdir_ctx *ctx)
{
  return ctx->cp_mode == CDIR_CP_R2L ? ctx->i_info : ctx->o_info;
}

vmfile *open_job(cdir_ctx *ctx, vperror *err)
{
  ep_batch_param p;
  p.max_size = ctx->cp_mode == CDIR_CP_R2L ? READ_JOB_SIZE
                                           : static_cast<uint32_t>(2 * BATCH_FILE_MAX + MFILE_DATA_HDR_SIZE);
  p.flags = EP_BATCH_DIGESTS;
  return vmfile_open(ctx, &job_side(ctx), nullptr, &p, err);
}

/* The batch jobs of the server's side, opened at the first use. A server that has none (or refuses
 * them) leaves the files to the one-by-one path for the rest of the run; one job is enough to
 * go on. Null when there is none. */
cdir_batch *out_batch(cdir_ctx *ctx)
{
  if (ctx->batch || ctx->o_batch_off)
    return ctx->batch;
  vperror err{};
  vmfile *first = open_job(ctx, &err);
  if (!first) {
    LOGI("batch file lists of [%s] are not available (%s): files go one by one", job_side(ctx).url.c_str(),
         vperror_str(&err));
    ctx->o_batch_off = true;
    return nullptr;
  }
  auto *b = new (std::nothrow) cdir_batch;
  if (!b) {
    vmfile_close(first);
    ctx->o_batch_off = true;
    return nullptr;
  }
  b->jobs.push_back(first);
  for (size_t i = 1; i < BATCH_JOBS; ++i) {
    vmfile *m = open_job(ctx, &err);
    if (!m)
      break;
    b->jobs.push_back(m);
  }
  ctx->batch = b;
  return b;
}

/* Marks an output file that the server wrote and that is not what was read here: its times must
 * not say that it is complete while it waits to be sent once more. */
void unmark_complete(cdir_ctx *ctx, const sent_file &f)
{
  uint64_t t = cdir_mark_time(f.it->time_write);
  vperror e{};
  if (ep_lutime(ctx->o_info.endpoint, f.out_path.c_str(), t, t, &e) < 0)
    LOGW("[%s] times not reset: %s", f.out_path.c_str(), e.msg);
}

/* A file the server wrote differently from what was read: sent once more on its own, which
 * checks it again and counts it. */
void send_again(cdir_ctx *ctx, const pending &p, const sent_file &f)
{
  LOGW("[%s] differs from what was sent in its batch: sent once more", f.out_path.c_str());
  unmark_complete(ctx, f);
  cdir_item_path in;
  if (!cdir_make_path(p.idir, *f.it, &in)) {
    cdir_drop_too_long(ctx, true, p.idir, in.base);
    return;
  }
  cdir_copy_sync_file(ctx, f.it, in.path, f.out_path.c_str());
}

/* One result line for file f of request p. */
void take_result(cdir_ctx *ctx, const pending &p, const sent_file &f, char *line)
{
  int stage = -1, value = 0;
  uint8_t d[MFILE_DIGEST_LEN];
  bool has_digest = false;
  if (libmfile_write_get_info(line, &stage, &value, d, &has_digest) < 0) {
    cdir_stat_o_fail_inc(&ctx->stat, true, f.it->name);
    cdir_fail(ctx, VERR_PROTO, "create_file [%s] error: the result [%.64s] does not parse", f.out_path.c_str(), line);
    return;
  }
  if (stage == MFILE_WRITE_OPEN_FAIL && value == VERR_PROTO) {
    send_again(ctx, p, f); /* its line was spoiled on the way */
    return;
  }
  if (stage != MFILE_WRITE_DONE) {
    cdir_stat_o_fail_inc(&ctx->stat, true, f.it->name);
    cdir_fail(ctx, value, "create_file [%s] eno=%d error: %s", f.out_path.c_str(), value, verr2str(value));
    return;
  }
  if (static_cast<uint64_t>(value) != f.it->size || (has_digest && memcmp(d, f.digest, sizeof d) != 0)) {
    send_again(ctx, p, f);
    return;
  }
  cdir_stat_open_inc(&ctx->stat, true, f.it->name);
  cdir_stat_add(&ctx->stat.total_read, value);
  cdir_add_written(ctx, value);
}

/* The jobs failed: every file posted and not answered counts as failed (none of them may be taken
 * for copied), finishes still waiting run, and the rest of the run sends files one by one. */
void abandon(cdir_ctx *ctx, const pending &failed, size_t from, int code, const char *why)
{
  cdir_batch *b = ctx->batch;
  size_t lost = failed.files.size() - from;
  for (size_t i = from; i < failed.files.size(); ++i)
    cdir_stat_o_fail_inc(&ctx->stat, true, failed.files[i].it->name);
  std::vector<cdir_cmd> finishes;
  for (pending &p : b->q) {
    lost += p.files.size();
    for (const sent_file &f : p.files)
      cdir_stat_o_fail_inc(&ctx->stat, true, f.it->name);
    if (p.finish)
      finishes.push_back(p.dir);
    release(p);
  }
  b->q.clear();
  b->requests = 0;
  if (failed.read)
    cdir_fail(ctx, code, "read_add_list [%s] error: %s (%zu files not read)", failed.idir.c_str(), why, lost);
  else
    cdir_fail(ctx, code, "write_add_list [%s] error: %s (%zu files not written)", failed.odir.c_str(), why, lost);
  cdir_batch_close(ctx);
  ctx->o_batch_off = true;
  for (cdir_cmd &c : finishes)
    cdir_dir_finish(ctx, &c);
}

/* Writes one file that came from the server into the output, attributes last. */
void write_received(cdir_ctx *ctx, mstat_item *it, const char *out_path, const uint8_t *data, size_t len)
{
  vbfile *out = ctx->o_side.bfile;
  int rc = vbfile_open_write(out, out_path, false, true);
  if (rc < 0) {
    cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
    vbfile_fail(out, rc, "o_open", out_path);
    return;
  }
  int64_t w = len ? vbfile_pwrite(out, data, len, 0) : 0;
  if (w < 0 || static_cast<size_t>(w) != len) {
    cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
    vbfile_fail(out, w < 0 ? static_cast<int>(w) : VERR_FAIL, "o_write", out_path);
    vbfile_close(out, nullptr); /* no attributes: its times must not say that it is complete */
    return;
  }
  cdir_stat_add(&ctx->stat.total_read, static_cast<int64_t>(len));
  cdir_add_written(ctx, static_cast<int64_t>(len));
  file_attr a;
  std::string link;
  cdir_item_attr(ctx, it, &a, &link);
  a.link_name = nullptr;
  int crc = vbfile_close(out, &a);
  if (crc < 0) {
    cdir_stat_o_fail_inc(&ctx->stat, true, it->name);
    vbfile_fail(out, crc, "close", out_path);
    return;
  }
  cdir_stat_open_inc(&ctx->stat, true, it->name);
}

/* One data block for file f of read request p: written, or fetched once more on its own when its
 * data is not what the server read (damaged on the way) or not what was listed (the file changed;
 * the one-by-one copy then reports it). */
void take_block(cdir_ctx *ctx, const pending &p, const sent_file &f, const mfile_data &d)
{
  if (d.flags) {
    cdir_stat_i_fail_inc(&ctx->stat, true, f.it->name);
    cdir_item_path in;
    std::string shown = cdir_make_path(p.idir, *f.it, &in) ? in.path : p.idir;
    cdir_fail(ctx, d.code, "%s [%s] eno=%d error: %s", (d.flags & MFILE_F_OPEN_ERR) ? "i_open" : "i_read",
              shown.c_str(), d.code, verr2str(d.code));
    return;
  }
  size_t n = d.data.size();
  uint8_t digest[MFILE_DIGEST_LEN];
  bool whole = n >= MFILE_DIGEST_LEN;
  if (whole) {
    n -= MFILE_DIGEST_LEN;
    pl_hash_once(PL_HASH_XXH3, d.data.data(), n, digest);
    whole = memcmp(digest, d.data.data() + n, sizeof digest) == 0;
  }
  if (!whole || n != f.it->size) {
    if (!whole)
      LOGW("[%s] came damaged from its batch: fetched once more", f.out_path.c_str());
    cdir_item_path in;
    if (!cdir_make_path(p.idir, *f.it, &in)) {
      cdir_drop_too_long(ctx, true, p.idir, in.base);
      return;
    }
    cdir_copy_sync_file(ctx, f.it, in.path, f.out_path.c_str());
    return;
  }
  write_received(ctx, f.it, f.out_path.c_str(), d.data.data(), n);
}

/* Reads the blocks of a read request, one per file in order. 0, or -1 when they did not come
 * (reported, and every job closed). */
int drain_read(cdir_ctx *ctx, pending &p)
{
  cdir_batch *b = ctx->batch;
  std::string prefix = "read_add_list [" + p.idir + "]";
  size_t next = 0;
  int rc = 0;
  while (next < p.files.size()) {
    int n = vmfile_list_ret(p.m, b->rbuf.get(), static_cast<uint32_t>(RESULT_BUF - 1), prefix.c_str());
    if (n < 0) {
      int code = p.m->err.code ? p.m->err.code : VERR_TIMEOUT;
      abandon(ctx, p, next, code, *p.m->err.msg ? p.m->err.msg : verr2str(code));
      rc = -1;
      break;
    }
    /* A reply holds whole blocks. */
    size_t off = 0;
    while (off < static_cast<size_t>(n) && next < p.files.size()) {
      mfile_data d;
      size_t used = 0;
      if (libmfile_read_get_data_len_err(reinterpret_cast<uint8_t *>(b->rbuf.get()) + off, static_cast<size_t>(n) - off,
                                         &used, &d) < 0) {
        abandon(ctx, p, next, VERR_PROTO, "a data block does not parse");
        release(p);
        return -1;
      }
      take_block(ctx, p, p.files[next++], d);
      off += used;
    }
    if (next < p.files.size() && cdir_need_exit(ctx)) {
      abandon(ctx, p, next, VERR_CANCELLED, "the run stopped");
      rc = -1;
      break;
    }
  }
  release(p);
  return rc;
}

/* Takes the oldest entry: runs a deferred finish, or reads the results of a request. 0, or -1
 * when they did not come (reported, and every job closed). */
int drain_one(cdir_ctx *ctx)
{
  cdir_batch *b = ctx->batch;
  pending p = std::move(b->q.front());
  b->q.pop_front();
  if (p.finish) {
    cdir_dir_finish(ctx, &p.dir);
    return 0;
  }
  b->requests--;
  if (p.read)
    return drain_read(ctx, p);
  std::string prefix = "write_add_list [" + p.odir + "]";
  size_t next = 0;
  int rc = 0;
  /* Write results are short lines: a small reply is asked for. */
  const uint32_t want = static_cast<uint32_t>(std::min<size_t>(RESULT_BUF - 1, WRITE_RESULTS_BUF));
  while (next < p.files.size()) {
    int n = vmfile_list_ret(p.m, b->rbuf.get(), want, prefix.c_str());
    if (n < 0) {
      int code = p.m->err.code ? p.m->err.code : VERR_TIMEOUT;
      b->carry.clear();
      abandon(ctx, p, next, code, *p.m->err.msg ? p.m->err.msg : verr2str(code));
      rc = -1;
      break;
    }
    b->carry.append(b->rbuf.get(), static_cast<size_t>(n));
    size_t pos = 0;
    for (;;) {
      size_t nl = b->carry.find('\n', pos);
      if (nl == std::string::npos || next >= p.files.size())
        break;
      b->carry[nl] = '\0';
      take_result(ctx, p, p.files[next++], &b->carry[pos]);
      pos = nl + 1;
    }
    b->carry.erase(0, pos);
    if (next < p.files.size() && cdir_need_exit(ctx)) {
      b->carry.clear();
      abandon(ctx, p, next, VERR_CANCELLED, "the run stopped");
      rc = -1;
      break;
    }
  }
  if (rc == 0)
    b->carry.clear();
  release(p);
  return rc;
}

/* Posts one request of whole lines (the newline after the last one is not sent) for the files of
 * list in c's directory: a read list (from the input's server) or a write list (to the output's).
 * The jobs take requests in turn; each job answers in the order of its requests, and requests are
 * drained in the order they were posted. */
int post(cdir_ctx *ctx, cdir_cmd *c, bool read, std::string *lines, std::vector<sent_file> *files)
{
  if (files->empty())
    return 0;
  cdir_batch *b = ctx->batch;
  if (!lines->empty() && lines->back() == '\n')
    lines->pop_back();
  pending p;
  p.read = read;
  p.m = b->jobs[b->next_job++ % b->jobs.size()];
  p.idir = c->idir;
  p.odir = c->odir;
  p.files = std::move(*files);
  files->clear();
  const char *what = read ? "read_add_list" : "write_add_list";
  const std::string &dir = read ? c->idir : c->odir;
  const int type = read ? MFILE_READ_LIST : MFILE_WRITE_FILE;
  LOGD("%s [%s] files=%zu bytes=%zu", what, dir.c_str(), p.files.size(), lines->size());
  int rc = vmfile_call(p.m, type, dir.c_str(), lines->data(), static_cast<uint32_t>(lines->size()));
  if (rc == VERR_PROTO) {
    /* The server found the list damaged on the way and did none of it: sent once more. */
    LOGW("%s [%s]: the list was damaged on the way: sent once more", what, dir.c_str());
    rc = vmfile_call(p.m, type, dir.c_str(), lines->data(), static_cast<uint32_t>(lines->size()));
  }
  lines->clear();
  if (rc < 0) {
    abandon(ctx, p, 0, rc, vperror_str(&p.m->err));
    return -1;
  }
  mstat_ref_add(c->files);
  p.list = c->files;
  b->q.push_back(std::move(p));
  b->requests++;
  while (ctx->batch && b->requests >= BATCH_IN_FLIGHT * b->jobs.size())
    if (drain_one(ctx) < 0)
      return -1;
  return 0;
}

/* The two paths of an item and its trace line; false when it is not to be sent (a path too long,
 * logged and counted, or a dry run). */
bool item_paths(cdir_ctx *ctx, cdir_cmd *c, mstat_item *it, cdir_item_path *in, cdir_item_path *out)
{
  if (!cdir_make_path(c->idir, *it, in)) {
    cdir_drop_too_long(ctx, true, c->idir, in->base);
    return false;
  }
  if (!cdir_make_path(c->odir, *it, out)) {
    cdir_drop_too_long(ctx, false, c->odir, out->base);
    return false;
  }
  cdir_test_stop_at(out->path);
  return cdir_trace_item(ctx, it, false, out->path, false);
}

/* Reads a small input whole into the batch data buffer (*got bytes) and checks that it is still
 * what its listing said. 1 when it is, 0 when it changed (the one-by-one path takes it), -1 on a
 * failure (counted, reported). */
int read_small(cdir_ctx *ctx, mstat_item *it, const char *in_path, size_t *got_out)
{
  /* One byte more than listed: a file that grew is seen without a second read. */
  const size_t want_all = static_cast<size_t>(it->size) + 1;
  if (ctx->batch_data_cap < want_all) {
    size_t cap = std::max<size_t>(want_all, static_cast<size_t>(ctx->small_limit) + 1);
    ctx->batch_data.reset(new (std::nothrow) char[cap]);
    ctx->batch_data_cap = ctx->batch_data ? cap : 0;
    if (!ctx->batch_data) {
      cdir_stat_i_fail_inc(&ctx->stat, true, it->name);
      CDIR_SET_ERR(ctx, VERR_NOMEM, "batch data buffer of %zu bytes", cap);
      return -1;
    }
  }
  vbfile *in = ctx->i_side.bfile;
  int rc = vbfile_open_read(in, in_path);
  if (rc < 0) {
    cdir_stat_i_fail_inc(&ctx->stat, true, it->name);
    vbfile_fail(in, rc, "i_open", in_path);
    return -1;
  }
  char *data = ctx->batch_data.get();
  uint64_t got = 0;
  while (got < want_all) {
    uint64_t want = want_all - got;
    int64_t n = vbfile_pread(in, data + got, want, got);
    if (n < 0) {
      cdir_stat_i_fail_inc(&ctx->stat, true, it->name);
      vbfile_fail(in, static_cast<int>(n), "i_read", in_path);
      vbfile_close(in, nullptr);
      return -1;
    }
    got += static_cast<uint64_t>(n);
    if (static_cast<uint64_t>(n) < want)
      break; /* the end of a regular file */
  }
  os_dirent now;
  bool same = got == it->size && (vbfile_stat(in, &now) < 0 || (static_cast<uint64_t>(now.size) == it->size &&
                                                                  static_cast<uint64_t>(now.time_write) == it->time_write));
  vbfile_close(in, nullptr);
  *got_out = static_cast<size_t>(got);
  return same ? 1 : 0;
}

/* Appends the file-write line of item it (escaped name, attributes, n bytes of data in Base64) to
 * lines. false (lines unchanged) when it does not format. */
bool append_line(cdir_ctx *ctx, mstat_item *it, const std::string &base, const char *data, size_t n,
                 std::string *lines, std::string *scratch)
{
  file_attr a;
  std::string link;
  cdir_item_attr(ctx, it, &a, &link);
  a.link_name = nullptr;
  std::string &name = *scratch;
  name.clear();
  if (str_escape_tab_append(base.data(), base.size(), &name) < 0)
    return false;
  size_t mark = lines->size();
  /* The line's fields, then the Base64 text written in place after them. */
  if (mstat_write_line(name.c_str(), &a, nullptr, lines) < 0) {
    lines->resize(mark);
    return false;
  }
  if (n > 0) {
    size_t at = lines->size();
    lines->resize(at + str_base64_len(n) + 1);
    int k = str_base64_encode(data, n, lines->data() + at, lines->size() - at);
    if (k < 0) {
      lines->resize(mark);
      return false;
    }
    lines->resize(at + static_cast<size_t>(k));
  }
  lines->push_back('\n');
  return true;
}

} // namespace

void cdir_batch_close(cdir_ctx *ctx)
{
  cdir_batch *b = ctx->batch;
  if (!b)
    return;
  for (pending &p : b->q)
    release(p);
  for (vmfile *m : b->jobs)
    vmfile_close(m);
  delete b;
  ctx->batch = nullptr;
}

bool cdir_batch_usable(cdir_ctx *ctx)
{
  return (ctx->cp_mode == CDIR_CP_L2R || ctx->cp_mode == CDIR_CP_R2L) && !ctx->o_batch_off &&
         !cdir_no_overwrite(ctx) && !(ctx->p.trace_flags & CDIR_TRACE_DRY_RUN);
}

bool cdir_batch_takes(cdir_ctx *ctx, const mstat_item *it)
{
  uint32_t kind = it->attrib_mode & S_IFMT;
  if (cdir_kind_of(it->type) != TYPE_FILE || (kind != 0 && kind != S_IFREG) || (it->type & TYPE_F_SPARSE))
    return false;
  if (it->size > BATCH_FILE_MAX || it->size > static_cast<uint64_t>(ctx->small_limit))
    return false;
  /* An empty file from a server needs nothing from there: it is made here as it is. */
  if (ctx->cp_mode == CDIR_CP_R2L && it->size == 0)
    return false;
  /* A file whose output copy shares its data with further names is written through, which the
   * batch service never does. */
  return !((ctx->p.i_opt.flags & CDIR_EP_HARDLINKS) && it->st_nlink > 1);
}

void cdir_batch_write(cdir_ctx *ctx, cdir_cmd *c, const std::vector<mstat_item *> &items,
                      std::vector<mstat_item *> *again)
{
  if (!out_batch(ctx)) {
    again->insert(again->end(), items.begin(), items.end());
    return;
  }
  const size_t chunk_max = ctx->p.bs - 1;
  std::string &lines = ctx->batch_lines;
  std::string &scratch = ctx->batch_name;
  lines.clear();
  if (lines.capacity() < CHUNK_TARGET + BATCH_LINE_ROOM)
    lines.reserve(CHUNK_TARGET + BATCH_LINE_ROOM);
  std::vector<sent_file> files;
  cdir_item_path in, out;
  for (size_t i = 0; i < items.size(); ++i) {
    mstat_item *it = items[i];
    if (cdir_need_exit(ctx))
      return;
    if (!ctx->batch) { /* the jobs failed: the rest goes one by one */
      again->insert(again->end(), items.begin() + static_cast<std::ptrdiff_t>(i), items.end());
      return;
    }
    if (!item_paths(ctx, c, it, &in, &out))
      continue;
    size_t n = 0;
    int rd = read_small(ctx, it, in.path, &n);
    if (rd < 0)
      continue;
    if (rd == 0) {
      again->push_back(it); /* changed since it was listed: the one-by-one path reports it */
      continue;
    }
    size_t mark = lines.size();
    if (!append_line(ctx, it, in.base, ctx->batch_data.get(), n, &lines, &scratch) ||
        lines.size() - mark - 1 > chunk_max) {
      lines.resize(mark);
      again->push_back(it); /* a line that no request can carry whole */
      continue;
    }
    sent_file f{it, out.path, {}};
    pl_hash_once(PL_HASH_XXH3, lines.data() + mark, lines.size() - mark - 1, f.digest); /* without its newline */
    /* The request so far, without this line, when both would pass bs - 1 bytes. */
    if (mark > 0 && lines.size() - 1 > chunk_max) {
      std::string line = lines.substr(mark);
      lines.resize(mark);
      if (post(ctx, c, false, &lines, &files) < 0) {
        again->insert(again->end(), items.begin() + static_cast<std::ptrdiff_t>(i), items.end());
        return;
      }
      lines = line;
    }
    files.push_back(std::move(f));
    if (lines.size() >= CHUNK_TARGET && post(ctx, c, false, &lines, &files) < 0) {
      again->insert(again->end(), items.begin() + static_cast<std::ptrdiff_t>(i) + 1, items.end());
      return;
    }
  }
  post(ctx, c, false, &lines, &files);
}

void cdir_batch_read(cdir_ctx *ctx, cdir_cmd *c, const std::vector<mstat_item *> &items,
                     std::vector<mstat_item *> *again)
{
  if (!out_batch(ctx)) {
    again->insert(again->end(), items.begin(), items.end());
    return;
  }
  std::string lines, name;
  std::vector<sent_file> files;
  uint64_t asked = 0;
  cdir_item_path in, out;
  for (size_t i = 0; i < items.size(); ++i) {
    mstat_item *it = items[i];
    if (cdir_need_exit(ctx))
      return;
    if (!ctx->batch) {
      again->insert(again->end(), items.begin() + static_cast<std::ptrdiff_t>(i), items.end());
      return;
    }
    if (!item_paths(ctx, c, it, &in, &out))
      continue;
    name.clear();
    if (str_escape_tab_append(in.base.data(), in.base.size(), &name) < 0) {
      again->push_back(it);
      continue;
    }
    /* One byte more than listed: a file that grew shows it. */
    char len[32];
    snprintf(len, sizeof len, "\t%llu\n", static_cast<unsigned long long>(it->size + 1));
    lines += name;
    lines += len;
    files.push_back(sent_file{it, out.path, {}});
    asked += it->size + 1;
    if ((asked >= READ_TARGET || lines.size() >= CHUNK_TARGET) && post(ctx, c, true, &lines, &files) < 0) {
      again->insert(again->end(), items.begin() + static_cast<std::ptrdiff_t>(i) + 1, items.end());
      return;
    }
    if (lines.empty())
      asked = 0;
  }
  post(ctx, c, true, &lines, &files);
}

int cdir_batch_drain(cdir_ctx *ctx)
{
  int rc = 0;
  while (ctx->batch && !ctx->batch->q.empty())
    if (drain_one(ctx) < 0)
      rc = -1;
  return rc;
}

bool cdir_batch_defer_finish(cdir_ctx *ctx, const cdir_cmd *c)
{
  cdir_batch *b = ctx->batch;
  if (!b || b->requests == 0)
    return false;
  pending p;
  p.finish = true;
  p.dir.idir = c->idir;
  p.dir.odir = c->odir;
  p.dir.attr = c->attr;
  p.dir.attr.name = nullptr;
  p.dir.attr.link_name = nullptr;
  p.dir.o_exists = c->o_exists;
  p.dir.is_root = c->is_root;
  p.dir.code = c->code;
  b->q.push_back(std::move(p));
  return true;
}
