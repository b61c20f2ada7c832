#define LOG_TAG "cdir"
/* Directory pairs: the listings of one directory on both sides, read through the endpoints in
 * either generation, parsed into stat lists and handed to the walker. */
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libcdir/cdir_ctx.h"
#include "libcdir/cdir_work.h"
#include "libcdir/vrdir.h"
#include "liblog/log2.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"
#include "libpal/string/pl_escape.h"
#include "libpal/tframe/pl_cmder.h"
#include "librdir/rdir_stat.h"

namespace {

cdir_side &side_of(cdir_ctx *ctx, bool is_input)
{
  return is_input ? ctx->i_side : ctx->o_side;
}

bool has_rdir2(cdir_ctx *ctx, bool is_input)
{
  return side_of(ctx, is_input).rdir2 != nullptr;
}

void free_lists(mstat **files, mstat **dirs)
{
  if (*files)
    mstat_free(*files);
  if (*dirs)
    mstat_free(*dirs);
  *files = *dirs = nullptr;
}

bool alloc_lists(mstat **files, mstat **dirs)
{
  *files = mstat_alloc(nullptr);
  *dirs = mstat_alloc(nullptr);
  if (*files && *dirs)
    return true;
  free_lists(files, dirs);
  return false;
}

/* Relative path of a full path of a side: "" for the root itself. */
std::string rel_of(cdir_ctx *ctx, bool is_input, const std::string &full)
{
  const std::string &root = is_input ? ctx->i_info.path : ctx->o_info.path;
  if (full.compare(0, root.size(), root) == 0 && (full.size() == root.size() || full[root.size()] == '/'))
    return full.substr(root == "/" ? 0 : root.size());
  return full;
}

/* Generation 1: reads the file and directory chunks of one directory until both end messages
 * came. Returns 0 with both lists and the listing's code, or -1. */
int rdir_read_stat(cdir_ctx *ctx, bool is_input, const std::string &dir, mstat **files, mstat **dirs, int *code)
{
  cdir_side &s = side_of(ctx, is_input);
  if (!alloc_lists(files, dirs)) {
    LOGE("rdir_stat_alloc failed\n");
    return -1;
  }
  s.parse.dir = rel_of(ctx, is_input, dir);
  int ends = 0;
  int last = 0;
  while (ends < 2) {
    int n = vrdir_read_item_list(s.rdir, s.buf.get(), s.buf_len - 1);
    if (n < 0) {
      LOGE("[%s] vrdir_read_item_list failed\n", dir.c_str());
      free_lists(files, dirs);
      return -1;
    }
    if (n > 0) {
      char *body = s.buf.get() + 1;
      char *cr = strchr(body, '\r');
      if (cr) {
        *cr = 0;
        last = atoi(cr + 1);
        ++ends;
      }
      if (str_2_stat(body, &s.parse, s.buf[0] == 'F' ? *files : *dirs) < 0) {
        CDIR_SET_ERR(ctx, VERR_FAIL, "[%s] invalid listing data", dir.c_str());
        LOGE("vrdir_str_2_stat failed\n");
        free_lists(files, dirs);
        return -1;
      }
    }
    if (cdir_need_exit(ctx)) {
      free_lists(files, dirs);
      return -1;
    }
  }
  *code = last;
  if (last != 0) {
    LOGE("vrdir_read_item_list [%s] veno=%d err: %s", dir.c_str(), last, verr2str(last));
    cdir_stat_add(is_input ? &ctx->stat.open_dir_fail_count : &ctx->stat.o_dir_fail_count, 1);
  }
  return 0;
}

enum { RDIR2_OK = 0, RDIR2_FAIL = -1, RDIR2_SKIP = 1 };

/* Generation 2: waits for the side's reader to deliver the directory. RDIR2_OK with the lists and
 * the listing's code; RDIR2_SKIP (counted, lists freed) for an input listing in error or a
 * directory that the stream dropped for the length of its path; RDIR2_FAIL when it never came. */
int rdir2_get_dir_stat(cdir_ctx *ctx, bool is_input, const std::string &dir, mstat **files, mstat **dirs,
                       int *code)
{
  rdir2_side &r = *side_of(ctx, is_input).rdir2;
  /* The key is the exact path: a backslash is a byte of a name here, not a separator, and a
   * directory "a\b" must not be taken for "a/b". */
  std::string key = rel_of(ctx, is_input, dir);
  if (key.empty())
    key = "/";
  rdir2_pending got;
  bool found = false;
  for (uint64_t i = 0;; ++i) {
    {
      std::lock_guard<std::mutex> g(r.lock);
      auto it = r.dict.find(key);
      if (it != r.dict.end()) {
        got = it->second;
        r.dict.erase(it);
        found = true;
      }
    }
    if (found)
      break;
    if (cdir_need_exit(ctx))
      return RDIR2_FAIL;
    /* A reader that has ended delivers nothing more: the directory is not coming. */
    bool ended = r.ended.load(std::memory_order_acquire);
    if (i >= ctx->max_read_timeout || ended) {
      if (ended) {
        std::lock_guard<std::mutex> g(r.lock);
        if (r.dict.count(key))
          continue;
      }
      /* The stream lists a subdirectory whose path is too long for the lister but does not walk
       * it: one such directory is charged to each drop the stream reported. */
      if (ended && r.drop_long_dirs.load(std::memory_order_relaxed) > r.drops_charged) {
        ++r.drops_charged;
        LOGE("dir=[%s] not listed: path too long on the %s side", dir.c_str(), is_input ? "input" : "output");
        cdir_stat_add(is_input ? &ctx->stat.i_drop_name_too_long : &ctx->stat.o_drop_name_too_long, 1);
        *code = VERR_NAME_TOO_LONG;
        return RDIR2_SKIP;
      }
      LOGD("dir=[%s] [%s] get failed timeout=%ds", dir.c_str(), key.c_str(), ctx->max_read_timeout / 1000);
      return RDIR2_FAIL;
    }
    os_msleep(1);
  }
  *files = got.files;
  *dirs = got.dirs;
  *code = got.code;
  if (is_input && got.code != 0) {
    LOGE("vrdir_open_dir [%s] err: %s", dir.c_str(), verr2str(got.code));
    cdir_stat_add(&ctx->stat.open_dir_fail_count, 1);
    free_lists(files, dirs);
    return RDIR2_SKIP;
  }
  if (got.code != 0) {
    LOGE("vrdir_read_item_list [%s] veno=%d err: %s", dir.c_str(), got.code, verr2str(got.code));
    cdir_stat_add(&ctx->stat.o_dir_fail_count, 1);
  }
  return RDIR2_OK;
}

/* Directories whose generation-1 listings are requested ahead of the walker. */
constexpr size_t PREFETCH_DIRS = 16;

/* An output listing is requested only for a directory whose output listing is also read: a
 * request without its read would hand its answer to the next directory's read. */
int request_odir(cdir_ctx *ctx, cdir_task *t)
{
  if (!cdir_task_olisted(ctx, t) || !ctx->o_side.rdir || has_rdir2(ctx, false))
    return 0;
  if (vrdir_enum_dir(ctx->o_side.rdir, t->odir.c_str()) < 0) {
    LOGE("vrdir_enum_odir [%s] failed", t->odir.c_str());
    /* No answer is coming: a read would take the next directory's listing for this one. */
    t->oenum_failed = true;
    return -1;
  }
  return 0;
}

/* Generation 1: asks the input side (and the output side where it is read) to list t. */
void request_idir(cdir_ctx *ctx, cdir_task *t)
{
  t->requested = true;
  cdir_test_stop_at(t->idir.c_str());
  if (vrdir_enum_dir(ctx->i_side.rdir, t->idir.c_str()) < 0) {
    LOGE("vrdir_enum_dir [%s] failed", t->idir.c_str());
    cdir_stat_add(&ctx->stat.open_dir_fail_count, 1);
    t->enum_failed = true;
    return;
  }
  request_odir(ctx, t);
}

} // namespace

bool cdir_task_olisted(const cdir_ctx *ctx, const cdir_task *t)
{
  return ctx->need_olist && t->o_exists && !t->odir.empty();
}

void rdir_prefetch(cdir_ctx *ctx)
{
  if (has_rdir2(ctx, true))
    return;
  size_t n = 0;
  for (cdir_task *t : ctx->work) {
    if (n++ == PREFETCH_DIRS)
      break;
    if (!t->listed && !t->requested)
      request_idir(ctx, t);
  }
}

int rdir_get_idir_list(cdir_ctx *ctx, cdir_task *t)
{
  LOGV("idir=[%s] odir=[%s]", t->idir.c_str(), t->odir.c_str());
  if (!has_rdir2(ctx, true)) {
    if (!t->is_root && !t->requested)
      request_idir(ctx, t);
    if (t->enum_failed) {
      cdir_task_free(t);
      return 1;
    }
    if (rdir_read_stat(ctx, true, t->idir, &t->files, &t->dirs, &t->code) < 0) {
      cdir_task_free(t);
      return -1;
    }
  } else {
    int rc = rdir2_get_dir_stat(ctx, true, t->idir, &t->files, &t->dirs, &t->code);
    if (rc != RDIR2_OK) {
      cdir_task_free(t);
      return rc == RDIR2_SKIP ? 1 : -1;
    }
    /* The output listing is asked for only once the input side delivered the directory, so that
     * every requested output listing is also read. */
    if (!t->is_root)
      request_odir(ctx, t);
  }
  if (!t->is_root)
    cdir_stat_add(&ctx->stat.enum_dir_count, 1);
  t->listed = true;
  return 0;
}

int rdir_get_odir_stat(cdir_ctx *ctx, cdir_task *t)
{
  int code = 0;
  if (has_rdir2(ctx, false)) {
    int rc = rdir2_get_dir_stat(ctx, false, t->odir, &t->o_files, &t->o_dirs, &code);
    /* An output directory that could not be listed is paired as an empty one: nothing of it is
     * deleted, and what the input has is written into it. */
    if (rc == RDIR2_SKIP && !alloc_lists(&t->o_files, &t->o_dirs)) {
      LOGE("rdir_stat_alloc failed\n");
      return -1;
    }
    return rc == RDIR2_FAIL ? -1 : 0;
  }
  if (t->oenum_failed) {
    CDIR_SET_ERR(ctx, VERR_FAIL, "[%s] the output listing could not be requested", t->odir.c_str());
    return -1;
  }
  return rdir_read_stat(ctx, false, t->odir, &t->o_files, &t->o_dirs, &code);
}

namespace {

/* A decimal number that makes up the whole rest of a line, within [lo, hi]. */
bool rdir2_number(const char *s, long long lo, long long hi, long long *out)
{
  if (!(*s == '-' || (*s >= '0' && *s <= '9')))
    return false;
  errno = 0;
  char *end = nullptr;
  long long v = strtoll(s, &end, 10);
  if (errno != 0 || end == s || *end != 0 || v < lo || v > hi)
    return false;
  *out = v;
  return true;
}

} // namespace

int rdir2_parse_record(cdir_ctx *ctx, bool is_input, char *rec)
{
  cdir_side &s = side_of(ctx, is_input);
  rdir2_side &r = *s.rdir2;
  char *nl = strchr(rec, '\n');
  if (!nl) {
    long long drops = 0;
    if (rec[0] == 'X' && rec[1] == ' ' && rdir2_number(rec + 2, 0, INT64_MAX, &drops)) {
      r.drop_long_dirs.store(drops, std::memory_order_relaxed);
      return 0;
    }
    LOGE("error: invalid data");
    CDIR_SET_ERR(ctx, VERR_FAIL, "invalid listing record [%.64s]", rec);
    return -1;
  }
  rdir2_pending p;
  if (!alloc_lists(&p.files, &p.dirs)) {
    LOGE("rdir_stat_alloc failed\n");
    return -1;
  }
  std::string key;
  bool have_key = false;
  /* A record is trusted only when every line of it was read and it ends with its end line ("E")
   * or error line ("R"): anything less may lack entries that exist. */
  bool trusted = true;
  bool ended = false;
  int line_no = 0;
  char *line = rec;
  while (line) {
    char *next = strchr(line, '\n');
    if (next)
      *next++ = 0;
    ++line_no;
    long long code = 0;
    if (line_no == 1) {
      /* The open line: the escaped directory path relative to the root. */
      if (line[0] == 'O' && line[1] == ' ' && line[2] &&
          str_unescape_cstr_append(line + 2, strlen(line + 2), &key) >= 0 && key.size() == strlen(key.c_str())) {
        have_key = true;
        s.parse.dir = key == "/" ? "" : key;
      } else {
        LOGE("invalid data [%.128s]", line);
        trusted = false;
      }
    } else if (ended) {
      LOGE("invalid data after the end line [%.128s]", line);
      trusted = false;
    } else if (line[0] == 'R' && line[1] == ' ' && line_no == 2 && rdir2_number(line + 2, INT32_MIN, INT32_MAX, &code)) {
      /* A directory that could not be read has no listing, whatever code came with it. */
      p.code = code != 0 ? static_cast<int>(code) : VERR_FAIL;
      ended = true;
    } else if (line[0] == 'E' && line[1] == ' ' && rdir2_number(line + 2, INT32_MIN, INT32_MAX, &code)) {
      p.code = static_cast<int>(code);
      ended = true;
    } else if ((line[0] == 'F' || line[0] == 'D') && line[1] == ' ') {
      if (str_2_stat(line + 2, &s.parse, line[0] == 'F' ? p.files : p.dirs) < 0) {
        LOGE("vrdir_str_2_stat failed\n");
        trusted = false;
      }
    } else {
      /* Also an "O" that is not first or an "R" that is not second. */
      LOGE("invalid data [%.128s]", line);
      trusted = false;
    }
    if (!trusted)
      break;
    line = next;
  }
  if (!have_key) {
    CDIR_SET_ERR(ctx, VERR_PROTO, "listing record without its directory [%.64s]", rec);
    free_lists(&p.files, &p.dirs);
    return -1;
  }
  if (trusted && !ended) {
    LOGE("[%s] listing record without its end line", key.c_str());
    trusted = false;
  }
  if (!trusted) {
    /* The listing is kept, but as one in error: the walker then neither takes it for the whole
     * directory nor deletes output entries on its word. */
    p.code = VERR_PROTO;
    CDIR_SET_ERR(ctx, VERR_PROTO, "[%s] invalid listing data", key.c_str());
  }
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.dict.find(key);
  if (it != r.dict.end()) {
    /* A directory walked twice (asked for again): the newer listing wins. */
    free_lists(&it->second.files, &it->second.dirs);
    it->second = p;
  } else {
    r.dict.emplace(key, p);
  }
  return trusted ? 0 : -1;
}

int rdir2_feed_chunk(cdir_ctx *ctx, bool is_input, std::string *builder, char *chunk, size_t len)
{
  if (len == 1 && chunk[0] == '\r')
    return 1;
  char *cr = static_cast<char *>(memchr(chunk, '\r', len));
  if (!cr) {
    builder->append(chunk, len);
    return 0;
  }
  bool final = len >= 2 && chunk[len - 1] == '\r' && chunk[len - 2] == '\r';
  bool complete = chunk[len - 1] == '\r';
  while (len > 0 && chunk[len - 1] == '\r')
    --len;
  std::string rec;
  size_t i = 0;
  for (;;) {
    char *p = static_cast<char *>(memchr(chunk + i, '\r', len - i));
    size_t end = p ? static_cast<size_t>(p - chunk) : len;
    builder->append(chunk + i, end - i);
    bool last = !p;
    if (!last || complete) {
      rec.swap(*builder);
      builder->clear();
      if (!rec.empty())
        rdir2_parse_record(ctx, is_input, rec.data());
      rec.clear();
    }
    if (last)
      break;
    i = end + 1;
  }
  return final ? 1 : 0;
}

namespace {

struct rdir2_arg {
  cdir_ctx *ctx;
  bool is_input;
};

/* The read-ahead reader: turns the stream of the side's listing into dictionary entries. */
int rdir2_read_work(cdir_ctx *ctx, bool is_input)
{
  cdir_side &s = side_of(ctx, is_input);
  rdir2_side &r = *s.rdir2;
  std::string builder;
  while (!r.stop.load(std::memory_order_relaxed) && !cdir_need_exit(ctx)) {
    int n = vrdir_read_item_list(s.rdir, s.buf.get(), s.buf_len - 1);
    if (n < 0) {
      LOGE("vrdir_read_item_list failed\n");
      return -1;
    }
    if (n == 0) {
      os_msleep(1);
      continue;
    }
    if (rdir2_feed_chunk(ctx, is_input, &builder, s.buf.get(), static_cast<size_t>(n)) > 0)
      return 0;
  }
  return 0;
}

int rdir2_work_thread(void *arg)
{
  auto *a = static_cast<rdir2_arg *>(arg);
  cdir_ctx *ctx = a->ctx;
  bool is_input = a->is_input;
  delete a;
  int rc = rdir2_read_work(ctx, is_input);
  side_of(ctx, is_input).rdir2->ended.store(1, std::memory_order_release);
  return rc;
}

} // namespace

int rdir2_reader_start(cdir_ctx *ctx, bool is_input)
{
  cdir_side &s = side_of(ctx, is_input);
  s.rdir2 = std::make_unique<rdir2_side>();
  auto *a = new rdir2_arg{ctx, is_input};
  s.rdir2->thread = os_thread_init(is_input ? "i_rdir2_work" : "o_rdir2_work", rdir2_work_thread, a);
  if (!s.rdir2->thread) {
    delete a;
    s.rdir2.reset();
    return -1;
  }
  return 0;
}

void rdir2_reader_stop(cdir_ctx *ctx, bool is_input)
{
  cdir_side &s = side_of(ctx, is_input);
  if (!s.rdir2)
    return;
  s.rdir2->stop.store(1, std::memory_order_relaxed);
  if (s.rdir2->thread) {
    int ret = 0;
    if (os_thread_wait_kill_exit(s.rdir2->thread, 3000, &ret) == OS_THREAD_RUNNING) {
      /* The thread still uses the side: leave it allocated rather than free it under its feet. */
      LOGE("%s did not end", is_input ? "i_rdir2_work" : "o_rdir2_work");
      (void)s.rdir2.release();
      return;
    }
    s.rdir2->thread = nullptr;
  }
  for (auto &kv : s.rdir2->dict)
    free_lists(&kv.second.files, &kv.second.dirs);
  s.rdir2.reset();
}
