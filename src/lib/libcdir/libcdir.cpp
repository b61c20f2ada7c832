#define LOG_TAG "cdir"
#include "libcdir/libcdir.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <new>
#include <unistd.h>
#include <string>

#include "libcdir/cdir_batch.h"
#include "libcdir/cdir_copy.h"
#include "libcdir/cdir_ctx.h"
#include "libcdir/vbfile.h"
#include "libcdir/cdir_work.h"
#include "libcdir/vrdir.h"
#include "liblog/log2.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"
#include "libpal/string/pl_size_text.h"
#include "libpal/tframe/pl_cmder.h"
#include "libpal/tframe/pl_thread_pool.h"
#include "libpal/tframe/pl_timer.h"
#include "librdir/hardlink.h"
#include "librdir/librdir.h"

namespace {

constexpr uint32_t CMDER_QUEUE_SIZE = 4096;

int64_t elapsed_ms(const cdir_ctx *ctx)
{
  return static_cast<int64_t>(os_time_ms() - ctx->start_ms);
}

int progress_job(const cdir_ctx *ctx)
{
  if (ctx->single_file)
    return CDIR_JOB_FILE;
  switch (ctx->p.op) {
  case CDIR_OP_LS:
    return CDIR_JOB_LIST;
  case CDIR_OP_SYNC:
    return CDIR_JOB_SYNC;
  default:
    return CDIR_JOB_COPY;
  }
}

void stat_timer_proc(pl_timer_cb *cb)
{
  auto *ctx = static_cast<cdir_ctx *>(cb->arg);
  if (!ctx->opened.load(std::memory_order_acquire))
    return;
  if (ctx->p.show_mode == 1 && (ctx->p.trace_flags & CDIR_TRACE_PROGRESS))
    cdir_progress_print(stderr, &ctx->progress, progress_job(ctx), &ctx->stat, elapsed_ms(ctx));
}

/* "host:port" of a remote URL as resolved: no scheme, no user information, the scheme's port
 * filled in, lower case. */
std::string server_of(const std::string &url)
{
  size_t start = url.find("://");
  if (start == std::string::npos)
    return "";
  bool tls = strncasecmp(url.c_str(), "qvps", 4) == 0;
  start += 3;
  size_t end = url.find_first_of("/?#", start);
  std::string auth = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  size_t at = auth.rfind('@');
  if (at != std::string::npos)
    auth = auth.substr(at + 1);
  for (char &c : auth)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  size_t colon = auth.rfind(':');
  if (colon == std::string::npos || (auth[0] == '[' && auth.back() == ']'))
    auth += tls ? ":6686" : ":6688";
  return auth;
}

bool same_server(const url_info &a, const url_info &b)
{
  return server_of(a.resolved) == server_of(b.resolved);
}

void init_posix_flag(cdir_ctx *ctx)
{
  bool ip = ctx->i_info.posix_host;
  bool op = ctx->o_info.posix_host;
  bool both_local = ctx->i_info.is_local && ctx->o_info.is_local;
  ctx->need_posix_id = (!ip && op) || (ip && op && !both_local);
  ctx->need_posix_mode = !ip && op;
  ctx->is_posix_2_win = ip && !op;
  /* Owners of existing entries are brought in line only where a change of owner can succeed. */
  ctx->keep_owner = op && ctx->o_info.is_local && geteuid() == 0;
  LOGD("need_posix_id=%d need_posix_mode=%d is_posix_2_win=%d", ctx->need_posix_id, ctx->need_posix_mode,
       ctx->is_posix_2_win);
}

int libcdir_init_env(cdir_ctx *ctx)
{
  int rs = static_cast<int>(ctx->max_read_timeout / 1000);
  if (url_init_and_get_info(ctx, ctx->p.i_url.c_str(), rs, &ctx->i_info, false, ctx->err) < 0)
    return -1;
  if (ctx->p.op != CDIR_OP_STATFS && ctx->i_info.not_exist) {
    LOGE("i_dir=[%s] error: not exist", ctx->i_info.path.c_str());
    VPERROR_SET(ctx->err, VERR_FILE_NOT_FOUND, "i_dir=[%s] error: not exist", ctx->i_info.path.c_str());
    return -1;
  }
  if (!ctx->i_info.not_exist && !ctx->i_info.is_dir)
    ctx->single_file = true;
  LOGD("i_url=[%s]", ctx->p.i_url.c_str());
  if (!ctx->p.o_url.empty()) {
    if (url_init_and_get_info(ctx, ctx->p.o_url.c_str(), rs, &ctx->o_info, true, ctx->err) < 0)
      return -1;
    LOGD("o_url=[%s]", ctx->p.o_url.c_str());
  }
  switch (ctx->p.op) {
  case CDIR_OP_LS:
    LOGD("list_dir=[%s]", ctx->i_info.path.c_str());
    if (ctx->p.olist.empty() || ctx->p.olist == "stdout") {
      ctx->list_fp = stdout;
    } else if (ctx->p.olist != "none") {
      ctx->list_fp = fopen(ctx->p.olist.c_str(), "w+");
      if (!ctx->list_fp)
        LOG2(LOG2_ERR | LOG2_ERRNO, "open [%s] error: ", ctx->p.olist.c_str());
      else
        ctx->list_fp_owned = true;
    }
    break;
  case CDIR_OP_COPY:
  case CDIR_OP_SYNC:
    if (ctx->p.op == CDIR_OP_COPY) {
      LOGD("cp if=[%s] of=[%s]\n", ctx->p.i_url.c_str(), ctx->p.o_url.c_str());
      if (ctx->p.mode == 0)
        ctx->p.mode = CDIR_MODE_COPY_ALL;
    } else {
      LOGD("sync if=[%s] of=[%s]\n", ctx->p.i_url.c_str(), ctx->p.o_url.c_str());
      if (ctx->p.mode == 0)
        ctx->p.mode = CDIR_MODE_SYNC_DIFF;
    }
    init_posix_flag(ctx);
    if (ep_has_cap(ctx->i_info.endpoint, EP_CAP_LOCAL) && ep_has_cap(ctx->o_info.endpoint, EP_CAP_LOCAL)) {
      int nest = ep_local_nesting(ctx->i_info.path.c_str(), ctx->o_info.path.c_str());
      if (nest == 1) {
        LOGE("The source url and destination url cannot be the same");
        VPERROR_SET(ctx->err, VERR_PARAM, "of=[%s] is the input directory or lies inside if=[%s]",
                    ctx->o_info.path.c_str(), ctx->i_info.path.c_str());
        return -1;
      }
      /* The output holds the input: its pruning and rewriting would reach the tree being read. */
      if (nest == 2) {
        LOGE("The destination url contains the source url");
        VPERROR_SET(ctx->err, VERR_PARAM, "of=[%s] contains the input if=[%s]", ctx->o_info.path.c_str(),
                    ctx->i_info.path.c_str());
        return -1;
      }
    }
    if (!ctx->i_info.is_local && !ctx->o_info.is_local && same_server(ctx->i_info, ctx->o_info)) {
      /* A server resolves no link inside its export, so two export paths nest exactly when one
       * is the other or a prefix of it at a "/". */
      const std::string &a = ctx->i_info.path, &b = ctx->o_info.path;
      auto inside = [](const std::string &x, const std::string &y) {
        return x == y || x == "/" || (y.size() > x.size() && y.compare(0, x.size(), x) == 0 && y[x.size()] == '/');
      };
      if (inside(a, b) || inside(b, a)) {
        VPERROR_SET(ctx->err, VERR_PARAM, "of=[%s] and if=[%s] overlap on the same server", b.c_str(), a.c_str());
        return -1;
      }
    }
    ctx->need_olist = !(ctx->p.op == CDIR_OP_COPY && ctx->p.mode == CDIR_MODE_COPY_ALL);
    if (ctx->i_info.posix_host && !ctx->o_info.posix_host) {
      ctx->i_side.parse.win_target = true;
      ctx->o_side.parse.win_target = true;
    }
    if (ctx->p.i_opt.flags & CDIR_EP_HARDLINKS) {
      ctx->i_side.hl = hardlink_table_alloc();
      ctx->i_side.parse.hardlink = true;
      ctx->i_side.parse.hl = ctx->i_side.hl;
      if (ctx->need_olist) {
        ctx->o_side.hl = hardlink_table_alloc();
        ctx->o_side.parse.hardlink = true;
        ctx->o_side.parse.hl = ctx->o_side.hl;
      }
    }
    break;
  default:
    break;
  }
  ctx->cp_mode = (ctx->i_info.is_local ? 0 : 1) + (ctx->o_info.is_local ? 0 : 2);
  ctx->p.i_opt.err = ctx->err;
  ctx->p.o_opt.err = ctx->err;
  ctx->p.mfile_opt.err = ctx->err;
  ctx->p.mfile_opt.small_limit = static_cast<uint32_t>(ctx->small_limit);
  ctx->p.mfile_opt.uid = ctx->default_uid;
  ctx->p.mfile_opt.gid = ctx->default_gid;
  return 0;
}

/* Listing flags of a side from its endpoint flags. */
uint32_t listing_flags(uint32_t side)
{
  uint32_t f = 0;
  if (side & CDIR_EP_STREAM)
    f |= LIBRDIR_F_XATTR;
  if (side & CDIR_EP_RDIR2)
    f |= LIBRDIR_F_GEN2;
  return f;
}

int open_listing(cdir_ctx *ctx, bool is_output)
{
  cdir_side &s = is_output ? ctx->o_side : ctx->i_side;
  const libcdir_ep_opt &o = is_output ? ctx->p.o_opt : ctx->p.i_opt;
  url_info &info = is_output ? ctx->o_info : ctx->i_info;
  vrdir_param vp;
  vp.flag = listing_flags(o.flags);
  vp.timeout = 0;
  vp.mkdirs = is_output;
  vp.include = o.file_include;
  vp.exclude = o.file_exclude;
  vp.dir_include = o.dir_include;
  vp.dir_exclude = o.dir_exclude;
  vp.misc_exclude = o.list5;
  s.rdir = vrdir_open(ctx, &info, is_output, &vp);
  if (!s.rdir) {
    LOGE("vrdir_open [%s] error: %s", info.path.c_str(), vperror_str(ctx->err));
    return -1;
  }
  /* Chunks hold whole listing lines; one line can carry a long stream list, so the buffer is
   * never below 1 MiB. */
  s.buf_len = ctx->p.bs < 0x100000 ? 0x100000 : ctx->p.bs;
  s.buf.reset(new (std::nothrow) char[s.buf_len]);
  if (!s.buf) {
    VPERROR_SET(ctx->err, VERR_NOMEM, "listing buffer of %u bytes", s.buf_len);
    return -1;
  }
  if ((vp.flag & LIBRDIR_F_GEN2) && rdir2_reader_start(ctx, !is_output) < 0) {
    VPERROR_SET(ctx->err, VERR_FAIL, "%s: thread not started", is_output ? "o_rdir2_work" : "i_rdir2_work");
    return -1;
  }
  return 0;
}

int open_bfile(cdir_ctx *ctx, bool is_output)
{
  cdir_side &s = is_output ? ctx->o_side : ctx->i_side;
  url_info &info = is_output ? ctx->o_info : ctx->i_info;
  s.bfile = vbfile_init(ctx, &info);
  if (!s.bfile) {
    LOGE("%s [%s] error: %s", is_output ? "vbfile_init_read" : "vbfile_init", info.path.c_str(),
         vperror_str(ctx->err));
    return -1;
  }
  return 0;
}

#ifdef QV_TEST_HOOKS
/* Fault injection for tests: QV_TEST_LANE_HELD=1 keeps the lane's worker busy for the whole run, as
 * a worker that a loaded machine never schedules: the executor copies every list alone and the
 * lane's tasks are still queued when the run ends. The hold ends with the pool's cancel. */
void hold_lane(void *)
{
  os_msleep(60000);
}

void lane_hook(cdir_ctx *ctx)
{
  const char *v = getenv("QV_TEST_LANE_HELD");
  if (v && *v == '1' && ctx->lane_pool)
    thread_pool_push(ctx->lane_pool, hold_lane, nullptr);
}
#else
/* A build without test hooks has no such switch. */
constexpr void lane_hook(cdir_ctx *) {}
#endif

/* The second copy lane: between local trees where a second processor is there to use, and
 * always where a side is remote, since there each file waits on round trips rather than on a
 * processor. The run goes on without it when any part cannot be made. */
void open_copy_lane(cdir_ctx *ctx)
{
  bool both_local = ep_has_cap(ctx->i_info.endpoint, EP_CAP_LOCAL) && ep_has_cap(ctx->o_info.endpoint, EP_CAP_LOCAL);
  if (both_local && os_cpu_count() < 2)
    return;
  ctx->lane_in = vbfile_init(ctx, &ctx->i_info);
  ctx->lane_out = vbfile_init(ctx, &ctx->o_info);
  ctx->lane_buf.reset(new (std::nothrow) char[ctx->p.bs]);
  thread_pool_param pp{};
  pp.count = 1;
  pp.name = "cdir_copy_lane";
  pp.drop_proc = cdir_lane_task_drop; /* a task still queued when the run ends holds its job */
  if (ctx->lane_in && ctx->lane_out && ctx->lane_buf)
    ctx->lane_pool = thread_pool_init(&pp);
  if (!ctx->lane_pool)
    LOGD("copy lane not started: files are copied one at a time");
  lane_hook(ctx);
}

void close_copy_lane(cdir_ctx *ctx)
{
  if (ctx->lane_pool)
    thread_pool_exit(ctx->lane_pool);
  ctx->lane_pool = nullptr;
  if (ctx->lane_in)
    vbfile_exit(ctx->lane_in);
  if (ctx->lane_out)
    vbfile_exit(ctx->lane_out);
  ctx->lane_in = ctx->lane_out = nullptr;
  ctx->lane_buf.reset();
}

int libcdir_init_2(cdir_ctx *ctx)
{
  if (ctx->p.op == CDIR_OP_STATFS)
    return 0;
  bool cp = ctx->p.op == CDIR_OP_COPY || ctx->p.op == CDIR_OP_SYNC;
  if (ctx->single_file) {
    if (!cp) {
      LOGE("Mode=%d not supported", ctx->p.op);
      VPERROR_SET(ctx->err, VERR_NOTSUP, "Mode=%d not supported: if=[%s] is not a directory", ctx->p.op,
                  ctx->i_info.path.c_str());
      return -1;
    }
    if (open_bfile(ctx, false) < 0 || open_bfile(ctx, true) < 0)
      return -1;
    ctx->worker = os_thread_init("file_work", cdir_file_thread, ctx);
    if (!ctx->worker) {
      LOG2(LOG2_ERR | LOG2_ERRNO, "os_thread_init error: ");
      VPERROR_SET(ctx->err, VERR_FAIL, "os_thread_init file_work failed");
      return -1;
    }
  } else {
    if (cp && !ctx->o_info.not_exist && !ctx->o_info.is_dir) {
      LOGE("out_dir [%s] is_file", ctx->o_info.path.c_str());
      VPERROR_SET(ctx->err, VERR_EXISTS, "out_dir [%s] is_file", ctx->o_info.path.c_str());
      return -1;
    }
    if (open_listing(ctx, false) < 0)
      return -1;
    if (cp) {
      if (ctx->need_olist && open_listing(ctx, true) < 0)
        return -1;
      /* The output root exists before the walk, whatever kind of tree it is on: a copy that does
       * not list the output would otherwise have nowhere to put its first files. */
      {
        vperror e{};
        int rc = ep_mkdirs(ctx->o_info.endpoint, ctx->o_info.path.c_str(), 0755, &e);
        if (rc < 0) {
          LOGE("mkdirs [%s] eno=%d error: %s", ctx->o_info.path.c_str(), rc, e.msg);
          VPERROR_SET(ctx->err, rc, "mkdirs [%s] error: %s", ctx->o_info.path.c_str(), e.msg);
          return -1;
        }
        ctx->o_info.not_exist = false;
        ctx->o_info.is_dir = true;
      }
      /* One run at a time per output tree: two would mix their content under one run's times. */
      vperror le{};
      int rc = ep_lock_root(ctx->o_info.endpoint, &le);
      if (rc < 0 && rc != VERR_NOTSUP) {
        LOGE("lock [%s] error: %s", ctx->o_info.path.c_str(), le.msg);
        VPERROR_SET(ctx->err, rc, "%s", le.msg);
        return -1;
      }
      if (open_bfile(ctx, false) < 0 || open_bfile(ctx, true) < 0)
        return -1;
      open_copy_lane(ctx);
    }
    ctx->worker = os_thread_init("cdir_work", cdir_work_thread, ctx);
    if (!ctx->worker) {
      LOG2(LOG2_ERR | LOG2_ERRNO, "os_thread_init cdir_work error: ");
      VPERROR_SET(ctx->err, VERR_FAIL, "os_thread_init cdir_work failed");
      return -1;
    }
  }
  ctx->stat_task = pl_timer_task_init_after(ctx->timer, "stat_timer", 100, 1000, true, stat_timer_proc, ctx);
  return 0;
}

const char *vol_flag_names(uint32_t flags, char *buf, size_t size)
{
  static const struct {
    uint32_t bit;
    const char *name;
  } names[] = {{VOL_F_READONLY, "readonly,"},     {VOL_F_UNICODE, "unicode,"}, {VOL_F_CASE_NAME, "case_name,"},
               {VOL_F_CASE_SEARCH, "case_search,"}, {VOL_F_STREAMS, "streams,"}, {VOL_F_ACLS, "acls,"},
               {VOL_F_HARD_LINKS, "hard_links,"},   {VOL_F_XATTR, "xattr,"},     {VOL_F_WINDOWS, "windows,"}};
  buf[0] = 0;
  for (const auto &n : names)
    if (flags & n.bit)
      strncat(buf, n.name, size - strlen(buf) - 1);
  size_t len = strlen(buf);
  if (len > 0 && buf[len - 1] == ',')
    buf[len - 1] = 0;
  return buf;
}

void print_statfs(const cdir_vol_info &v)
{
  char flags[160], a[32], f[32], t[32];
  printf("fs=[%s]\n", v.fs_name.c_str());
  printf("vol_name=[%s]\n", v.vol_name.c_str());
  printf("name_len=%d\n", static_cast<int>(v.name_len));
  printf("flags=0x%x (%s)\n", v.flags, vol_flag_names(v.flags, flags, sizeof flags));
  str_size_text(v.avail_bytes, a, sizeof a);
  str_size_text(v.free_bytes, f, sizeof f);
  str_size_text(v.total_bytes, t, sizeof t);
  printf("avail_bytes=%lu(%s)\n", static_cast<unsigned long>(v.avail_bytes), a);
  printf("free_bytes=%lu (%s)\n", static_cast<unsigned long>(v.free_bytes), f);
  printf("total_bytes=%lu (%s)\n", static_cast<unsigned long>(v.total_bytes), t);
  fflush(stdout);
}

void close_side(cdir_side &s)
{
  if (s.rdir)
    vrdir_close(s.rdir);
  s.rdir = nullptr;
  if (s.bfile)
    vbfile_exit(s.bfile);
  s.bfile = nullptr;
}

} // namespace

int libcdir_verr_2_eno(int verr)
{
  /* Matched by message text: codes that share a text share the outcome. */
  static const struct {
    const char *msg;
    int eno;
  } table[] = {
      {"Path not found.", 3},
      {"File not found.", 3},
      {"Access denied.", 3},
      {"Sharing violation, file is being used by another process.", 3},
      {"Write protect error.", 4},
      {"Disk is full.", 5},
      {"Device i/o: No such device or address.", 6},
      {"Device i/o: Not ready.", 6},
      {"Timeout.", 8},
  };
  const char *msg = verr2str(verr);
  for (const auto &row : table)
    if (strcmp(msg, row.msg) == 0)
      return -row.eno;
  LOGE("verr=%d [%s]", verr, msg);
  return 0;
}

int libcdir_init()
{
  return 0;
}

void libcdir_exit() {}

cdir_ctx *libcdir_open(libcdir_param *p)
{
  if (!p)
    return nullptr;
  LOGD("libcdir_open");
  p->o_opt.file_include = p->i_opt.file_include;
  p->o_opt.file_exclude = p->i_opt.file_exclude;
  p->o_opt.dir_include = p->i_opt.dir_include;
  p->o_opt.dir_exclude = p->i_opt.dir_exclude;
  p->o_opt.list5 = p->i_opt.list5;
  if (p->i_url.empty()) {
    VPERROR_SET(&p->err, VERR_PARAM, "no input given (if=)");
    return nullptr;
  }
  bool cp = p->op == CDIR_OP_COPY || p->op == CDIR_OP_SYNC;
  if (cp && p->o_url.empty()) {
    VPERROR_SET(&p->err, VERR_PARAM, "no output given (of=)");
    return nullptr;
  }
  if (cp && p->i_url == p->o_url) {
    LOGE("The source url and destination url cannot be the same");
    VPERROR_SET(&p->err, VERR_PARAM, "The source url and destination url cannot be the same");
    return nullptr;
  }
  auto *ctx = new (std::nothrow) cdir_ctx;
  if (!ctx) {
    VPERROR_SET(&p->err, VERR_NOMEM, "libcdir_open: out of memory");
    return nullptr;
  }
  ctx->start_ms = os_time_ms();
  pl_rate_init(&ctx->rate, p->max_rate, 0, os_time_us() * 1000);
  /* The whole block by value; the run's own error record stays the caller's. */
  ctx->p = *p;
  ctx->p.err = vperror{};
  ctx->delete_budget.store(p->max_delete, std::memory_order_relaxed);
  ctx->sync_cal_timeout = p->sync_cal_timeout * 1000;
  ctx->max_read_timeout = p->max_read_timeout * 1000;
  ctx->err = &p->err;
  ctx->small_limit = static_cast<int32_t>(p->bs) / 2;
  ctx->sync_big_bs = static_cast<uint64_t>(p->sync_bs) * p->sync_big_factor;
  cdir_stat_init(&ctx->stat, ctx->p.i_opt.flags);
  LOGD("bs=%d", ctx->p.bs);
  LOGD("sync_bs=%d", ctx->p.sync_bs);
  LOGD("sync_big_bs=%d", static_cast<int>(ctx->sync_big_bs));
  LOGD("sync_cal_timeout=%d", ctx->sync_cal_timeout);
  LOGD("max_read_timeout=%d", ctx->max_read_timeout);

  for (auto &b : ctx->buf) {
    b.reset(new (std::nothrow) char[ctx->p.bs]);
    if (!b) {
      VPERROR_SET(&p->err, VERR_NOMEM, "work buffers of %u bytes", ctx->p.bs);
      libcdir_close(ctx);
      return nullptr;
    }
  }
  cmder_param cp_param{};
  cp_param.ctx = ctx;
  cp_param.queue_size = CMDER_QUEUE_SIZE;
  cp_param.name = "cdir_cmder";
  cp_param.msg_proc = cdir_cmd_proc;
  cp_param.free_proc = cdir_cmd_free;
  ctx->cmd = cmder_init(&cp_param);
  if (!ctx->cmd) {
    LOGE("cmder_init failed");
    VPERROR_SET(&p->err, VERR_FAIL, "cmder_init failed");
    libcdir_close(ctx);
    return nullptr;
  }
  if (ctx->p.op == CDIR_OP_SYNC) {
    if (ctx->p.sync_bs == 0) {
      LOGE("sync_bs must > 0");
      VPERROR_SET(&p->err, VERR_PARAM, "sync_bs must > 0");
      libcdir_close(ctx);
      return nullptr;
    }
    if (ctx->p.bs % ctx->p.sync_bs != 0) {
      LOGE("sync_bs=%d bs/hash_bs Must be a multiple", ctx->p.sync_bs);
      VPERROR_SET(&p->err, VERR_PARAM, "bs=%u must be a multiple of sync_bs=%u", ctx->p.bs, ctx->p.sync_bs);
      libcdir_close(ctx);
      return nullptr;
    }
  }
  if (ctx->p.op == CDIR_OP_SYNC) {
    thread_pool_param pp{};
    pp.count = os_cpu_count();
    pp.name = "cdir_thread_pool";
    ctx->pool = thread_pool_init(&pp);
    if (!ctx->pool) {
      LOGE("thread_pool_init failed\n");
      VPERROR_SET(&p->err, VERR_FAIL, "thread_pool_init cdir_thread_pool failed");
      libcdir_close(ctx);
      return nullptr;
    }
  }
  pl_timer_param tp{};
  tp.name = "timer";
  ctx->timer = pl_timer_init(&tp);
  if (!ctx->timer) {
    VPERROR_SET(&p->err, VERR_FAIL, "timer service not started");
    libcdir_close(ctx);
    return nullptr;
  }
  if (libcdir_init_env(ctx) < 0 || libcdir_init_2(ctx) < 0) {
    libcdir_close(ctx);
    return nullptr;
  }
  ctx->opened.store(1, std::memory_order_release);
  LOGD("libcdir_open exit");
  return ctx;
}

void libcdir_print_error(const char *msg)
{
  if (log2_colour_on(STDERR_FILENO))
    fprintf(stderr, "\033[01;31merror: %s\n\033[0m", msg);
  else
    fprintf(stderr, "error: %s\n", msg);
  fflush(stderr);
}

namespace {

/* Failures told by their counters, for a run whose failing entries left no message. */
std::string counted_failures(const cdir_stat *st)
{
  long long dirs = st->open_dir_fail_count.load(std::memory_order_relaxed);
  long long drops = st->i_drop_name_too_long.load(std::memory_order_relaxed) +
                    st->o_drop_name_too_long.load(std::memory_order_relaxed);
  char buf[160];
  if (dirs > 0)
    snprintf(buf, sizeof buf, "%lld director%s could not be read", dirs, dirs == 1 ? "y" : "ies");
  else if (drops > 0)
    snprintf(buf, sizeof buf, "%lld path%s reached the length limit and %s dropped", drops, drops == 1 ? "" : "s",
             drops == 1 ? "was" : "were");
  else
    snprintf(buf, sizeof buf, "entries failed (see the statistics)");
  return buf;
}

/* The status of a run that ended, and the text of what decided it. The worst outcome wins: an
 * error that stopped the run (3 to 8), then deletions held back (9), then counted failures (2). */
int run_status(cdir_ctx *ctx, int worker_rc, std::string *msg)
{
  std::lock_guard<std::mutex> g(ctx->err_lock);
  if (ctx->user_stop.load(std::memory_order_relaxed)) {
    *msg = "stopped by a signal";
    return 7;
  }
  if (ctx->err_stop.load(std::memory_order_relaxed)) {
    int eno = ctx->stop_eno.load(std::memory_order_relaxed);
    if (eno == 0)
      eno = -ctx->last_eno.load(std::memory_order_relaxed);
    *msg = !ctx->stop_msg.empty() ? ctx->stop_msg : verr2str(ctx->last_verr.load(std::memory_order_relaxed));
    return eno > 0 ? eno : 2;
  }
  if (worker_rc < 0) {
    /* The walk ended before the tree did (a listing that could not be read, no memory): what it
     * did not reach was neither copied nor checked. */
    int code = ctx->err->code;
    int eno = code ? -libcdir_verr_2_eno(code) : 0;
    *msg = code ? vperror_str(ctx->err) : "the walk of the tree ended early";
    return eno > 0 ? eno : 2;
  }
  if (ctx->held_deletes.load(std::memory_order_relaxed) > 0) {
    if (!ctx->held_msg.empty()) {
      *msg = ctx->held_msg;
    } else {
      char buf[160];
      long long n = ctx->stat.skip_delete.load(std::memory_order_relaxed);
      snprintf(buf, sizeof buf, "max_delete=%lld: %lld deletion%s held back", static_cast<long long>(ctx->p.max_delete),
               n, n == 1 ? " was" : "s were");
      *msg = buf;
    }
    return 9;
  }
  if (cdir_stat_has_failures(ctx->p.op, ctx->p.i_opt.flags, &ctx->stat)) {
    *msg = !ctx->fail_msg.empty() ? ctx->fail_msg : counted_failures(&ctx->stat);
    return 2;
  }
  return 0;
}

} // namespace

int libcdir_wait_stop(cdir_ctx *ctx)
{
  if (!ctx)
    return 0;
  LOGD("libcdir_wait_stop");
  if (ctx->p.op == CDIR_OP_STATFS) {
    print_statfs(ctx->i_info.fs);
    return 0;
  }
  int worker_rc = 0;
  if (ctx->worker) {
    int rc = os_thread_wait(ctx->worker, OS_THREAD_WAIT_FOREVER, &worker_rc);
    if (rc != 0) {
      LOGE("os_thread_wait ret=%d error=%d\n", rc, worker_rc);
      worker_rc = -1;
    }
  }
  LOGD("cmder_wait_idle ...\n");
  while (cmder_wait_idle(ctx->cmd, 1000) < 0) {
  }
  LOGD("cmder_wait_idle exit\n");
  /* The executor is idle: the last batch results are read here, before the counters are. */
  cdir_batch_drain(ctx);
  if (ctx->stat_task)
    pl_timer_task_exit(ctx->timer, ctx->stat_task);
  ctx->stat_task = nullptr;
  if (ctx->list_fp)
    fflush(ctx->list_fp);
  std::string msg;
  int status = run_status(ctx, worker_rc, &msg);
  if (status != 0)
    LOGD("status=%d: %s", status, msg.c_str());
  if (ctx->p.show_mode == 1 && (ctx->p.trace_flags & CDIR_TRACE_SUMMARY)) {
    if (ctx->p.trace_flags & CDIR_TRACE_PROGRESS)
      fputc('\n', stderr);
    cdir_stat_summary(stderr, ctx->p.op, ctx->p.i_opt.flags, &ctx->stat, elapsed_ms(ctx), status,
                      status ? msg.c_str() : "Success.");
  }
  /* A run that did not succeed says why on one line; a stop by a signal is what the user asked. */
  if (ctx->p.show_mode == 1 && status != 0 && status != 7)
    libcdir_print_error(msg.c_str());
  cdir_dump_stat(ctx->p.op, ctx->p.i_opt.flags, &ctx->stat, elapsed_ms(ctx));
  return status;
}

int libcdir_close(cdir_ctx *ctx)
{
  if (!ctx)
    return 0;
  LOGD("libcdir_close");
  vperror saved = *ctx->err;
  bool worker_running = false;
  if (ctx->worker) {
    ctx->user_stop.store(1, std::memory_order_relaxed);
    int ret = 0;
    int rc = os_thread_wait_kill_exit(ctx->worker, 2000, &ret);
    if (rc != 0)
      LOGE("os_thead_wait failed ret=%d\n", rc);
    worker_running = rc == OS_THREAD_RUNNING;
    ctx->worker = nullptr;
  }
  if (worker_running) {
    /* The walker still runs on this context and everything it reaches: leaving them allocated is
     * the lesser harm. */
    LOGE("cdir_work did not end; its context is left allocated");
    *ctx->err = saved;
    return 0;
  }
  rdir2_reader_stop(ctx, true);
  rdir2_reader_stop(ctx, false);
  if (ctx->pool)
    thread_pool_exit(ctx->pool);
  ctx->pool = nullptr;
  if (ctx->timer)
    pl_timer_exit(ctx->timer);
  ctx->timer = nullptr;
  if (ctx->cmd)
    cmder_exit(ctx->cmd);
  ctx->cmd = nullptr;
  /* After the executor: a file list it was copying may still wait for the lane. */
  close_copy_lane(ctx);
  cdir_batch_close(ctx);
  close_side(ctx->i_side);
  close_side(ctx->o_side);
  while (!ctx->work.empty()) {
    cdir_task_free(ctx->work.front());
    ctx->work.pop_front();
  }
  if (ctx->list_fp_owned && ctx->list_fp)
    fclose(ctx->list_fp);
  ctx->list_fp = nullptr;
  hardlink_table_free(ctx->i_side.hl);
  hardlink_table_free(ctx->o_side.hl);
  *ctx->err = saved;
  delete ctx;
  return 0;
}

int libcdir_stop(cdir_ctx *ctx)
{
  if (!ctx)
    return 0;
  if (!ctx->user_stop.exchange(1, std::memory_order_relaxed))
    LOGW("stop requested: the run ends after the entry in hand");
  /* Local handles need nothing: every loop of the engine tests the stop flag. Remote handles
   * get their connection's break mark here once the service client exists. */
  return 0;
}
