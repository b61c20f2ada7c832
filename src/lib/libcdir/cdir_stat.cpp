#define LOG_TAG "cdir"
#include "libcdir/cdir_stat.h"

#include <cstdarg>
#include <cstring>

#include "liblog/log2.h"
#include "libpal/comm/verr.h"
#include "libpal/string/pl_size_text.h"

namespace {

int hex_value(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

/* Decodes the escaped byte at p (not at the terminating NUL) into *value and returns the position
 * after it. Only "is it a NUL, and which letter" matters to the callers, so the escapes that
 * stand for a non-zero byte need not be mapped exactly; every form that can stand for NUL
 * (octal, \x, \u, \U with a zero value) is read in full, so that "\000" before a digit and an
 * escaped backslash before "0" are told apart from a separator. */
const char *esc_next(const char *p, unsigned *value)
{
  if (*p != '\\') {
    *value = static_cast<unsigned char>(*p);
    return p + 1;
  }
  p++;
  if (*p == '\0') { /* a lone final backslash stands for itself */
    *value = '\\';
    return p;
  }
  if (*p >= '0' && *p <= '7') {
    unsigned v = 0;
    for (int i = 0; i < 3 && *p >= '0' && *p <= '7'; i++, p++)
      v = v * 8 + static_cast<unsigned>(*p - '0');
    *value = v == 0 ? 0 : (v > 0xff ? 0xff : v);
    return p;
  }
  int max_digits = *p == 'x' ? 2 : *p == 'u' ? 4 : *p == 'U' ? 8 : 0;
  if (max_digits > 0 && hex_value(p[1]) >= 0) {
    p++;
    uint64_t v = 0;
    for (int i = 0; i < max_digits && hex_value(*p) >= 0; i++, p++)
      v = v * 16 + static_cast<unsigned>(hex_value(*p));
    *value = v == 0 ? 0 : (v > 0xff ? 0xff : static_cast<unsigned>(v));
    return p;
  }
  *value = static_cast<unsigned char>(*p);
  return p + 1;
}

int64_t load(const std::atomic<int64_t> &c)
{
  return c.load(std::memory_order_relaxed);
}

double elapsed_seconds(int64_t elapsed_ms)
{
  return elapsed_ms <= 0 ? 0.001 : static_cast<double>(elapsed_ms) / 1000.0;
}

/* Readable text of a counter; a negative value (an update out of balance) is shown as 0. */
const char *size_text(int64_t v, char *buf, size_t size)
{
  if (str_size_text(v < 0 ? 0 : static_cast<uint64_t>(v), buf, size) < 0)
    buf[0] = '\0';
  return buf;
}

/* Bytes per second as an unsigned count, clamped so that the conversion never overflows. */
uint64_t byte_rate(int64_t bytes, double secs)
{
  if (bytes <= 0)
    return 0;
  double r = static_cast<double>(bytes) / secs;
  if (r >= 18446744073709551616.0)
    return UINT64_MAX;
  return static_cast<uint64_t>(r);
}

struct line_sink {
  cdir_stat_line *lines;
  int max;
  int n;
  bool overflow;
};

void put(line_sink *s, bool fail_kind, int64_t value, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
void put(line_sink *s, bool fail_kind, int64_t value, const char *fmt, ...)
{
  if (s->n >= s->max) {
    s->overflow = true;
    return;
  }
  cdir_stat_line *l = &s->lines[s->n];
  va_list ap;
  va_start(ap, fmt);
  int len = vsnprintf(l->text, sizeof l->text, fmt, ap);
  va_end(ap);
  if (len < 0 || static_cast<size_t>(len) >= sizeof l->text) {
    s->overflow = true;
    return;
  }
  l->alarm = fail_kind && value != 0;
  s->n++;
}

void put_count(line_sink *s, bool fail_kind, const char *name, int64_t value)
{
  put(s, fail_kind, value, "%s=%lld\n", name, static_cast<long long>(value));
}

bool is_copy_or_sync(uint32_t op)
{
  return op == CDIR_OP_COPY || op == CDIR_OP_SYNC;
}

} // namespace

void cdir_stat_init(cdir_stat *st, uint32_t i_flags)
{
  st->i_flags = i_flags;
  for (std::atomic<int64_t> *c :
       {&st->enum_dir_count, &st->o_dir_fail_count, &st->open_dir_fail_count, &st->enum_size, &st->total_read,
        &st->total_write, &st->i_drop_name_too_long, &st->o_drop_name_too_long, &st->o_unsupport_files,
        &st->o_unsupport_dirs, &st->skip_delete, &st->skip_special})
    c->store(0, std::memory_order_relaxed);
  for (cdir_stat_kind &k : st->kind)
    for (std::atomic<int64_t> *c :
         {&k.file_count, &k.file_size, &k.open_count, &k.i_fail, &k.o_fail, &k.del_count, &k.del_fail})
      c->store(0, std::memory_order_relaxed);
}

int cdir_path_kind(bool is_zz, const char *path)
{
  if (!is_zz || !path)
    return CDIR_PATH_PLAIN;
  const char *p = path;
  unsigned b = 1;
  while (*p && b != 0)
    p = esc_next(p, &b);
  if (b != 0)
    return CDIR_PATH_PLAIN; /* no separator: a bare name */

  /* The second part is the kind, one letter ended by a separator; an empty second part is the
   * end of the zz-string of a plain entry. */
  unsigned kind = 0;
  int len = 0;
  b = 1;
  while (*p && b != 0) {
    p = esc_next(p, &b);
    if (b != 0 && len++ == 0)
      kind = b;
  }
  if (b != 0 || len != 1)
    return CDIR_PATH_PLAIN;
  switch (kind) {
  case 'S':
  case 'X':
    return CDIR_PATH_STREAM_XATTR;
  case 'A':
    return CDIR_PATH_ACL;
  default:
    return CDIR_PATH_PLAIN;
  }
}

cdir_stat_kind *cdir_stat_block(cdir_stat *st, bool is_zz, const char *path)
{
  if (!(st->i_flags & (CDIR_EP_STREAM | CDIR_EP_ACL)))
    return &st->kind[CDIR_PATH_PLAIN];
  return &st->kind[cdir_path_kind(is_zz, path)];
}

void cdir_stat_file_add(cdir_stat *st, bool is_zz, const char *path, int64_t size)
{
  cdir_stat_kind *k = cdir_stat_block(st, is_zz, path);
  cdir_stat_add(&k->file_count, 1);
  cdir_stat_add(&k->file_size, size);
  cdir_stat_add(&st->enum_size, size);
}

void cdir_stat_open_inc(cdir_stat *st, bool is_zz, const char *path)
{
  cdir_stat_add(&cdir_stat_block(st, is_zz, path)->open_count, 1);
}

void cdir_stat_i_fail_inc(cdir_stat *st, bool is_zz, const char *path)
{
  cdir_stat_add(&cdir_stat_block(st, is_zz, path)->i_fail, 1);
}

void cdir_stat_o_fail_inc(cdir_stat *st, bool is_zz, const char *path)
{
  cdir_stat_add(&cdir_stat_block(st, is_zz, path)->o_fail, 1);
}

void cdir_stat_del_inc(cdir_stat *st, bool is_zz, const char *path)
{
  cdir_stat_add(&cdir_stat_block(st, is_zz, path)->del_count, 1);
}

void cdir_stat_del_fail_inc(cdir_stat *st, bool is_zz, const char *path)
{
  cdir_stat_add(&cdir_stat_block(st, is_zz, path)->del_fail, 1);
}

bool cdir_stat_has_failures(uint32_t op, uint32_t i_flags, const cdir_stat *st)
{
  const cdir_stat_kind &pl = st->kind[CDIR_PATH_PLAIN];
  const cdir_stat_kind &sx = st->kind[CDIR_PATH_STREAM_XATTR];
  bool stream = (i_flags & CDIR_EP_STREAM) != 0;
  /* A path dropped for its length was neither copied nor listed: a failure like any other. */
  if (load(st->open_dir_fail_count) || load(st->i_drop_name_too_long) || load(st->o_drop_name_too_long))
    return true;
  if (is_copy_or_sync(op)) {
    if (load(st->o_dir_fail_count) || load(pl.i_fail) || load(pl.o_fail))
      return true;
    if (stream && (load(sx.i_fail) || load(sx.o_fail)))
      return true;
    /* The listed copy modes delete as a sync does. */
    if (load(pl.del_fail) || (stream && load(sx.del_fail)))
      return true;
  }
  return false;
}

int cdir_stat_lines(uint32_t op, uint32_t i_flags, const cdir_stat *st, int64_t elapsed_ms, cdir_stat_line *lines,
                    int max)
{
  if (!st || !lines || max < 0)
    return VERR_PARAM;
  line_sink s{lines, max, 0, false};
  const cdir_stat_kind &pl = st->kind[CDIR_PATH_PLAIN];
  const cdir_stat_kind &sx = st->kind[CDIR_PATH_STREAM_XATTR];
  const bool stream = (i_flags & CDIR_EP_STREAM) != 0;
  const double secs = elapsed_seconds(elapsed_ms);
  char t1[STR_SIZE_TEXT_SIZE];

  if (is_copy_or_sync(op)) {
    int64_t rd = load(st->total_read);
    int64_t wr = load(st->total_write);
    put_count(&s, false, "total_open", load(pl.open_count));
    put(&s, false, rd, "total_read=%lld (%s)\n", static_cast<long long>(rd), size_text(rd, t1, sizeof t1));
    put(&s, false, wr, "total_write=%lld (%s)\n", static_cast<long long>(wr), size_text(wr, t1, sizeof t1));
  }
  if (op == CDIR_OP_COPY) {
    int64_t wr = load(st->total_write);
    int64_t opened = load(pl.open_count);
    char rate[STR_SIZE_TEXT_SIZE];
    if (str_size_text(byte_rate(wr, secs), rate, sizeof rate) < 0)
      rate[0] = '\0';
    put(&s, false, 0, "trans_rate=%s\n", rate);
    put(&s, false, 0, "file_rate=%.2f\n", static_cast<double>(opened) / secs);
  }
  if (op == CDIR_OP_SYNC) {
    put_count(&s, false, "sync_del_count", load(pl.del_count));
    put_count(&s, true, "sync_del_fail_count", load(pl.del_fail));
    if (stream) {
      put_count(&s, false, "sync_del_stream_xattr_count", load(sx.del_count));
      put_count(&s, true, "sync_del_stream_xattr_fail_count", load(sx.del_fail));
    }
  }
  /* Held-back deletions: a line only when there were some, so that a report without them keeps its
   * form. */
  if (is_copy_or_sync(op) && load(st->skip_delete) > 0)
    put_count(&s, true, "skip_delete_count", load(st->skip_delete));
  if (is_copy_or_sync(op) && load(st->skip_special) > 0)
    put_count(&s, false, "skip_special_count", load(st->skip_special));
  if (is_copy_or_sync(op)) {
    put_count(&s, true, "o_dir_fail_count", load(st->o_dir_fail_count));
    put_count(&s, true, "i_fail_count", load(pl.i_fail));
    put_count(&s, true, "o_fail_count", load(pl.o_fail));
    if (stream) {
      put_count(&s, true, "i_stream_xattr_fail_count", load(sx.i_fail));
      put_count(&s, true, "o_stream_xattr_fail_count", load(sx.o_fail));
    }
  }
  int64_t fsize = load(pl.file_size);
  put_count(&s, false, "enum_file_count", load(pl.file_count));
  put(&s, false, fsize, "enum_file_size=%lld (%s)\n", static_cast<long long>(fsize), size_text(fsize, t1, sizeof t1));
  if (stream) {
    int64_t xsize = load(sx.file_size);
    put_count(&s, false, "enum_stream_xattr_count", load(sx.file_count));
    put(&s, false, xsize, "enum_stream_xattr_size=%lld (%s)\n", static_cast<long long>(xsize),
        size_text(xsize, t1, sizeof t1));
  }
  put_count(&s, false, "enum_dir_count", load(st->enum_dir_count));
  put_count(&s, true, "open_dir_fail_count", load(st->open_dir_fail_count));
  put_count(&s, true, "i_drop_name_too_long_count", load(st->i_drop_name_too_long));
  put_count(&s, true, "o_drop_name_too_long_count", load(st->o_drop_name_too_long));
  put_count(&s, true, "o_drop_name_unsupport_count", load(st->o_unsupport_files) + load(st->o_unsupport_dirs));

  /* The elapsed time of a run that took no measurable time is shown as the 1 ms its rates use. */
  char span[STR_TIME_SPAN_TEXT_SIZE];
  if (str_time_span_text(elapsed_ms <= 0 ? 1 : elapsed_ms, span, sizeof span) < 0)
    span[0] = '\0';
  put(&s, false, 0, "total_time=%s\n", span);

  return s.overflow ? VERR_OVERFLOW : s.n;
}

void cdir_dump_stat_lines(const cdir_stat_line *lines, int n)
{
  for (int i = 0; i < n; i++) {
    int level = lines[i].alarm ? LOG2_WARN : LOG2_DBG;
    LOG2(level, "%s", lines[i].text);
  }
}

int cdir_dump_stat(uint32_t op, uint32_t i_flags, const cdir_stat *st, int64_t elapsed_ms)
{
  cdir_stat_line lines[CDIR_STAT_LINES_MAX];
  int n = cdir_stat_lines(op, i_flags, st, elapsed_ms, lines, CDIR_STAT_LINES_MAX);
  if (n < 0) {
    LOGE("cdir_stat_lines ret=%d\n", n);
    return n;
  }
  cdir_dump_stat_lines(lines, n);
  return n;
}

int cdir_stat_summary_write(FILE *fp, const cdir_stat_line *lines, int n, const char *log_path, int code,
                            const char *err_text, bool colour)
{
  if (!fp)
    return VERR_PARAM;
  fputc('\n', fp);
  for (int i = 0; i < n; i++) {
    /* The colour ends before the line feed, so that a reverse-video line does not paint the
     * rest of the terminal row. */
    const char *text = lines[i].text;
    size_t len = strnlen(text, sizeof lines[i].text);
    if (len > 0 && text[len - 1] == '\n')
      len--;
    if (colour)
      fprintf(fp, "%s%.*s\033[0m\n", lines[i].alarm ? "\033[01;07;31m" : "\033[37m", static_cast<int>(len), text);
    else
      fprintf(fp, "%.*s\n", static_cast<int>(len), text);
  }
  if (log_path)
    fprintf(fp, "Log=%s\n", log_path);
  if (code != 0)
    fprintf(fp, "%slast_errno=%d err: %s%s\n", colour ? "\033[01;31m" : "", code, err_text ? err_text : "",
            colour ? "\033[0m" : "");
  if (fflush(fp) != 0 || ferror(fp))
    return -1;
  return 0;
}

int cdir_stat_summary(FILE *fp, uint32_t op, uint32_t i_flags, const cdir_stat *st, int64_t elapsed_ms, int code,
                      const char *err_text)
{
  cdir_stat_line lines[CDIR_STAT_LINES_MAX];
  int n = cdir_stat_lines(op, i_flags, st, elapsed_ms, lines, CDIR_STAT_LINES_MAX);
  if (n < 0)
    return n;
  char path[4096];
  bool to_file = log2_file_path(path, sizeof path) >= 0;
  return cdir_stat_summary_write(fp, lines, n, to_file ? path : nullptr, code, err_text,
                                 fp && log2_colour_on(fileno(fp)));
}

int cdir_progress_print(FILE *fp, cdir_progress *pg, int job, const cdir_stat *st, int64_t elapsed_ms)
{
  if (!fp || !pg || !st)
    return VERR_PARAM;
  const cdir_stat_kind &pl = st->kind[CDIR_PATH_PLAIN];
  const cdir_stat_kind &sx = st->kind[CDIR_PATH_STREAM_XATTR];
  const double secs = elapsed_seconds(elapsed_ms);
  int64_t wr = load(st->total_write);
  long long files = static_cast<long long>(load(pl.file_count) + load(sx.file_count));
  char esize[STR_SIZE_TEXT_SIZE], wsize[STR_SIZE_TEXT_SIZE], wrate[STR_SIZE_TEXT_SIZE];
  size_text(load(st->enum_size), esize, sizeof esize);
  size_text(wr, wsize, sizeof wsize);
  if (str_size_text(byte_rate(wr, secs), wrate, sizeof wrate) < 0)
    wrate[0] = '\0';

  char line[256];
  int n;
  switch (job) {
  case CDIR_JOB_FILE:
    n = snprintf(line, sizeof line, "FileSize=%s WSize=%s WRate=%s", esize, wsize, wrate);
    break;
  case CDIR_JOB_LIST:
    n = snprintf(line, sizeof line, "FileSize=%s FileCount=%lld DirCount=%lld DirFailCount=%lld", esize, files,
                 static_cast<long long>(load(st->enum_dir_count)),
                 static_cast<long long>(load(st->open_dir_fail_count)));
    break;
  case CDIR_JOB_COPY:
    n = snprintf(line, sizeof line,
                 "EnumSize=%s WSize=%s WRate=%s EnumFCount=%lld WriteFCount=%lld ErrFCount=%lld FileRate=%.2f", esize,
                 wsize, wrate, files, static_cast<long long>(load(pl.open_count)),
                 static_cast<long long>(load(pl.o_fail)), static_cast<double>(load(pl.open_count)) / secs);
    break;
  case CDIR_JOB_SYNC:
    n = snprintf(line, sizeof line,
                 "EnumSize=%s WSize=%s WRate=%s EnumFCount=%lld WriteFCount=%lld ErrFCount=%lld DelFile=%lld", esize,
                 wsize, wrate, files, static_cast<long long>(load(pl.open_count)),
                 static_cast<long long>(load(pl.o_fail)), static_cast<long long>(load(pl.del_count)));
    break;
  default:
    return VERR_PARAM;
  }
  if (n < 0 || static_cast<size_t>(n) >= sizeof line)
    return VERR_OVERFLOW;

  int pad = pg->last_len > n ? pg->last_len - n : 0;
  fprintf(fp, "\r%s%*s", line, pad, "");
  pg->last_len = n;
  if (fflush(fp) != 0 || ferror(fp))
    return -1;
  return n + pad;
}

const char *cdir_reason_symbol(uint32_t item_flags)
{
  static const char *const symbols[] = {"+", "+", "-", "P", "K", "L", "T", "H", "A"};
  uint32_t reason = item_flags & 0xff;
  return reason < sizeof symbols / sizeof symbols[0] ? symbols[reason] : "?";
}

bool cdir_trace_file_ops_imp(FILE *fp, uint32_t trace_flags, uint32_t copy_mode, uint32_t item_flags,
                             bool is_delete, const char *opath, bool is_dir)
{
  if (trace_flags & CDIR_TRACE_FILE_OPS) {
    uint32_t reason = item_flags & 0xff;
    /* Copy mode 4 copies every input item without comparing, so each one is traced as new. */
    if (copy_mode == CDIR_MODE_COPY_ALL)
      reason = 1;
    else if (reason == 0 && is_delete)
      reason = 2;
    fprintf(fp ? fp : stdout, "%s %s%s\n", cdir_reason_symbol(reason), opath ? opath : "", is_dir ? "/" : "");
  }
  return !(trace_flags & CDIR_TRACE_DRY_RUN);
}

void cdir_sync_file_reason(const cdir_ctx *, const char *fmt, ...)
{
  if (!log2_enabled(LOG2_DBG))
    return;
  va_list ap;
  va_start(ap, fmt);
  log2_vprint(nullptr, LOG2_DBG, LOG_TAG, __FILE__, __LINE__, __func__, fmt, ap);
  va_end(ap);
}
